#include "platform/pipe_name.h"

#include <cstring>

namespace pel {

namespace {
const char kPipeRoot[] = "\\\\.\\pipe";
}

std::string FullPipeName(const char* name) {
  if (std::strstr(name, kPipeRoot) != nullptr) return std::string(name);
  std::string full(kPipeRoot);
  full += '\\';
  full += name;
  return full;
}

}  // namespace pel
