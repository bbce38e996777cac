#include "iocp/iocp_record.h"

#include <cstring>

#include "platform/diag.h"
#include "platform/recycle_pool.h"

void IocpKey::Reset(uint32_t kind, HANDLE handle) noexcept {
  std::memset(&overlapped, 0, sizeof overlapped);
  type = kind;
  pipe = handle;
}

namespace {

pel::RecyclePool<IocpKey, 8>& KeyPool() {
  static pel::RecyclePool<IocpKey, 8> pool(&pel::diag::Live().iocpKeys);
  return pool;
}

}  // namespace

IocpKey* NewIocpKey() noexcept {
  IocpKey* key = KeyPool().TakeOrAllocate();
  if (key == nullptr) return nullptr;
  key->Reset(IOCP_CONNECT, INVALID_HANDLE_VALUE);
  key->message = nullptr;
  return key;
}

void DeleteIocpKey(IocpKey* key) noexcept {
  if (key == nullptr) return;
  pel::DeleteMessage(key->message);
  key->message = nullptr;
  KeyPool().Recycle(key);
}
