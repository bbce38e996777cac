#include "util.h"

#include <cstdarg>
#include <cstdio>

namespace pel::pelipc {

namespace {

void Print(FILE* stream, const char* format, va_list args) {
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  std::vfprintf(stream, format, args);
  std::fflush(stream);
}

}  // namespace

std::string DescribeResult(int32_t code) {
  static const struct {
    int32_t code;
    const char* meaning;
  } kMeanings[] = {
      {PEL_OK, "success"},
      {PEL_ERR_INVALID_ARG, "missing or invalid argument"},
      {PEL_ERR_STATE, "wrong state: closing, not connected or not disconnected"},
      {PEL_ERR_BAD_MAGIC, "received message with a wrong magic"},
      {PEL_ERR_SHORT_MESSAGE, "message shorter than a header, or data before HELLO"},
      {PEL_ERR_TOO_LARGE, "client payload larger than 716,800 bytes"},
      {PEL_ERR_BUFFER_TOO_SMALL, "answer larger than the caller's buffer"},
      {PEL_ERR_NO_CONNECTION, "no connection with that id"},
      {PEL_ERR_NO_MEMORY, "memory allocation failed"},
      {PEL_ERR_PIPE, "pipe could not be created, connected or opened"},
      {PEL_ERR_EVENT, "event of a synchronous call could not be created or reset"},
      {PEL_ERR_IOCP, "completion port could not be created"},
      {PEL_ERR_BIND, "pipe could not be bound to the completion port"},
      {PEL_ERR_TOO_MANY_PENDING, "20 operations already outstanding"},
      {PEL_ERR_TIMEOUT, "time-out or failed wait"},
      {PEL_CLOSE_SERVER, "pipe still held, or connection closed by the server"},
      {PEL_ERR_READ, "a read could not be posted"},
      {PEL_ERR_WRITE, "a message could not be written"},
  };
  const char* meaning = "system error code";
  for (const auto& entry : kMeanings) {
    if (entry.code == code) meaning = entry.meaning;
  }
  return "error " + std::to_string(code) + " (" + meaning + ")";
}

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Preview(const uint8_t* data, uint32_t size, uint32_t max) {
  std::string out = "\"";
  for (uint32_t i = 0; i < size && i < max; ++i) {
    const char c = static_cast<char>(data[i]);
    if ((data[i] < 0x20 && c != '\n' && c != '\t') || data[i] >= 0x7F) return "(binary)";
    out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
  }
  return out + (size > max ? "\"..." : "\"");
}

void Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stdout, format, args);
  va_end(args);
}

void Err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, format, args);
  va_end(args);
}

}  // namespace pel::pelipc
