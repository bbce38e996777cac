// The server's record of one pipe instance, listening or accepted, on its list of live records.
#pragma once

#include "iocp/iocp_record.h"
#include "platform/diag.h"
#include "platform/recycle_pool.h"

struct IpcConnection : IocpRecord {
  // Guarded by the owning server's record lock, as released is.
  IpcConnection* prevRecord = nullptr;
  IpcConnection* nextRecord = nullptr;
};

inline IpcConnection* NewIpcConnection() noexcept {
  return pel::Stock<IpcConnection, 4>(pel::diag::Live().connections).TakeOrAllocate();
}
inline void DeleteIpcConnection(IpcConnection* connection) noexcept {
  pel::Stock<IpcConnection, 4>(pel::diag::Live().connections).Recycle(connection);
}
