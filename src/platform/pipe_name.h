#pragma once

#include <cstring>
#include <string>

namespace pel {

// The host may give a bare name or a full pipe path. Only a name that holds
// the exact, case-sensitive text "\\.\pipe" somewhere is taken as a path.
inline std::string FullPipeName(const char* name) {
  static const char kPipeRoot[] = "\\\\.\\pipe";
  if (std::strstr(name, kPipeRoot) != nullptr) return std::string(name);
  return std::string(kPipeRoot) + '\\' + name;
}

}  // namespace pel
