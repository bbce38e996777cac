#include "server/ipc_connection.h"

#include <cstring>

#include "platform/alloc.h"
#include "platform/diag.h"

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
      released(false),
      prevRecord(nullptr),
      nextRecord(nullptr) {
  writeKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  writeKey.message = nullptr;
  readKey.Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  readKey.message = nullptr;
}

IocpKey* NewIocpKey() noexcept {
  IocpKey* key = pel::NewObject<IocpKey>();
  if (key == nullptr) return nullptr;
  key->Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  key->message = nullptr;
  pel::diag::Live().iocpKeys.fetch_add(1);
  return key;
}

void DeleteIocpKey(IocpKey* key) noexcept {
  if (key == nullptr) return;
  pel::DeleteMessage(key->message);
  pel::diag::Live().iocpKeys.fetch_sub(1);
  pel::DeleteObject(key);
}

IpcConnection* NewIpcConnection() noexcept {
  IpcConnection* connection = pel::NewObject<IpcConnection>();
  if (connection != nullptr) pel::diag::Live().connections.fetch_add(1);
  return connection;
}

void DeleteIpcConnection(IpcConnection* connection) noexcept {
  if (connection == nullptr) return;
  pel::diag::Live().connections.fetch_sub(1);
  pel::DeleteObject(connection);
}
