// Captures the library's log records in memory, for tests that check what
// was logged. Attach after the first server or client exists (the logger is
// made by its Init). The capture lives for the whole process, because the
// logger keeps pointers to its appenders.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace pel_test {

struct CapturedRecord {
  pellog::Severity severity;
  std::string function;  // qualified name, e.g. "PelNamedPipeServer::Start"
  std::string message;   // UTF-8
  unsigned threadId;
};

class LogCapture : public pellog::IAppender {
 public:
  // The process-wide capture; attaches itself to the logger when it exists.
  // Returns null when there is no logger yet.
  static LogCapture* Attach();

  void write(const pellog::Record& record) override;
  std::vector<CapturedRecord> Records();
  void Clear();
  // Records whose function equals function (empty: any) and whose message
  // contains text.
  size_t Count(const std::string& function, const std::string& text);
  bool Contains(const std::string& function, const std::string& text) {
    return Count(function, text) > 0;
  }

 private:
  std::mutex m_lock;
  std::vector<CapturedRecord> m_records;
};

}  // namespace pel_test
