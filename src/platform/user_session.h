// The interactive user's session, seen from a process that may run under
// another account (the user's shell token and profile folder), and the trace
// log set-up reports through before the log exists.
#pragma once

#include <cstdint>

#include "platform/win.h"

namespace PelTools {

// A new primary token of the user who runs the first "explorer.exe" in the
// process snapshot; the caller closes it. On failure *token is untouched.
BOOL GetUserToken(HANDLE* token);

// The profile folder of that user into path (size bytes). True with the
// folder, or with path untouched when no token could be had; false only when
// the profile folder is refused for a token that was found.
bool GetCurrentUserDocumentPath(char* path, uint32_t size);

}  // namespace PelTools

// Progress notes pass line -1 (any line below 1): "[function] message", no
// line end. Faults pass their source line: "[function][line] >>>>message<<<<\n".
// Message and line are each cut to 254 characters. printf formatting.
void DebugTrace(const char* function, int line, const char* format, ...);

// While a quiet one lives on a thread, DebugTrace there writes nothing: a
// look-up made only to tell where the log goes has no set-up to report.
class QuietTrace {
 public:
  explicit QuietTrace(bool quiet) noexcept;
  ~QuietTrace();
  QuietTrace(const QuietTrace&) = delete;
  QuietTrace& operator=(const QuietTrace&) = delete;

 private:
  int m_quiet;
};
