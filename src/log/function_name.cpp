#include "log/function_name.h"

#include <cstring>

namespace pellog {

std::string QualifiedFunctionName(const char* full) {
  if (full == nullptr) return std::string();
  // Unnamed namespaces add nothing a reader could use, and their spelling
  // differs between compilers (one of them contains a blank).
  std::string stripped(full);
  for (const char* unnamed : {"{anonymous}::", "`anonymous namespace'::"}) {
    const std::size_t n = std::strlen(unnamed);
    for (std::size_t at = stripped.find(unnamed); at != std::string::npos;
         at = stripped.find(unnamed, at))
      stripped.erase(at, n);
  }
  const char* signature = stripped.c_str();
  const std::size_t length = stripped.size();

  // The parameter list opens at the first '(' outside template brackets.
  std::size_t open = length;
  int angle = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = signature[i];
    if (c == '<') ++angle;
    if (c == '>' && angle > 0) --angle;
    if (c == '(' && angle == 0) {
      open = i;
      break;
    }
  }

  // The name starts after the last blank before it that is outside template
  // brackets; what precedes is return type, storage class or calling convention.
  std::size_t begin = 0;
  angle = 0;
  for (std::size_t i = open; i > 0; --i) {
    const char c = signature[i - 1];
    if (c == '>') ++angle;
    if (c == '<' && angle > 0) --angle;
    if ((c == ' ' || c == '*' || c == '&') && angle == 0) {
      begin = i;
      break;
    }
  }
  return std::string(signature + begin, signature + open);
}

}  // namespace pellog
