#include "support/helpers.h"

// windows.h (through support/helpers.h) first: psapi relies on its types.
#include <psapi.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/pipe_name.h"

namespace pel_test {

namespace {

std::map<std::string, HelperFn>& Registry() {
  static std::map<std::string, HelperFn> registry;
  return registry;
}

std::vector<std::string> HelperArgs(const std::string& helper,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--helper", helper};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

}  // namespace

HelperRegistration::HelperRegistration(const char* name, HelperFn fn) { Registry()[name] = fn; }

int RunHelperIfAsked(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "--helper") != 0) return -1;
  auto it = Registry().find(argv[2]);
  if (it == Registry().end()) return 99;
  std::vector<std::string> args(argv + 3, argv + argc);
  return it->second(args);
}

HelperProcess::HelperProcess(const std::string& helper, const std::vector<std::string>& args)
    : HelperProcess(ExePath(), helper, args) {}

HelperProcess::HelperProcess(const std::string& exePath, const std::string& helper,
                             const std::vector<std::string>& args)
    : Process(exePath, HelperArgs(helper, args)) {}

std::string UniquePipeName(const std::string& tag) {
  return pel_tools::UniqueName("pel_test_" + tag);
}

std::string FullPipePath(const std::string& bareName) {
  return pel::FullPipeName(bareName.c_str());
}

bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (pred()) return true;
    if (GetTickCount64() >= end) return pred();
    Sleep(1);
  }
}

uint64_t PrivateBytes() {
  // The commit charge: Windows reports the same as PrivateUsage, which Wine
  // leaves at 0.
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PagefileUsage;
}

int32_t ServerWorkerCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int32_t>(info.dwNumberOfProcessors) + 2;
}

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  char value[32];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10))
                                   : fallback;
}

}  // namespace pel_test
