// Test support shared by every test executable.
//
// Helper processes: a test executable started with "--helper NAME args..."
// runs the helper registered under NAME instead of the tests, so one binary
// can play server in one process and client in another.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win.h"

namespace pel_test {

using HelperFn = int (*)(const std::vector<std::string>& args);

struct HelperRegistration {
  HelperRegistration(const char* name, HelperFn fn);
};

#define PEL_TEST_HELPER(name)                                                          \
  static int PelHelper_##name(const std::vector<std::string>& args);                   \
  static ::pel_test::HelperRegistration PelHelperReg_##name(#name, &PelHelper_##name); \
  static int PelHelper_##name(const std::vector<std::string>& args)

// Returns -1 when no helper mode was asked for, else the helper's exit code.
int RunHelperIfAsked(int argc, char** argv);

// A running helper process of this same executable.
class HelperProcess {
 public:
  HelperProcess(const std::string& helper, const std::vector<std::string>& args);
  // The same helper mode, run from another executable (a copy of this one).
  HelperProcess(const std::string& exePath, const std::string& helper,
                const std::vector<std::string>& args);
  ~HelperProcess();  // kills the process if it is still running
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool started() const { return m_process != nullptr; }
  // Exit code, or -1 when the process did not end within timeoutMs.
  int Wait(uint32_t timeoutMs);
  HANDLE handle() const { return m_process; }

 private:
  HANDLE m_process = nullptr;
};

// A pipe name no other test process uses: tag + process id + counter.
std::string UniquePipeName(const std::string& tag);
// The full path form of the same.
std::string FullPipePath(const std::string& bareName);

// A manual-reset event with a bounded wait; tests never sleep to synchronise.
class Signal {
 public:
  Signal();
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Set();
  void Reset();
  bool Wait(uint32_t timeoutMs);  // true when set within the time
  bool IsSet();

 private:
  HANDLE m_event;
};

// Polls pred every millisecond or so until it holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs);

// A server's worker threads, and so its listening instances after Start:
// the processor count + 2.
int32_t ServerWorkerCount();

// A whole number from the environment, else fallback (longer runs set them).
uint32_t EnvNumber(const char* name, uint32_t fallback);

// The process's private memory (commit charge), in bytes.
uint64_t PrivateBytes();

// The folder of the running executable, with a trailing backslash.
std::string ExeDir();
std::string ExePath();

}  // namespace pel_test
