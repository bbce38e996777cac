#include "platform/diag.h"

namespace pel {
namespace diag {

Counters& Live() noexcept {
  static Counters counters;
  return counters;
}

}  // namespace diag
}  // namespace pel
