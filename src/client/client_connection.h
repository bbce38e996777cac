// The client's record of one pipe: the shared connection record plus what
// only the client needs to keep its writes in order.
#pragma once

#include "client/write_queue.h"
#include "server/ipc_connection.h"

struct ClientConnection : IpcConnection {
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

// Allocate and free without throwing; keep the white-box counters right.
// Deleting also frees every message still waiting or attached to writeKey.
ClientConnection* NewClientConnection() noexcept;
void DeleteClientConnection(ClientConnection* connection) noexcept;
