#pragma once

#include <string>

#include "log/record.h"

namespace pellog {

// "2024-01-08 09:05:03.042 INFO  [1234] [PelNamedPipeServer::Init@57] Enter!\n"
// in local time: date, time with milliseconds, severity padded to five,
// thread id, function@line, message, line feed.
class TxtFormatter {
 public:
  static std::wstring header() { return std::wstring(); }
  static std::wstring format(const Record& record);
};

}  // namespace pellog
