#include "log_location.h"

#include <ctime>

#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"
#include "platform/win.h"

namespace pelipc {

namespace {

std::string Absolute(const std::string& path) {
  char buffer[MAX_PATH] = {0};
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::string(buffer, n);
}

// C:\x\y -> $WINEPREFIX/drive_c/x/y, so a reader under Wine finds the file.
std::string UnixPath(const std::string& windowsPath) {
  char prefix[1024] = {0};
  DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
  if (n == 0 || n >= sizeof prefix || windowsPath.size() < 3 || windowsPath[1] != ':') return "";
  char drive = static_cast<char>(windowsPath[0] | 0x20);
  std::string out = std::string(prefix) + "/drive_" + drive + "/" + windowsPath.substr(3);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace

LogLocation FindLogFile(const std::string& logName) {
  // The library's own rule from its static core, kept quiet: the library
  // has traced its set-up already.
  const pellog::LogPlace place = pellog::FindLogPlace(logName.c_str(), false);
  LogLocation where;
  where.prefix = place.prefix;
  const std::string folder = Absolute(place.folder);
  where.file = folder + "\\" + pellog::DayFileName(where.prefix, std::time(nullptr));
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExA(where.file.c_str(), GetFileExInfoStandard, &data)) {
    where.exists = true;
    where.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  } else {
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    const bool isFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    where.otherFolders = folder + (isFolder ? " (no such file)" : " (folder missing)");
  }
  where.unixPath = UnixPath(where.file);
  return where;
}

}  // namespace pelipc
