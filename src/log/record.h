// One log record: when, how grave, which thread, where, and the message streamed into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace pel::log {

// Numbering as the rest of the product's tooling expects: lower is graver.
enum Severity { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB", else "NONE".
const char* SeverityName(Severity severity) noexcept;

// Turns a compiler's full function signature into the qualified name the log
// shows: "static int PelNamedPipeServer::WorkThread(PelNamedPipeServer*)"
// becomes "PelNamedPipeServer::WorkThread". A bare name is returned as it is.
std::string QualifiedFunctionName(const char* signature);

class Record {
 public:
  // Stamped now, on the calling thread; function is the full signature or a qualified name.
  Record(Severity severity, const char* function, int line);
  // A record with every field given, for tests and replays.
  Record(Severity severity, const char* function, int line, std::time_t seconds,
         unsigned short milliseconds, uint32_t threadId);

  Severity severity() const noexcept { return m_severity; }
  std::time_t seconds() const noexcept { return m_seconds; }
  unsigned short milliseconds() const noexcept { return m_milliseconds; }
  uint32_t threadId() const noexcept { return m_threadId; }
  int line() const noexcept { return m_line; }
  const std::string& function() const noexcept { return m_function; }
  const std::wstring& message() const noexcept { return m_message; }

  // Narrow texts are in the process's ANSI code page.
  Record& operator<<(const char* text);
  Record& operator<<(const std::string& text) { return appendNarrow(text.data(), text.size()); }
  Record& operator<<(const wchar_t* text);
  Record& operator<<(const std::wstring& text) { return appendWide(text.data(), text.size()); }
  // A NUL character adds nothing, as an empty text would.
  Record& operator<<(char c) { return c == '\0' ? *this : appendNarrow(&c, 1); }
  Record& operator<<(bool value) { return appendWide(value ? L"1" : L"0", 1); }
  Record& operator<<(int value) { return appendSigned(value); }
  Record& operator<<(long value) { return appendSigned(value); }
  Record& operator<<(long long value) { return appendSigned(value); }
  Record& operator<<(unsigned int value) { return appendUnsigned(value, false); }
  Record& operator<<(unsigned long value) { return appendUnsigned(value, false); }
  Record& operator<<(unsigned long long value) { return appendUnsigned(value, false); }
  // Handles and addresses: 16 upper-case hex digits, no prefix.
  Record& operator<<(const void* pointer);

 private:
  Record& appendNarrow(const char* text, std::size_t length) noexcept;
  Record& appendWide(const wchar_t* text, std::size_t length) noexcept;
  Record& appendSigned(long long value) noexcept {
    const auto magnitude = static_cast<unsigned long long>(value);
    return appendUnsigned(value < 0 ? 0ull - magnitude : magnitude, value < 0);
  }
  Record& appendUnsigned(unsigned long long magnitude, bool negative) noexcept;

  Severity m_severity;
  std::time_t m_seconds;
  unsigned short m_milliseconds;
  uint32_t m_threadId;
  int m_line;
  std::string m_function;
  std::wstring m_message;
};

}  // namespace pel::log
