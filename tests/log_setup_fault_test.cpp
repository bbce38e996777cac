// Log set-up in fresh helper processes watched as a debugger would: the trace,
// the prefix chosen from the executable's path, the folder, a refused profile,
// racing first calls, the severity gate, the DLL loaded and unloaded.

#include <cstdio>
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
constexpr auto npos = std::string::npos;
const std::string kAnnounce = "[InitLog] Get full pel_ipc log path:";
const std::string kNotice = ">>>>>>>>Already initialized plog!";
const std::regex date(
    R"([A-Z][a-z]{2} [ 0-9]\d \d{4}, \d{2}:\d{2}:\d{2})");  // "Mmm dd yyyy, hh:mm:ss"
const std::regex layout(
    R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (FATAL|ERROR|WARN |INFO |DEBUG|VERB |NONE ) )"
    R"(\[\d+\] \[[A-Za-z_:]+@\d+\] .*)");
// Thread lines may come between attach and detach, from the runtime's threads.
const std::regex kDllLines(
    "pel_ipc DLL_PROCESS_ATTACH!\n(pel_ipc DLL_THREAD_(ATTACH|DETACH)!\n)*"
    "pel_ipc DLL_PROCESS_DETACH!\n");

struct DebuggedRun {
  int exitCode = -1;
  std::vector<std::string> debugStrings;  // in order, terminators removed
  std::string stdoutText;                 // CR LF turned into LF
};

// A helper mode of exe under our own debug loop, as a debugger sees it.
DebuggedRun RunUnderDebugger(const std::string& exe, const std::vector<std::string>& args) {
  DebuggedRun run;
  const std::string outPath = pel::tools::UniqueName("pel_stdout") + ".txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE process = pel::tools::Spawn(
      pel::tools::CommandLine(exe, HelperArgs("set_up", args)), GetStdHandle(STD_INPUT_HANDLE), out,
      GetStdHandle(STD_ERROR_HANDLE), DEBUG_ONLY_THIS_PROCESS, nullptr);
  CloseHandle(out);
  if (process == nullptr) return run;
  for (const ULONGLONG end = GetTickCount64() + 60000;
       run.exitCode < 0 && GetTickCount64() < end;) {
    DEBUG_EVENT ev{};
    if (!WaitForDebugEvent(&ev, 200)) continue;
    DWORD status = DBG_CONTINUE;
    if (ev.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
      std::string text(ev.u.DebugString.nDebugStringLength, '\0');
      SIZE_T got = 0;
      ReadProcessMemory(process, ev.u.DebugString.lpDebugStringData, &text[0], text.size(), &got);
      run.debugStrings.push_back(text.substr(0, std::min<size_t>(got, text.find('\0'))));
    } else if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
      if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
        status = DBG_EXCEPTION_NOT_HANDLED;
    } else if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
      CloseHandle(ev.u.CreateProcessInfo.hFile);
    } else if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      CloseHandle(ev.u.LoadDll.hFile);
    } else if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      run.exitCode = static_cast<int>(ev.u.ExitProcess.dwExitCode);
    }
    ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
  }
  if (run.exitCode < 0) TerminateProcess(process, 255);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
  run.stdoutText = std::regex_replace(ReadFileBytes(outPath), std::regex("\r\n"), "\n");
  DeleteFileA(outPath.c_str());
  return run;
}

// The bytes of folder\prefix<YYYYMMDDWW>.log for the local dates of start
// and of now (they differ only across midnight); deleted when asked.
std::string LogFiles(const std::string& folder, const std::string& prefix, std::time_t start,
                     bool remove) {
  std::string bytes, last;
  for (std::time_t t : {start, std::time(nullptr)}) {
    const std::string path = folder + "\\" + pel::log::DayFileName(prefix, t);
    if (path == last) continue;
    bytes += ReadFileBytes(last = path);
    if (remove) DeleteFileA(last.c_str());
  }
  return bytes;
}

}  // namespace

// args: name ("--null" for none), threads (0: load the real DLL as a host would, create and destroy
// a server through its exports, and unload it), marker[, error the profile look-up is refused
// with]. The threads race into the first set-up, then each logs.
PEL_TEST_HELPER(set_up) {
  if (args.size() > 3) pel::fault::RefuseProfileDirectory(std::stoul(args[3]));
  DebugTrace("F", -1, "%s", std::string(300, 'a').c_str());  // both forms cut to 254
  DebugTrace("F", 7, "%s", std::string(300, 'b').c_str());
  if (args[1] == "0") {
    HMODULE dll = LoadLibraryA((ExeDir() + "pel_ipc.dll").c_str());
    auto get = [dll](const char* f) { return reinterpret_cast<void*>(GetProcAddress(dll, f)); };
    auto create = reinterpret_cast<decltype(&PEL_CreateIpcServer)>(get("PEL_CreateIpcServer"));
    auto destroy = reinterpret_cast<decltype(&PEL_DestroyIpcServer)>(get("PEL_DestroyIpcServer"));
    if (dll == nullptr || create == nullptr || destroy == nullptr) return 91;
    CallbackRecorder rec;
    const PelIpcCallback callback = rec.Table(args[0]);
    PelIpcServerHandle server = create(&callback);
    if (server == nullptr) return 92;
    destroy(server);
    return FreeLibrary(dll) ? 0 : 93;
  }
  PEL_LOGI << args[2] << " before set-up";
  Signal go;
  std::vector<std::thread> threads;
  for (int i = 0; i < std::stoi(args[1]); ++i) {
    threads.emplace_back([&go, &args, i] {
      go.Wait(30000);
      InitLog(args[0] == "--null" ? nullptr : args[0].c_str());
      for (int j = 0; j < kRecords; ++j) PEL_LOGI << args[2] << " " << i << " " << j << " end";
      PEL_LOGD << args[2] << " debug";
    });
  }
  go.Set();
  for (auto& t : threads) t.join();
  return 0;
}

// A refused profile folder leaves the host alive and the log at the drive's
// root. Racing first calls set up once and lose no record. The DLL's unload
// tears the logger down before the appender without a fault.
TEST(LogSetUp, PrefixTraceFolderRacingFirstCallsAndTheDll) {
  TempDir dir("prefix");
  const std::string exes[] = {"q\\quillon.exe", "m\\Morrow.exe", "u\\MORROW.EXE",
                              "Morrow.exe.d\\host.exe"};
  for (const auto& exe : exes) {
    const std::string target = dir / exe;
    CreateDirectoryA(target.substr(0, target.find_last_of('\\')).c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ExePath().c_str(), target.c_str(), FALSE)) << target;
  }
  const std::string race = "race" + std::to_string(GetCurrentProcessId());
  // exe -1: this program, with sixteen racing threads (-3: and the profile
  // refused with error 5); -2: the DLL.
  const std::tuple<int, std::string, std::string> rows[] = {
      {0, "abc", "pel_ipc_quillon-"},
      {0, "--null", "pel_ipc_quillon-"},
      {1, "abc", "pel_ipc_morrow-abc-"},
      {1, "", "pel_ipc_morrow--"},
      {1, "--null", "pel_ipc_morrow-0-"},
      {2, "abc", "pel_ipc-abc-"},
      {2, "", "pel_ipc--"},
      {2, "--null", "pel_ipc-0-"},
      {3, "abc", "pel_ipc_morrow-abc-"},
      {-1, race, "pel_ipc-" + race + "-"},
      {-3, race + "r", "pel_ipc-" + race + "r-"},
      {-2, race + "d", "pel_ipc-" + race + "d-"},
  };
  for (const auto& [exe, name, prefix] : rows) {
    SCOPED_TRACE(prefix + " name=" + name);
    const int threads = exe == -2 ? 0 : exe < 0 ? 16 : 1;
    std::vector<std::string> args = {name, std::to_string(threads), race + prefix};
    if (exe == -3) args.push_back("5");
    const std::time_t start = std::time(nullptr);
    const auto run = RunUnderDebugger(exe < 0 ? ExePath() : dir / exes[exe], args);
    ASSERT_EQ(run.exitCode, 0);
    // The trace as the host's stdout has it, then the notices of the threads
    // that found the log set up; the DLL's lines apart.
    std::string trace, dll;
    for (const auto& d : run.debugStrings) {
      if (!d.empty() && (d[0] == '[' || d[0] == '>')) trace += d + "\n";
      if (d.compare(0, 8, "pel_ipc ") == 0) dll += d + "\n";
    }
    EXPECT_TRUE(exe != -2 || std::regex_match(dll, kDllLines)) << dll;
    std::string notices;
    for (int i = 1; i < threads; ++i) notices += kNotice + "\n\n";
    EXPECT_EQ(trace, run.stdoutText + notices);
    const std::string middle =
        exe != -3 ? R"((\[PelTools::GetUserToken\]\[\d+\] >>>>explorer not found!!!<<<<\n\n|)"
                    R"(\[PelTools::GetCurrentUserDocumentPath\] Get user document path:(.+)\n))"
                  : R"((\[PelTools::GetCurrentUserDocumentPath\]\[\d+\] )"
                    R"(>>>>GetUserProfileDirectory\(\) failed!!! error:5<<<<\n\n)"
                    R"(\[InitLog\]\[\d+\] >>>>Get user log path failed!!!<<<<\n\n)())";
    std::smatch m;
    const std::regex traced(
        "\\[F\\] a{250}\n\\[F\\]\\[7\\] >>>>b{243}\n"
        "\\[InitLog\\] Try to get log path\\.\\.\\.\n" +
        middle + "\\[InitLog\\] Get full pel_ipc log path:(.*)\n");
    ASSERT_TRUE(std::regex_match(run.stdoutText, m, traced)) << run.stdoutText;
    const std::string folder = m[3];
    EXPECT_EQ(folder, m[2].str() + "\\Documents\\Morrow\\log");

    // Only this test writes the Morrow, quillon and race files. One record of the forty is enough
    // in a generic file: a process of another test writing it at that very moment makes one drop.
    const std::string bytes =
        LogFiles(folder, prefix, start, prefix.compare(0, 8, "pel_ipc-") != 0 || exe < 0);
    EXPECT_NE(bytes.find(threads == 0 ? "] InitLog success!" : "] " + race + prefix + " 0 "), npos);
    if (exe != -1 && exe != -3) continue;
    const std::string success = "INFO  InitLog success! Compile time:";
    std::map<std::string, int> seen,
        expected = {{"", threads - 1}, {"WARN  " + kNotice, threads - 1}, {success, 1}};
    for (int i = 0; i < threads * kRecords; ++i)
      ++expected["INFO  " + args[2] + " " + std::to_string(i / kRecords) + " " +
                 std::to_string(i % kRecords) + " end"];
    std::istringstream lines(bytes);
    for (std::string line; std::getline(lines, line);) {
      const size_t at = line.find("] ", line.find("] [") + 3) + 2;
      std::string key = line.empty() ? "" : line.substr(24, 6) + line.substr(at);
      EXPECT_TRUE(line.empty() || std::regex_match(line, layout)) << line;
      if (key.compare(0, success.size(), success) == 0) {
        EXPECT_TRUE(std::regex_match(key.substr(success.size()), date)) << key;
        key = success;
      }
      ++seen[key];
    }
    EXPECT_EQ(seen, expected);
  }
}
