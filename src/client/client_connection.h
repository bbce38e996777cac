// The client's record of one pipe: completion record, read and write contexts, and the write queue.
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

// Non-throwing, counted, recycled; deleting also frees every message waiting or on writeKey.
inline ClientConnection* NewClientConnection() noexcept {
  return pel::Stock<ClientConnection, 2>(pel::diag::Live().connections).TakeOrAllocate();
}
inline void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(std::exchange(connection->writeKey.message, nullptr));
  pel::Stock<ClientConnection, 2>(pel::diag::Live().connections).Recycle(connection);
}
