// What both ends put on a completion port: the per-operation context, which
// starts with its OVERLAPPED, and the per-pipe record, which is the pipe's
// completion key, so a dequeued packet names both without any search.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/diag.h"
#include "platform/recycle_pool.h"
#include "platform/win.h"
#include "protocol/message.h"

// IOCP_WAKE is how logs name a record's wake-up packet (IocpRecord::PostWake).
enum IocpType : uint32_t { IOCP_CONNECT = 0, IOCP_READ = 1, IOCP_WRITE = 2, IOCP_WAKE = 3 };

enum ConnectionState : int32_t { DISCONNECT = 0, CONNECTING = 1, CONNECTED = 2 };

namespace pel {

// Makes one thread waiting on a port leave; no read or write completes with this many bytes.
constexpr DWORD kExitRequest = 0xFFFFFFFF;

}  // namespace pel

// Built by default-initialisation: the 5 MiB buffer is overwritten by reads, never cleared.
struct IocpKey {
  OVERLAPPED overlapped{};
  uint32_t type = IOCP_CONNECT;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  // The message a write sends; it belongs to the write until its completion
  // is dequeued, and is freed with the context (null for reads and connects).
  uint8_t* message = nullptr;
  uint8_t buffer[pel::kReadSize];

  void Reset(uint32_t kind, HANDLE handle) noexcept {
    overlapped = OVERLAPPED{};
    type = kind;
    pipe = handle;
  }
};

static_assert(offsetof(IocpKey, overlapped) == 0, "OVERLAPPED must come first");

// The part of a pipe's record both ends share, and the one rule of its lifetime: a record is
// released (pipe closed, host told, memory freed) once, and only when it is closing, no operation
// on it is outstanding and no thread holds it; until then the system may write into its contexts.
// - An operation is counted before it is issued, and uncounted when its completion is taken off the
//   port or at once when issuing fails.
// - A thread using the record outside an operation holds it: a server worker while it handles a
//   packet, a sender from its look-up to the issue. Taking a completion holds first, so count and
//   holds are never both 0 while the record is in use. The client's one work thread does every
//   release, so it needs no holds.
// - New operations, holds and the claim are taken under the owner's lock after the closing test: a
//   closing record gains nothing new and one claim wins. (A dequeued completion's hold needs no
//   lock: its count keeps it.)
// - A thread that finds a closing record drained but may not release it (a host's call must not run
//   OnClose) posts a wake-up packet, counted like an operation, whose taker releases the record.
struct IocpRecord {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  uint32_t id = pel::kNoConnId;
  std::atomic<int32_t> state{DISCONNECT};
  std::atomic<bool> closing{false};
  std::atomic<int32_t> unhandledIocp{0};
  std::atomic<int32_t> holders{0};
  bool released = false;  // guarded by the owner's lock
  OVERLAPPED wake{};

  ULONG_PTR CompletionKey() noexcept { return reinterpret_cast<ULONG_PTR>(this); }
  template <class Record>
  static Record* FromKey(ULONG_PTR key) noexcept {
    return static_cast<Record*>(reinterpret_cast<IocpRecord*>(key));
  }

  void TakeCompletion() noexcept {
    holders.fetch_add(1);
    unhandledIocp.fetch_sub(1);
  }
  // Under the owner's lock; ownHolds: the holds of the asking thread.
  bool Drained(int32_t ownHolds) const noexcept {
    return !released && closing.load() && unhandledIocp.load() == 0 && holders.load() == ownHolds;
  }
  bool ClaimRelease(int32_t ownHolds) noexcept {
    if (!Drained(ownHolds)) return false;
    released = true;
    return true;
  }
  // False, with nothing counted, when the packet could not be posted.
  bool PostWake(HANDLE port) noexcept {
    wake = OVERLAPPED{};
    unhandledIocp.fetch_add(1);
    if (PostQueuedCompletionStatus(port, 0, CompletionKey(), &wake)) return true;
    unhandledIocp.fetch_sub(1);
    return false;
  }
  // A drained record has nothing left to complete, so only a wake-up releases it. False only when
  // that wake-up was due and could not be posted.
  bool WakeIfDrained(HANDLE port, int32_t ownHolds) noexcept {
    return port == nullptr || !Drained(ownHolds) || PostWake(port);
  }
  bool IsWake(const OVERLAPPED* overlapped) const noexcept { return overlapped == &wake; }
};

// Contexts for single operations, recycled (recycle_pool.h) and counted.
inline IocpKey* NewIocpKey() noexcept {
  return pel::Stock<IocpKey, 8>(pel::diag::Live().iocpKeys).TakeOrAllocate();
}
inline void DeleteIocpKey(IocpKey* key) noexcept {  // frees an attached message too
  if (key == nullptr) return;
  pel::DeleteMessage(std::exchange(key->message, nullptr));
  pel::Stock<IocpKey, 8>(pel::diag::Live().iocpKeys).Recycle(key);
}
