// The trace used while the log is being set up: one line to the debugger
// output and to standard output.
#pragma once

// Progress notes pass line -1 (any line below 1): "[function] message", no
// line end. Faults pass their source line: "[function][line] >>>>message<<<<\n".
// Message and line are each cut to 254 characters. printf formatting.
void DebugTrace(const char* function, int line, const char* format, ...);

// While a quiet one lives on a thread, DebugTrace on that thread writes
// nothing: a look-up made only to tell where the log goes has no set-up to
// report.
class QuietTrace {
 public:
  explicit QuietTrace(bool quiet) noexcept;
  ~QuietTrace();
  QuietTrace(const QuietTrace&) = delete;
  QuietTrace& operator=(const QuietTrace&) = delete;

 private:
  int m_quiet;
};
