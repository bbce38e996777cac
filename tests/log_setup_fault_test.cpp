// Log set-up in fresh helper processes watched as a debugger would: the trace,
// the file prefix chosen from the executable's path, the folder, a refused
// profile folder, once-only set-up under racing first calls, the severity
// gate; and the DLL loaded and unloaded as a host would.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/init_log.h"
#include "log/log.h"
#include "pel_ipc.h"
#include "platform/fault_injection.h"
#include "platform/user_session.h"
#include "support/debug_output.h"
#include "support/files.h"
#include "support/helpers.h"
#include "support/log_files.h"

namespace {

constexpr int kRecords = 40;
constexpr auto npos = std::string::npos;
const std::string kAnnounce = "[InitLog] Get full pel_ipc log path:";
const std::string kNotice = ">>>>>>>>Already initialized plog!";
const std::regex date(
    R"([A-Z][a-z]{2} [ 0-9]\d \d{4}, \d{2}:\d{2}:\d{2})");  // "Mmm dd yyyy, hh:mm:ss"

struct SetUpRun {
  pel_test::DebuggedRun run;
  std::string folder;              // as the trace announced it
  std::vector<std::string> trace;  // the debugger lines of the set-up
};

SetUpRun Watch(const std::string& exe, const std::string& helper,
               const std::vector<std::string>& args) {
  SetUpRun s{pel_test::RunUnderDebugger(exe, helper, args, 60000, true), "", {}};
  for (const auto& d : s.run.debugStrings) {
    if (d.compare(0, kAnnounce.size(), kAnnounce) == 0) s.folder = d.substr(kAnnounce.size());
    if (!d.empty() && (d[0] == '[' || d[0] == '>')) s.trace.push_back(d);
  }
  return s;
}

}  // namespace

// args: name ("--null" for none), threads, marker[, error the profile look-up
// is refused with]. The threads race into the first set-up, then each logs.
PEL_TEST_HELPER(set_up) {
  if (args.size() > 3) pel::fault::RefuseProfileDirectory(std::stoul(args[3]));
  DebugTrace("F", -1, "%s", std::string(300, 'a').c_str());  // both forms cut to 254
  DebugTrace("F", 7, "%s", std::string(300, 'b').c_str());
  PEL_LOGI << args[2] << " before set-up";
  pel_test::Signal go;
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

// The prefix follows the executable's whole path, case-sensitively. Set-up
// reports to the debugger and standard output; a refused profile folder is
// reported and the log goes from the drive's root, the host lives on. Racing
// first calls set up once, lose no record and leave a notice each; only info
// and graver reach the file, and only after set-up.
TEST(LogSetUp, PrefixTraceFolderAndRacingFirstCalls) {
  pel_test::TempDir dir("prefix");
  const std::string exes[] = {"q\\quillon.exe", "m\\Morrow.exe", "u\\MORROW.EXE",
                              "Morrow.exe.d\\host.exe"};
  for (const auto& exe : exes) {
    const std::string target = dir / exe;
    CreateDirectoryA(target.substr(0, target.find_last_of('\\')).c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(pel_test::ExePath().c_str(), target.c_str(), FALSE)) << target;
  }
  const std::string race = "race" + std::to_string(GetCurrentProcessId());
  const struct {
    int exe;  // -1: this program, with sixteen racing threads
    std::string name, prefix;
    const char* refusal;
  } rows[] = {
      {0, "abc", "pel_ipc_quillon-", ""},      {0, "", "pel_ipc_quillon-", ""},
      {0, "--null", "pel_ipc_quillon-", ""},   {1, "abc", "pel_ipc_morrow-abc-", ""},
      {1, "", "pel_ipc_morrow--", ""},         {1, "--null", "pel_ipc_morrow-0-", ""},
      {2, "abc", "pel_ipc-abc-", ""},          {2, "", "pel_ipc--", ""},
      {2, "--null", "pel_ipc-0-", ""},         {3, "abc", "pel_ipc_morrow-abc-", ""},
      {-1, race, "pel_ipc-" + race + "-", ""}, {-1, race + "r", "pel_ipc-" + race + "r-", "5"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.prefix + " name=" + row.name);
    const int threads = row.exe < 0 ? 16 : 1;
    std::vector<std::string> args = {row.name, std::to_string(threads), race + row.prefix};
    if (*row.refusal != '\0') args.push_back(row.refusal);
    const std::time_t start = std::time(nullptr);
    const auto s = Watch(row.exe < 0 ? "" : dir / exes[row.exe], "set_up", args);
    ASSERT_EQ(s.run.exitCode, 0);
    std::vector<std::string> middle = {
        R"(\[PelTools::GetUserToken\]\[\d+\] >>>>explorer not found!!!<<<<\n|)"
        R"(\[PelTools::GetCurrentUserDocumentPath\] Get user document path:(.+))"};
    if (*row.refusal != '\0')
      middle = {R"(\[PelTools::GetCurrentUserDocumentPath\]\[\d+\] )"
                R"(>>>>GetUserProfileDirectory\(\) failed!!! error:5<<<<\n)",
                R"(\[InitLog\]\[\d+\] >>>>Get user log path failed!!!<<<<\n)"};
    const size_t n = middle.size();
    ASSERT_EQ(s.trace.size(), 3 + n + threads);
    EXPECT_EQ(s.trace[0], "[F] " + std::string(250, 'a'));
    EXPECT_EQ(s.trace[1], "[F][7] >>>>" + std::string(254 - 11, 'b'));
    EXPECT_EQ(s.trace[2], "[InitLog] Try to get log path...");
    std::string profile;
    for (size_t k = 0; k < n; ++k) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(s.trace[3 + k], m, std::regex(middle[k]))) << s.trace[3 + k];
      if (m.size() > 1) profile = m[1];
    }
    EXPECT_EQ(s.folder, profile + "\\Documents\\Morrow\\log");
    EXPECT_EQ(s.trace[3 + n], kAnnounce + s.folder);
    std::string out;
    for (size_t k = 0; k < 4 + n; ++k) out += s.trace[k] + "\n";
    EXPECT_EQ(s.run.stdoutText, out);
    for (size_t k = 4 + n; k < s.trace.size(); ++k) EXPECT_EQ(s.trace[k], kNotice + "\n");

    const std::string bytes = pel_test::ReadLogFiles(s.folder, row.prefix, start);
    // Only this test writes the Morrow, quillon and race files.
    if (row.prefix.compare(0, 8, "pel_ipc-") != 0 || row.exe < 0)
      pel_test::DeleteLogFiles(s.folder, row.prefix, start);
    // One record of the forty is enough in a generic file: a process of
    // another test may be writing it at that very moment, which drops one.
    EXPECT_NE(bytes.find("] " + race + row.prefix + " 0 "), npos);
    if (row.exe >= 0) continue;
    // Severity and message of every line; the success line names the build's
    // date and time.
    const std::string success = "INFO  InitLog success! Compile time:";
    std::map<std::string, int> seen,
        expected = {{"", threads - 1}, {"WARN  " + kNotice, threads - 1}, {success, 1}};
    for (int i = 0; i < threads * kRecords; ++i)
      ++expected["INFO  " + args[2] + " " + std::to_string(i / kRecords) + " " +
                 std::to_string(i % kRecords) + " end"];
    for (const auto& line : pel_test::SplitLines(bytes)) {
      const size_t at = line.find("] ", line.find("] [") + 3) + 2;
      std::string key = line.empty() ? "" : line.substr(24, 6) + line.substr(at);
      EXPECT_TRUE(line.empty() || pel_test::IsRecordLine(line)) << line;
      if (key.compare(0, success.size(), success) == 0) {
        EXPECT_TRUE(std::regex_match(key.substr(success.size()), date)) << key;
        key = success;
      }
      ++seen[key];
    }
    EXPECT_EQ(seen, expected);
  }
}

// args: name. Loads the real DLL, creates and destroys a server through its
// exports, and unloads it.
PEL_TEST_HELPER(dll_round_trip) {
  HMODULE dll = LoadLibraryA((pel_test::ExeDir() + "pel_ipc.dll").c_str());
  if (dll == nullptr) return 91;
  auto create = reinterpret_cast<decltype(&PEL_CreateIpcServer)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "PEL_CreateIpcServer")));
  auto destroy = reinterpret_cast<decltype(&PEL_DestroyIpcServer)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "PEL_DestroyIpcServer")));
  if (create == nullptr || destroy == nullptr) return 92;
  PelIpcCallback callback{};
  callback.OnConnect = [](uint32_t, void*) { return int32_t{0}; };
  callback.OnSend = [](uint32_t, void*) { return int32_t{0}; };
  callback.OnRecv = [](uint32_t, const uint8_t*, uint32_t, void*) { return int32_t{0}; };
  callback.OnClose = [](uint32_t, int32_t, void*) { return int32_t{0}; };
  std::snprintf(callback.LogName, sizeof callback.LogName, "%s", args[0].c_str());
  PelIpcServerHandle server = create(&callback);
  if (server == nullptr) return 93;
  destroy(server);
  return FreeLibrary(dll) ? 0 : 94;
}

// Set-up happens inside the DLL; the unload tears the logger down before the
// appender without a fault. Exactly one attach line comes first and one
// detach line last; thread lines may come between, from threads the runtime
// starts.
TEST(LogSetUp, DllLoadAndUnloadWithItsAttachAndDetachLines) {
  const std::string name = "dll" + std::to_string(GetCurrentProcessId());
  const std::time_t start = std::time(nullptr);
  const auto s = Watch("", "dll_round_trip", {name});
  ASSERT_TRUE(s.run.finished);
  EXPECT_EQ(s.run.exitCode, 0);
  std::vector<std::string> lines;
  for (const auto& d : s.run.debugStrings)
    if (d.compare(0, 8, "pel_ipc ") == 0) lines.push_back(d);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "pel_ipc DLL_PROCESS_ATTACH!");
  EXPECT_EQ(lines.back(), "pel_ipc DLL_PROCESS_DETACH!");
  for (size_t i = 1; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(lines[i] == "pel_ipc DLL_THREAD_ATTACH!" ||
                lines[i] == "pel_ipc DLL_THREAD_DETACH!")
        << lines[i];
  const std::string bytes = pel_test::ReadLogFiles(s.folder, "pel_ipc-" + name + "-", start);
  pel_test::DeleteLogFiles(s.folder, "pel_ipc-" + name + "-", start);
  EXPECT_NE(bytes.find("] InitLog success! Compile time:"), npos) << bytes;
}
