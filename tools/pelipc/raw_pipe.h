// The raw Win32 named-pipe baseline of the benchmark: what a direct
// implementation of the same job looks like, without the library. Message-mode
// pipes, overlapped I/O on completion ports, one write per message, and a
// 4-byte kind word in front of every payload (0 hello, 1 call, 2 business).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/win.h"

namespace pelipc {
namespace raw {

enum Kind : uint32_t { kHello = 0, kCall = 1, kBusiness = 2 };
enum OpType : uint32_t { kOpConnect = 0, kOpRead = 1, kOpWrite = 2 };

constexpr uint32_t kHeader = 4;
constexpr uint32_t kPipeBuffer = 5242880;
// Room for the largest payload and its kind word in one read.
constexpr uint32_t kReadBuffer = kPipeBuffer + 64;
constexpr uint32_t kWaitMs = 2000;

// One overlapped operation; the OVERLAPPED comes first so a dequeued packet
// leads straight to it.
struct Op {
  OVERLAPPED ov;
  uint32_t type;
  void* owner;
  uint64_t generation;
  uint8_t* bytes;
  uint32_t capacity;
};

static_assert(offsetof(Op, ov) == 0, "OVERLAPPED first");

inline Op* NewOp(uint32_t type, void* owner, uint32_t capacity) {
  Op* op = new Op;
  std::memset(op, 0, sizeof *op);
  op->type = type;
  op->owner = owner;
  op->capacity = capacity;
  op->bytes = capacity > 0 ? new uint8_t[capacity] : nullptr;
  return op;
}

inline void DeleteOp(Op* op) {
  delete[] op->bytes;
  delete op;
}

// A write op holding kind word + payload.
inline Op* NewWriteOp(void* owner, uint32_t kind, const uint8_t* data, uint32_t size) {
  Op* op = NewOp(kOpWrite, owner, kHeader + size);
  std::memcpy(op->bytes, &kind, kHeader);
  if (size > 0) std::memcpy(op->bytes + kHeader, data, size);
  return op;
}

inline void ResetOverlapped(Op* op) { std::memset(&op->ov, 0, sizeof op->ov); }

// A packet without an op and with this byte count tells one worker to end.
constexpr DWORD kStopPacket = 0xFFFFFFFF;

inline void PostStop(HANDLE port) { PostQueuedCompletionStatus(port, kStopPacket, 0, nullptr); }

// The next completed op of the port, or null once a worker is told to end
// (or the port fails).
inline Op* NextOp(HANDLE port, bool* ok, DWORD* bytes) {
  for (;;) {
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    *bytes = 0;
    *ok = GetQueuedCompletionStatus(port, bytes, &key, &ov, INFINITE) != FALSE;
    if (ov != nullptr) return reinterpret_cast<Op*>(ov);
    if (*bytes == kStopPacket || !*ok) return nullptr;
  }
}

}  // namespace raw
}  // namespace pelipc
