#include "log_location.h"

#include <cstdio>
#include <vector>

#include "util.h"

namespace pelipc {

namespace {

std::string ProfileDirectory() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  char buffer[512] = {0};
  DWORD size = sizeof buffer;
  std::string out;
  if (GetUserProfileDirectoryA(token, buffer, &size)) out = buffer;
  CloseHandle(token);
  return out;
}

std::string Absolute(const std::string& path) {
  char buffer[MAX_PATH] = {0};
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::string(buffer, n);
}

std::string Prefix(const std::string& logName) {
  const std::string exe = ExePath();
  if (exe.find("quillon.exe") != std::string::npos) return "pel_ipc_quillon-";
  if (exe.find("Morrow.exe") != std::string::npos) return "pel_ipc_morrow-" + logName + "-";
  return "pel_ipc-" + logName + "-";
}

std::string DayName() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char tag[32];
  std::snprintf(tag, sizeof tag, "%u%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wDayOfWeek);
  return tag;
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
  LogLocation where;
  where.prefix = Prefix(logName);
  const std::string name = where.prefix + DayName() + ".log";
  std::vector<std::string> folders;
  const std::string profile = ProfileDirectory();
  if (!profile.empty()) folders.push_back(profile + "\\Documents\\Morrow\\log");
  folders.push_back(Absolute("\\Documents\\Morrow\\log"));
  for (const auto& folder : folders) {
    const std::string path = folder + "\\" + name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!where.exists && GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
      where.exists = true;
      where.file = path;
      where.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      continue;
    }
    DWORD attributes = GetFileAttributesA(folder.c_str());
    bool isFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!where.otherFolders.empty()) where.otherFolders += ", ";
    where.otherFolders += folder + (isFolder ? " (no such file)" : " (folder missing)");
  }
  if (!where.exists) where.file = folders.front() + "\\" + name;
  where.unixPath = UnixPath(where.file);
  return where;
}

}  // namespace pelipc
