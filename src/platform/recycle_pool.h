// A small process-wide stock of freed objects for reuse. Contexts and records
// carry 5 MiB buffers, which the heap takes straight from the virtual-memory
// manager: a fresh one per message or connect costs more than the I/O.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "platform/alloc.h"
#include "platform/lock.h"

namespace pel {

template <class T, int Capacity>
class RecyclePool {
 public:
  // live: the white-box counter of objects out of the stock, or null.
  explicit RecyclePool(std::atomic<int64_t>* live = nullptr) noexcept : m_live(live) {}
  RecyclePool(const RecyclePool&) = delete;
  RecyclePool& operator=(const RecyclePool&) = delete;
  ~RecyclePool() {
    for (int i = 0; i < m_count; ++i) delete m_items[i];
  }

  // A stocked object rebuilt as new, or a new one; null when allocation fails. Default-initialised
  // like NewObject, so large buffers are not cleared, and one pass through the fault seam either
  // way, so a test that counts allocations sees the same numbers whatever is stocked.
  T* TakeOrAllocate() noexcept {
    T* item = Take();
    if (item == nullptr) {
      item = NewObject<T>();
    } else if (!AllocationAllowed(sizeof(T))) {
      Give(item);
      return nullptr;
    } else {
      item->~T();
      item = new (item) T;
    }
    if (item != nullptr && m_live != nullptr) m_live->fetch_add(1);
    return item;
  }

  // Keeps the object for reuse, or frees it when the stock is full.
  void Recycle(T* item) noexcept {
    if (item == nullptr) return;
    if (m_live != nullptr) m_live->fetch_sub(1);
    if (!Give(item)) delete item;
  }

 private:
  T* Take() noexcept EXCLUDES(m_lock) {
    LockGuard guard(m_lock);
    return m_count == 0 ? nullptr : m_items[--m_count];
  }
  bool Give(T* item) noexcept EXCLUDES(m_lock) {
    LockGuard guard(m_lock);
    if (m_count == Capacity) return false;
    m_items[m_count++] = item;
    return true;
  }

  std::atomic<int64_t>* const m_live;
  Mutex m_lock;
  T* m_items[Capacity] GUARDED_BY(m_lock) = {};
  int m_count GUARDED_BY(m_lock) = 0;
};

// The process-wide stock of T; live is the counter the first call names.
template <class T, int Capacity>
RecyclePool<T, Capacity>& Stock(std::atomic<int64_t>& live) noexcept {
  static RecyclePool<T, Capacity> stock(&live);
  return stock;
}

}  // namespace pel
