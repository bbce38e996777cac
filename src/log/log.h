// The log statement: PEL_LOGI << "text" << number;
// Nothing is built, not even the message, unless the library's logger
// exists and admits the severity. The record carries the qualified name of
// the enclosing function and the source line.
#pragma once

#include "log/logger.h"
#include "log/record.h"
#include "log/severity.h"

namespace pellog {

// Hands the finished record to the logger when the statement ends.
class RecordWriter {
 public:
  RecordWriter(Severity severity, const char* function, int line)
      : m_record(severity, function, line) {}
  ~RecordWriter() {
    Logger* logger = Logger::Get();
    if (logger != nullptr) logger->write(m_record);
  }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;
  Record& ref() noexcept { return m_record; }

 private:
  Record m_record;
};

}  // namespace pellog

// The full signature, which QualifiedFunctionName cuts down to the qualified
// name (__FUNCTION__ of some compilers drops the class).
#if defined(_MSC_VER)
#define PEL_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define PEL_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

#define PEL_LOG(sev)                    \
  if (!::pellog::Logger::Admits(sev)) { \
  } else                                \
    ::pellog::RecordWriter(sev, PEL_FUNCTION_SIGNATURE, __LINE__).ref()

// For a helper that logs on behalf of the operation that called it: the
// record carries the operation's qualified name, given as a literal.
#define PEL_LOG_AS(sev, function)       \
  if (!::pellog::Logger::Admits(sev)) { \
  } else                                \
    ::pellog::RecordWriter(sev, function, __LINE__).ref()

#define PEL_LOGF PEL_LOG(::pellog::fatal)
#define PEL_LOGE PEL_LOG(::pellog::error)
#define PEL_LOGW PEL_LOG(::pellog::warning)
#define PEL_LOGI PEL_LOG(::pellog::info)
#define PEL_LOGD PEL_LOG(::pellog::debug)
#define PEL_LOGV PEL_LOG(::pellog::verbose)
