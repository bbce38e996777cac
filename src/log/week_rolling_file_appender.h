// One log file per calendar day, named by prefix, date and weekday; the first
// record of a day deletes that weekday's files of earlier weeks, and a day's
// file restarts when it has grown to the size limit. The file is opened and
// closed for every record, so processes with different prefixes can share
// one folder.
#pragma once

#include <ctime>
#include <mutex>
#include <string>

#include "log/appender.h"
#include "log/record.h"
#include "log/txt_formatter.h"
#include "log/utf8_converter.h"

namespace pellog {

template <class Formatter, class Converter>
class WeekRollingFileAppender : public IAppender {
 public:
  static constexpr int kMaxFileSize = 5 * 1024 * 1024;

  // Copies both texts; touches no file. The folder has no trailing separator.
  WeekRollingFileAppender(const char* logDir, const char* filePrefix);
  ~WeekRollingFileAppender() override;
  WeekRollingFileAppender(const WeekRollingFileAppender&) = delete;
  WeekRollingFileAppender& operator=(const WeekRollingFileAppender&) = delete;

  // Writes the record into the file of its own local date. Never reports a
  // failure: a record that can't be written is dropped.
  void write(const Record& record) override;

  // prefix + YYYYMMDDWW + ".log", WW the weekday 00 (Sunday) to 06.
  std::string buildFileName(const std::tm& t) const;
  // YYYYMMDDWW.
  static std::string buildDateTag(const std::tm& t);
  // The prefix up to its first '-'.
  std::string getPrefixFamily() const;
  // family + "*" + WW + ".log".
  std::string buildSearchPattern(const std::tm& t) const;
  // Deletes the files of folder matching the search pattern for t whose path
  // lacks t's date tag; directories are left alone.
  void deleteOldFiles(const std::string& folder, const std::tm& t);

  const std::string& logDir() const noexcept { return m_logDir; }
  const std::string& filePrefix() const noexcept { return m_filePrefix; }
  int maxFileSize() const noexcept { return m_maxFileSize; }

 private:
  void writeLocked(const Record& record);
  void openFile(const std::string& path);
  void closeFile();

  std::mutex m_mutex;
  int m_file;
  std::string m_logDir;
  std::string m_filePrefix;
  int m_maxFileSize;
};

// The one instantiation the library uses; its code lives in the .cpp.
extern template class WeekRollingFileAppender<TxtFormatter, UTF8Converter>;
using LibraryFileAppender = WeekRollingFileAppender<TxtFormatter, UTF8Converter>;

}  // namespace pellog
