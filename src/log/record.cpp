#include "log/record.h"

#include <chrono>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/thread_id.h"
#include "platform/win.h"

namespace pel::log {

// Every piece of a message goes through here or appendNarrow: out of memory,
// the piece is left out rather than the exception ending the logging thread.
Record& Record::appendWide(const wchar_t* text, std::size_t length) noexcept {
  try {
    m_message.append(text, length);
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

Record& Record::appendNarrow(const char* text, std::size_t length) noexcept {
  if (length == 0) return *this;
  const int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (count <= 0) return *this;
  const std::size_t at = m_message.size();
  try {
    m_message.resize(at + static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return *this;
  }
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &m_message[at], count);
  return *this;
}

const char* SeverityName(Severity severity) noexcept {
  static const char* const kNames[] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB"};
  return severity >= fatal && severity <= verbose ? kNames[severity] : kNames[none];
}

std::string QualifiedFunctionName(const char* full) {
  if (full == nullptr) return std::string();
  // Unnamed namespaces tell a reader nothing and are spelt differently by each compiler.
  std::string stripped(full);
  for (const char* unnamed : {"{anonymous}::", "`anonymous namespace'::"}) {
    for (std::size_t at = 0; (at = stripped.find(unnamed, at)) != std::string::npos;)
      stripped.erase(at, std::strlen(unnamed));
  }

  // The parameter list opens at the first '(' outside template brackets.
  std::size_t open = 0;
  for (int angle = 0; open < stripped.size() && (stripped[open] != '(' || angle != 0); ++open) {
    if (stripped[open] == '<') ++angle;
    if (stripped[open] == '>' && angle > 0) --angle;
  }

  // The name starts after the last blank before it that is outside template
  // brackets; what precedes is return type, storage class or calling convention.
  std::size_t begin = open;
  for (int angle = 0; begin > 0; --begin) {
    const char c = stripped[begin - 1];
    if ((c == ' ' || c == '*' || c == '&') && angle == 0) break;
    if (c == '>') ++angle;
    if (c == '<' && angle > 0) --angle;
  }
  return stripped.substr(begin, open - begin);
}

Record::Record(Severity severity, const char* function, int line)
    : m_severity(severity), m_line(line) {
  try {
    m_function = QualifiedFunctionName(function);
  } catch (const std::bad_alloc&) {
    // A record without its function name still says what happened.
  }
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  m_seconds = static_cast<std::time_t>(now / 1000);
  m_milliseconds = static_cast<unsigned short>(now % 1000);
  m_threadId = pel::CurrentThreadId();
}

Record::Record(Severity severity, const char* function, int line, std::time_t seconds,
               unsigned short milliseconds, uint32_t threadId)
    : m_severity(severity),
      m_seconds(seconds),
      m_milliseconds(milliseconds),
      m_threadId(threadId),
      m_line(line) {
  try {
    m_function = function;
  } catch (const std::bad_alloc&) {
  }
}

Record& Record::operator<<(const char* text) {
  if (text == nullptr) text = "(null)";
  return appendNarrow(text, std::strlen(text));
}

Record& Record::operator<<(const wchar_t* text) {
  if (text == nullptr) text = L"(null)";
  return appendWide(text, std::wcslen(text));
}

Record& Record::operator<<(const void* pointer) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  const unsigned long long value =
      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer));
  wchar_t digits[16];
  for (int i = 0; i < 16; ++i) digits[i] = kHex[(value >> (60 - 4 * i)) & 0xF];
  return appendWide(digits, 16);
}

// Digits by hand: runtimes' wide printf differ in how they take 64-bit lengths.
Record& Record::appendUnsigned(unsigned long long magnitude, bool negative) noexcept {
  wchar_t digits[24];
  wchar_t* const end = digits + 24;
  wchar_t* start = end;
  do {
    *--start = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--start = L'-';
  return appendWide(start, static_cast<std::size_t>(end - start));
}

}  // namespace pel::log
