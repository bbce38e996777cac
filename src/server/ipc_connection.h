// Per-connection record and per-operation I/O context, used by both ends.
// The record is the completion key of its pipe; the context starts with its
// OVERLAPPED, so a dequeued packet names both without any search.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win.h"
#include "protocol/message.h"

enum IocpType : uint32_t {
  IOCP_CONNECT = 0,
  IOCP_READ = 1,
  IOCP_WRITE = 2,
};

enum ConnectionState : int32_t {
  DISCONNECT = 0,
  CONNECTING = 1,
  CONNECTED = 2,
};

struct IocpKey {
  OVERLAPPED overlapped;
  uint32_t type;
  HANDLE pipe;
  // The message a write sends; it belongs to the write until its completion
  // is dequeued, and is freed with the context (null for reads and connects).
  uint8_t* message;
  uint8_t buffer[pel::kReadSize];

  // Only the small head is cleared: the 5 MiB buffer is overwritten by reads.
  void Reset(uint32_t kind, HANDLE handle) noexcept;
};

static_assert(offsetof(IocpKey, overlapped) == 0, "OVERLAPPED must come first");

struct IpcConnection {
  HANDLE pipe;
  uint32_t id;
  std::atomic<int32_t> state;
  std::atomic<bool> closing;
  std::atomic<int32_t> unhandledIocp;
  IocpKey writeKey;
  IocpKey readKey;

  // Server bookkeeping of the record's lifetime (the client leaves these
  // alone). holders counts threads working on the record outside the
  // operation count; released, prevRecord and nextRecord are guarded by the
  // owning server's record lock.
  std::atomic<int32_t> holders;
  // The packet that hands a release claimed on a host thread to a worker, so
  // OnClose never runs inside a host's call (it carries the claimant's hold).
  OVERLAPPED releaseHandOff;
  bool released;
  IpcConnection* prevRecord;
  IpcConnection* nextRecord;

  IpcConnection() noexcept;
};

// Allocation helpers that keep the white-box counters right.
IocpKey* NewIocpKey() noexcept;
void DeleteIocpKey(IocpKey* key) noexcept;  // frees an attached message too
IpcConnection* NewIpcConnection() noexcept;
void DeleteIpcConnection(IpcConnection* connection) noexcept;
