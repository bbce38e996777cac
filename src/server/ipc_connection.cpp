#include "server/ipc_connection.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/alloc.h"
#include "platform/diag.h"

void IocpKey::Reset(uint32_t kind, HANDLE handle) noexcept {
  std::memset(&overlapped, 0, sizeof overlapped);
  type = kind;
  pipe = handle;
}

IpcConnection::IpcConnection() noexcept
    : pipe(INVALID_HANDLE_VALUE),
      id(pel::kNoConnId),
      state(DISCONNECT),
      closing(false),
      unhandledIocp(0),
      holders(0),
      released(false),
      prevRecord(nullptr),
      nextRecord(nullptr) {
  writeKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  writeKey.message = nullptr;
  readKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  readKey.message = nullptr;
}

namespace {

// Freed contexts and records are kept for reuse, a few of each. Every read
// and write gets a context of its own and every connection a record, each
// with 5 MiB buffers; the process heap hands blocks that large straight to
// the virtual-memory manager, which makes a fresh one per message cost more
// than the I/O itself. The fault seam and the live counters still see every
// request as an allocation.
template <class T, int Capacity>
class RecyclePool {
 public:
  ~RecyclePool() {
    for (int i = 0; i < m_count; ++i) pel::DeleteObject(m_items[i]);
  }
  T* Take() noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_count == 0 ? nullptr : m_items[--m_count];
  }
  bool Give(T* item) noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_count == Capacity) return false;
    m_items[m_count++] = item;
    return true;
  }

 private:
  std::mutex m_lock;
  T* m_items[Capacity] = {};
  int m_count = 0;
};

RecyclePool<IocpKey, 8>& KeyPool() {
  static RecyclePool<IocpKey, 8> pool;
  return pool;
}

RecyclePool<IpcConnection, 4>& ConnectionPool() {
  static RecyclePool<IpcConnection, 4> pool;
  return pool;
}

// Exactly one pass through the fault seam either way, so a test that counts
// allocations sees the same numbers whatever the pools hold.
template <class T, int Capacity>
T* TakeOrAllocate(RecyclePool<T, Capacity>& pool) noexcept {
  T* item = pool.Take();
  if (item == nullptr) return pel::NewObject<T>();
  if (!pel::AllocationAllowed()) {
    pool.Give(item);
    return nullptr;
  }
  return item;
}

}  // namespace

IocpKey* NewIocpKey() noexcept {
  IocpKey* key = TakeOrAllocate(KeyPool());
  if (key == nullptr) return nullptr;
  key->Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  key->message = nullptr;
  pel::diag::Live().iocpKeys.fetch_add(1);
  return key;
}

void DeleteIocpKey(IocpKey* key) noexcept {
  if (key == nullptr) return;
  pel::DeleteMessage(key->message);
  key->message = nullptr;
  pel::diag::Live().iocpKeys.fetch_sub(1);
  if (!KeyPool().Give(key)) pel::DeleteObject(key);
}

IpcConnection* NewIpcConnection() noexcept {
  IpcConnection* connection = TakeOrAllocate(ConnectionPool());
  if (connection == nullptr) return nullptr;
  // A recycled record starts over exactly like a new one.
  connection->~IpcConnection();
  new (connection) IpcConnection();
  pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteIpcConnection(IpcConnection* connection) noexcept {
  if (connection == nullptr) return;
  pel::diag::Live().connections.fetch_sub(1);
  if (!ConnectionPool().Give(connection)) pel::DeleteObject(connection);
}
