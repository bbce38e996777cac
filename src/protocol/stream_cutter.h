// The client's receive buffer: bytes read from a byte-mode pipe are appended
// at the back, whole messages are cut off the front and handed to a sink.
// No I/O and no Windows headers, so it can be fed hostile bytes directly.
#pragma once

#include <cstdint>

#include "platform/lock.h"
#include "protocol/message.h"

namespace pel {

// What the cutter hands on, without the buffer lock held; a message is valid only during the call.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // A complete kind-2 message whose magic was checked. Non-zero clears all.
  virtual int OnBusinessMessage(const uint8_t* message, uint32_t payloadSize) = 0;
  // A complete kind-1 message (its magic is not checked). Non-zero clears all.
  virtual int OnSyncMessage(const uint8_t* message, uint32_t payloadSize) = 0;
  // A complete message of any other kind; it is skipped.
  virtual void OnOtherKind(uint32_t kind) = 0;
  // A kind-2 header with a wrong magic; the buffer is cleared after this.
  virtual void OnWrongMagic(uint32_t magic) = 0;
  // A header declaring more than any sender may send; the buffer is cleared.
  virtual void OnOversizeLength(uint32_t length) = 0;
  // The whole buffer is being discarded after one of the failures above.
  virtual void OnDiscard() = 0;
};

class StreamCutter {
 public:
  static constexpr uint32_t kInitialCapacity = 0x100000;  // 1 MiB

  // lock, when given, guards the buffer's pointer and sizes; else the cutter's own one does.
  explicit StreamCutter(pel::Mutex* lock = nullptr) noexcept;
  ~StreamCutter();
  StreamCutter(const StreamCutter&) = delete;
  StreamCutter& operator=(const StreamCutter&) = delete;

  // False when the initial buffer could not be allocated; Append then fails.
  bool valid() const noexcept {
    LockGuard guard(m_lock);
    return m_data != nullptr;
  }

  // Appends n bytes, growing the buffer when the free room is too small:
  // to ((n >> 12) + 1) << 13 when n exceeds the capacity, else to twice the
  // capacity. False when growing failed; the buffer is then emptied.
  bool Append(const uint8_t* bytes, uint32_t n) noexcept;

  struct CutResult {
    uint32_t delivered = 0;  // kind 1 and 2 handed to the sink
    uint32_t skipped = 0;    // other kinds
    bool discarded = false;  // buffer cleared after a failure
  };
  // Cuts whole messages off the front until a partial one is left or a failure clears all.
  CutResult Cut(MessageSink& sink);

  void Clear() noexcept {
    LockGuard guard(m_lock);
    m_used = 0;
  }
  uint32_t used() const noexcept {
    LockGuard guard(m_lock);
    return m_used;
  }
  uint32_t capacity() const noexcept {
    LockGuard guard(m_lock);
    return m_capacity;
  }

 private:
  pel::Mutex m_ownLock;
  pel::Mutex& m_lock;
  uint8_t* m_data GUARDED_BY(m_lock);
  uint32_t m_capacity GUARDED_BY(m_lock) = 0;
  uint32_t m_used GUARDED_BY(m_lock) = 0;
};

}  // namespace pel
