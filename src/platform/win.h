// The one place Windows headers enter: Win32 code includes this and nothing else from the SDK.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <windows.h>
// windows.h first: these rely on its types.
#include <tlhelp32.h>
#include <userenv.h>
// clang-format on
