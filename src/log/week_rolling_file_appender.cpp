#include "log/week_rolling_file_appender.h"

#include <chrono>
#include <cstdio>

#include "log/formatter.h"
#include "platform/win.h"

namespace pel::log {

// A record on its way to the file, in the logging thread's frame, so queueing allocates nothing.
struct WeekRollingFileAppender::Pending {
  std::tm day{};  // the local date of the record's own stamp
  std::string bytes;
  Pending* next = nullptr;
  bool done = false;
};

namespace {

// Another writer holds the file one batch at a time; wait this long in all, then drop the record.
constexpr DWORD kShareWaitMs = 250;
constexpr DWORD kSharePauseMs = 4;

// YYYYMMDDWW.
std::string DateTag(const std::tm& t) {
  char tag[48];
  std::snprintf(tag, sizeof tag, "%d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_wday);
  return tag;
}

// Deny-write, so a second writer never interleaves bytes; created when
// missing. (Append-only access spares the seek but costs more under Wine.)
HANDLE OpenForAppend(const std::string& path, bool* created) {
  DWORD waited = 0;
  // Short pauses: a batch holds the file a few milliseconds, and several processes may queue.
  for (DWORD pause = 1;; pause = pause < kSharePauseMs ? pause * 2 : kSharePauseMs) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      *created = GetLastError() != ERROR_ALREADY_EXISTS;
      return file;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION || waited >= kShareWaitMs) return file;
    Sleep(pause);
    waited += pause;
  }
}

}  // namespace

std::string DayFileName(const std::string& prefix, const std::tm& day) {
  return prefix + DateTag(day) + ".log";
}

std::string DayFileName(const std::string& prefix, std::time_t seconds) {
  return DayFileName(prefix, LocalTime(seconds));
}

WeekRollingFileAppender::WeekRollingFileAppender(const char* logDir, const char* filePrefix)
    : m_logDir(logDir != nullptr ? logDir : ""),
      m_filePrefix(filePrefix != nullptr ? filePrefix : "") {}

void WeekRollingFileAppender::deleteOldFiles(const std::tm& t) {
  const std::string tag = DateTag(t);
  // The family (the prefix up to its first '-') on the weekday, the tag's last two digits.
  const std::string search = m_logDir + "\\" + m_filePrefix.substr(0, m_filePrefix.find('-')) +
                             "*" + tag.substr(tag.size() - 2) + ".log";
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(search.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::string path = m_logDir + "\\" + entry.cFileName;
    // Today's files survive, whichever process writes them.
    if (path.find(tag) == std::string::npos) DeleteFileA(path.c_str());
  } while (FindNextFileA(find, &entry));
  FindClose(find);
}

void WeekRollingFileAppender::writeFile(const std::string& path, const std::string& bytes,
                                        const std::tm& day) {
  bool created = false;
  HANDLE file = OpenForAppend(path, &created);
  if (file == INVALID_HANDLE_VALUE) return;
  // One call positions at the end and tells the size.
  LARGE_INTEGER size{};
  if (SetFilePointerEx(file, LARGE_INTEGER{}, &size, FILE_END) && size.QuadPart >= kMaxFileSize) {
    CloseHandle(file);
    DeleteFileA(path.c_str());
    file = OpenForAppend(path, &created);
    if (file == INVALID_HANDLE_VALUE) return;
  }
  // The day's first file clears that weekday of past weeks, as does one recreated during the day.
  if (created) deleteOldFiles(day);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

void WeekRollingFileAppender::writeBatch(Pending* first) {
  // Placement follows each record's own stamp: a batch that spans midnight writes two files. A
  // day's records join onto its first one's bytes, whose owner waits until the batch is done.
  while (first != nullptr) {
    Pending* end = first->next;
    const std::tm& day = first->day;
    for (; end != nullptr && end->day.tm_yday == day.tm_yday && end->day.tm_year == day.tm_year;
         end = end->next)
      first->bytes += end->bytes;
    writeFile(m_logDir + "\\" + DayFileName(m_filePrefix, day), first->bytes, day);
    first = end;
  }
}

void WeekRollingFileAppender::write(const Record& record) {
  Pending mine;
  try {
    mine.day = LocalTime(record.seconds());
    mine.bytes = UTF8Converter::convert(TxtFormatter::format(record, mine.day));
  } catch (...) {
    // Out of memory building the text: lost, like any failure here.
    return;
  }
  pel::LockGuard guard(m_mutex);
  // The queue holds the address of this frame's record only until a writer
  // has taken it and marked it done, which this thread waits for below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
  (m_last != nullptr ? m_last->next : m_first) = &mine;
  m_last = &mine;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  while (!mine.done) {
    if (m_writing) {
      m_mutex.WaitFor(m_written, std::chrono::seconds(1),
                      [&]() REQUIRES(m_mutex) { return mine.done || !m_writing; });
      continue;
    }
    // This thread writes everything queued so far, its own record included.
    Pending* batch = m_first;
    m_first = m_last = nullptr;
    m_writing = true;
    guard.Unlock();
    try {
      writeBatch(batch);
    } catch (...) {
      // Out of memory joining the batch: those records are lost.
    }
    guard.Lock();
    for (Pending* p = batch; p != nullptr; p = p->next) p->done = true;
    m_writing = false;
    m_written.notify_all();
  }
}

}  // namespace pel::log
