// The logging core in-process: record text, line layout byte for byte, UTF-8
// output, qualified function names, the statement gate; and the set-up trace
// as a helper process shows it to a debugger and on standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "log/formatter.h"
#include "log/log.h"
#include "platform/user_session.h"
#include "support/debug_output.h"
#include "support/helpers.h"
#include "support/log_files.h"

namespace {

constexpr std::time_t kStamp = 1704701103;  // 2024-01-08 08:05:03 UTC

std::string LocalDateTime(std::time_t seconds) {
  std::tm t{};
  localtime_s(&t, &seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string Line(const pellog::Record& record) {
  return pellog::UTF8Converter::convert(pellog::TxtFormatter::format(record));
}

struct Collected {
  pellog::Severity severity;
  std::string function;
  int line;
  uint32_t threadId;
  std::time_t seconds;
  std::wstring message;
};

class CollectingAppender : public pellog::IAppender {
 public:
  void write(const pellog::Record& r) override {
    records.push_back(
        {r.severity(), r.function(), r.line(), r.threadId(), r.seconds(), r.message()});
  }
  std::vector<Collected> records;
};

}  // namespace

TEST(TxtFormatter, EverySeverityNameIsPaddedToFiveThenOneBlank) {
  const struct {
    int severity;
    const char* shown;
  } cases[] = {{0, "NONE "}, {1, "FATAL"}, {2, "ERROR"}, {3, "WARN "},
               {4, "INFO "}, {5, "DEBUG"}, {6, "VERB "}, {7, "NONE "}};
  for (const auto& c : cases) {
    pellog::Record record(static_cast<pellog::Severity>(c.severity),
                          "PelNamedPipeServer::PostIocpRead", 57, kStamp, 42, 1234);
    record << "Enter!";
    EXPECT_EQ(Line(record), LocalDateTime(kStamp) + ".042 " + c.shown +
                                " [1234] [PelNamedPipeServer::PostIocpRead@57] Enter!\n");
  }
}

TEST(TxtFormatter, MillisecondsThreadIdAndLineAtTheirExtremes) {
  pellog::Record first(pellog::error, "InitLog", 0, kStamp, 0, 0xFFFFFFFFu);
  EXPECT_EQ(Line(first), LocalDateTime(kStamp) + ".000 ERROR [4294967295] [InitLog@0] \n");
  pellog::Record last(pellog::info, "PEL_StartIpcServer", 123456, kStamp + 59, 999, 7);
  last << "x";
  EXPECT_EQ(Line(last),
            LocalDateTime(kStamp + 59) + ".999 INFO  [7] [PEL_StartIpcServer@123456] x\n");
  pellog::Record mid(pellog::info, "f", 1, kStamp, 7, 1);
  EXPECT_NE(Line(mid).find(":03.007 INFO  [1] [f@1] \n"), std::string::npos);
  EXPECT_TRUE(pel_test::IsRecordLine(Line(last).substr(0, Line(last).size() - 1)));
}

TEST(TxtFormatter, MessageEndingInLineFeedLeavesAnEmptyLine) {
  pellog::Record record(pellog::warning, "InitLog", 12, kStamp, 5, 9);
  record << ">>>>>>>>Already initialized plog!\n";
  EXPECT_EQ(Line(record), LocalDateTime(kStamp) +
                              ".005 WARN  [9] [InitLog@12] >>>>>>>>Already initialized plog!\n\n");
}

TEST(UTF8Converter, NonAsciiTextBecomesUtf8WithoutByteOrderMark) {
  pellog::Record record(pellog::info, "f", 1, kStamp, 0, 1);
  record << L"Gr\u00fc\u00dfe \u20ac \u4e2d \U0001F600";
  const std::string line = Line(record);
  ASSERT_GE(line.size(), 3u);
  EXPECT_NE(line.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_TRUE(line[0] >= '0' && line[0] <= '9');
  const std::string tail =
      "] Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80\n";
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);

  // A lone surrogate is not passed on as invalid bytes.
  std::wstring broken = L"a";
  broken += static_cast<wchar_t>(0xD800);
  broken += L"b";
  EXPECT_EQ(pellog::UTF8Converter::convert(broken),
            "a\xEF\xBF\xBD"
            "b");

  // Narrow texts are read in the process's ANSI code page.
  if (GetACP() == 1252) {
    pellog::Record narrow(pellog::info, "f", 1, kStamp, 0, 1);
    narrow << "Gr\xFC\xDF"
              "e";
    const std::string n = Line(narrow);
    EXPECT_EQ(n.substr(n.size() - 10),
              "] Gr\xC3\xBC\xC3\x9F"
              "e\n");
  }
}

TEST(Record, StreamsNumbersPointersAndTexts) {
  pellog::Record record(pellog::info, "f", 1, kStamp, 0, 1);
  const DWORD error = 997;
  const size_t size = 5242880;
  record << -5 << " " << 4294967295u << " " << (-9223372036854775807LL - 1) << " "
         << 18446744073709551615ull << " " << reinterpret_cast<const void*>(0xABCDEF12) << " "
         << static_cast<void*>(nullptr) << " " << error << " " << size << " " << true << 'x'
         << static_cast<const char*>(nullptr) << std::string(" s") << std::wstring(L" w");
  EXPECT_EQ(pellog::UTF8Converter::convert(record.message()),
            "-5 4294967295 -9223372036854775808 18446744073709551615 00000000ABCDEF12 "
            "0000000000000000 997 5242880 1x(null) s w");
}

TEST(QualifiedFunctionName, KeepsClassAndNamespaceDropsTypesAndParameters) {
  const struct {
    const char* signature;
    const char* name;
  } cases[] = {
      {"static DWORD PelNamedPipeServer::WorkThread(LPVOID)", "PelNamedPipeServer::WorkThread"},
      {"static unsigned int PelNamedPipeServer::WorkThread(void*)",
       "PelNamedPipeServer::WorkThread"},
      {"int PelNamedPipeServer::PostIocpRead(IpcConnection*) const",
       "PelNamedPipeServer::PostIocpRead"},
      {"const std::vector<int>& PelNamedPipeClient::Get()", "PelNamedPipeClient::Get"},
      {"std::map<int, std::string> A::B(std::pair<int, int>)", "A::B"},
      {"int PEL_StartIpcServer(PelIpcServerHandle, const char*)", "PEL_StartIpcServer"},
      {"void InitLog(const char*)", "InitLog"},
      {"BOOL PelTools::GetUserToken(void**)", "PelTools::GetUserToken"},
      {"void {anonymous}::Anon(int)", "Anon"},
      {"void pel::{anonymous}::X::M()", "pel::X::M"},
      {"int __cdecl PelNamedPipeServer::Init(void)", "PelNamedPipeServer::Init"},
      {"unsigned long __stdcall PelNamedPipeServer::WorkThread(void *)",
       "PelNamedPipeServer::WorkThread"},
      {"void __cdecl `anonymous namespace'::Anon(int)", "Anon"},
      {"InitLog", "InitLog"},
  };
  for (const auto& c : cases) EXPECT_EQ(pellog::QualifiedFunctionName(c.signature), c.name);
}

namespace pelns {
struct Outer {
  static int Log() {
    PEL_LOGI << "static member";
    return __LINE__ - 1;
  }
};
}  // namespace pelns

namespace {
int LogFromUnnamed() {
  PEL_LOGE << "unnamed";
  return __LINE__ - 1;
}
}  // namespace

TEST(LogStatement, BuildsNothingWithoutLoggerOrAboveTheMaximum) {
  ASSERT_EQ(pellog::Logger::Get(), nullptr);
  int built = 0;
  auto touch = [&built] { return ++built; };
  PEL_LOGF << touch();
  EXPECT_EQ(built, 0);
  {
    CollectingAppender appender;
    pellog::Logger logger(pellog::info);
    ASSERT_EQ(pellog::Logger::Get(), &logger);
    logger.addAppender(&appender);
    PEL_LOGD << touch();
    PEL_LOGV << touch();
    EXPECT_EQ(built, 0);
    const std::time_t before = std::time(nullptr);
    PEL_LOGI << "n=" << touch();
    const int line = __LINE__ - 1;
    EXPECT_EQ(built, 1);
    ASSERT_EQ(appender.records.size(), 1u);
    const Collected& r = appender.records[0];
    EXPECT_EQ(r.severity, pellog::info);
    EXPECT_EQ(r.function,
              "LogStatement_BuildsNothingWithoutLoggerOrAboveTheMaximum_Test::TestBody");
    EXPECT_EQ(r.line, line);
    EXPECT_EQ(r.threadId, static_cast<uint32_t>(GetCurrentThreadId()));
    EXPECT_GE(r.seconds, before);
    EXPECT_LE(r.seconds, std::time(nullptr));
    EXPECT_EQ(r.message, L"n=1");

    const int staticLine = pelns::Outer::Log();
    const int unnamedLine = LogFromUnnamed();
    ASSERT_EQ(appender.records.size(), 3u);
    EXPECT_EQ(appender.records[1].function, "pelns::Outer::Log");
    EXPECT_EQ(appender.records[1].line, staticLine);
    EXPECT_EQ(appender.records[2].function, "LogFromUnnamed");
    EXPECT_EQ(appender.records[2].line, unnamedLine);
    EXPECT_EQ(appender.records[2].severity, pellog::error);

    logger.setMaxSeverity(pellog::error);
    PEL_LOGW << touch();
    EXPECT_EQ(built, 1);
  }
  // The logger's end clears the instance: later statements are skipped.
  EXPECT_EQ(pellog::Logger::Get(), nullptr);
  PEL_LOGF << touch();
  EXPECT_EQ(built, 1);
}

PEL_TEST_HELPER(trace_lines) {
  (void)args;
  DebugTrace("InitLog", -1, "Try to get log path...");
  DebugTrace("InitLog", 0, "line %d is a progress note", 0);
  DebugTrace("PelTools::GetUserToken", 43, "explorer not found!!!");
  DebugTrace("F", -1, "%s", std::string(300, 'a').c_str());
  DebugTrace("F", 7, "%s", std::string(300, 'b').c_str());
  DebugTrace("F", -1, "%s%s", std::string(250, 'c').c_str(), "dddddddddd");
  DebugTrace("PelTools::GetUserToken", 12, "OpenProcess() failed!!!error:%d", -5);
  return 0;
}

TEST(DebugTrace, ProgressAndFaultFormsCutTo254ToDebuggerAndStdout) {
  const auto run = pel_test::RunUnderDebugger("", "trace_lines", {}, 30000, true);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::string> expected = {
      "[InitLog] Try to get log path...",
      "[InitLog] line 0 is a progress note",
      "[PelTools::GetUserToken][43] >>>>explorer not found!!!<<<<\n",
      "[F] " + std::string(250, 'a'),
      "[F][7] >>>>" + std::string(254 - 11, 'b'),
      "[F] " + std::string(250, 'c'),
      "[PelTools::GetUserToken][12] >>>>OpenProcess() failed!!!error:-5<<<<\n",
  };
  std::vector<std::string> traced;
  for (const auto& s : run.debugStrings)
    if (!s.empty() && s[0] == '[') traced.push_back(s);
  EXPECT_EQ(traced, expected);
  std::string out;
  for (const auto& e : expected) out += e + "\n";
  EXPECT_EQ(run.stdoutText, out);
}
