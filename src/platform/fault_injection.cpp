#ifdef PEL_FAULT_INJECTION

#include "platform/fault_injection.h"

#include <atomic>

#include "platform/alloc.h"

namespace pel {

namespace {

constexpr uint64_t kSizesKept = 512;

std::atomic<uint64_t> g_count{0};
// Counted from when the seam was last armed or disarmed.
std::atomic<uint64_t> g_since{0};
std::atomic<uint64_t> g_failAt{0};
// With a size set, g_failAt counts only allocations of that size.
std::atomic<std::size_t> g_failSize{0};
std::atomic<uint64_t> g_sizedCount{0};
std::atomic<bool> g_fired{false};
std::atomic<std::size_t> g_sizes[kSizesKept];

void Arm(std::size_t size, uint64_t nth) noexcept {
  g_failAt.store(0);
  g_fired.store(false);
  g_since.store(0);
  g_sizedCount.store(0);
  g_failSize.store(size);
  g_failAt.store(nth == 0 ? 0 : (size == 0 ? g_count.load() + nth : nth));
}

}  // namespace

bool AllocationAllowed(std::size_t size) noexcept {
  const uint64_t n = g_count.fetch_add(1) + 1;
  const uint64_t index = g_since.fetch_add(1);
  if (index < kSizesKept) g_sizes[index].store(size);
  const uint64_t target = g_failAt.load();
  if (target == 0) return true;
  const std::size_t failSize = g_failSize.load();
  bool fail;
  if (failSize == 0) {
    fail = n == target;
  } else {
    fail = size == failSize && g_sizedCount.fetch_add(1) + 1 == target;
  }
  if (fail) g_fired.store(true);
  return !fail;
}

namespace fault {

void FailAllocation(uint64_t nth) noexcept { Arm(0, nth); }

void FailAllocationOfSize(std::size_t size, uint64_t nth) noexcept { Arm(size, nth); }

uint64_t AllocationCount() noexcept { return g_count.load(); }

bool Fired() noexcept { return g_fired.load(); }

std::vector<std::size_t> AllocationSizes() {
  uint64_t n = g_since.load();
  if (n > kSizesKept) n = kSizesKept;
  std::vector<std::size_t> sizes;
  for (uint64_t i = 0; i < n; ++i) sizes.push_back(g_sizes[i].load());
  return sizes;
}

}  // namespace fault
}  // namespace pel

#endif  // PEL_FAULT_INJECTION
