#ifdef PEL_FAULT_INJECTION

#include "platform/fault_injection.h"

#include <atomic>

#include "platform/alloc.h"

namespace pel {

namespace {

constexpr uint64_t kSizesKept = 512;

std::atomic<uint64_t> g_count{0};
// g_count when the seam was last armed or disarmed.
std::atomic<uint64_t> g_armedAt{0};
// The failing allocation from g_armedAt, 0 when disarmed; with a size, only that size counts.
std::atomic<uint64_t> g_failAt{0};
std::atomic<std::size_t> g_failSize{0};
std::atomic<uint64_t> g_sizedCount{0};
std::atomic<bool> g_fired{false};
std::atomic<std::size_t> g_sizes[kSizesKept];
std::atomic<uint32_t> g_profileRefusal{0};

void Arm(std::size_t size, uint64_t nth) noexcept {
  g_failAt.store(0);
  g_fired.store(false);
  g_sizedCount.store(0);
  g_failSize.store(size);
  g_armedAt.store(g_count.load());
  g_failAt.store(nth);
}

}  // namespace

bool AllocationAllowed(std::size_t size) noexcept {
  // Wraps to a huge number for an allocation counted just before arming.
  const uint64_t n = g_count.fetch_add(1) + 1 - g_armedAt.load();
  if (n - 1 < kSizesKept) g_sizes[n - 1].store(size);
  const uint64_t target = g_failAt.load();
  if (target == 0) return true;
  const std::size_t failSize = g_failSize.load();
  const bool fail =
      failSize == 0 ? n == target : size == failSize && g_sizedCount.fetch_add(1) + 1 == target;
  if (fail) g_fired.store(true);
  return !fail;
}

namespace fault {

void FailAllocation(uint64_t nth) noexcept { Arm(0, nth); }

void FailAllocationOfSize(std::size_t size, uint64_t nth) noexcept { Arm(size, nth); }

bool Fired() noexcept { return g_fired.load(); }

std::vector<std::size_t> AllocationSizes() {
  uint64_t n = g_count.load() - g_armedAt.load();
  if (n > kSizesKept) n = kSizesKept;
  std::vector<std::size_t> sizes;
  for (uint64_t i = 0; i < n; ++i) sizes.push_back(g_sizes[i].load());
  return sizes;
}

void RefuseProfileDirectory(uint32_t error) noexcept { g_profileRefusal.store(error); }

uint32_t ProfileRefusal() noexcept { return g_profileRefusal.load(); }

}  // namespace fault
}  // namespace pel

#endif  // PEL_FAULT_INJECTION
