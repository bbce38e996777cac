#include "client/client_connection.h"

#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/recycle_pool.h"

namespace {

// A client that connects again and again reuses a freed record.
pel::RecyclePool<ClientConnection, 2>& Spares() {
  static pel::RecyclePool<ClientConnection, 2> spares;
  return spares;
}

}  // namespace

ClientConnection* NewClientConnection() noexcept {
  ClientConnection* connection = Spares().TakeOrAllocate();
  if (connection == nullptr) return nullptr;
  pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(connection->writeKey.message);
  connection->writeKey.message = nullptr;
  pel::diag::Live().connections.fetch_sub(1);
  Spares().Recycle(connection);
}
