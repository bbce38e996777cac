#include "util.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"

namespace pel::pelipc {

namespace {

// The folder as a full path: the library's fallback starts at the root of the current drive.
std::string FullFolder(const char* path) {
  char folder[MAX_PATH] = {0};
  const DWORD n = GetFullPathNameA(path, MAX_PATH, folder, nullptr);
  return n == 0 || n >= MAX_PATH ? std::string(path) : std::string(folder);
}

}  // namespace

std::string DescribeResult(int32_t code) {
  static const std::pair<int32_t, const char*> kMeanings[] = {
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
  for (const auto& [known, text] : kMeanings) meaning = known == code ? text : meaning;
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
  std::string out = std::to_string(value);
  for (int at = static_cast<int>(out.size()) - 3; at > 0; at -= 3) out.insert(at, ",");
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

void Print(FILE* stream, const char* format, ...) {
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::fflush(stream);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string LibraryLogFolder() {
  // Quiet: only the folder counts, which no name changes.
  return FullFolder(pel::log::FindLogPlace(nullptr, false).folder);
}

void PrintLogLocation(const std::string& logName) {
  // The library's own rule from its static core, kept quiet: the library
  // has traced its set-up already.
  const pel::log::LogPlace place = pel::log::FindLogPlace(logName.c_str(), false);
  const std::string folder = FullFolder(place.folder);
  const std::string file = folder + "\\" + pel::log::DayFileName(place.prefix, std::time(nullptr));
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) {
    Out("\n  log: no file of today with prefix %s; looked in %s%s\n", place.prefix, folder.c_str(),
        IsFolder(folder) ? " (no such file)" : " (folder missing)");
    return;
  }
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  Out("\n  log: %s (%s bytes, prefix %s)\n", file.c_str(), Grouped(size).c_str(), place.prefix);
  // C:\x\y -> $WINEPREFIX/drive_c/x/y, so a reader under Wine finds the file.
  const char* wine = std::getenv("WINEPREFIX");
  if (wine == nullptr || *wine == '\0' || file.size() < 3 || file[1] != ':') return;
  std::string onWine =
      std::string(wine) + "/drive_" + static_cast<char>(file[0] | 0x20) + "/" + file.substr(3);
  for (char& c : onWine) c = c == '\\' ? '/' : c;
  Out("       %s\n", onWine.c_str());
}

bool ParseWhole(const std::string& text, uint64_t min, uint64_t max, uint64_t* out) {
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || n < min || n > max) return false;
  *out = n;
  return true;
}

bool ParseFlags(const std::vector<std::string>& args, const std::vector<Flag>& flags,
                std::vector<std::string>* positional) {
  for (size_t i = 0; i < args.size(); ++i) {
    const auto match = std::find_if(flags.begin(), flags.end(), [&](const Flag& flag) {
      return args[i] == flag.name && (!flag.takesValue || i + 1 < args.size());
    });
    if (match == flags.end()) {
      positional->push_back(args[i]);
    } else if (!match->apply(match->takesValue ? args[++i] : std::string())) {
      return false;
    }
  }
  return true;
}

}  // namespace pel::pelipc
