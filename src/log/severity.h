#pragma once

namespace pellog {

// Numbering as the rest of the product's tooling expects: lower is graver.
enum Severity {
  none = 0,
  fatal = 1,
  error = 2,
  warning = 3,
  info = 4,
  debug = 5,
  verbose = 6,
};

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB", else "NONE".
const char* SeverityName(Severity severity) noexcept;

}  // namespace pellog
