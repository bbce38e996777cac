#include "flags.h"

#include <cstdlib>

namespace pel::pelipc {

Flag Switch(const char* name, std::function<void()> set) {
  return {name, false, [set](const std::string&) {
            set();
            return true;
          }};
}

Flag Text(const char* name, std::string* out) {
  return {name, true, [out](const std::string& value) {
            *out = value;
            return true;
          }};
}

bool ParseWhole(const std::string& text, uint64_t min, uint64_t max, uint64_t* out) {
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || n < min || n > max) return false;
  *out = n;
  return true;
}

Flag Seconds(const char* name, double* out, double max) {
  return {name, true, [out, max](const std::string& value) {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !(seconds > 0) || seconds > max) {
              return false;
            }
            *out = seconds;
            return true;
          }};
}

bool ParseFlags(const std::vector<std::string>& args, const std::vector<Flag>& flags,
                std::vector<std::string>* positional) {
  for (size_t i = 0; i < args.size(); ++i) {
    const Flag* match = nullptr;
    for (const auto& flag : flags) {
      if (args[i] == flag.name && (!flag.takesValue || i + 1 < args.size())) match = &flag;
    }
    if (match == nullptr) {
      positional->push_back(args[i]);
    } else if (!match->apply(match->takesValue ? args[++i] : std::string())) {
      return false;
    }
  }
  return true;
}

}  // namespace pel::pelipc
