#include "support/debug_output.h"

#include <atomic>

#include "platform/win.h"
#include "support/files.h"
#include "support/helpers.h"

namespace pel_test {

DebuggedRun RunUnderDebugger(const std::string& exePath, const std::string& helper,
                             const std::vector<std::string>& args, uint32_t timeoutMs,
                             bool captureStdout) {
  DebuggedRun run;
  std::string cmd = "\"" + (exePath.empty() ? ExePath() : exePath) + "\" --helper " + helper;
  for (const auto& a : args) cmd += " \"" + a + "\"";
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');

  static std::atomic<unsigned> counter{0};
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string outPath = std::string(temp) + "pel_stdout_" +
                              std::to_string(GetCurrentProcessId()) + "_" +
                              std::to_string(counter.fetch_add(1)) + ".txt";
  HANDLE out = INVALID_HANDLE_VALUE;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (captureStdout) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  const BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, captureStdout,
                                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &si, &pi);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (!created) return run;

  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!run.finished && GetTickCount64() < end) {
    DEBUG_EVENT ev{};
    if (!WaitForDebugEvent(&ev, 200)) continue;
    DWORD status = DBG_CONTINUE;
    switch (ev.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const auto& info = ev.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(pi.hProcess, info.lpDebugStringData, &text[0], text.size(), &got);
        text.resize(got);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        run.debugStrings.push_back(text);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case CREATE_PROCESS_DEBUG_EVENT:
        if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        run.finished = true;
        run.exitCode = static_cast<int>(ev.u.ExitProcess.dwExitCode);
        break;
      default:
        break;
    }
    ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
  }
  if (!run.finished) TerminateProcess(pi.hProcess, 255);
  WaitForSingleObject(pi.hProcess, 5000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  if (captureStdout) {
    const std::string raw = ReadFileBytes(outPath);
    DeleteFileA(outPath.c_str());
    for (size_t i = 0; i < raw.size(); ++i)
      if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) run.stdoutText += raw[i];
  }
  return run;
}

}  // namespace pel_test
