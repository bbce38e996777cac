// A record as text: the line layout in local time and its UTF-8 bytes.
#pragma once

#include <ctime>
#include <string>

#include "log/record.h"

namespace pel::log {

// Local time of seconds, as every date and time of the log (lines, file names) shows it.
std::tm LocalTime(std::time_t seconds) noexcept;

// "2024-01-08 09:05:03.042 INFO  [1234] [PelNamedPipeServer::Init@57] Enter!\n"
// in local time: date, time with milliseconds, severity padded to five,
// thread id, function@line, message, line feed.
class TxtFormatter {
 public:
  static std::wstring format(const Record& record) {
    return format(record, LocalTime(record.seconds()));
  }
  // local: the record's stamp in local time, when the caller has worked it out already.
  static std::wstring format(const Record& record, const std::tm& local);
};

// UTF-16 text to UTF-8 bytes, no byte-order mark; lone surrogates become U+FFFD.
class UTF8Converter {
 public:
  static std::string convert(const std::wstring& text);
};

}  // namespace pel::log
