// Log set-up in fresh helper processes: the file prefix chosen from the
// executable's path, the folder, a refused profile folder, once-only set-up
// under racing first calls, and the severity gate, all checked in the files
// the library writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/init_log.h"
#include "log/log.h"
#include "pel_ipc.h"
#include "platform/fault_injection.h"
#include "support/debug_output.h"
#include "support/files.h"
#include "support/helpers.h"
#include "support/log_files.h"

namespace {

constexpr uint32_t kHelperTimeoutMs = 60000;

// "--null" stands for a null LogName on the helper's command line.
const char* NameArg(const std::string& arg) { return arg == "--null" ? nullptr : arg.c_str(); }

bool WriteReport(const std::string& path) {
  const pellog::Logger* logger = pellog::Logger::Get();
  const std::string report = pellog::LogFolder() + "\n" + pellog::LogFilePrefix() + "\n" +
                             std::to_string(logger != nullptr ? logger->appenderCount() : -1) +
                             "\n";
  return pel_test::WriteFileBytes(path, report);
}

struct Report {
  std::string folder;
  std::string prefix;
  int appenders = -1;
};

Report ReadReport(const std::string& path) {
  const auto lines = pel_test::SplitLines(pel_test::ReadFileBytes(path));
  Report r;
  if (lines.size() >= 3) {
    r.folder = lines[0];
    r.prefix = lines[1];
    r.appenders = std::stoi(lines[2]);
  }
  return r;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> NonEmptyLines(const std::string& bytes) {
  std::vector<std::string> out;
  for (auto& l : pel_test::SplitLines(bytes))
    if (!l.empty()) out.push_back(l);
  return out;
}

}  // namespace

// args: report file, name, marker. Logs the marker once set up; repeats it
// until it is seen in the file, since a process of another test writing the
// same file at that very moment makes one open fail by design.
PEL_TEST_HELPER(init_and_mark) {
  if (args.size() < 3) return 90;
  InitLog(NameArg(args[1]));
  if (!WriteReport(args[0])) return 91;
  const std::string folder = pellog::LogFolder();
  const std::string prefix = pellog::LogFilePrefix();
  for (int attempt = 0; attempt < 20; ++attempt) {
    PEL_LOGI << "mark " << args[2];
    if (pel_test::ReadLogFiles(folder, prefix, std::time(nullptr)).find("mark " + args[2]) !=
        std::string::npos)
      return 0;
  }
  return 92;
}

namespace {

struct PrefixCase {
  std::string exeName;   // relative to the scratch folder
  std::string name;      // "--null" for a null name
  std::string expected;  // prefix
};

}  // namespace

TEST(InitLog, PrefixFollowsTheExecutablePathCaseSensitively) {
  pel_test::TempDir dir("prefix");
  const std::string exes[] = {"q\\quillon.exe", "m\\Morrow.exe", "u\\MORROW.EXE",
                              "Morrow.exe.d\\host.exe"};
  for (const auto& exe : exes) {
    const std::string target = dir / exe;
    CreateDirectoryA(target.substr(0, target.find_last_of('\\')).c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(pel_test::ExePath().c_str(), target.c_str(), FALSE)) << target;
  }
  const PrefixCase cases[] = {
      {exes[0], "abc", "pel_ipc_quillon-"},    {exes[0], "", "pel_ipc_quillon-"},
      {exes[0], "--null", "pel_ipc_quillon-"}, {exes[1], "abc", "pel_ipc_morrow-abc-"},
      {exes[1], "", "pel_ipc_morrow--"},       {exes[1], "--null", "pel_ipc_morrow-0-"},
      {exes[2], "abc", "pel_ipc-abc-"},        {exes[2], "", "pel_ipc--"},
      {exes[2], "--null", "pel_ipc-0-"},       {exes[3], "abc", "pel_ipc_morrow-abc-"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exeName + " name=" + c.name);
    const std::string report = dir / ("report" + std::to_string(n));
    const std::string marker =
        "prefix-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n++);
    const std::time_t start = std::time(nullptr);
    pel_test::HelperProcess helper(dir / c.exeName, "init_and_mark", {report, c.name, marker});
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(helper.Wait(kHelperTimeoutMs), 0);
    const Report r = ReadReport(report);
    EXPECT_EQ(r.prefix, c.expected);
    EXPECT_EQ(r.appenders, 1);
    EXPECT_TRUE(EndsWith(r.folder, "\\Documents\\Morrow\\log")) << r.folder;
    const std::string bytes = pel_test::ReadLogFiles(r.folder, c.expected, start);
    EXPECT_NE(bytes.find("] mark " + marker + "\n"), std::string::npos);
    // Only this test writes the Morrow and quillon families; the generic
    // names may be shared with other tests running now.
    if (c.expected.compare(0, 8, "pel_ipc_") == 0)
      pel_test::DeleteLogFiles(r.folder, c.expected, start);
  }
}

// args: report file, name. Sixteen threads race into the first set-up and
// each logs 40 records.
PEL_TEST_HELPER(init_race) {
  if (args.size() < 2) return 90;
  constexpr int kThreads = 16;
  constexpr int kRecords = 40;
  pel_test::Signal go;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&go, &args, i] {
      go.Wait(30000);
      InitLog(args[1].c_str());
      for (int j = 0; j < kRecords; ++j) {
        PEL_LOGI << "race thread " << i << " record " << j << " padding padding padding padding";
      }
    });
  }
  go.Set();
  for (auto& t : threads) t.join();
  return WriteReport(args[0]) ? 0 : 91;
}

// Runs a set-up helper under the library's default prefix rule and takes the
// log lines it wrote since it started (the files are removed after).
void RunSetUpHelper(const char* helperName, const std::string& name, Report* r,
                    std::string* bytes) {
  pel_test::TempDir dir(name.c_str());
  const std::string report = dir / "report";
  const std::time_t start = std::time(nullptr);
  pel_test::HelperProcess helper(helperName, {report, name});
  ASSERT_TRUE(helper.started());
  ASSERT_EQ(helper.Wait(kHelperTimeoutMs), 0);
  *r = ReadReport(report);
  ASSERT_EQ(r->prefix, "pel_ipc-" + name + "-");
  *bytes = pel_test::ReadLogFiles(r->folder, r->prefix, start);
  pel_test::DeleteLogFiles(r->folder, r->prefix, start);
}

TEST(InitLog, RacingFirstCallsSetUpOnceAndLoseNoRecord) {
  const std::string name = "race" + std::to_string(GetCurrentProcessId());
  Report r;
  std::string bytes;
  ASSERT_NO_FATAL_FAILURE(RunSetUpHelper("init_race", name, &r, &bytes));
  EXPECT_EQ(r.appenders, 1);
  const auto all = pel_test::SplitLines(bytes);
  int success = 0, notices = 0;
  std::vector<std::vector<int>> seen(16, std::vector<int>(40, 0));
  for (size_t k = 0; k < all.size(); ++k) {
    const std::string& line = all[k];
    if (line.empty()) continue;
    ASSERT_TRUE(pel_test::IsRecordLine(line)) << line;
    if (line.find("[InitLog@") != std::string::npos &&
        line.find("InitLog success! Compile time:") != std::string::npos)
      ++success;
    if (line.find(" WARN  [") != std::string::npos &&
        line.find("] [InitLog@") != std::string::npos &&
        EndsWith(line, "] >>>>>>>>Already initialized plog!")) {
      ++notices;
      // The notice carries its own line feed: an empty line follows it.
      ASSERT_LT(k + 1, all.size());
      EXPECT_EQ(all[k + 1], "");
    }
    int i = -1, j = -1;
    const size_t at = line.find("] race thread ");
    if (at != std::string::npos &&
        std::sscanf(line.c_str() + at, "] race thread %d record %d", &i, &j) == 2 && i >= 0 &&
        i < 16 && j >= 0 && j < 40) {
      EXPECT_TRUE(EndsWith(line, " padding padding padding padding")) << line;
      ++seen[i][j];
    }
  }
  EXPECT_EQ(success, 1);
  EXPECT_EQ(notices, 15);
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 40; ++j) EXPECT_EQ(seen[i][j], 1) << "thread " << i << " record " << j;
}

// args: report file, name. Logs at every severity around set-up, then asks
// for a second set-up under another name.
PEL_TEST_HELPER(init_gate) {
  if (args.size() < 2) return 90;
  PEL_LOGI << "gate before set-up";
  InitLog(args[1].c_str());
  PEL_LOGF << "gate fatal";
  PEL_LOGE << "gate error";
  PEL_LOGW << "gate warning";
  PEL_LOGI << "gate info";
  PEL_LOGD << "gate debug";
  PEL_LOGV << "gate verbose";
  InitLog("another");
  PEL_LOGI << "gate after second set-up";
  return WriteReport(args[0]) ? 0 : 91;
}

TEST(InitLog, OnlyInfoAndGraverReachTheFileAndOnlyAfterSetUp) {
  const std::string name = "gate" + std::to_string(GetCurrentProcessId());
  Report r;
  std::string bytes;
  // The prefix check inside: the second name changes nothing.
  ASSERT_NO_FATAL_FAILURE(RunSetUpHelper("init_gate", name, &r, &bytes));

  const auto lines = NonEmptyLines(bytes);
  ASSERT_EQ(lines.size(), 7u) << bytes;
  for (const auto& l : lines) EXPECT_TRUE(pel_test::IsRecordLine(l)) << l;
  EXPECT_NE(lines[0].find(" INFO  ["), std::string::npos);
  EXPECT_NE(lines[0].find("] [InitLog@"), std::string::npos);
  // "Mmm dd yyyy, hh:mm:ss" from the build.
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(.*\] InitLog success! Compile time:[A-Z][a-z]{2} [ 0-9]\d \d{4}, \d{2}:\d{2}:\d{2}$)")))
      << lines[0];
  const char* expected[][2] = {{"FATAL", "gate fatal"},
                               {"ERROR", "gate error"},
                               {"WARN ", "gate warning"},
                               {"INFO ", "gate info"}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NE(lines[1 + k].find(std::string(" ") + expected[k][0] + " ["), std::string::npos);
    EXPECT_TRUE(EndsWith(lines[1 + k], std::string("] ") + expected[k][1])) << lines[1 + k];
  }
  EXPECT_NE(lines[5].find(" WARN  ["), std::string::npos);
  EXPECT_NE(lines[5].find("] [InitLog@"), std::string::npos);
  EXPECT_TRUE(EndsWith(lines[5], "] >>>>>>>>Already initialized plog!"));
  EXPECT_NE(bytes.find(">>>>>>>>Already initialized plog!\n\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(lines[6], "] gate after second set-up"));
  EXPECT_EQ(bytes.find("gate before"), std::string::npos);
  EXPECT_EQ(bytes.find("gate debug"), std::string::npos);
  EXPECT_EQ(bytes.find("gate verbose"), std::string::npos);
}

// args: report file, first name, second name[, error the profile look-up is
// refused with].
PEL_TEST_HELPER(init_twice) {
  if (args.size() < 3) return 90;
  if (args.size() > 3) pel::fault::RefuseProfileDirectory(std::stoul(args[3]));
  InitLog(args[1].c_str());
  PEL_LOGI << "set up as " << args[1];
  InitLog(args[2].c_str());
  return WriteReport(args[0]) ? 0 : 91;
}

TEST(InitLog, TracesSetUpToDebuggerAndStdoutAndTheFolderFollowsTheShellLookUp) {
  pel_test::TempDir dir("trace");
  const std::string report = dir / "report";
  const std::string name = "trace" + std::to_string(GetCurrentProcessId());
  const std::time_t start = std::time(nullptr);
  const auto run =
      pel_test::RunUnderDebugger("", "init_twice", {report, name, "other"}, kHelperTimeoutMs, true);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0);
  const Report r = ReadReport(report);
  pel_test::DeleteLogFiles(r.folder, r.prefix, start);
  EXPECT_EQ(r.prefix, "pel_ipc-" + name + "-");

  std::vector<std::string> lines;
  for (const auto& s : run.debugStrings)
    if (!s.empty() && (s[0] == '[' || s[0] == '>' || s == r.folder)) lines.push_back(s);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "[InitLog] Try to get log path...");
  // Without a shell process (the usual case under a bare wineserver) the
  // folder hangs off the current drive's root; with one, off its profile.
  const std::string tokenFault = "[PelTools::GetUserToken][";
  if (lines[1].compare(0, tokenFault.size(), tokenFault) == 0) {
    EXPECT_TRUE(EndsWith(lines[1], "] >>>>explorer not found!!!<<<<\n")) << lines[1];
    EXPECT_EQ(r.folder, "\\Documents\\Morrow\\log");
  } else {
    const std::string found = "[PelTools::GetCurrentUserDocumentPath] Get user document path:";
    ASSERT_EQ(lines[1].compare(0, found.size(), found), 0) << lines[1];
    const std::string profile = lines[1].substr(found.size());
    EXPECT_FALSE(profile.empty());
    EXPECT_EQ(r.folder, profile + "\\Documents\\Morrow\\log");
  }
  EXPECT_EQ(lines[2], "[InitLog] Get full pel_ipc log path:" + r.folder);
  EXPECT_EQ(lines[3], r.folder);
  EXPECT_EQ(lines[4], ">>>>>>>>Already initialized plog!\n");
  EXPECT_TRUE(pel_test::DirExists(r.folder)) << "the test wrapper prepares " << r.folder;

  // Standard output has the trace lines, each with a line end of its own,
  // and nothing else from the set-up.
  EXPECT_EQ(run.stdoutText, lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
}

TEST(InitLog, RefusedProfileFolderIsTracedAndTheLogGoesFromTheDriveRoot) {
  pel_test::TempDir dir("refused");
  const std::string report = dir / "report";
  const std::string name = "refused" + std::to_string(GetCurrentProcessId());
  const std::time_t start = std::time(nullptr);
  const auto run = pel_test::RunUnderDebugger("", "init_twice", {report, name, "other", "5"},
                                              kHelperTimeoutMs, true);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0);  // the host lives on
  const Report r = ReadReport(report);
  EXPECT_EQ(r.folder, "\\Documents\\Morrow\\log");
  EXPECT_EQ(r.prefix, "pel_ipc-" + name + "-");
  EXPECT_EQ(r.appenders, 1);

  std::vector<std::string> lines;
  for (const auto& s : run.debugStrings)
    if (!s.empty() && s[0] == '[') lines.push_back(s);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "[InitLog] Try to get log path...");
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(\[PelTools::GetCurrentUserDocumentPath\]\[\d+\] )"
                           R"(>>>>GetUserProfileDirectory\(\) failed!!! error:5<<<<\n)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex(R"(\[InitLog\]\[\d+\] >>>>Get user log path failed!!!<<<<\n)")))
      << lines[2];
  EXPECT_EQ(lines[3], "[InitLog] Get full pel_ipc log path:\\Documents\\Morrow\\log");

  const std::string bytes = pel_test::ReadLogFiles(r.folder, r.prefix, start);
  pel_test::DeleteLogFiles(r.folder, r.prefix, start);
  EXPECT_NE(bytes.find("] InitLog success! Compile time:"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("] set up as " + name + "\n"), std::string::npos) << bytes;
}

namespace {
int32_t NoConnect(uint32_t, void*) { return 0; }
int32_t NoSend(uint32_t, void*) { return 0; }
int32_t NoRecv(uint32_t, const uint8_t*, uint32_t, void*) { return 0; }
int32_t NoClose(uint32_t, int32_t, void*) { return 0; }
}  // namespace

// args: name. Loads the real DLL, creates and destroys two servers through
// its exports, and unloads it: set-up happens inside the DLL, and the
// unload tears the logger down before the appender without a fault.
PEL_TEST_HELPER(dll_round_trip) {
  if (args.empty()) return 90;
  HMODULE dll = LoadLibraryA((pel_test::ExeDir() + "pel_ipc.dll").c_str());
  if (dll == nullptr) return 91;
  auto create = reinterpret_cast<decltype(&PEL_CreateIpcServer)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "PEL_CreateIpcServer")));
  auto destroy = reinterpret_cast<decltype(&PEL_DestroyIpcServer)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "PEL_DestroyIpcServer")));
  if (create == nullptr || destroy == nullptr) return 92;
  PelIpcCallback callback{};
  callback.OnConnect = NoConnect;
  callback.OnSend = NoSend;
  callback.OnRecv = NoRecv;
  callback.OnClose = NoClose;
  std::snprintf(callback.LogName, sizeof callback.LogName, "%s", args[0].c_str());
  PelIpcServerHandle first = create(&callback);
  std::snprintf(callback.LogName, sizeof callback.LogName, "%s", "another");
  PelIpcServerHandle second = create(&callback);
  if (first == nullptr || second == nullptr) return 93;
  destroy(second);
  destroy(first);
  return FreeLibrary(dll) ? 0 : 94;
}

TEST(InitLog, SetUpInsideTheDllAndItsUnload) {
  const std::string name = "dll" + std::to_string(GetCurrentProcessId());
  const std::time_t start = std::time(nullptr);
  const auto run =
      pel_test::RunUnderDebugger("", "dll_round_trip", {name}, kHelperTimeoutMs, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  std::string folder;
  const std::string announced = "[InitLog] Get full pel_ipc log path:";
  for (const auto& s : run.debugStrings)
    if (s.compare(0, announced.size(), announced) == 0) folder = s.substr(announced.size());
  ASSERT_FALSE(folder.empty());
  const std::string prefix = "pel_ipc-" + name + "-";
  const std::string bytes = pel_test::ReadLogFiles(folder, prefix, start);
  pel_test::DeleteLogFiles(folder, prefix, start);
  const auto lines = NonEmptyLines(bytes);
  ASSERT_FALSE(lines.empty());
  for (const auto& l : lines) EXPECT_TRUE(pel_test::IsRecordLine(l)) << l;
  EXPECT_NE(bytes.find("] [InitLog@"), std::string::npos);
  EXPECT_NE(bytes.find("] InitLog success! Compile time:"), std::string::npos);
  EXPECT_NE(bytes.find("] >>>>>>>>Already initialized plog!\n\n"), std::string::npos);
  // One set-up only: the second server's name made no file of its own.
  EXPECT_EQ(pel_test::ReadLogFiles(folder, "pel_ipc-another-", start), "");
}
