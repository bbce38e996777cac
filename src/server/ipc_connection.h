// The server's record of one pipe instance, listening or accepted: the shared
// completion record plus the bookkeeping of its lifetime
// (record_lifetime.cpp).
#pragma once

#include <atomic>
#include <cstdint>

#include "iocp/iocp_record.h"

struct IpcConnection : IocpRecord {
  // holders counts threads working on the record outside the operation
  // count; released, prevRecord and nextRecord are guarded by the owning
  // server's record lock.
  std::atomic<int32_t> holders{0};
  // The packet that hands a release claimed on a host thread to a worker, so
  // OnClose never runs inside a host's call (it carries the claimant's hold).
  OVERLAPPED releaseHandOff{};
  bool released = false;
  IpcConnection* prevRecord = nullptr;
  IpcConnection* nextRecord = nullptr;

  static IpcConnection* FromKey(ULONG_PTR key) noexcept {
    return static_cast<IpcConnection*>(IocpRecord::FromKey(key));
  }
};

// Allocation helpers that keep the white-box counters right.
IpcConnection* NewIpcConnection() noexcept;
void DeleteIpcConnection(IpcConnection* connection) noexcept;
