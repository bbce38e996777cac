// Loads the real DLL as a host would, and watches its debugger output by
// running a helper process under our own debug loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/helpers.h"

namespace {

std::string DllPath() { return pel_test::ExeDir() + "pel_ipc.dll"; }

}  // namespace

PEL_TEST_HELPER(load_and_free) {
  (void)args;
  HMODULE dll = LoadLibraryA(DllPath().c_str());
  if (dll == nullptr) return 2;
  // The fourteen entry points are reachable by their plain names.
  const char* names[] = {"PEL_CreateIpcServer", "PEL_IpcClientSyncCall",
                         "PEL_IsIpcClientConnected"};
  for (const char* n : names)
    if (GetProcAddress(dll, n) == nullptr) return 3;
  return FreeLibrary(dll) ? 0 : 4;
}

TEST(DllMain, LoadAndFreeSucceed) {
  pel_test::HelperProcess p("load_and_free", {});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.Wait(30000), 0);
}

TEST(DllMain, WritesAttachAndDetachLinesToTheDebugger) {
  std::string cmd = "\"" + pel_test::ExePath() + "\" --helper load_and_free";
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                             nullptr, nullptr, &si, &pi));
  std::vector<std::string> lines;
  bool done = false;
  const ULONGLONG end = GetTickCount64() + 30000;
  while (!done && GetTickCount64() < end) {
    DEBUG_EVENT ev{};
    if (!WaitForDebugEvent(&ev, 1000)) continue;
    DWORD status = DBG_CONTINUE;
    switch (ev.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const auto& info = ev.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(pi.hProcess, info.lpDebugStringData, &text[0], text.size(), &got);
        text.resize(got);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        if (text.rfind("pel_ipc", 0) == 0) lines.push_back(text);
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
        done = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_TRUE(done);
  // Exactly one attach line first and one detach line last; thread lines may
  // come between, from threads the runtime starts.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "pel_ipc DLL_PROCESS_ATTACH!");
  EXPECT_EQ(lines.back(), "pel_ipc DLL_PROCESS_DETACH!");
  for (size_t i = 1; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(lines[i] == "pel_ipc DLL_THREAD_ATTACH!" ||
                lines[i] == "pel_ipc DLL_THREAD_DETACH!")
        << lines[i];
}
