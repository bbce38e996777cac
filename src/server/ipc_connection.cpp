#include "server/ipc_connection.h"

#include "platform/diag.h"
#include "platform/recycle_pool.h"

namespace {

pel::RecyclePool<IpcConnection, 4>& ConnectionPool() {
  static pel::RecyclePool<IpcConnection, 4> pool;
  return pool;
}

}  // namespace

IpcConnection* NewIpcConnection() noexcept {
  IpcConnection* connection = ConnectionPool().TakeOrAllocate();
  if (connection == nullptr) return nullptr;
  pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteIpcConnection(IpcConnection* connection) noexcept {
  if (connection == nullptr) return;
  pel::diag::Live().connections.fetch_sub(1);
  ConnectionPool().Recycle(connection);
}
