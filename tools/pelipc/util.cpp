#include "util.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pelipc {

namespace {

std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}

void Print(FILE* stream, const char* format, va_list args) {
  std::lock_guard<std::mutex> hold(ConsoleLock());
  std::vfprintf(stream, format, args);
  std::fflush(stream);
}

// One argument for CreateProcess, quoted by the rules the runtime's parser
// undoes: backslashes count only in front of a quote.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"')
      out.append(slashes * 2 + 1, '\\');
    else
      out.append(slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  out += '"';
  return out;
}

}  // namespace

const char* ResultMeaning(int32_t code) {
  switch (code) {
    case PEL_OK:
      return "success";
    case PEL_ERR_INVALID_ARG:
      return "missing or invalid argument";
    case PEL_ERR_STATE:
      return "wrong state: closing, not connected or not disconnected";
    case PEL_ERR_BAD_MAGIC:
      return "received message with a wrong magic";
    case PEL_ERR_SHORT_MESSAGE:
      return "message shorter than a header, or data before HELLO";
    case PEL_ERR_TOO_LARGE:
      return "client payload larger than 716,800 bytes";
    case PEL_ERR_BUFFER_TOO_SMALL:
      return "answer larger than the caller's buffer";
    case PEL_ERR_NO_CONNECTION:
      return "no connection with that id";
    case PEL_ERR_NO_MEMORY:
      return "memory allocation failed";
    case PEL_ERR_PIPE:
      return "pipe could not be created, connected or opened";
    case PEL_ERR_EVENT:
      return "event of a synchronous call could not be created or reset";
    case PEL_ERR_IOCP:
      return "completion port could not be created";
    case PEL_ERR_BIND:
      return "pipe could not be bound to the completion port";
    case PEL_ERR_TOO_MANY_PENDING:
      return "20 operations already outstanding";
    case PEL_ERR_TIMEOUT:
      return "time-out or failed wait";
    case PEL_CLOSE_SERVER:
      return "pipe still held, or connection closed by the server";
    case PEL_ERR_READ:
      return "a read could not be posted";
    case PEL_ERR_WRITE:
      return "a message could not be written";
    default:
      return "system error code";
  }
}

std::string DescribeResult(int32_t code) {
  return "error " + std::to_string(code) + " (" + ResultMeaning(code) + ")";
}

std::string FullPipeName(const std::string& name) {
  if (name.find("\\\\.\\pipe") != std::string::npos) return name;
  return "\\\\.\\pipe\\" + name;
}

std::string UniqueName(const std::string& tag) {
  static std::atomic<unsigned> counter{0};
  return "pelipc-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter.fetch_add(1));
}

double NowSeconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Preview(const uint8_t* data, uint32_t size, uint32_t max) {
  bool text = true;
  for (uint32_t i = 0; i < size && i < max; ++i) {
    if ((data[i] < 0x20 && data[i] != '\n' && data[i] != '\t') || data[i] >= 0x7F) {
      text = false;
      break;
    }
  }
  if (!text) return "(binary)";
  std::string out = "\"";
  for (uint32_t i = 0; i < size && i < max; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  out += size > max ? "\"..." : "\"";
  return out;
}

void Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stdout, format, args);
  va_end(args);
}

void Err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, format, args);
  va_end(args);
}

Event::Event(const char* name) : m_handle(CreateEventA(nullptr, TRUE, FALSE, name)) {}
Event::~Event() {
  if (m_handle != nullptr) CloseHandle(m_handle);
}
bool Event::Open(const char* name) {
  if (m_handle != nullptr) CloseHandle(m_handle);
  m_handle = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
  return m_handle != nullptr;
}
void Event::Set() { SetEvent(m_handle); }
void Event::Reset() { ResetEvent(m_handle); }
bool Event::Wait(uint32_t timeoutMs) {
  return WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0;
}

void Counter::Add(uint64_t n) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_value += n;
  }
  m_changed.notify_all();
}

uint64_t Counter::Get() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_value;
}

bool Counter::WaitAtLeast(uint64_t target, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_value >= target; });
}

Child::Child(const std::vector<std::string>& args, bool muteStdout) {
  std::string cmd = Quote(ExePath());
  for (const auto& a : args) cmd += " " + Quote(a);
  // The child writes where this process writes, also when that is a pipe.
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE nul = INVALID_HANDLE_VALUE;
  if (muteStdout) {
    SECURITY_ATTRIBUTES inherit;
    std::memset(&inherit, 0, sizeof inherit);
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                      OPEN_EXISTING, 0, nullptr);
    if (nul != INVALID_HANDLE_VALUE) si.hStdOutput = nul;
  }
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_pid = pi.dwProcessId;
  }
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
}

Child::~Child() {
  if (m_process == nullptr) return;
  Kill();
  CloseHandle(m_process);
}

bool Child::Exited() {
  return m_process == nullptr || WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0;
}

int Child::Wait(uint32_t timeoutMs) {
  if (m_process == nullptr) return -1;
  if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_process, &code);
  return static_cast<int>(code);
}

void Child::Kill() {
  if (m_process != nullptr && WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(m_process, 255);
    WaitForSingleObject(m_process, 5000);
  }
}

int WaitEventOrExit(HANDLE event, HANDLE process, uint32_t timeoutMs) {
  HANDLE both[2] = {event, process};
  DWORD r = WaitForMultipleObjects(process != nullptr ? 2 : 1, both, FALSE, timeoutMs);
  if (r == WAIT_OBJECT_0) return 0;
  if (r == WAIT_OBJECT_0 + 1) return 1;
  return 2;
}

std::string ExePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

}  // namespace pelipc
