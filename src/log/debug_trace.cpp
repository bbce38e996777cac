#include "log/debug_trace.h"

#include <cstdarg>
#include <cstdio>

#include "platform/win.h"

namespace {

constexpr int kTraceBuffer = 256;
constexpr int kTraceMax = 254;

thread_local int t_quiet = 0;

}  // namespace

QuietTrace::QuietTrace(bool quiet) noexcept : m_quiet(quiet ? 1 : 0) { t_quiet += m_quiet; }

QuietTrace::~QuietTrace() { t_quiet -= m_quiet; }

void DebugTrace(const char* function, int line, const char* format, ...) {
  if (t_quiet != 0) return;
  if (function == nullptr) function = "";
  char message[kTraceBuffer] = {};
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    // Some runtimes leave a cut result unterminated or report it as an error;
    // either way the first 254 characters stand.
    std::vsnprintf(message, kTraceMax + 1, format, args);
    va_end(args);
  }
  message[kTraceMax] = '\0';

  char text[kTraceBuffer] = {};
  if (line < 1) {
    std::snprintf(text, kTraceMax + 1, "[%s] %s", function, message);
  } else {
    std::snprintf(text, kTraceMax + 1, "[%s][%d] >>>>%s<<<<\n", function, line, message);
  }
  text[kTraceMax] = '\0';

  OutputDebugStringA(text);
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}
