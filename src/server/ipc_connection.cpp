#include "server/ipc_connection.h"

#include <cstring>

#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/recycle_pool.h"

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
      releaseHandOff(),
      released(false),
      prevRecord(nullptr),
      nextRecord(nullptr) {
  writeKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  writeKey.message = nullptr;
  readKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  readKey.message = nullptr;
}

namespace {

pel::RecyclePool<IocpKey, 8>& KeyPool() {
  static pel::RecyclePool<IocpKey, 8> pool;
  return pool;
}

pel::RecyclePool<IpcConnection, 4>& ConnectionPool() {
  static pel::RecyclePool<IpcConnection, 4> pool;
  return pool;
}

}  // namespace

IocpKey* NewIocpKey() noexcept {
  IocpKey* key = KeyPool().TakeOrAllocate();
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
  KeyPool().Recycle(key);
}

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
