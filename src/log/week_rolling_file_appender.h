// One log file per calendar day, named by prefix, date and weekday. Creating
// the day's file deletes that weekday's files of earlier weeks; a file that
// reaches the size limit restarts. Opened and closed for every batch, so
// processes share one folder, and those with one prefix take turns on a file.
#pragma once

#include <condition_variable>
#include <ctime>
#include <string>

#include "log/log.h"
#include "platform/lock.h"

namespace pel::log {

class WeekRollingFileAppender : public IAppender {
 public:
  static constexpr int kMaxFileSize = 5 * 1024 * 1024;

  // Copies both texts; touches no file. The folder has no trailing separator.
  WeekRollingFileAppender(const char* logDir, const char* filePrefix);
  WeekRollingFileAppender(const WeekRollingFileAppender&) = delete;
  WeekRollingFileAppender& operator=(const WeekRollingFileAppender&) = delete;

  // Writes the record as one line into the file of its own local date and
  // returns once that file holds it and is closed again. Never reports a
  // failure: a record that can't be written is dropped.
  void write(const Record& record) override;

 private:
  struct Pending;

  // Writes a batch, one open, write and close per file the batch touches.
  void writeBatch(Pending* first);
  void writeFile(const std::string& path, const std::string& bytes, const std::tm& day);
  // Deletes the prefix family's files with t's weekday but not t's date; directories stay.
  void deleteOldFiles(const std::tm& t);

  // Records wait here while another thread writes; the next writer takes them all as one batch.
  pel::Mutex m_mutex;
  std::condition_variable m_written;
  Pending* m_first GUARDED_BY(m_mutex) = nullptr;
  Pending* m_last GUARDED_BY(m_mutex) = nullptr;
  bool m_writing GUARDED_BY(m_mutex) = false;
  const std::string m_logDir;
  const std::string m_filePrefix;
};

// The name of the file that records of a local day go to: prefix + YYYYMMDDWW + ".log", WW the
// weekday 00 (Sunday) to 06; by seconds, the day those seconds fall on in local time.
std::string DayFileName(const std::string& prefix, const std::tm& day);
std::string DayFileName(const std::string& prefix, std::time_t seconds);

}  // namespace pel::log
