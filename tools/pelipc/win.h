// The tool's own Win32 boundary: it is a host of the library, so it reaches
// Windows directly for processes, events, clocks and the raw-pipe baseline.
// Every file of the tool that needs Win32 includes this header only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
// windows.h first: userenv relies on its types.
#include <userenv.h>
