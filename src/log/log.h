// The library's logger and the log statement, PEL_LOGI << "text" << number;
// which builds nothing, not even the message, unless the logger exists and
// admits the severity. The record carries the enclosing function and line.
#pragma once

#include <atomic>

#include "log/record.h"

namespace pel::log {

// Where records go. A logger hands every admitted record to each appender.
class IAppender {
 public:
  virtual ~IAppender() = default;
  virtual void write(const Record& record) = 0;
};

// The process-wide instance (id 6, clear of a host's loggers) with its severity and appenders.
class Logger {
 public:
  static constexpr int kMaxAppenders = 4;

  // Becomes the process-wide instance; only one may exist at a time.
  explicit Logger(Severity maxSeverity) noexcept : m_maxSeverity(maxSeverity) {
    s_instance.store(this, std::memory_order_release);
  }
  ~Logger() {
    Logger* self = this;
    s_instance.compare_exchange_strong(self, nullptr);
  }
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The instance, or null before set-up and after tear-down.
  static Logger* Get() noexcept { return s_instance.load(std::memory_order_acquire); }

  void setMaxSeverity(Severity severity) noexcept { m_maxSeverity.store(severity); }
  bool checkSeverity(Severity severity) const noexcept {
    return severity <= m_maxSeverity.load(std::memory_order_relaxed);
  }

  // Appenders are added during set-up, before records flow; false when full.
  bool addAppender(IAppender* appender) noexcept {
    const int n = m_count.load();
    if (appender == nullptr || n >= kMaxAppenders) return false;
    m_appenders[n] = appender;
    m_count.store(n + 1, std::memory_order_release);
    return true;
  }

  void write(const Record& record) {
    if (!checkSeverity(record.severity())) return;
    const int n = m_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) m_appenders[i]->write(record);
  }

  static bool Admits(Severity severity) noexcept {
    Logger* logger = Get();
    return logger != nullptr && logger->checkSeverity(severity);
  }

 private:
  static inline std::atomic<Logger*> s_instance{nullptr};
  std::atomic<Severity> m_maxSeverity;
  IAppender* m_appenders[kMaxAppenders] = {};
  std::atomic<int> m_count{0};
};

// Hands the finished record to the logger when the statement ends.
class RecordWriter {
 public:
  RecordWriter(Severity severity, const char* function, int line)
      : m_record(severity, function, line) {}
  ~RecordWriter() {
    Logger* logger = Logger::Get();
    if (logger != nullptr) logger->write(m_record);
  }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;
  Record& ref() noexcept { return m_record; }

 private:
  Record m_record;
};

// Turns the streamed record into a statement's one expression: an unbraced if around it then has no
// else inside for a following else to bind to.
struct Voidify {
  void operator&(const Record&) const noexcept {}
};

}  // namespace pel::log

// For a helper logging on behalf of its caller: the caller's qualified name, as a literal.
// NOLINTBEGIN(bugprone-macro-parentheses): the statement streams on after it.
#define PEL_LOG_AS(sev, function)  \
  !::pel::log::Logger::Admits(sev) \
      ? void(0)                    \
      : ::pel::log::Voidify() & ::pel::log::RecordWriter(sev, function, __LINE__).ref()
// NOLINTEND(bugprone-macro-parentheses)
// Otherwise the full signature, which QualifiedFunctionName cuts down to the
// qualified name (__FUNCTION__ of some compilers drops the class).
#define PEL_LOG(sev) PEL_LOG_AS(sev, __PRETTY_FUNCTION__)

#define PEL_LOGF PEL_LOG(::pel::log::fatal)
#define PEL_LOGE PEL_LOG(::pel::log::error)
#define PEL_LOGW PEL_LOG(::pel::log::warning)
#define PEL_LOGI PEL_LOG(::pel::log::info)
#define PEL_LOGD PEL_LOG(::pel::log::debug)
#define PEL_LOGV PEL_LOG(::pel::log::verbose)
