#include "log/formatter.h"

#include <cstdint>
#include <cstdio>

namespace pel::log {

namespace {

void AppendCodePoint(std::string& out, uint32_t cp) {
  // The lead byte by the count of continuation bytes, which carry 6 bits each.
  static const uint32_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
  const int more = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  out += static_cast<char>(kLead[more] | (cp >> (6 * more)));
  for (int i = more - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
}

}  // namespace

std::tm LocalTime(std::time_t seconds) noexcept {
  std::tm t{};
  localtime_s(&t, &seconds);
  return t;
}

std::wstring TxtFormatter::format(const Record& record, const std::tm& t) {
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%d-%02d-%02d %02d:%02d:%02d.%03u %-5s [%lu] [",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<unsigned>(record.milliseconds()), SeverityName(record.severity()),
                static_cast<unsigned long>(record.threadId()));
  // All up to the message is ASCII: function names are plain identifiers and "::".
  const std::string head = prefix + record.function() + '@' + std::to_string(record.line()) + "] ";
  std::wstring line;
  line.reserve(head.size() + record.message().size() + 1);
  for (char c : head) line += static_cast<wchar_t>(static_cast<unsigned char>(c));
  line += record.message();
  line += L'\n';
  return line;
}

std::string UTF8Converter::convert(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    uint32_t unit = static_cast<uint32_t>(text[i]);
    if (sizeof(wchar_t) == 2 && unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n) {
      const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (sizeof(wchar_t) == 2 && unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    AppendCodePoint(out, unit);
  }
  return out;
}

}  // namespace pel::log
