// Log set-up in fresh helper processes under our own debug loop, as a debugger would see it.

#include <ctime>
#include <regex>
#include <sstream>

#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"
#include "platform/fault_injection.h"
#include "platform/user_session.h"
#include "support/fixtures.h"

using namespace pel::test;

namespace {

constexpr int kRecords = 40;
const std::string kNotice = ">>>>>>>>Already initialized plog!";
// A record's line: severity and message kept, the set-up's build date (Mmm dd yyyy, hh:mm:ss) cut.
const std::regex kLayout(
    R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (FATAL|ERROR|WARN |INFO |DEBUG|VERB |NONE ) )"
    R"(\[\d+\] \[[A-Za-z_:]+@\d+\] (.*?)([A-Z][a-z]{2} [ 0-9]\d \d{4}, \d{2}:\d{2}:\d{2})?)");
// Thread lines may come between attach and detach, from the runtime's threads.
const std::regex kDllLines(
    "pel_ipc DLL_PROCESS_ATTACH!\n(pel_ipc DLL_THREAD_(ATTACH|DETACH)!\n)*"
    "pel_ipc DLL_PROCESS_DETACH!\n");

// A helper mode of exe: its exit code, trace and DLL debug strings (one a line), LF-ended stdout.
std::tuple<int, std::string, std::string, std::string> RunUnderDebugger(
    const std::string& exe, const std::vector<std::string>& args) {
  int exitCode = -1;
  std::string trace, dll;
  const std::string outPath = UniqueName("pel_stdout") + ".txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE process = Spawn(CommandLine(exe, HelperArgs("set_up", args)), nullptr, out,
                         GetStdHandle(STD_ERROR_HANDLE), DEBUG_ONLY_THIS_PROCESS, nullptr);
  CloseHandle(out);
  if (process == nullptr) return {exitCode, trace, dll, ""};
  for (const ULONGLONG end = GetTickCount64() + 60000; exitCode < 0 && GetTickCount64() < end;) {
    DEBUG_EVENT e{};
    if (!WaitForDebugEvent(&e, 200)) continue;
    const DWORD code = e.dwDebugEventCode;
    if (code == OUTPUT_DEBUG_STRING_EVENT) {
      std::string d(e.u.DebugString.nDebugStringLength, '\0');
      ReadProcessMemory(process, e.u.DebugString.lpDebugStringData, &d[0], d.size(), nullptr);
      d.resize(std::strlen(d.c_str()));
      if (!d.empty() && (d[0] == '[' || d[0] == '>')) trace += d + "\n";
      if (d.compare(0, 8, "pel_ipc ") == 0) dll += d + "\n";
    }
    if (code == CREATE_PROCESS_DEBUG_EVENT) CloseHandle(e.u.CreateProcessInfo.hFile);
    if (code == LOAD_DLL_DEBUG_EVENT) CloseHandle(e.u.LoadDll.hFile);
    if (code == EXIT_PROCESS_DEBUG_EVENT) exitCode = int(e.u.ExitProcess.dwExitCode);
    const bool bad = code == EXCEPTION_DEBUG_EVENT &&
                     e.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT;
    ContinueDebugEvent(e.dwProcessId, e.dwThreadId, bad ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE);
  }
  if (exitCode < 0) TerminateProcess(process, 255);
  WaitForSingleObject(process, 5000), CloseHandle(process);
  const std::string text = std::regex_replace(ReadFileBytes(outPath), std::regex("\r\n"), "\n");
  DeleteFileA(outPath.c_str());
  return {exitCode, trace, dll, text};
}

}  // namespace

// args: name ("--null": none), threads that race into the first set-up, then each log (0: load the
// DLL, create and destroy a server through its exports, unload it), marker, profile error or 0.
PEL_TEST_HELPER(set_up) {
  pel::fault::RefuseProfileDirectory(std::stoul(args[3]));
  DebugTrace("F", -1, "%s", std::string(300, 'a').c_str());  // both forms cut to 254
  DebugTrace("F", 7, "%s", std::string(300, 'b').c_str());
  if (args[1] == "0") {
    HMODULE dll = LoadLibraryA((ExeDir() + "pel_ipc.dll").c_str());
    auto get = [dll](const char* f) { return reinterpret_cast<void*>(GetProcAddress(dll, f)); };
    auto create = reinterpret_cast<decltype(&PEL_CreateIpcServer)>(get("PEL_CreateIpcServer"));
    auto destroy = reinterpret_cast<decltype(&PEL_DestroyIpcServer)>(get("PEL_DestroyIpcServer"));
    CallbackRecorder rec;
    const PelIpcCallback callback = rec.Table(args[0]);
    PelIpcServerHandle server = create(&callback);
    return server == nullptr ? 92 : (destroy(server), FreeLibrary(dll)) ? 0 : 93;
  }
  PEL_LOGI << args[2] << " before set-up";
  Signal go;
  std::vector<std::thread> threads;
  for (int i = 0; i < std::stoi(args[1]); ++i)
    threads.emplace_back([&go, &args, i] {
      go.Wait(30000);
      InitLog(args[0] == "--null" ? nullptr : args[0].c_str());
      for (int j = 0; j < kRecords; ++j) PEL_LOGI << args[2] << " " << i << " " << j << " end";
      PEL_LOGD << args[2] << " debug";
    });
  go.Set();
  for (auto& t : threads) t.join();
  return 0;
}

// A refused profile folder leaves the host alive, its log at the drive's root; racing first calls
// set up once and lose no record; the DLL's unload ends the logger before its appender, cleanly.
TEST(LogSetUp, PrefixTraceFolderRacingFirstCallsAndTheDll) {
  TempDir dir("prefix");
  const std::string race = "race" + std::to_string(GetCurrentProcessId());
  // A copy of this program at each path, then the prefix its log takes for the names "abc", ""
  // and none ("--null"); an empty prefix: not run.
  const std::pair<std::string, std::vector<std::string>> copies[] = {
      {"q\\quillon.exe", {"pel_ipc_quillon-", "", "pel_ipc_quillon-"}},
      {"m\\Morrow.exe", {"pel_ipc_morrow-abc-", "pel_ipc_morrow--", "pel_ipc_morrow-0-"}},
      {"u\\MORROW.EXE", {"pel_ipc-abc-", "pel_ipc--", "pel_ipc-0-"}},
      {"Morrow.exe.d\\host.exe", {"pel_ipc_morrow-abc-", "", ""}}};
  // -1: this program, 16 racing threads (-3: the profile refused with error 5); -2: the DLL.
  std::vector<std::tuple<int, std::string, std::string>> rows;
  for (const std::string mode : {"1", "3", "2"})
    rows.emplace_back(-std::stoi(mode), race + mode, "pel_ipc-" + race + mode + "-");
  for (int exe = 0; exe < 4; ++exe) {
    const std::string target = dir / copies[exe].first;
    CreateDirectoryA(target.substr(0, target.find_last_of('\\')).c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ExePath().c_str(), target.c_str(), FALSE)) << target;
    for (int n = 0; n < 3; ++n)
      if (!copies[exe].second[n].empty())
        rows.emplace_back(exe, n == 0 ? "abc" : n == 1 ? "" : "--null", copies[exe].second[n]);
  }
  for (const auto& [exe, name, prefix] : rows) {
    SCOPED_TRACE(prefix + " name=" + name);
    const int threads = exe == -2 ? 0 : exe < 0 ? 16 : 1;
    const std::vector<std::string> args = {name, std::to_string(threads), race + prefix,
                                           exe == -3 ? "5" : "0"};
    const std::time_t start = std::time(nullptr);
    const auto [exitCode, trace, dll, out] =
        RunUnderDebugger(exe < 0 ? ExePath() : dir / copies[exe].first, args);
    ASSERT_EQ(exitCode, 0);
    EXPECT_TRUE(exe != -2 || std::regex_match(dll, kDllLines)) << dll;
    // The trace as stdout has it, then the notices of the threads that found the log set up.
    std::string notices;
    for (int i = 1; i < threads; ++i) notices += kNotice + "\n\n";
    EXPECT_EQ(trace, out + notices);
    std::smatch m, r;
    const std::regex traced(
        R"(\[F\] a{250}\n\[F\]\[7\] >>>>b{243}\n\[InitLog\] Try to get log path\.\.\.\n)" +
        std::string(
            exe != -3 ? R"((\[PelTools::GetUserToken\]\[\d+\] >>>>explorer not found!!!<<<<\n\n|)"
                        R"(\[PelTools::GetCurrentUserDocumentPath\] Get user document path:(.+)\n))"
                      : R"((\[PelTools::GetCurrentUserDocumentPath\]\[\d+\] )"
                        R"(>>>>GetUserProfileDirectory\(\) failed!!! error:5<<<<\n\n)"
                        R"(\[InitLog\]\[\d+\] >>>>Get user log path failed!!!<<<<\n\n)())") +
        R"(\[InitLog\] Get full pel_ipc log path:(.*)\n)");
    ASSERT_TRUE(std::regex_match(out, m, traced)) << out;
    EXPECT_EQ(m.str(3), m.str(2) + "\\Documents\\Morrow\\log");

    // The day files of the start and of now. Only this test writes all but MORROW.EXE's; one
    // record is enough in that generic one, where another test's process may make one drop.
    const std::string first = m.str(3) + "\\" + pel::log::DayFileName(prefix, start),
                      now = m.str(3) + "\\" + pel::log::DayFileName(prefix, std::time(nullptr));
    const std::string bytes = ReadFileBytes(first) + (now != first ? ReadFileBytes(now) : "");
    if (exe != 2) DeleteFileA(first.c_str()), DeleteFileA(now.c_str());
    EXPECT_NE(bytes.find(threads == 0 ? "] InitLog success!" : "] " + args[2] + " 0 "), bytes.npos);
    if (exe != -1 && exe != -3) continue;
    std::map<std::string, int> seen, expected = {{"", threads - 1},
                                                 {"WARN  " + kNotice, threads - 1},
                                                 {"INFO  InitLog success! Compile time:", 1}};
    for (int i = 0; i < threads * kRecords; ++i)
      ++expected["INFO  " + args[2] + " " + std::to_string(i / kRecords) + " " +
                 std::to_string(i % kRecords) + " end"];
    std::istringstream lines(bytes);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(line.empty() || std::regex_match(line, r, kLayout)) << line;
      ++seen[line.empty() ? "" : r.str(1) + " " + r.str(2)];
    }
    EXPECT_EQ(seen, expected);
  }
}
