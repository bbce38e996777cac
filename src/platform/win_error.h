// What the library makes of the Win32 errors its pipe operations report, in one place.
#pragma once

#include "platform/win.h"

namespace pel {

// A broken pipe or an aborted operation is an orderly end; any other failed completion a fault.
inline bool IsOrderlyPipeEnd(DWORD error) noexcept {
  return error == ERROR_BROKEN_PIPE || error == ERROR_OPERATION_ABORTED;
}

// The peer has gone: a read issued now can never complete.
inline bool IsPeerGone(DWORD error) noexcept {
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

// The pipe broke while an operation was pending.
inline bool IsBrokenPipe(DWORD error) noexcept { return error == ERROR_BROKEN_PIPE; }

}  // namespace pel
