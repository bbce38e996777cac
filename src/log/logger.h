// The library's own logger: one process-wide instance (id 6, so it never
// collides with a host's own loggers of the same family) with a maximum
// severity and a list of appenders.
#pragma once

#include <atomic>

#include "log/appender.h"
#include "log/record.h"
#include "log/severity.h"

namespace pellog {

constexpr int kLibraryInstance = 6;

class Logger {
 public:
  static constexpr int kMaxAppenders = 4;

  // Becomes the process-wide instance; only one may exist at a time.
  explicit Logger(Severity maxSeverity) noexcept;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The instance, or null before set-up and after tear-down.
  static Logger* Get() noexcept { return s_instance.load(std::memory_order_acquire); }

  Severity getMaxSeverity() const noexcept { return m_maxSeverity.load(std::memory_order_relaxed); }
  void setMaxSeverity(Severity severity) noexcept { m_maxSeverity.store(severity); }
  bool checkSeverity(Severity severity) const noexcept { return severity <= getMaxSeverity(); }

  // Appenders are added during set-up, before records flow; false when full.
  bool addAppender(IAppender* appender) noexcept;
  int appenderCount() const noexcept { return m_count.load(std::memory_order_acquire); }

  void write(const Record& record);

  // True when a statement of this severity would reach the appenders.
  static bool Admits(Severity severity) noexcept {
    Logger* logger = Get();
    return logger != nullptr && logger->checkSeverity(severity);
  }

 private:
  static std::atomic<Logger*> s_instance;
  std::atomic<Severity> m_maxSeverity;
  IAppender* m_appenders[kMaxAppenders];
  std::atomic<int> m_count;
};

}  // namespace pellog
