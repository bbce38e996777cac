// Log set-up, once per process, from the first server or client Init.
#pragma once

// Sets up the log on the process's first call; later calls only leave a notice. Null name: "0".
void InitLog(const char* name);

namespace pel::log {

constexpr int kLogPathBuffer = 512;

// Where a process's log goes: the folder under the desktop user's profile
// (from the root of the current drive when there is none or it is refused),
// and the file prefix chosen from the executable's path and the name.
struct LogPlace {
  char folder[kLogPathBuffer];  // no trailing separator
  char prefix[kLogPathBuffer];
};

// The place set-up picks for name (null counts as "0"); with trace reported
// to the debugger output and standard output as set-up does, else silently.
LogPlace FindLogPlace(const char* name, bool trace) noexcept;

}  // namespace pel::log
