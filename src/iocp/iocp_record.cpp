#include "iocp/iocp_record.h"

#include <cstring>

#include "platform/diag.h"
#include "platform/recycle_pool.h"

void IocpKey::Reset(uint32_t kind, HANDLE handle) noexcept {
  std::memset(&overlapped, 0, sizeof overlapped);
  type = kind;
  pipe = handle;
}

bool IocpRecord::PostWake(HANDLE port) noexcept {
  std::memset(&wake, 0, sizeof wake);
  unhandledIocp.fetch_add(1);
  if (PostQueuedCompletionStatus(port, 0, CompletionKey(), &wake)) return true;
  unhandledIocp.fetch_sub(1);
  return false;
}

IocpKey* NewIocpKey() noexcept {
  return pel::Stock<IocpKey, 8>(pel::diag::Live().iocpKeys).TakeOrAllocate();
}

void DeleteIocpKey(IocpKey* key) noexcept {
  if (key == nullptr) return;
  pel::DeleteMessage(key->message);
  key->message = nullptr;
  pel::Stock<IocpKey, 8>(pel::diag::Live().iocpKeys).Recycle(key);
}
