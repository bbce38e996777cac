// The week-rolling appender on scratch folders, with records stamped at
// chosen local times: file names, same-weekday clean-up, size restart,
// placement by the record's own stamp, silent drops.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "log/formatter.h"
#include "log/week_rolling_file_appender.h"
#include "platform/win.h"
#include "support/files.h"
#include "support/log_files.h"

namespace {

using pel_test::FileExists;
using pel_test::ReadFileBytes;
using Appender = pellog::WeekRollingFileAppender;

std::time_t Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

pellog::Record Stamped(std::time_t seconds, unsigned short ms, const char* text) {
  pellog::Record record(pellog::info, "PelNamedPipeServer::PostIocpRead", 88, seconds, ms, 4321);
  record << text;
  return record;
}

std::string Bytes(const pellog::Record& record) {
  return pellog::UTF8Converter::convert(pellog::TxtFormatter::format(record));
}

// Monday 8 January 2024, its previous Monday and the Sunday between.
const std::time_t kMonday = Local(2024, 1, 8, 9, 30, 0);

}  // namespace

TEST(WeekRollingFileAppender, FirstRecordOfAMondayDeletesEarlierMondaysOfTheFamilyOnly) {
  pel_test::TempDir dir("monday");
  const std::vector<std::string> doomed = {
      "pel_ipc_morrow-abc-2024010101.log",  // same prefix, previous Monday
      "pel_ipc_morrow-xyz-2023122501.log",  // same family, two Mondays back
  };
  const std::vector<std::string> kept = {
      "pel_ipc_morrow-abc-2024010700.log",  // Sunday
      "pel_ipc_morrow-abc-2024010202.log",  // Tuesday
      "pel_ipc-abc-2024010101.log",         // another family
      "pel_ipc_quillon-2024010101.log",     // another family
      "pel_ipc_morrow-xyz-2024010801.log",  // another process's file of today
      "pel_ipc_morrow-abc-2024010101.txt",  // not a log
  };
  for (const auto& name : doomed) ASSERT_TRUE(pel_test::WriteFileBytes(dir / name, "old\n"));
  for (const auto& name : kept) ASSERT_TRUE(pel_test::WriteFileBytes(dir / name, "old\n"));
  const std::string folderLikeALog = dir / "pel_ipc_morrow-dir-2024010101.log";
  ASSERT_TRUE(CreateDirectoryA(folderLikeALog.c_str(), nullptr));

  Appender appender(dir.path().c_str(), "pel_ipc_morrow-abc-");
  const auto first = Stamped(kMonday, 1, "first of the day");
  appender.write(first);

  for (const auto& name : doomed) EXPECT_FALSE(FileExists(dir / name)) << name;
  for (const auto& name : kept) EXPECT_EQ(ReadFileBytes(dir / name), "old\n") << name;
  EXPECT_TRUE(pel_test::DirExists(folderLikeALog));
  const std::string today = dir / "pel_ipc_morrow-abc-2024010801.log";
  EXPECT_EQ(ReadFileBytes(today), Bytes(first));

  // With the day's file there, no clean-up runs.
  ASSERT_TRUE(pel_test::WriteFileBytes(dir / doomed[0], "late\n"));
  const auto second = Stamped(kMonday + 1, 2, "second");
  appender.write(second);
  EXPECT_TRUE(FileExists(dir / doomed[0]));
  EXPECT_EQ(ReadFileBytes(today), Bytes(first) + Bytes(second));

  // Someone deletes the day's file: the next record recreates it and cleans up again.
  ASSERT_TRUE(DeleteFileA(today.c_str()));
  const auto third = Stamped(kMonday + 2, 3, "third");
  appender.write(third);
  EXPECT_FALSE(FileExists(dir / doomed[0]));
  EXPECT_EQ(ReadFileBytes(today), Bytes(third));
}

TEST(WeekRollingFileAppender, GenericFamilyCoversTheOtherFamiliesAndEmptyPrefixEverything) {
  pel_test::TempDir dir("broad");
  const std::vector<std::string> names = {"pel_ipc_morrow-abc-2024010101.log",
                                          "pel_ipc_quillon-2024010101.log",
                                          "2024010101.log",
                                          "foo01.log",
                                          "foo02.log",
                                          "foo01.txt",
                                          "nodash-x-2024010101.log"};
  for (const auto& name : names) ASSERT_TRUE(pel_test::WriteFileBytes(dir / name, "old\n"));

  Appender generic(dir.path().c_str(), "pel_ipc-abc-");
  generic.write(Stamped(kMonday, 0, "generic"));
  EXPECT_FALSE(FileExists(dir / names[0]));
  EXPECT_FALSE(FileExists(dir / names[1]));
  EXPECT_TRUE(FileExists(dir / names[2]));
  EXPECT_TRUE(FileExists(dir / "pel_ipc-abc-2024010801.log"));

  // A prefix without a hyphen is a family of its own.
  Appender nodash(dir.path().c_str(), "nodash");
  nodash.write(Stamped(kMonday, 0, "no hyphen"));
  EXPECT_FALSE(FileExists(dir / names[6]));
  EXPECT_TRUE(FileExists(dir / "nodash2024010801.log"));

  Appender empty(dir.path().c_str(), "");
  const auto record = Stamped(kMonday, 0, "no prefix");
  empty.write(record);
  EXPECT_EQ(ReadFileBytes(dir / "2024010801.log"), Bytes(record));
  EXPECT_FALSE(FileExists(dir / "2024010101.log"));
  EXPECT_FALSE(FileExists(dir / "foo01.log"));
  EXPECT_TRUE(FileExists(dir / "foo02.log"));
  EXPECT_TRUE(FileExists(dir / "foo01.txt"));
  // Today's file of another prefix carries today's tag and survives.
  EXPECT_TRUE(FileExists(dir / "pel_ipc-abc-2024010801.log"));
}

TEST(WeekRollingFileAppender, FileRestartsAtTheLimitAndNotOneByteBelow) {
  pel_test::TempDir dir("size");
  Appender appender(dir.path().c_str(), "pel_ipc-size-");
  const std::string path = dir / "pel_ipc-size-2024010801.log";

  ASSERT_TRUE(pel_test::WriteFileBytes(path, std::string(5242880, 'x')));
  const auto restarted = Stamped(kMonday, 10, "restarted");
  appender.write(restarted);
  EXPECT_EQ(ReadFileBytes(path), Bytes(restarted));

  const std::string below(5242879, 'y');
  ASSERT_TRUE(pel_test::WriteFileBytes(path, below));
  const auto appended = Stamped(kMonday, 11, "appended");
  appender.write(appended);
  EXPECT_EQ(ReadFileBytes(path), below + Bytes(appended));

  // Now over the limit by one record: the next one starts afresh.
  const auto next = Stamped(kMonday, 12, "next");
  appender.write(next);
  EXPECT_EQ(ReadFileBytes(path), Bytes(next));
}

TEST(WeekRollingFileAppender, RecordsGoToTheDayOfTheirOwnStamp) {
  pel_test::TempDir dir("midnight");
  Appender appender(dir.path().c_str(), "pel_ipc-mid-");
  const std::time_t lastSecond = Local(2024, 1, 8, 23, 59, 59);
  const auto late = Stamped(lastSecond, 900, "late");
  const auto early = Stamped(lastSecond + 1, 100, "early");
  // Written in the other order, as a slow thread would.
  appender.write(early);
  appender.write(late);
  const std::string monday = ReadFileBytes(dir / "pel_ipc-mid-2024010801.log");
  EXPECT_EQ(monday, Bytes(late));
  EXPECT_NE(monday.find(" 23:59:59.900 INFO  [4321] "), std::string::npos);
  EXPECT_EQ(ReadFileBytes(dir / "pel_ipc-mid-2024010902.log"), Bytes(early));
  // Two-digit month and day, and Sunday as weekday 00.
  const auto sunday = Stamped(Local(2023, 12, 31, 12, 0, 0), 0, "sunday");
  appender.write(sunday);
  EXPECT_EQ(ReadFileBytes(dir / "pel_ipc-mid-2023123100.log"), Bytes(sunday));
  EXPECT_EQ(pellog::DayFileName("pel_ipc-mid-", Local(2023, 12, 31, 12, 0, 0)),
            "pel_ipc-mid-2023123100.log");
}

TEST(WeekRollingFileAppender, MissingFolderDropsSilentlyUntilItExists) {
  pel_test::TempDir dir("missing");
  const std::string folder = dir / "later";
  Appender appender(folder.c_str(), "pel_ipc-miss-");
  appender.write(Stamped(kMonday, 0, "dropped"));
  EXPECT_FALSE(pel_test::DirExists(folder));
  EXPECT_TRUE(pel_test::ListDir(dir.path()).empty());

  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const auto landed = Stamped(kMonday, 1, "landed");
  appender.write(landed);
  EXPECT_EQ(ReadFileBytes(folder + "\\pel_ipc-miss-2024010801.log"), Bytes(landed));
}

TEST(WeekRollingFileAppender, AnotherWriterMakesTheRecordDropReadersDoNot) {
  pel_test::TempDir dir("share");
  Appender appender(dir.path().c_str(), "pel_ipc-share-");
  const std::string path = dir / "pel_ipc-share-2024010801.log";
  const auto first = Stamped(kMonday, 0, "first");
  appender.write(first);

  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  const auto whileRead = Stamped(kMonday, 1, "while read");
  appender.write(whileRead);
  CloseHandle(reader);

  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  appender.write(Stamped(kMonday, 2, "while written"));
  CloseHandle(writer);

  const auto after = Stamped(kMonday, 3, "after");
  appender.write(after);
  EXPECT_EQ(ReadFileBytes(path), Bytes(first) + Bytes(whileRead) + Bytes(after));
}

TEST(WeekRollingFileAppender, ThreadsWriteWholeLinesOnly) {
  pel_test::TempDir dir("threads");
  Appender appender(dir.path().c_str(), "pel_ipc-thr-");
  constexpr int kThreads = 8;
  constexpr int kRecords = 100;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&appender, i] {
      for (int j = 0; j < kRecords; ++j) {
        const std::string text = "thread " + std::to_string(i) + " record " + std::to_string(j);
        appender.write(Stamped(kMonday, static_cast<unsigned short>(j), text.c_str()));
      }
    });
  }
  for (auto& t : threads) t.join();
  const auto lines = pel_test::SplitLines(ReadFileBytes(dir / "pel_ipc-thr-2024010801.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  for (const auto& line : lines) EXPECT_TRUE(pel_test::IsRecordLine(line)) << line;
}
