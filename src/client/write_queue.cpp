#include "client/write_queue.h"

#include <cstring>

#include "protocol/message.h"

namespace pel {

namespace {

constexpr std::size_t kLinkOffset = offsetof(MessageHeader, reserved);
static_assert(sizeof(uint8_t*) <= sizeof(MessageHeader::reserved), "link fits the reserved bytes");

uint8_t* NextOf(const uint8_t* message) noexcept {
  uint8_t* next;
  std::memcpy(&next, message + kLinkOffset, sizeof next);
  return next;
}

void SetNext(uint8_t* message, uint8_t* next) noexcept {
  std::memcpy(message + kLinkOffset, &next, sizeof next);
}

}  // namespace

void WriteQueue::Push(uint8_t* message) noexcept {
  SetNext(message, nullptr);
  WriteQueue one;
  one.m_head = one.m_tail = message;
  one.m_size = 1;
  one.m_bytes = MessageWireSize(message);
  Append(one);
}

void WriteQueue::Append(WriteQueue& other) noexcept {
  if (other.m_head == nullptr) return;
  if (m_tail == nullptr)
    m_head = other.m_head;
  else
    SetNext(m_tail, other.m_head);
  m_tail = other.m_tail;
  m_size += other.m_size;
  m_bytes += other.m_bytes;
  other.m_head = other.m_tail = nullptr;
  other.m_size = 0;
  other.m_bytes = 0;
}

uint8_t* WriteQueue::Pop() noexcept {
  uint8_t* message = m_head;
  if (message == nullptr) return nullptr;
  m_head = NextOf(message);
  if (m_head == nullptr) m_tail = nullptr;
  --m_size;
  m_bytes -= MessageWireSize(message);
  std::memset(message + kLinkOffset, 0, sizeof(MessageHeader::reserved));
  return message;
}

void WriteQueue::Clear() noexcept {
  while (uint8_t* message = Pop()) DeleteMessage(message);
}

uint32_t MessageWireSize(const uint8_t* message) noexcept {
  return kHeaderSize + ReadHeader(message).length;
}

}  // namespace pel
