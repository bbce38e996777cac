#include "log/severity.h"

namespace pellog {

const char* SeverityName(Severity severity) noexcept {
  switch (severity) {
    case fatal:
      return "FATAL";
    case error:
      return "ERROR";
    case warning:
      return "WARN";
    case info:
      return "INFO";
    case debug:
      return "DEBUG";
    case verbose:
      return "VERB";
    default:
      return "NONE";
  }
}

}  // namespace pellog
