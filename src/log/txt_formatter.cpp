#include "log/txt_formatter.h"

#include <cstdio>
#include <ctime>

namespace pellog {

namespace {

std::tm LocalTime(std::time_t seconds) {
  std::tm t{};
#ifdef _WIN32
  localtime_s(&t, &seconds);
#else
  localtime_r(&seconds, &t);
#endif
  return t;
}

}  // namespace

std::wstring TxtFormatter::format(const Record& record) {
  const std::tm t = LocalTime(record.seconds());
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%d-%02d-%02d %02d:%02d:%02d.%03u %-5s [%lu] [",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<unsigned>(record.milliseconds()), SeverityName(record.severity()),
                static_cast<unsigned long>(record.threadId()));
  std::wstring line;
  line.reserve(96 + record.function().size() + record.message().size());
  for (const char* p = prefix; *p != '\0'; ++p) line += static_cast<wchar_t>(*p);
  // Function names are plain identifiers and "::", never beyond ASCII.
  for (char c : record.function()) line += static_cast<wchar_t>(static_cast<unsigned char>(c));
  line += L'@';
  char number[16];
  std::snprintf(number, sizeof number, "%d", record.line());
  for (const char* p = number; *p != '\0'; ++p) line += static_cast<wchar_t>(*p);
  line += L"] ";
  line += record.message();
  line += L'\n';
  return line;
}

}  // namespace pellog
