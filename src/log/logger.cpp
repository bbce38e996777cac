#include "log/logger.h"

namespace pellog {

std::atomic<Logger*> Logger::s_instance{nullptr};

Logger::Logger(Severity maxSeverity) noexcept
    : m_maxSeverity(maxSeverity), m_appenders{}, m_count(0) {
  s_instance.store(this, std::memory_order_release);
}

Logger::~Logger() {
  Logger* self = this;
  s_instance.compare_exchange_strong(self, nullptr);
}

bool Logger::addAppender(IAppender* appender) noexcept {
  const int n = m_count.load();
  if (appender == nullptr || n >= kMaxAppenders) return false;
  m_appenders[n] = appender;
  m_count.store(n + 1, std::memory_order_release);
  return true;
}

void Logger::write(const Record& record) {
  if (!checkSeverity(record.severity())) return;
  const int n = m_count.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i) m_appenders[i]->write(record);
}

}  // namespace pellog
