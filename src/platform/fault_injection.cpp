#ifdef PEL_FAULT_INJECTION

#include "platform/fault_injection.h"

#include <atomic>

#include "platform/alloc.h"

namespace pel {

namespace {
std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_failAt{0};
std::atomic<bool> g_fired{false};
}  // namespace

bool AllocationAllowed() noexcept {
  uint64_t n = g_count.fetch_add(1) + 1;
  uint64_t target = g_failAt.load();
  if (target != 0 && n == target) {
    g_fired.store(true);
    return false;
  }
  return true;
}

namespace fault {

void FailAllocation(uint64_t nth) noexcept {
  g_fired.store(false);
  g_failAt.store(nth == 0 ? 0 : g_count.load() + nth);
}

uint64_t AllocationCount() noexcept { return g_count.load(); }

bool Fired() noexcept { return g_fired.load(); }

}  // namespace fault
}  // namespace pel

#endif  // PEL_FAULT_INJECTION
