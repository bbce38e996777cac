#include "client/client_connection.h"

#include <mutex>
#include <new>

#include "platform/alloc.h"
#include "platform/diag.h"

namespace {

// A record carries two 5 MiB contexts, and the heap hands blocks that large
// straight to the virtual-memory manager: a client that connects again and
// again would pay for a fresh one each time. A couple of freed records are
// kept, process-wide, for the next connection.
class SpareRecords {
 public:
  static constexpr int kCapacity = 2;
  ~SpareRecords() {
    for (int i = 0; i < m_count; ++i) pel::DeleteObject(m_records[i]);
  }
  ClientConnection* Take() noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_count == 0 ? nullptr : m_records[--m_count];
  }
  bool Give(ClientConnection* record) noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_count == kCapacity) return false;
    m_records[m_count++] = record;
    return true;
  }

 private:
  std::mutex m_lock;
  ClientConnection* m_records[kCapacity] = {};
  int m_count = 0;
};

SpareRecords& Spares() {
  static SpareRecords spares;
  return spares;
}

}  // namespace

ClientConnection* NewClientConnection() noexcept {
  ClientConnection* connection = Spares().Take();
  if (connection == nullptr) {
    connection = pel::NewObject<ClientConnection>();
    if (connection == nullptr) return nullptr;
  } else if (!pel::AllocationAllowed()) {
    // Still one pass through the fault seam, whatever the spares hold.
    Spares().Give(connection);
    return nullptr;
  } else {
    connection->~ClientConnection();
    new (connection) ClientConnection();
  }
  pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(connection->writeKey.message);
  connection->writeKey.message = nullptr;
  pel::diag::Live().connections.fetch_sub(1);
  if (!Spares().Give(connection)) pel::DeleteObject(connection);
}
