// Messages waiting for a connection's one write context, oldest first. No I/O, no Windows.
#pragma once

#include <cstdint>

namespace pel {

// At most this many bytes accepted but unwritten: a peer that stops reading can't make us hoard.
constexpr uint64_t kMaxUnwrittenBytes = uint64_t{32} * 1024 * 1024;

// A waiting message is not on the wire yet, so the reserved bytes of its
// header carry the link to the next one: queueing needs no allocation and
// cannot fail. The bytes are zeroed again when the message leaves the queue.
class WriteQueue {
 public:
  WriteQueue() noexcept = default;
  ~WriteQueue() { Clear(); }
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  // Takes ownership of a message made by BuildMessage.
  void Push(uint8_t* message) noexcept;
  void Append(WriteQueue& other) noexcept;
  // The oldest message, ready to be written; null when none waits.
  uint8_t* Pop() noexcept;
  bool empty() const noexcept { return m_head == nullptr; }
  uint32_t size() const noexcept { return m_size; }
  // Wire bytes of the waiting messages.
  uint64_t bytes() const noexcept { return m_bytes; }
  void Clear() noexcept;  // frees every waiting message

 private:
  uint8_t* m_head = nullptr;
  uint8_t* m_tail = nullptr;
  uint32_t m_size = 0;
  uint64_t m_bytes = 0;
};

// Bytes on the wire of a message made by BuildMessage: header + payload.
uint32_t MessageWireSize(const uint8_t* message) noexcept;

}  // namespace pel
