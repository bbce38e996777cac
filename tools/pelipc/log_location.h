// Where the library's log file of this process lands. The library exposes no
// path, so this mirrors its rule: the interactive user's profile, then
// Documents\Morrow\log, or that folder from the root of the current drive when
// no profile is known; the file prefix comes from the executable's name.
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
  std::string otherFolders;  // candidate folders that hold no file of today
};

LogLocation FindLogFile(const std::string& logName);

}  // namespace pelipc
