// What both ends put on a completion port: the per-operation context and the
// per-pipe record that is the pipe's completion key. The context starts with
// its OVERLAPPED and the key is the record, so a dequeued packet names both
// without any search.
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
  // The library's own packets. A wake-up carries a closing record's last
  // count to the thread that frees it when no operation would come back.
  IOCP_WAKE = 3,
};

enum ConnectionState : int32_t {
  DISCONNECT = 0,
  CONNECTING = 1,
  CONNECTED = 2,
};

namespace pel {

// Makes one thread waiting on a port leave its loop. No real completion can
// carry this byte count: a read or write moves at most a few MiB.
constexpr DWORD kExitRequest = 0xFFFFFFFF;

}  // namespace pel

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

// The part of a pipe's record that both ends share. The operation count is
// raised before an operation is issued and lowered when its completion is
// taken off the port (or at once when issuing fails); a record is released
// only once it is closing and the count is back to 0, since until then the
// system may still write into its contexts. Each end adds what it needs to
// keep that rule under its own locks.
struct IocpRecord {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  uint32_t id = pel::kNoConnId;
  std::atomic<int32_t> state{DISCONNECT};
  std::atomic<bool> closing{false};
  std::atomic<int32_t> unhandledIocp{0};

  ULONG_PTR CompletionKey() noexcept { return reinterpret_cast<ULONG_PTR>(this); }
  static IocpRecord* FromKey(ULONG_PTR key) noexcept { return reinterpret_cast<IocpRecord*>(key); }
};

// Contexts for single operations, recycled: a fresh 5 MiB block per message
// costs more than the I/O. Both keep the white-box counters right.
IocpKey* NewIocpKey() noexcept;
void DeleteIocpKey(IocpKey* key) noexcept;  // frees an attached message too
