// Small helpers shared by the commands of pelipc: command-line flags, result texts, clocks,
// counters, child processes of this same executable, and console output.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/event.h"
#include "common/process.h"
#include "pel_ipc.h"
#include "platform/pipe_name.h"
#include "platform/win.h"

namespace pel::pelipc {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoServer = 2,  // the pipe could not be opened or the server did not start
  kExitTimeout = 3,   // an answer or an expected event did not come in time
  kExitTooLarge = 4,  // the answer does not fit the caller's buffer
  kExitFailed = 5,    // any other failure of the library or of a peer
};

// "error 12 (pipe could not be created, connected or opened)".
std::string DescribeResult(int32_t code);

inline std::string FullPipeName(const std::string& name) { return pel::FullPipeName(name.c_str()); }
using pel::tools::Event;
using pel::tools::UniqueName;

inline double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// printf into a string (of up to 511 characters).
std::string Format(const char* format, ...);
std::string Grouped(uint64_t value);
// Printable preview of a payload: text in quotes, cut after `max` bytes.
std::string Preview(const uint8_t* data, uint32_t size, uint32_t max = 48);
inline const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}
inline uint32_t Size(const std::string& text) { return static_cast<uint32_t>(text.size()); }
inline std::string Preview(const std::string& text, uint32_t max = 48) {
  return Preview(Bytes(text), Size(text), max);
}

// printf to stdout or stderr under one process-wide lock, flushed at once,
// so lines from callback threads never interleave.
void Print(FILE* stream, const char* format, ...);
template <typename... Args>
void Out(const char* format, Args... args) {
  Print(stdout, format, args...);
}
template <typename... Args>
void Err(const char* format, Args... args) {
  Print(stderr, format, args...);
}
// Err, giving back what the failure ends its command with: an exit code, or false.
template <typename T, typename... Args>
T Failed(T code, const char* format, Args... args) {
  Print(stderr, format, args...);
  return code;
}

class Counter {
 public:
  void Add(uint64_t n = 1) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_value += n;
    // A waiter wakes at its target, not at every message of a timed stream.
    if (m_value >= m_target) m_changed.notify_all();
  }
  uint64_t Get() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_value;
  }
  // True once the value is at least target, false when timeoutMs passed first.
  bool WaitAtLeast(uint64_t target, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    ++m_waiters;
    m_target = std::min(m_target, target);
    const bool reached = m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                            [&] { return m_value >= target; });
    if (--m_waiters == 0) m_target = UINT64_MAX;
    return reached;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  uint64_t m_value = 0;
  uint64_t m_target = UINT64_MAX;  // the lowest target of the threads waiting
  int m_waiters = 0;
};

// Prints where today's log file of logName is, with its size, as the
// library's static core finds it (the DLL exports only its functions).
void PrintLogLocation(const std::string& logName);
// The library's log folder as a full path, by the same rule.
std::string LibraryLogFolder();
bool IsFolder(const std::string& path);

// A child process of this same executable, its standard output muted: the
// library's set-up trace there would only repeat this process's.
inline std::unique_ptr<pel::tools::Process> StartSelf(const std::vector<std::string>& args) {
  return std::make_unique<pel::tools::Process>(pel::tools::ExePath(), args,
                                               pel::tools::Stdio::kMuteStdout);
}

// Command lines as tables: each command lists its flags once, one parser
// reads them, and whatever is not a flag is left as a positional argument.
struct Flag {
  const char* name;
  bool takesValue;
  // False when the value is not acceptable (a usage error).
  std::function<bool(const std::string& value)> apply;
};

inline Flag Switch(const char* name, std::function<void()> set) {
  return {name, false, [set](const std::string&) {
            set();
            return true;
          }};
}

inline Flag Text(const char* name, std::string* out) {
  return {name, true, [out](const std::string& value) {
            *out = value;
            return true;
          }};
}
// A whole decimal number within [min, max].
bool ParseWhole(const std::string& text, uint64_t min, uint64_t max, uint64_t* out);
template <typename T>
Flag Number(const char* name, T* out, uint64_t min = 0,
            uint64_t max = std::numeric_limits<T>::max()) {
  return {name, true, [out, min, max](const std::string& value) {
            uint64_t n = 0;
            if (!ParseWhole(value, min, max, &n)) return false;
            *out = static_cast<T>(n);
            return true;
          }};
}

// Applies every flag in args; the rest goes to positional, in order. A flag that needs a value but
// stands last counts as positional. False on a value a flag does not accept.
bool ParseFlags(const std::vector<std::string>& args, const std::vector<Flag>& flags,
                std::vector<std::string>* positional);

}  // namespace pel::pelipc
