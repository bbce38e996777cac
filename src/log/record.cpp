#include "log/record.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "log/function_name.h"
#include "platform/thread_id.h"
#include "platform/win.h"

namespace pellog {

namespace {

std::wstring Widen(const char* text, std::size_t length) {
  if (length == 0) return std::wstring();
  int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &wide[0], count);
  return wide;
}

// Digits by hand: the C runtime's wide printf differs between runtimes in
// how it takes 64-bit lengths.
void AppendUnsigned(std::wstring& out, unsigned long long value) {
  wchar_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void AppendSigned(std::wstring& out, long long value) {
  if (value < 0) {
    out += L'-';
    AppendUnsigned(out, 0ull - static_cast<unsigned long long>(value));
  } else {
    AppendUnsigned(out, static_cast<unsigned long long>(value));
  }
}

// Out of memory while building a record: the record goes out with what it
// has, rather than ending the thread that logs.
template <typename Build>
void Guarded(Build&& build) noexcept {
  try {
    build();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

Record::Record(Severity severity, const char* function, int line)
    : m_severity(severity), m_line(line) {
  Guarded([&] { m_function = QualifiedFunctionName(function); });
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
  Guarded([&] { m_function = function; });
}

Record& Record::operator<<(const char* text) {
  if (text == nullptr) text = "(null)";
  Guarded([&] { m_message += Widen(text, std::strlen(text)); });
  return *this;
}

Record& Record::operator<<(const std::string& text) {
  Guarded([&] { m_message += Widen(text.data(), text.size()); });
  return *this;
}

Record& Record::operator<<(const wchar_t* text) {
  Guarded([&] { m_message += text == nullptr ? L"(null)" : text; });
  return *this;
}

Record& Record::operator<<(const std::wstring& text) {
  Guarded([&] { m_message += text; });
  return *this;
}

Record& Record::operator<<(char c) {
  char text[2] = {c, '\0'};
  return *this << text;
}

Record& Record::operator<<(bool value) {
  Guarded([&] { m_message += value ? L"1" : L"0"; });
  return *this;
}

Record& Record::operator<<(int value) {
  Guarded([&] { AppendSigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(unsigned int value) {
  Guarded([&] { AppendUnsigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(long value) {
  Guarded([&] { AppendSigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(unsigned long value) {
  Guarded([&] { AppendUnsigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(long long value) {
  Guarded([&] { AppendSigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(unsigned long long value) {
  Guarded([&] { AppendUnsigned(m_message, value); });
  return *this;
}

Record& Record::operator<<(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%g", value);
  return *this << text;
}

Record& Record::operator<<(const void* pointer) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  unsigned long long value = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer));
  Guarded([&] {
    for (int shift = 60; shift >= 0; shift -= 4) m_message += kHex[(value >> shift) & 0xF];
  });
  return *this;
}

}  // namespace pellog
