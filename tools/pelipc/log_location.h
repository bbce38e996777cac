// Where the library's log file of this process lands today: folder, prefix
// and file name come from the library's own rules (its static core, since
// the DLL exports nothing but its fourteen functions).
#pragma once

#include <cstdint>
#include <string>

namespace pelipc {

struct LogLocation {
  std::string prefix;  // "pel_ipc-pelipc-"
  std::string file;    // the full Windows path of today's file
  bool exists = false;
  uint64_t size = 0;
  std::string unixPath;      // the same under the Wine prefix, when known
  std::string otherFolders;  // the folder, when it holds no file of today
};

LogLocation FindLogFile(const std::string& logName);

}  // namespace pelipc
