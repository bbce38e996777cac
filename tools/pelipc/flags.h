// Command lines as tables: each command lists its flags once, one parser
// reads them, and whatever is not a flag is left as a positional argument.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace pel::pelipc {

struct Flag {
  const char* name;
  bool takesValue;
  // False when the value is not acceptable (a usage error).
  std::function<bool(const std::string& value)> apply;
};

Flag Switch(const char* name, std::function<void()> set);
Flag Text(const char* name, std::string* out);
// A whole decimal number within [min, max].
bool ParseWhole(const std::string& text, uint64_t min, uint64_t max, uint64_t* out);
template <typename T>
Flag Number(const char* name, T* out, uint64_t min = 0,
            uint64_t max = std::numeric_limits<T>::max()) {
  return {name, true, [out, min, max](const std::string& value) {
            uint64_t n = 0;
            if (!ParseWhole(value, min, max, &n)) return false;
            *out = static_cast<T>(n);
            return true;
          }};
}
// A number of seconds above 0 and at most max.
Flag Seconds(const char* name, double* out, double max);

// Applies every flag in args; the rest goes to positional, in order. A flag
// that needs a value but stands last counts as positional. False on a value
// a flag does not accept.
bool ParseFlags(const std::vector<std::string>& args, const std::vector<Flag>& flags,
                std::vector<std::string>* positional);

}  // namespace pel::pelipc
