// One log file per calendar day, named by prefix, date and weekday; the first
// record of a day deletes that weekday's files of earlier weeks, and a day's
// file restarts when it has grown to the size limit. The file is opened and
// closed for every record, so processes with different prefixes can share
// one folder.
#pragma once

#include <ctime>
#include <string>

#include "log/log.h"
#include "platform/lock.h"

namespace pellog {

class WeekRollingFileAppender : public IAppender {
 public:
  static constexpr int kMaxFileSize = 5 * 1024 * 1024;

  // Copies both texts; touches no file. The folder has no trailing separator.
  WeekRollingFileAppender(const char* logDir, const char* filePrefix);
  ~WeekRollingFileAppender() override;
  WeekRollingFileAppender(const WeekRollingFileAppender&) = delete;
  WeekRollingFileAppender& operator=(const WeekRollingFileAppender&) = delete;

  // Writes the record as one line into the file of its own local date. Never
  // reports a failure: a record that can't be written is dropped.
  void write(const Record& record) override;

 private:
  void writeLocked(const Record& record) REQUIRES(m_mutex);
  // Deletes the files of the prefix's family in folder with t's weekday whose
  // path lacks t's date; directories are left alone.
  void deleteOldFiles(const std::string& folder, const std::tm& t);
  void openFile(const std::string& path) REQUIRES(m_mutex);
  void closeFile() REQUIRES(m_mutex);

  // One writer at a time: each record is its own open, write and close.
  pel::Mutex m_mutex;
  int m_file GUARDED_BY(m_mutex);
  std::string m_logDir;
  std::string m_filePrefix;
  int m_maxFileSize;
};

// The name of the file that records stamped at seconds go to:
// prefix + YYYYMMDDWW + ".log" in local time, WW the weekday 00 (Sunday) to 06.
std::string DayFileName(const std::string& prefix, std::time_t seconds);

}  // namespace pellog
