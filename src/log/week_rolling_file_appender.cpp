#include "log/week_rolling_file_appender.h"

#include <cstdio>

#include "log/formatter.h"
#include "platform/win.h"

namespace pellog {

namespace {

// YYYYMMDDWW.
std::string buildDateTag(const std::tm& t) {
  char tag[48];
  std::snprintf(tag, sizeof tag, "%d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_wday);
  return tag;
}

std::string buildFileName(const std::string& prefix, const std::tm& t) {
  return prefix + buildDateTag(t) + ".log";
}

// The prefix up to its first '-': pel_ipc, pel_ipc_morrow, pel_ipc_quillon.
std::string getPrefixFamily(const std::string& prefix) {
  return prefix.substr(0, prefix.find('-'));
}

// family + "*" + WW + ".log".
std::string buildSearchPattern(const std::string& prefix, const std::tm& t) {
  char weekday[16];
  std::snprintf(weekday, sizeof weekday, "%02d", t.tm_wday);
  return getPrefixFamily(prefix) + "*" + weekday + ".log";
}

}  // namespace

std::string DayFileName(const std::string& prefix, std::time_t seconds) {
  return buildFileName(prefix, LocalTime(seconds));
}

WeekRollingFileAppender::WeekRollingFileAppender(const char* logDir, const char* filePrefix)
    : m_file(-1),
      m_logDir(logDir != nullptr ? logDir : ""),
      m_filePrefix(filePrefix != nullptr ? filePrefix : ""),
      m_maxFileSize(kMaxFileSize) {}

WeekRollingFileAppender::~WeekRollingFileAppender() { closeFile(); }

void WeekRollingFileAppender::deleteOldFiles(const std::string& folder, const std::tm& t) {
  const std::string search = folder + "\\" + buildSearchPattern(m_filePrefix, t);
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(search.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  const std::string tag = buildDateTag(t);
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::string path = folder + "\\" + entry.cFileName;
    // Today's files survive, whichever process writes them.
    if (path.find(tag) == std::string::npos) DeleteFileA(path.c_str());
  } while (FindNextFileA(find, &entry));
  FindClose(find);
}

void WeekRollingFileAppender::openFile(const std::string& path) {
  // Deny-write: a second writer (another process on the same name) fails and
  // drops its record instead of interleaving bytes.
  int fd = -1;
  if (_sopen_s(&fd, path.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _SH_DENYWR,
               _S_IREAD | _S_IWRITE) != 0) {
    fd = -1;
  }
  m_file = fd;
}

void WeekRollingFileAppender::closeFile() {
  if (m_file != -1) {
    _close(m_file);
    m_file = -1;
  }
}

void WeekRollingFileAppender::writeLocked(const Record& record) {
  // Placement follows the record's own stamp, not the clock now.
  const std::tm t = LocalTime(record.seconds());
  const std::string path = m_logDir + "\\" + buildFileName(m_filePrefix, t);

  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) deleteOldFiles(m_logDir, t);

  openFile(path);
  long size = m_file != -1 ? _lseek(m_file, 0, SEEK_END) : -1;
  if (size >= m_maxFileSize) {
    closeFile();
    _unlink(path.c_str());
    openFile(path);
    if (m_file != -1) _lseek(m_file, 0, SEEK_END);
  }

  const std::string bytes = UTF8Converter::convert(TxtFormatter::format(record));
  if (m_file != -1) _write(m_file, bytes.data(), static_cast<unsigned>(bytes.size()));
  closeFile();
}

void WeekRollingFileAppender::write(const Record& record) {
  pel::LockGuard guard(m_mutex);
  try {
    writeLocked(record);
  } catch (...) {
    // Out of memory while building texts: the record is lost, like any other
    // failure here.
  }
  closeFile();
}

}  // namespace pellog
