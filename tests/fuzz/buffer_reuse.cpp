// Every input builds a fresh cutter, and its buffers of a megabyte and more
// cost more in fresh pages and shadow set-up than the whole rest of an
// input. The fuzzer is linked with --wrap for the library's array new and
// delete, and such blocks are kept for later inputs instead of going back to
// the system. Only the requested bytes of a reused block are addressable: the
// slack behind them and every idle block stay poisoned, so overruns and
// touches after delete are still reported. A block is never handed out twice.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstring>
#include <new>

extern "C" void* __real__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);
extern "C" void __real__ZdaPv(void* p);

namespace {

constexpr std::size_t kSmallest = 1 << 20;  // the cutter's initial buffer
constexpr int kSlots = 16;

struct Block {
  unsigned char* data = nullptr;
  std::size_t capacity = 0;
};

Block g_live[kSlots];  // handed out
Block g_idle[kSlots];  // waiting, poisoned

Block* FreeSlot(Block (&slots)[kSlots]) {
  for (Block& b : slots) {
    if (b.data == nullptr) return &b;
  }
  return nullptr;
}

}  // namespace

extern "C" void* __wrap__ZnamRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
  if (size < kSmallest) return __real__ZnamRKSt9nothrow_t(size, tag);
  Block* live = FreeSlot(g_live);
  if (live == nullptr) return __real__ZnamRKSt9nothrow_t(size, tag);
  // The tightest idle block that fits and wastes at most half of itself.
  Block* best = nullptr;
  for (Block& b : g_idle) {
    if (b.data != nullptr && b.capacity >= size && b.capacity / 2 <= size &&
        (best == nullptr || b.capacity < best->capacity)) {
      best = &b;
    }
  }
  if (best != nullptr) {
    *live = *best;
    *best = Block();
    ASAN_UNPOISON_MEMORY_REGION(live->data, size);
    // Like a fresh allocation: a recognisable fill at the front, no zeroes.
    std::memset(live->data, 0xBE, 4096);
    return live->data;
  }
  auto* p = static_cast<unsigned char*>(__real__ZnamRKSt9nothrow_t(size, tag));
  if (p != nullptr) *live = Block{p, size};
  return p;
}

extern "C" void __wrap__ZdaPv(void* p) {
  if (p != nullptr) {
    for (Block& b : g_live) {
      if (b.data != p) continue;
      Block* idle = FreeSlot(g_idle);
      if (idle == nullptr) {
        // Full: give the smallest idle block back to keep the larger ones.
        idle = &g_idle[0];
        for (Block& i : g_idle) {
          if (i.capacity < idle->capacity) idle = &i;
        }
        ASAN_UNPOISON_MEMORY_REGION(idle->data, idle->capacity);
        __real__ZdaPv(idle->data);
      }
      ASAN_POISON_MEMORY_REGION(b.data, b.capacity);
      *idle = b;
      b = Block();
      return;
    }
  }
  __real__ZdaPv(p);
}
