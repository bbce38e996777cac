// The trace used while the log is being set up: one line to the debugger
// output and to standard output.
#pragma once

// Progress notes pass line -1 (any line below 1): "[function] message", no
// line end. Faults pass their source line: "[function][line] >>>>message<<<<\n".
// Message and line are each cut to 254 characters. printf formatting.
void DebugTrace(const char* function, int line, const char* format, ...);
