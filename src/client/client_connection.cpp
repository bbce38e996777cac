#include "client/client_connection.h"

#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/recycle_pool.h"

namespace {

// A client that connects again and again reuses a freed record.
pel::RecyclePool<ClientConnection, 2>& Spares() {
  static pel::RecyclePool<ClientConnection, 2> spares(&pel::diag::Live().connections);
  return spares;
}

}  // namespace

ClientConnection* NewClientConnection() noexcept { return Spares().TakeOrAllocate(); }

void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(connection->writeKey.message);
  connection->writeKey.message = nullptr;
  Spares().Recycle(connection);
}
