#include "server/ipc_connection.h"

#include "platform/diag.h"
#include "platform/recycle_pool.h"

namespace {

pel::RecyclePool<IpcConnection, 4>& ConnectionPool() {
  static pel::RecyclePool<IpcConnection, 4> pool(&pel::diag::Live().connections);
  return pool;
}

}  // namespace

IpcConnection* NewIpcConnection() noexcept { return ConnectionPool().TakeOrAllocate(); }

void DeleteIpcConnection(IpcConnection* connection) noexcept {
  ConnectionPool().Recycle(connection);
}
