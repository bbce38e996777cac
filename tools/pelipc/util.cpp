#include "util.h"

#include <cstdarg>
#include <cstdio>

namespace pelipc {

namespace {

std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}

void Print(FILE* stream, const char* format, va_list args) {
  std::lock_guard<std::mutex> hold(ConsoleLock());
  std::vfprintf(stream, format, args);
  std::fflush(stream);
}

}  // namespace

const char* ResultMeaning(int32_t code) {
  switch (code) {
    case PEL_OK:
      return "success";
    case PEL_ERR_INVALID_ARG:
      return "missing or invalid argument";
    case PEL_ERR_STATE:
      return "wrong state: closing, not connected or not disconnected";
    case PEL_ERR_BAD_MAGIC:
      return "received message with a wrong magic";
    case PEL_ERR_SHORT_MESSAGE:
      return "message shorter than a header, or data before HELLO";
    case PEL_ERR_TOO_LARGE:
      return "client payload larger than 716,800 bytes";
    case PEL_ERR_BUFFER_TOO_SMALL:
      return "answer larger than the caller's buffer";
    case PEL_ERR_NO_CONNECTION:
      return "no connection with that id";
    case PEL_ERR_NO_MEMORY:
      return "memory allocation failed";
    case PEL_ERR_PIPE:
      return "pipe could not be created, connected or opened";
    case PEL_ERR_EVENT:
      return "event of a synchronous call could not be created or reset";
    case PEL_ERR_IOCP:
      return "completion port could not be created";
    case PEL_ERR_BIND:
      return "pipe could not be bound to the completion port";
    case PEL_ERR_TOO_MANY_PENDING:
      return "20 operations already outstanding";
    case PEL_ERR_TIMEOUT:
      return "time-out or failed wait";
    case PEL_CLOSE_SERVER:
      return "pipe still held, or connection closed by the server";
    case PEL_ERR_READ:
      return "a read could not be posted";
    case PEL_ERR_WRITE:
      return "a message could not be written";
    default:
      return "system error code";
  }
}

std::string DescribeResult(int32_t code) {
  return "error " + std::to_string(code) + " (" + ResultMeaning(code) + ")";
}

double NowSeconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
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
  bool text = true;
  for (uint32_t i = 0; i < size && i < max; ++i) {
    if ((data[i] < 0x20 && data[i] != '\n' && data[i] != '\t') || data[i] >= 0x7F) {
      text = false;
      break;
    }
  }
  if (!text) return "(binary)";
  std::string out = "\"";
  for (uint32_t i = 0; i < size && i < max; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  out += size > max ? "\"..." : "\"";
  return out;
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

void Counter::Add(uint64_t n) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_value += n;
  }
  m_changed.notify_all();
}

uint64_t Counter::Get() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_value;
}

bool Counter::WaitAtLeast(uint64_t target, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_value >= target; });
}

std::unique_ptr<pel_tools::Process> StartSelf(const std::vector<std::string>& args) {
  return std::unique_ptr<pel_tools::Process>(
      new pel_tools::Process(pel_tools::ExePath(), args, pel_tools::Stdio::kMuteStdout));
}

}  // namespace pelipc
