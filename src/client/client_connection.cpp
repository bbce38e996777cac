#include "client/client_connection.h"

#include "platform/alloc.h"
#include "platform/diag.h"

ClientConnection* NewClientConnection() noexcept {
  ClientConnection* connection = pel::NewObject<ClientConnection>();
  if (connection != nullptr) pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteClientConnection(ClientConnection* connection) noexcept {
  if (connection == nullptr) return;
  connection->pending.Clear();
  pel::DeleteMessage(connection->writeKey.message);
  connection->writeKey.message = nullptr;
  pel::diag::Live().connections.fetch_sub(1);
  pel::DeleteObject(connection);
}
