#include "support/debug_output.h"

#include "common/event.h"
#include "common/process.h"
#include "platform/win.h"
#include "support/files.h"
#include "support/helpers.h"

namespace pel_test {

DebuggedRun RunUnderDebugger(const std::string& exePath, const std::string& helper,
                             const std::vector<std::string>& args, uint32_t timeoutMs,
                             bool captureStdout) {
  DebuggedRun run;
  std::vector<std::string> all = {"--helper", helper};
  all.insert(all.end(), args.begin(), args.end());
  const std::string cmd = pel_tools::CommandLine(exePath.empty() ? ExePath() : exePath, all);
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string outPath = pel_tools::UniqueName(std::string(temp) + "pel_stdout") + ".txt";
  HANDLE out = INVALID_HANDLE_VALUE;
  if (captureStdout) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  const bool c = captureStdout;
  HANDLE process = pel_tools::Spawn(cmd, c ? GetStdHandle(STD_INPUT_HANDLE) : nullptr,
                                    c ? out : nullptr, c ? GetStdHandle(STD_ERROR_HANDLE) : nullptr,
                                    DEBUG_ONLY_THIS_PROCESS, nullptr);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (process == nullptr) return run;

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
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], text.size(), &got);
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
  if (!run.finished) TerminateProcess(process, 255);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);

  if (captureStdout) {
    const std::string raw = ReadFileBytes(outPath);
    DeleteFileA(outPath.c_str());
    for (size_t i = 0; i < raw.size(); ++i)
      if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) run.stdoutText += raw[i];
  }
  return run;
}

}  // namespace pel_test
