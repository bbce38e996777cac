#include "protocol/stream_cutter.h"

#include <cstring>

#include "platform/alloc.h"

namespace pel {

StreamCutter::StreamCutter(pel::Mutex* lock) noexcept
    : m_lock(lock != nullptr ? *lock : m_ownLock), m_data(NewBytes(kInitialCapacity)) {
  if (m_data != nullptr) m_capacity = kInitialCapacity;
}

StreamCutter::~StreamCutter() { DeleteBytes(m_data); }

bool StreamCutter::Append(const uint8_t* bytes, uint32_t n) noexcept {
  LockGuard guard(m_lock);
  if (m_capacity - m_used < n) {
    // Growth leaves room: 2*cap >= used + n when n <= cap, else 2*n > cap + n >= used + n.
    uint64_t grown = n > m_capacity ? ((static_cast<uint64_t>(n) >> 12) + 1) << 13
                                    : static_cast<uint64_t>(m_capacity) * 2;
    uint8_t* bigger = grown > 0xFFFFFFFFull ? nullptr : NewBytes(static_cast<std::size_t>(grown));
    if (bigger == nullptr) {
      m_used = 0;
      return false;
    }
    if (m_used != 0) std::memcpy(bigger, m_data, m_used);
    DeleteBytes(m_data);
    m_data = bigger;
    m_capacity = static_cast<uint32_t>(grown);
  }
  std::memcpy(m_data + m_used, bytes, n);
  m_used += n;
  return true;
}

StreamCutter::CutResult StreamCutter::Cut(MessageSink& sink) {
  CutResult result;
  // Consumed by offset, the rest moved to the front once: one move per read, not per message.
  uint32_t consumed = 0;
  m_lock.lock();
  const uint32_t held = m_used;
  const uint8_t* data = m_data;
  m_lock.unlock();

  while (held - consumed >= kHeaderSize) {
    const uint8_t* front = data + consumed;
    const MessageHeader header = ReadHeader(front);
    // A failure in any branch falls through to the discard below.
    if (header.kind == kKindBusiness && header.magic != kMagic) {
      sink.OnWrongMagic(header.magic);
    } else if (header.length > kMaxDeclaredPayload) {
      // Waiting for that many bytes would let a peer make us hoard memory.
      sink.OnOversizeLength(header.length);
    } else {
      const uint32_t whole = kHeaderSize + header.length;
      if (held - consumed < whole) break;
      int failed = 0;
      if (header.kind == kKindBusiness) {
        failed = sink.OnBusinessMessage(front, header.length);
      } else if (header.kind == kKindSync) {
        failed = sink.OnSyncMessage(front, header.length);
      } else {
        sink.OnOtherKind(header.kind);
        ++result.skipped;
      }
      if (failed == 0) {
        if (header.kind == kKindBusiness || header.kind == kKindSync) ++result.delivered;
        consumed += whole;
        continue;
      }
    }
    sink.OnDiscard();
    Clear();
    result.discarded = true;
    return result;
  }

  if (consumed != 0) {
    LockGuard guard(m_lock);
    // A Clear() from another thread may have emptied the buffer meanwhile.
    m_used = m_used >= consumed ? m_used - consumed : 0;
    if (m_used != 0) std::memmove(m_data, m_data + consumed, m_used);
  }
  return result;
}

}  // namespace pel
