// The logging core in-process: record text and line layout byte for byte, qualified function names,
// the statement gate, the week-rolling files, and statements that run out of memory.
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
using Appender = pel::log::WeekRollingFileAppender;

// While armed, every allocation past the allowance fails. GCC takes the free
// below for one that does not match the new it inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> g_armed{false};
std::atomic<long> g_left{0};
}  // namespace
void* operator new(std::size_t size) {
  void* p = g_armed.load() && g_left.fetch_sub(1) <= 0 ? nullptr : std::malloc(size + 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::time_t Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{second, minute, hour, day, month - 1, year - 1900, 0, 0, -1};
  return std::mktime(&t);
}

const std::time_t kMonday = Local(2024, 1, 8, 8, 5, 3);

std::string LocalDateTime(std::time_t seconds) {
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
  return text;
}
std::string Line(const pel::log::Record& record) {
  return pel::log::UTF8Converter::convert(pel::log::TxtFormatter::format(record));
}

pel::log::Record R(const wchar_t* text, std::time_t seconds = kMonday, unsigned short ms = 0,
                   pel::log::Severity severity = pel::log::info,
                   const char* function = "PelNamedPipeServer::PostIocpRead", int line = 88,
                   uint32_t threadId = 4321) {
  pel::log::Record record(severity, function, line, seconds, ms, threadId);
  record << text;
  return record;
}
// Keeps the last record; its copy is made with the allocation walk paused.
struct LastRecord : pel::log::IAppender {
  void write(const pel::log::Record& r) override {
    const bool armed = g_armed.exchange(false);
    ++count, last = r, g_armed = armed;
  }
  int count = 0;
  pel::log::Record last{pel::log::none, "", 0, 0, 0, 0};
};

}  // namespace

TEST(Log, LinesAndQualifiedNamesByteForByte) {
  const char severities[] = "NONE FATALERRORWARN INFO DEBUGVERB NONE ";
  for (int s = 0; s < 8; ++s)
    EXPECT_EQ(Line(R(L"Enter!", kMonday, 42, pel::log::Severity(s), "A::B", 57, 1234)),
              LocalDateTime(kMonday) + ".042 " + std::string(severities + 5 * s, 5) +
                  " [1234] [A::B@57] Enter!\n");
  const std::pair<pel::log::Record, const char*> rows[] = {
      {R(L"", kMonday, 7, pel::log::error, "InitLog", 0, 0xFFFFFFFFu),
       ".007 ERROR [4294967295] [InitLog@0] \n"},
      {R(L"x", kMonday, 999, pel::log::info, "PEL_StartIpcServer", 123456, 7),
       ".999 INFO  [7] [PEL_StartIpcServer@123456] x\n"},
      // A message ending in a line feed leaves an empty line; UTF-8 without a BOM.
      {R(L">>>>>>>>Already initialized plog!\n", kMonday, 5, pel::log::warning, "InitLog", 12, 9),
       ".005 WARN  [9] [InitLog@12] >>>>>>>>Already initialized plog!\n\n"},
      {R(L"Gr\u00fc\u00dfe \u20ac \u4e2d \U0001F600", kMonday, 0, pel::log::info, "f", 1, 1),
       ".000 INFO  [1] [f@1] Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80\n"},
  };
  for (const auto& r : rows) EXPECT_EQ(Line(r.first), LocalDateTime(kMonday) + r.second);
  // A lone surrogate is not passed on as invalid bytes; narrow texts are in the
  // process's ANSI code page.
  EXPECT_EQ(pel::log::UTF8Converter::convert(std::wstring{L'a', wchar_t(0xD800), L'b'}),
            "a\xEF\xBF\xBD"
            "b");
  pel::log::Record narrow = R(L"");
  narrow << "Gr\xFC\xDF";
  EXPECT_TRUE(GetACP() != 1252 ||
              pel::log::UTF8Converter::convert(narrow.message()) == "Gr\xC3\xBC\xC3\x9F");

  const char* names[][2] = {
      {"static DWORD PelNamedPipeServer::WorkThread(LPVOID)", "PelNamedPipeServer::WorkThread"},
      {"int A::B(IpcConnection*) const", "A::B"},
      {"const std::vector<int>& PelNamedPipeClient::Get()", "PelNamedPipeClient::Get"},
      {"int PEL_StartIpcServer(PelIpcServerHandle, const char*)", "PEL_StartIpcServer"},
      {"void {anonymous}::Anon(int)", "Anon"},
      {"void pel::{anonymous}::X::M()", "pel::X::M"},
      {"int __cdecl PelNamedPipeServer::Init(void)", "PelNamedPipeServer::Init"},
      {"unsigned long __stdcall A::B(void *)", "A::B"},
      {"void __cdecl `anonymous namespace'::Anon(int)", "Anon"},
      {"InitLog", "InitLog"},
  };
  for (const auto& r : names) EXPECT_EQ(pel::log::QualifiedFunctionName(r[0]), r[1]);
}

struct OomSubject {
  static void Log(const void* handle) {
    PEL_LOGE << "ReadFile failed! err:" << DWORD{109} << "! Connection[" << handle << "] "
             << std::string("is closing...") << L" \u00e9" << 4294967295u << -7LL << true << ' '
             << (-9223372036854775807LL - 1) << " " << 18446744073709551615ull << " "
             << static_cast<void*>(nullptr) << " " << size_t{5242880} << 'x'
             << static_cast<const char*>(nullptr) << std::wstring(L" w") << -5;
  }
};

// A statement builds nothing without a logger or above its maximum severity,
// loses nothing but text when memory runs out, and writes every kind of value.
TEST(Log, StatementGateAndLowMemory) {
  int built = 0;
  auto touch = [&built] { return ++built; };
  PEL_LOGF << touch();
  {
    LastRecord appender;
    pel::log::Logger logger(pel::log::info);
    logger.addAppender(&appender);
    PEL_LOGD << touch();
    PEL_LOGV << touch();
    EXPECT_EQ(built, 0);
    const std::time_t before = std::time(nullptr);
    PEL_LOGI << "n=" << touch();
    EXPECT_EQ(appender.last.line(), __LINE__ - 1);
    EXPECT_EQ(built, 1);
    EXPECT_EQ(appender.last.function(), "Log_StatementGateAndLowMemory_Test::TestBody");
    EXPECT_EQ(appender.last.threadId(), GetCurrentThreadId());
    EXPECT_TRUE(appender.last.seconds() >= before && appender.last.seconds() <= std::time(nullptr));
    EXPECT_EQ(appender.last.message(), L"n=1");
    logger.setMaxSeverity(pel::log::error);
    PEL_LOGW << touch();
    EXPECT_EQ(appender.count, 1);
    // Never a throw into the thread that logs, nor a lost record.
    bool complete = false;
    for (long n = 0; n < 200 && !complete; ++n) {
      appender.count = 0, g_left = n, g_armed = true;
      OomSubject::Log(reinterpret_cast<const void*>(uintptr_t{0x1F4}));
      g_armed = false;
      ASSERT_EQ(appender.count, 1) << "allocation " << n << " failed and the record was lost";
      complete = g_left.load() >= 0;
    }
    ASSERT_TRUE(complete) << "the statement kept allocating";
    EXPECT_EQ(appender.last.function(), "OomSubject::Log");
    EXPECT_EQ(appender.last.message(),
              L"ReadFile failed! err:109! Connection[00000000000001F4] is closing... "
              L"\u00e94294967295-71 -9223372036854775808 18446744073709551615 0000000000000000 "
              L"5242880x(null) w-5");
  }
  // The logger's end clears the instance: later statements are skipped.
  PEL_LOGF << touch();
  EXPECT_EQ(built, 1);
}

// The first record of a day deletes that weekday's files of earlier weeks in
// the prefix's family (up to its first hyphen); never today's.
TEST(Log, FirstRecordOfADayDeletesThatWeekdayOfEarlierWeeksInTheFamily) {
  std::istringstream list(
      "pel_ipc_morrow-abc-2024010101.log pel_ipc_morrow-xyz-2023122501.log "
      "pel_ipc_morrow-abc-2024010700.log pel_ipc_morrow-abc-2024010202.log "
      "pel_ipc-abc-2024010101.log pel_ipc_quillon-2024010101.log pel_ipc_morrow-xyz-2024010801.log "
      "pel_ipc_morrow-abc-2024010101.txt 2024010101.log foo01.log foo02.log "
      "nodash-x-2024010101.log");
  const std::vector<std::string> files{std::istream_iterator<std::string>(list), {}};
  const struct {
    const char* prefix;
    const char* deleted;  // one mark per file
  } rows[] = {{"pel_ipc_morrow-abc-", "xx.........."},
              {"pel_ipc-abc-", "xx..xx......"},
              {"nodash", "...........x"},
              {"", "xx..xx..xx.x"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.prefix);
    TempDir dir("family");
    for (const auto& name : files) ASSERT_TRUE(WriteFileBytes(dir / name, "old\n"));
    const std::string folderLikeALog = dir / "pel_ipc_morrow-dir-2024010101.log";
    ASSERT_TRUE(CreateDirectoryA(folderLikeALog.c_str(), nullptr));
    Appender appender(dir.path().c_str(), row.prefix);
    const auto first = R(L"first of the day", kMonday, 1);
    appender.write(first);
    for (size_t i = 0; i < files.size(); ++i)
      EXPECT_EQ(ReadFileBytes(dir / files[i]), row.deleted[i] == 'x' ? "" : "old\n") << files[i];
    EXPECT_TRUE(std::filesystem::is_directory(folderLikeALog));
    EXPECT_EQ(ReadFileBytes(dir / (row.prefix + std::string("2024010801.log"))), Line(first));
  }
}

TEST(Log, DayFilesRestartAtTheLimitTakeRecordsByTheirOwnStampAndShareReading) {
  TempDir dir("size");
  const std::string folder = dir / "later";
  Appender appender(folder.c_str(), "pel_ipc-size-");
  const std::string path = folder + "\\pel_ipc-size-2024010801.log";
  // A missing folder drops records silently until it exists.
  appender.write(R(L"dropped", kMonday, 0));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(path, std::string(5242880, 'x')));
  const auto restarted = R(L"restarted", kMonday, 10);
  appender.write(restarted);
  EXPECT_EQ(ReadFileBytes(path), Line(restarted));
  const std::string below(5242879, 'y');
  ASSERT_TRUE(WriteFileBytes(path, below));
  const auto appended = R(L"appended", kMonday, 11), next = R(L"next", kMonday, 12);
  appender.write(appended);
  EXPECT_EQ(ReadFileBytes(path), below + Line(appended));
  appender.write(next);  // over the limit by one record now
  EXPECT_EQ(ReadFileBytes(path), Line(next));

  // In the other order, as a slow thread would; Sunday is weekday 00.
  const std::time_t lastSecond = Local(2024, 1, 8, 23, 59, 59);
  const auto late = R(L"late", lastSecond, 900), early = R(L"early", lastSecond + 1, 100);
  const auto sunday = R(L"sunday", Local(2023, 12, 31, 12, 0, 0), 0);
  appender.write(early);
  appender.write(late);
  appender.write(sunday);
  EXPECT_EQ(ReadFileBytes(folder + "\\pel_ipc-size-2024010902.log"), Line(early));
  EXPECT_EQ(ReadFileBytes(folder + "\\pel_ipc-size-2023123100.log"), Line(sunday));

  // A writer keeping the file past the wait makes a record drop; a reader not.
  const auto whileRead = R(L"while read", kMonday, 1);
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    HANDLE other = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    appender.write(access == GENERIC_READ ? whileRead : R(L"while written", kMonday, 2));
    CloseHandle(other);
  }
  EXPECT_EQ(ReadFileBytes(path), Line(next) + Line(late) + Line(whileRead));
}

namespace {

constexpr int kSharedRecords = 150;

// Writer w's record n (the thread id field carries the writer), each in the
// file, read through another handle, as soon as its write returns.
pel::log::Record Shared(int writer, int n) {
  const std::wstring text = L"writer " + std::to_wstring(writer) + L" record " + std::to_wstring(n);
  return R(text.c_str(), kMonday, static_cast<unsigned short>(n % 1000), pel::log::info,
           "PelNamedPipeClient::SyncCall", 7, static_cast<uint32_t>(writer));
}
int WriteShared(const std::string& folder, int writer) {
  Appender appender(folder.c_str(), "pel_ipc-shared-");
  for (int n = 0; n < kSharedRecords; ++n) {
    appender.write(Shared(writer, n));
    if (ReadFileBytes(folder + "\\pel_ipc-shared-2024010801.log").find(Line(Shared(writer, n))) ==
        std::string::npos)
      return 1;
  }
  return 0;
}

}  // namespace

PEL_TEST_HELPER(shared_log_writer) { return WriteShared(args.at(0), std::stoi(args.at(1))); }

// Processes of one program share a log name, each with threads logging at
// once: every record lands once, whole, and in its writer's order.
TEST(Log, ProcessesAndThreadsSharingOneFileKeepEveryRecord) {
  TempDir dir("shared");
  constexpr int kThreads = 4, kWriters = 8;  // the others are processes
  auto process = [&](int writer) {
    return HelperProcess("shared_log_writer", {dir.path(), std::to_string(writer)});
  };
  HelperProcess processes[] = {process(4), process(5), process(6), process(7)};
  // Plain arrays: this program's own operator new would trip GCC's
  // new/delete pairing check inside std::vector here.
  int results[kThreads] = {}, next[kWriters] = {}, total = 0;
  std::thread threads[kThreads];
  for (int t = 0; t < kThreads; ++t)
    threads[t] = std::thread([&, t] { results[t] = WriteShared(dir.path(), t); });
  for (int t = 0; t < kThreads; ++t) {
    threads[t].join();
    EXPECT_EQ(results[t], 0) << "thread " << t;
  }
  for (auto& p : processes) EXPECT_EQ(p.Wait(60000), 0);
  std::istringstream lines(ReadFileBytes(dir / "pel_ipc-shared-2024010801.log"));
  for (std::string line; std::getline(lines, line); ++total) {
    const size_t at = line.find("writer ");
    const int writer = at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 7);
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << line;
    ASSERT_EQ(line + "\n", Line(Shared(writer, next[writer]++))) << "out of order or torn";
  }
  EXPECT_EQ(total, kWriters * kSharedRecords);
}
