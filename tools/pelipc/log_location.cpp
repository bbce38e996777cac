// Where the library's log file of this process lands today, by the core's own rules.
#include <ctime>

#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"
#include "util.h"

namespace pel::pelipc {

namespace {

// The folder as a full path: the library's fallback starts at the root of
// the current drive.
std::string FullFolder(const char* path) {
  char folder[MAX_PATH] = {0};
  const DWORD n = GetFullPathNameA(path, MAX_PATH, folder, nullptr);
  return n == 0 || n >= MAX_PATH ? std::string(path) : std::string(folder);
}

}  // namespace

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
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    const bool isFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    Out("\n  log: no file of today with prefix %s; looked in %s%s\n", place.prefix, folder.c_str(),
        isFolder ? " (no such file)" : " (folder missing)");
    return;
  }
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  Out("\n  log: %s (%s bytes, prefix %s)\n", file.c_str(), Grouped(size).c_str(), place.prefix);
  // C:\x\y -> $WINEPREFIX/drive_c/x/y, so a reader under Wine finds the file.
  char wine[1024] = {0};
  const DWORD w = GetEnvironmentVariableA("WINEPREFIX", wine, sizeof wine);
  if (w == 0 || w >= sizeof wine || file.size() < 3 || file[1] != ':') return;
  std::string onWine =
      std::string(wine) + "/drive_" + static_cast<char>(file[0] | 0x20) + "/" + file.substr(3);
  for (char& c : onWine) c = c == '\\' ? '/' : c;
  Out("       %s\n", onWine.c_str());
}

}  // namespace pel::pelipc
