// The logging core in-process: record lines byte for byte, qualified names, the statement gate,
// statements out of memory, the week-rolling files, and one file shared by processes and threads.
#include "log/log.h"

#include <ctime>
#include <filesystem>
#include <iterator>
#include <new>
#include <sstream>

#include "log/formatter.h"
#include "log/week_rolling_file_appender.h"
#include "support/fixtures.h"

using namespace pel::test;
using namespace pel::log;

// Armed, every allocation past the allowance fails (GCC takes the free below for a mismatch).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<bool> g_armed{false};
static std::atomic<long> g_left{0};
void* operator new(std::size_t size) {
  void* p = g_armed.load() && g_left.fetch_sub(1) <= 0 ? nullptr : std::malloc(size + 1);
  return p != nullptr ? p : throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::tm g_monday{3, 5, 8, 8, 0, 124, 0, 0, -1};  // lines show local time
const std::time_t kMonday = std::mktime(&g_monday);
const std::string kStamp = "2024-01-08 08:05:03";

std::string Line(const Record& r) { return UTF8Converter::convert(TxtFormatter::format(r)); }
Record R(const wchar_t* text, unsigned short ms = 0, Severity severity = info,
         const char* function = "PelNamedPipeServer::PostIocpRead", int line = 88,
         uint32_t threadId = 4321, std::time_t seconds = kMonday) {
  return Record(severity, function, line, seconds, ms, threadId) << text;
}
// Keeps the last record; its copy is made with the allocation walk paused.
struct LastRecord : IAppender {
  void write(const Record& r) override {
    const bool armed = g_armed.exchange(false);
    ++count, last = r, g_armed = armed;
  }
  int count = 0;
  Record last{none, "", 0, 0, 0, 0};
};

// Writer w's records (thread id w); a process reads each back through another handle as soon as
// it is written. The threads share one appender, as a process's threads do, so their records
// queue while one of them writes and leave as one batch.
constexpr int kSharedRecords = 150;
Record Shared(int writer, int n) {
  return R((L"record " + std::to_wstring(n)).c_str(), n, info, "PelIpcClient::Send", 7, writer);
}
int WriteShared(WeekRollingFileAppender& appender, int writer, const std::string& readBack = "") {
  int lost = 0;
  for (int n = 0; n < kSharedRecords; ++n) {
    appender.write(Shared(writer, n));
    const std::string line = Line(Shared(writer, n));
    lost += !readBack.empty() && ReadFileBytes(readBack).find(line) == std::string::npos;
  }
  return lost;
}
PEL_TEST_HELPER(writer) {
  WeekRollingFileAppender appender(args.at(0).c_str(), "pel_ipc-shared-");
  return WriteShared(appender, std::stoi(args.at(1)), args[0] + "\\pel_ipc-shared-2024010801.log");
}

}  // namespace

// Lines and qualified names byte for byte. A statement builds nothing without a logger or above the
// maximum severity, writes any value, and out of memory loses text, never the record, nor throws.
TEST(Log, LinesNamesAndStatements) {
  const char severities[] = "NONE FATALERRORWARN INFO DEBUGVERB NONE ";
  for (int s = 0; s < 8; ++s)
    EXPECT_EQ(Line(R(L"Enter!", 42, Severity(s), "A::B", 57, 1234)),
              kStamp + ".042 " + std::string(severities + 5 * s, 5) + " [1234] [A::B@57] Enter!\n");
  // A message ending in a line feed leaves an empty line; UTF-8 without a BOM, a lone surrogate
  // as U+FFFD rather than invalid bytes.
  const std::pair<Record, const char*> rows[] = {
      {R(L"", 7, error, "InitLog", 0, 0xFFFFFFFFu), ".007 ERROR [4294967295] [InitLog@0] \n"},
      {R(L"x", 999, info, "P", 123456, 7), ".999 INFO  [7] [P@123456] x\n"},
      {R(L"end\n", 5, warning, "InitLog", 12, 9), ".005 WARN  [9] [InitLog@12] end\n\n"},
      {R(L"Gr\u00fc\u00df \u20ac \U0001F600 \xD800z", 0, info, "f", 1, 1),
       ".000 INFO  [1] [f@1] Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBDz\n"},
  };
  for (const auto& r : rows) EXPECT_EQ(Line(r.first), kStamp + r.second);
  // Narrow texts are in the process's ANSI code page.
  EXPECT_TRUE(GetACP() != 1252 ||
              UTF8Converter::convert((R(L"") << "Gr\xFC\xDF").message()) == "Gr\xC3\xBC\xC3\x9F");

  const char* names[][2] = {
      {"static DWORD PelNamedPipeServer::WorkThread(LPVOID)", "PelNamedPipeServer::WorkThread"},
      {"int A::B(IpcConnection*) const", "A::B"},
      {"const std::vector<int>& PelNamedPipeClient::Get()", "PelNamedPipeClient::Get"},
      {"void {anonymous}::Anon(int)", "Anon"},
      {"void pel::{anonymous}::X::M()", "pel::X::M"},
      {"int __cdecl PelNamedPipeServer::Init(void)", "PelNamedPipeServer::Init"},
      {"void __cdecl `anonymous namespace'::Anon(int)", "Anon"},
      {"const char *PelTools::Name(void)", "PelTools::Name"},
      {"InitLog", "InitLog"},
  };
  for (const auto& r : names) EXPECT_EQ(QualifiedFunctionName(r[0]), r[1]);

  int built = 0;
  auto touch = [&built] { return ++built; };
  PEL_LOGF << touch();
  {
    LastRecord appender;
    Logger logger(info);
    logger.addAppender(&appender);
    PEL_LOGD << touch();
    PEL_LOGV << touch();
    const std::time_t before = std::time(nullptr);
    const int line = __LINE__ + 1;
    PEL_LOGI << "n=" << touch();
    const Record& r = appender.last;
    EXPECT_EQ(Line(r),
              Line(R(L"n=1", r.milliseconds(), info, "Log_LinesNamesAndStatements_Test::TestBody",
                     line, GetCurrentThreadId(), r.seconds())));
    EXPECT_TRUE(r.seconds() >= before && r.seconds() <= std::time(nullptr));
    logger.setMaxSeverity(error);
    PEL_LOGW << touch();
    for (long n = 0; n == 0 || (g_left < 0 && n <= 200); ++n) {
      appender.count = 0, g_left = n, g_armed = true;
      PEL_LOGE << "ReadFile failed! err:" << DWORD{109} << "! Connection["
               << reinterpret_cast<const void*>(uintptr_t{0x1F4}) << "] "
               << std::string("is closing...") << L" \u00e9" << 4294967295u << -7LL << true << ' '
               << (-9223372036854775807LL - 1) << " " << 18446744073709551615ull << " "
               << static_cast<void*>(nullptr) << " " << size_t{5242880} << 'x'
               << static_cast<const char*>(nullptr) << std::wstring(L" w") << -5;
      g_armed = false;
      ASSERT_EQ(appender.count, 1) << "allocation " << n << " failed and the record was lost";
    }
    ASSERT_GE(g_left.load(), 0) << "the statement kept allocating";
    EXPECT_EQ(r.message(),
              L"ReadFile failed! err:109! Connection[00000000000001F4] "
              L"is closing... \u00e94294967295-71 -9223372036854775808 "
              L"18446744073709551615 0000000000000000 5242880x(null) w-5");
  }
  // The logger's end clears the instance: later statements are skipped.
  PEL_LOGF << touch();
  EXPECT_EQ(built, 1);
}

// The first record of a day deletes that weekday's files of earlier weeks in the prefix's family
// (up to its first hyphen), never today's. A day file restarts at 5 MiB, a record goes to the
// file of its own stamp, and a reader of the file does not hold up a record; a writer does.
TEST(Log, DayFilesWeekRollingRestartAndSharing) {
  std::istringstream list(
      "pel_ipc_morrow-abc-2024010101.log pel_ipc_morrow-xyz-2023122501.log "
      "pel_ipc_morrow-abc-2024010700.log pel_ipc_morrow-abc-2024010202.log "
      "pel_ipc-abc-2024010101.log pel_ipc_quillon-2024010101.log pel_ipc_morrow-xyz-2024010801.log "
      "pel_ipc_morrow-abc-2024010101.txt 2024010101.log foo01.log foo02.log "
      "nodash-x-2024010101.log");
  const std::vector<std::string> files{std::istream_iterator<std::string>(list), {}};
  // prefix, then one mark per file: x deleted
  const std::pair<const char*, const char*> rows[] = {{"pel_ipc_morrow-abc-", "xx.........."},
                                                      {"pel_ipc-abc-", "xx..xx......"},
                                                      {"nodash", "...........x"},
                                                      {"", "xx..xx..xx.x"}};
  const auto first = R(L"first of the day", 1);
  for (const auto& [prefix, deleted] : rows) {
    SCOPED_TRACE(prefix);
    TempDir dir("family");
    for (const auto& name : files) ASSERT_TRUE(WriteFileBytes(dir / name, "old\n"));
    ASSERT_TRUE(CreateDirectoryA((dir / "pel_ipc_morrow-dir-2024010101.log").c_str(), nullptr));
    WeekRollingFileAppender(dir.path().c_str(), prefix).write(first);
    for (size_t i = 0; i < files.size(); ++i)
      EXPECT_EQ(ReadFileBytes(dir / files[i]), deleted[i] == 'x' ? "" : "old\n") << files[i];
    EXPECT_TRUE(std::filesystem::is_directory(dir / "pel_ipc_morrow-dir-2024010101.log"));
    EXPECT_EQ(ReadFileBytes(dir / (prefix + std::string("2024010801.log"))), Line(first));
  }

  TempDir dir("size");
  const std::string folder = dir / "later", path = folder + "\\pel_ipc-size-2024010801.log";
  WeekRollingFileAppender appender(folder.c_str(), "pel_ipc-size-");
  auto put = [&](const Record& r) { return appender.write(r), ReadFileBytes(path); };
  appender.write(R(L"dropped"));  // silently, while the folder is missing
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string below(5242879, 'y');
  const auto restarted = R(L"restarted", 10), appended = R(L"appended", 11), next = R(L"next", 12);
  ASSERT_TRUE(WriteFileBytes(path, below + "y"));
  EXPECT_EQ(put(restarted), Line(restarted));
  ASSERT_TRUE(WriteFileBytes(path, below));
  EXPECT_EQ(put(appended), below + Line(appended));
  EXPECT_EQ(put(next), Line(next));  // over the limit by one record now

  // Monday 23:59:59 after Tuesday's first second, as a slow thread would; Sunday is weekday 00.
  const auto late = R(L"late", 900, info, "f", 1, 1, kMonday + 57296),
             early = R(L"early", 100, info, "f", 1, 1, kMonday + 57297),
             sunday = R(L"sunday", 0, info, "f", 1, 1, kMonday - 8 * 86400);
  for (const auto* r : {&early, &late, &sunday}) appender.write(*r);
  EXPECT_EQ(ReadFileBytes(folder + "\\pel_ipc-size-2024010902.log"), Line(early));
  EXPECT_EQ(ReadFileBytes(folder + "\\pel_ipc-size-2023123100.log"), Line(sunday));

  const auto whileRead = R(L"while read", 1);
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    HANDLE other = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    appender.write(access == GENERIC_READ ? whileRead : R(L"while written", 2));
    CloseHandle(other);
  }
  EXPECT_EQ(ReadFileBytes(path), Line(next) + Line(late) + Line(whileRead));

  // Threads and processes sharing one file: each record lands once, whole, in its writer's order.
  constexpr int kWriters = 8;  // 0-3 threads, 4-7 processes
  auto process = [&](const char* w) { return HelperProcess("writer", {dir.path(), w}); };
  HelperProcess processes[] = {process("4"), process("5"), process("6"), process("7")};
  std::array<int, kWriters> lost{};
  WeekRollingFileAppender shared(dir.path().c_str(), "pel_ipc-shared-");
  auto thread = [&](int t) { lost[t] = WriteShared(shared, t); };
  { ScopedThread a(thread, 0), b(thread, 1), c(thread, 2), d(thread, 3); }
  for (int p = 0; p < 4; ++p) lost[4 + p] = processes[p].Wait(60000);
  EXPECT_EQ(lost, (std::array<int, kWriters>{}));
  int order[kWriters] = {}, total = 0;
  std::istringstream lines(ReadFileBytes(dir / "pel_ipc-shared-2024010801.log"));
  for (std::string line; std::getline(lines, line); ++total) {
    const int writer = line.size() > 31 ? line[31] - '0' : -1;  // "... INFO  [w] "
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << line;
    ASSERT_EQ(line + "\n", Line(Shared(writer, order[writer]++))) << "out of order or torn";
  }
  EXPECT_EQ(total, kWriters * kSharedRecords);
}
