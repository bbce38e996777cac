#include "common/process.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

namespace pel::tools {

struct Process::Captured {
  HANDLE pipe = nullptr;
  std::mutex lock;
  std::condition_variable grew;
  std::string text;
  bool ended = true;  // until a capture starts
  ~Captured() {
    if (pipe != nullptr) CloseHandle(pipe);
  }
};

namespace {

// Handles made with these go to the children that inherit.
SECURITY_ATTRIBUTES g_inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// One argument as the C runtime's parser gives it back: backslashes count only in front of a quote.
std::string QuoteArg(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  return out + "\"";
}

}  // namespace

std::string CommandLine(const std::string& exe, const std::vector<std::string>& args) {
  std::string cmd = QuoteArg(exe);
  for (const auto& a : args) cmd += " " + QuoteArg(a);
  return cmd;
}

std::string ExePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

std::string ExeDir() {
  std::string path = ExePath();
  return path.substr(0, path.find_last_of('\\') + 1);
}

HANDLE Spawn(const std::string& commandLine, HANDLE in, HANDLE out, HANDLE err, DWORD flags,
             DWORD* pid) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  const bool inherit = in != nullptr || out != nullptr || err != nullptr;
  si.dwFlags = inherit ? STARTF_USESTDHANDLES : 0;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  // A loaded machine can refuse a start for want of resources for a moment
  // (seen under Wine with several suites starting children at once); a
  // few tries keep a test from failing on that, and the last error stays.
  constexpr int kStartTries = 3;
  for (int attempt = 1; !CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherit, flags,
                                        nullptr, nullptr, &si, &pi);
       ++attempt) {
    if (attempt == kStartTries) return nullptr;
  }
  CloseHandle(pi.hThread);
  if (pid != nullptr) *pid = pi.dwProcessId;
  return pi.hProcess;
}

Process::Process(const std::string& exe, const std::vector<std::string>& args, Stdio stdio)
    : m_output(std::make_shared<Captured>()) {
  const std::string cmd = CommandLine(exe, args);
  if (stdio == Stdio::kCapture) {
    StartCapture(cmd);
  } else if (stdio == Stdio::kNone) {
    m_process = Spawn(cmd, nullptr, nullptr, nullptr, 0, &m_pid);
  } else {
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &g_inheritable, OPEN_EXISTING, 0, nullptr);
    m_process = Spawn(cmd, GetStdHandle(STD_INPUT_HANDLE),
                      nul != INVALID_HANDLE_VALUE ? nul : GetStdHandle(STD_OUTPUT_HANDLE),
                      GetStdHandle(STD_ERROR_HANDLE), 0, &m_pid);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  }
}

void Process::StartCapture(const std::string& commandLine) {
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &m_input, &g_inheritable, 0)) return;
  if (!CreatePipe(&m_output->pipe, &childOut, &g_inheritable, 0)) {
    CloseHandle(childIn);
    return;
  }
  // Our ends stay in this process.
  SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_output->pipe, HANDLE_FLAG_INHERIT, 0);
  m_process = Spawn(commandLine, childIn, childOut, childOut, 0, &m_pid);
  CloseHandle(childIn);
  CloseHandle(childOut);
  m_output->ended = false;
  std::thread([out = m_output] {
    char buffer[4096];
    for (bool ok = true; ok;) {
      DWORD n = 0;
      ok = ReadFile(out->pipe, buffer, sizeof buffer, &n, nullptr) && n > 0;
      std::lock_guard<std::mutex> hold(out->lock);
      // Text-mode output ends lines with CR LF; readers look for LF alone.
      std::remove_copy(buffer, buffer + (ok ? n : 0), std::back_inserter(out->text), '\r');
      out->ended = !ok;
      out->grew.notify_all();
    }
  }).detach();
}

Process::~Process() {
  if (m_process != nullptr && WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(m_process, 255);
    WaitForSingleObject(m_process, 5000);
  }
  if (m_process != nullptr) CloseHandle(m_process);
  CloseInput();
}

int Process::Wait(uint32_t timeoutMs) {
  if (m_process == nullptr || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_process, &code);
  return static_cast<int>(code);
}

bool Process::WaitForOutput(const std::string& text, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_output->lock);
  m_output->grew.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    return m_output->ended || m_output->text.find(text) != std::string::npos;
  });
  return m_output->text.find(text) != std::string::npos;
}

bool Process::WaitForEnd(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_output->lock);
  return m_output->grew.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [&] { return m_output->ended; });
}

std::string Process::Output() {
  std::lock_guard<std::mutex> hold(m_output->lock);
  return m_output->text;
}

void Process::CloseInput() {
  if (m_input != nullptr) CloseHandle(m_input);
  m_input = nullptr;
}

int RunProcess(const std::string& exe, const std::vector<std::string>& args, uint32_t timeoutMs,
               std::string* output) {
  Process process(exe, args, Stdio::kCapture);
  process.CloseInput();
  const int code = process.Wait(timeoutMs);
  if (code >= 0) process.WaitForEnd(5000);
  if (output != nullptr) *output = process.Output();
  return code;
}

}  // namespace pel::tools
