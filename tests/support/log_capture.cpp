#include "support/log_capture.h"

#include "log/formatter.h"

namespace pel_test {

LogCapture* LogCapture::Attach() {
  static LogCapture* capture = nullptr;
  static std::mutex once;
  std::lock_guard<std::mutex> guard(once);
  if (capture != nullptr) return capture;
  pellog::Logger* logger = pellog::Logger::Get();
  if (logger == nullptr) return nullptr;
  capture = new LogCapture();  // never freed: the logger may call it until exit
  logger->addAppender(capture);
  return capture;
}

void LogCapture::write(const pellog::Record& record) {
  CapturedRecord r{record.severity(), record.function(),
                   pellog::UTF8Converter::convert(record.message()), record.threadId()};
  std::lock_guard<std::mutex> guard(m_lock);
  m_records.push_back(std::move(r));
}

std::vector<CapturedRecord> LogCapture::Records() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_records;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_records.clear();
}

size_t LogCapture::Count(const std::string& function, const std::string& text) {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t n = 0;
  for (const auto& r : m_records)
    if ((function.empty() || r.function == function) && r.message.find(text) != std::string::npos)
      ++n;
  return n;
}

}  // namespace pel_test
