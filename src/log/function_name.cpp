#include "log/function_name.h"

#include <cstring>

namespace pellog {

std::string QualifiedFunctionName(const char* signature) {
  if (signature == nullptr) return std::string();
  const std::size_t length = std::strlen(signature);

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
