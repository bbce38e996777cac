// Child processes for the tool and the tests: one quoting rule for command lines, a bounded wait
// for the exit code, and captured output where a test reads what the child printed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win.h"

namespace pel::tools {

// Each argument quoted so that the C runtime's parser gives it back.
std::string CommandLine(const std::string& exe, const std::vector<std::string>& args);

std::string ExePath();
// The folder of the running executable, with a trailing backslash.
std::string ExeDir();

// Starts commandLine with the given standard handles (all null: the child
// inherits nothing). Returns the process handle, or null.
HANDLE Spawn(const std::string& commandLine, HANDLE in, HANDLE out, HANDLE err, DWORD flags,
             DWORD* pid);

enum class Stdio {
  kNone,        // nothing inherited
  kMuteStdout,  // the child writes where this process writes, but stdout to NUL
  kCapture,     // standard input from CloseInput's pipe, stdout and stderr in Output()
};

class Process {
 public:
  Process(const std::string& exe, const std::vector<std::string>& args, Stdio stdio = Stdio::kNone);
  ~Process();  // kills the process if it is still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return m_process != nullptr; }
  HANDLE handle() const { return m_process; }
  DWORD pid() const { return m_pid; }
  // Exit code, or -1 when the process did not end within timeoutMs.
  int Wait(uint32_t timeoutMs);

  // Captured output. True once it holds text; false after timeoutMs or at its end.
  bool WaitForOutput(const std::string& text, uint32_t timeoutMs);
  // True once every writer has closed the output (the child and anything it
  // started with the same handles).
  bool WaitForEnd(uint32_t timeoutMs);
  std::string Output();
  // Ends the child's standard input (end of file for its reads).
  void CloseInput();

 private:
  struct Captured;

  void StartCapture(const std::string& commandLine);

  HANDLE m_process = nullptr;
  DWORD m_pid = 0;
  HANDLE m_input = nullptr;
  // Shared with the reader thread, which may outlive this object while a
  // grandchild still holds the pipe.
  std::shared_ptr<Captured> m_output;
};

// Runs exe to its end (bounded) and returns its exit code (-1 on time-out) and its output.
int RunProcess(const std::string& exe, const std::vector<std::string>& args, uint32_t timeoutMs,
               std::string* output);

}  // namespace pel::tools
