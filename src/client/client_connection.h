// The client's record of one pipe: the shared completion record, its one read
// and one write context, and what keeps its writes in order.
#pragma once

#include "client/write_queue.h"
#include "iocp/iocp_record.h"
#include "platform/diag.h"
#include "platform/recycle_pool.h"

struct ClientConnection : IocpRecord {
  IocpKey writeKey;
  IocpKey readKey;
  // All three are guarded by the client lock.
  pel::WriteQueue pending;               // accepted sends waiting for writeKey
  bool writing = false;                  // writeKey carries a write whose completion is still due
  ClientConnection* nextLive = nullptr;  // the client's list of records not yet freed

  // Accepted and not yet written: waiting, plus the write on writeKey.
  uint64_t UnwrittenBytes() const noexcept {
    return pending.bytes() +
           (writeKey.message == nullptr ? 0 : pel::MessageWireSize(writeKey.message));
  }
};

// Without throwing, counted, and recycled for a client that reconnects.
// Deleting also frees every message waiting or attached to writeKey.
inline ClientConnection* NewClientConnection() noexcept {
  return pel::Stock<ClientConnection, 2>(pel::diag::Live().connections).TakeOrAllocate();
}
inline void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(connection->writeKey.message);
  connection->writeKey.message = nullptr;
  pel::Stock<ClientConnection, 2>(pel::diag::Live().connections).Recycle(connection);
}
