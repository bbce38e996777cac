// Another executable of the build run as a child process with its standard
// input and output on pipes, for tests of the tools and examples.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win.h"

namespace pel_test {

class RedirectedProcess {
 public:
  // exe is a path; stdout and stderr both land in Output().
  RedirectedProcess(const std::string& exe, const std::vector<std::string>& args);
  ~RedirectedProcess();  // kills the process if it is still running
  RedirectedProcess(const RedirectedProcess&) = delete;
  RedirectedProcess& operator=(const RedirectedProcess&) = delete;

  bool started() const { return m_process != nullptr; }
  // True once the output holds text; false after timeoutMs or at its end.
  bool WaitForOutput(const std::string& text, uint32_t timeoutMs);
  // True once every writer has closed the output (the child and anything it
  // started with the same handles).
  bool WaitForEnd(uint32_t timeoutMs);
  std::string Output();
  // Ends the child's standard input (end of file for its reads).
  void CloseInput();
  // Exit code, or -1 when the process did not end within timeoutMs.
  int Wait(uint32_t timeoutMs);

 private:
  struct Captured;

  HANDLE m_process = nullptr;
  HANDLE m_input = nullptr;
  // Shared with the reader thread, which may outlive this object while a
  // grandchild still holds the pipe.
  std::shared_ptr<Captured> m_output;
};

// Runs exe to its end (bounded) and returns its exit code (-1 on time-out)
// and its output.
int RunProcess(const std::string& exe, const std::vector<std::string>& args, uint32_t timeoutMs,
               std::string* output);

}  // namespace pel_test
