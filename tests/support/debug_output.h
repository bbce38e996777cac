// Runs a helper mode of this executable (or of a copy) under our own debug
// loop, collecting what it sends to the debugger output and, optionally, its
// standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pel_test {

struct DebuggedRun {
  bool finished = false;  // the process ended within the time
  int exitCode = -1;
  std::vector<std::string> debugStrings;  // in order, terminators removed
  std::string stdoutText;                 // CR LF turned into LF
};

// exePath empty: this executable.
DebuggedRun RunUnderDebugger(const std::string& exePath, const std::string& helper,
                             const std::vector<std::string>& args, uint32_t timeoutMs,
                             bool captureStdout);

}  // namespace pel_test
