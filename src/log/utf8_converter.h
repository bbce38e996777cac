#pragma once

#include <string>

namespace pellog {

// Wide (UTF-16) text to UTF-8 bytes, no byte-order mark. Lone surrogates
// become U+FFFD rather than invalid bytes.
class UTF8Converter {
 public:
  static std::string header(const std::wstring&) { return std::string(); }
  static std::string convert(const std::wstring& text);
};

}  // namespace pellog
