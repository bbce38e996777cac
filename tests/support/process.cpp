#include "support/process.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace pel_test {

struct RedirectedProcess::Captured {
  HANDLE pipe = nullptr;
  std::mutex lock;
  std::condition_variable grew;
  std::string text;
  bool ended = false;
  ~Captured() {
    if (pipe != nullptr) CloseHandle(pipe);
  }
};

namespace {

std::string Quote(const std::string& arg) {
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

RedirectedProcess::RedirectedProcess(const std::string& exe, const std::vector<std::string>& args)
    : m_output(std::make_shared<Captured>()) {
  SECURITY_ATTRIBUTES inherit;
  std::memset(&inherit, 0, sizeof inherit);
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &m_input, &inherit, 0)) return;
  if (!CreatePipe(&m_output->pipe, &childOut, &inherit, 0)) {
    CloseHandle(childIn);
    return;
  }
  // Our ends stay in this process.
  SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_output->pipe, HANDLE_FLAG_INHERIT, 0);

  std::string cmd = Quote(exe);
  for (const auto& a : args) cmd += " " + Quote(a);
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = childIn;
  si.hStdOutput = childOut;
  si.hStdError = childOut;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
  }
  CloseHandle(childIn);
  CloseHandle(childOut);
  std::thread([out = m_output] {
    char buffer[4096];
    for (;;) {
      DWORD n = 0;
      const bool ok = ReadFile(out->pipe, buffer, sizeof buffer, &n, nullptr) && n > 0;
      {
        std::lock_guard<std::mutex> hold(out->lock);
        // Text-mode output ends lines with CR LF; tests look for LF alone.
        for (DWORD i = 0; ok && i < n; ++i) {
          if (buffer[i] != '\r') out->text += buffer[i];
        }
        if (!ok) out->ended = true;
      }
      out->grew.notify_all();
      if (!ok) return;
    }
  }).detach();
}

RedirectedProcess::~RedirectedProcess() {
  if (m_process != nullptr) {
    if (WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) {
      TerminateProcess(m_process, 255);
      WaitForSingleObject(m_process, 5000);
    }
    CloseHandle(m_process);
  }
  CloseInput();
}

bool RedirectedProcess::WaitForOutput(const std::string& text, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_output->lock);
  m_output->grew.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    return m_output->ended || m_output->text.find(text) != std::string::npos;
  });
  return m_output->text.find(text) != std::string::npos;
}

bool RedirectedProcess::WaitForEnd(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_output->lock);
  return m_output->grew.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [&] { return m_output->ended; });
}

std::string RedirectedProcess::Output() {
  std::lock_guard<std::mutex> hold(m_output->lock);
  return m_output->text;
}

void RedirectedProcess::CloseInput() {
  if (m_input != nullptr) CloseHandle(m_input);
  m_input = nullptr;
}

int RedirectedProcess::Wait(uint32_t timeoutMs) {
  if (m_process == nullptr) return -1;
  if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_process, &code);
  return static_cast<int>(code);
}

int RunProcess(const std::string& exe, const std::vector<std::string>& args, uint32_t timeoutMs,
               std::string* output) {
  RedirectedProcess process(exe, args);
  process.CloseInput();
  const int code = process.Wait(timeoutMs);
  if (code >= 0) process.WaitForEnd(5000);
  if (output != nullptr) *output = process.Output();
  return code;
}

}  // namespace pel_test
