#include "support/helpers.h"

// windows.h (through support/helpers.h) first: psapi relies on its types.
#include <psapi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>

namespace pel_test {

namespace {

std::map<std::string, HelperFn>& Registry() {
  static std::map<std::string, HelperFn> registry;
  return registry;
}

std::string Quote(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
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
                             const std::vector<std::string>& args) {
  std::string cmd = Quote(exePath) + " --helper " + helper;
  for (const auto& a : args) cmd += " " + Quote(a);
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                     &pi)) {
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
  }
}

HelperProcess::~HelperProcess() {
  if (m_process == nullptr) return;
  if (WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(m_process, 255);
    WaitForSingleObject(m_process, 5000);
  }
  CloseHandle(m_process);
}

int HelperProcess::Wait(uint32_t timeoutMs) {
  if (m_process == nullptr) return -1;
  if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_process, &code);
  return static_cast<int>(code);
}

std::string UniquePipeName(const std::string& tag) {
  static std::atomic<unsigned> counter{0};
  return "pel_test_" + tag + "_" + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(counter.fetch_add(1));
}

std::string FullPipePath(const std::string& bareName) { return "\\\\.\\pipe\\" + bareName; }

Signal::Signal() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
Signal::~Signal() { CloseHandle(m_event); }
void Signal::Set() { SetEvent(m_event); }
void Signal::Reset() { ResetEvent(m_event); }
bool Signal::Wait(uint32_t timeoutMs) {
  return WaitForSingleObject(m_event, timeoutMs) == WAIT_OBJECT_0;
}
bool Signal::IsSet() { return WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }

bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (pred()) return true;
    if (GetTickCount64() >= end) return pred();
    Sleep(1);
  }
}

std::string ExePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

uint64_t PrivateBytes() {
  // The commit charge: Windows reports the same as PrivateUsage, which Wine
  // leaves at 0.
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PagefileUsage;
}

std::string ExeDir() {
  std::string path = ExePath();
  return path.substr(0, path.find_last_of('\\') + 1);
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
