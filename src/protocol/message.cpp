#include "protocol/message.h"

#include <cstring>

#include "platform/alloc.h"
#include "platform/diag.h"

namespace pel {

MessageHeader ReadHeader(const uint8_t* bytes) noexcept {
  MessageHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

void WriteHeader(uint8_t* dst, uint32_t connId, uint32_t kind, uint32_t length) noexcept {
  const MessageHeader header{kMagic, connId, kind, length, {}};
  std::memcpy(dst, &header, sizeof header);
}

uint8_t* BuildMessage(uint32_t connId, uint32_t kind, const uint8_t* payload,
                      uint32_t size) noexcept {
  const std::size_t total = static_cast<std::size_t>(kHeaderSize) + size;
  uint8_t* message = NewBytes(total);
  if (message == nullptr) return nullptr;
  diag::Live().messages.fetch_add(1);
  WriteHeader(message, connId, kind, size);
  if (size != 0) std::memcpy(message + kHeaderSize, payload, size);
  return message;
}

void DeleteMessage(uint8_t* message) noexcept {
  if (message == nullptr) return;
  diag::Live().messages.fetch_sub(1);
  DeleteBytes(message);
}

}  // namespace pel
