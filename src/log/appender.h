#pragma once

#include "log/record.h"

namespace pellog {

// Where records go. A logger hands every admitted record to each appender.
class IAppender {
 public:
  virtual ~IAppender() = default;
  virtual void write(const Record& record) = 0;
};

}  // namespace pellog
