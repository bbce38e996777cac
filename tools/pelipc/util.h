// Small helpers shared by the commands of pelipc: result texts, clocks,
// events, child processes of this same executable, and console output.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pel_ipc.h"
#include "win.h"

namespace pelipc {

// Exit codes shared by every command.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoServer = 2,  // the pipe could not be opened or the server did not start
  kExitTimeout = 3,   // an answer or an expected event did not come in time
  kExitTooLarge = 4,  // the answer does not fit the caller's buffer
  kExitFailed = 5,    // any other failure of the library or of a peer
};

// "pipe could not be created, connected or opened" for 12, and so on.
const char* ResultMeaning(int32_t code);
// "error 12 (pipe could not be created, connected or opened)".
std::string DescribeResult(int32_t code);

// The pipe path the library derives from a host's name.
std::string FullPipeName(const std::string& name);
// A pipe name no other run uses: tag, process id and a counter.
std::string UniqueName(const std::string& tag);

// Monotonic seconds from the performance counter.
double NowSeconds();

// "1,234,567".
std::string Grouped(uint64_t value);
// Printable preview of a payload: text in quotes, cut after `max` bytes.
std::string Preview(const uint8_t* data, uint32_t size, uint32_t max = 48);

// printf to stdout or stderr under one process-wide lock, flushed at once,
// so lines from callback threads never interleave.
void Out(const char* format, ...);
void Err(const char* format, ...);

// Manual-reset Win32 event, optionally named so another process can set it.
class Event {
 public:
  explicit Event(const char* name = nullptr);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  // Opens an event that another process created; false when it does not exist.
  bool Open(const char* name);
  bool valid() const { return m_handle != nullptr; }
  void Set();
  void Reset();
  bool Wait(uint32_t timeoutMs);
  HANDLE handle() const { return m_handle; }

 private:
  HANDLE m_handle = nullptr;
};

// A counter that threads can wait on with a bound.
class Counter {
 public:
  void Add(uint64_t n = 1);
  uint64_t Get();
  // True once the value is at least target, false when timeoutMs passed first.
  bool WaitAtLeast(uint64_t target, uint32_t timeoutMs);

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  uint64_t m_value = 0;
};

// A child process running this same executable with the given arguments;
// it writes where this process writes (standard output to NUL when
// muteStdout). Killed on destruction if it is still running.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, bool muteStdout = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool started() const { return m_process != nullptr; }
  HANDLE handle() const { return m_process; }
  DWORD pid() const { return m_pid; }
  bool Exited();
  // Exit code, or -1 when it did not end within timeoutMs.
  int Wait(uint32_t timeoutMs);
  void Kill();

 private:
  HANDLE m_process = nullptr;
  DWORD m_pid = 0;
};

// Waits for `event` but gives up early when `process` ends first.
// Returns 0 when the event came, 1 when the process ended, 2 on time-out.
int WaitEventOrExit(HANDLE event, HANDLE process, uint32_t timeoutMs);

std::string ExePath();

}  // namespace pelipc
