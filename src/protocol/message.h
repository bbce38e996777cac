// The wire format: a 32-byte header and a payload. No Windows or I/O, so it builds natively too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pel {

constexpr uint32_t kMagic = 0x50495043;  // bytes 43 50 49 50 on the wire
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kMaxServerPayload = 0x500000;  // 5,242,880
constexpr uint32_t kMaxClientPayload = 0xAF000;   // 716,800
constexpr uint32_t kReadSize = 0x500000;          // one read, both ends
constexpr uint32_t kPipeBufferSize = 0x500000;    // each direction
constexpr uint32_t kNoConnId = 0xFFFFFFFF;
// No sender ever declares more; a larger length field is a hostile peer.
constexpr uint32_t kMaxDeclaredPayload = kMaxServerPayload;

enum MessageKind : uint32_t { kKindHello = 0, kKindSync = 1, kKindBusiness = 2 };

// Both ends run on one machine: fields are little-endian as the CPU has them.
struct MessageHeader {
  uint32_t magic;
  uint32_t connId;
  uint32_t kind;
  uint32_t length;
  uint8_t reserved[16];
};

static_assert(sizeof(MessageHeader) == 32, "header is 32 bytes");
static_assert(offsetof(MessageHeader, magic) == 0, "magic at 0");
static_assert(offsetof(MessageHeader, connId) == 4, "connection id at 4");
static_assert(offsetof(MessageHeader, kind) == 8, "kind at 8");
static_assert(offsetof(MessageHeader, length) == 12, "length at 12");
static_assert(offsetof(MessageHeader, reserved) == 16, "reserved at 16");

// Reads a header from unaligned bytes (at least kHeaderSize of them).
MessageHeader ReadHeader(const uint8_t* bytes) noexcept;

// Writes a header with zeroed reserved bytes at dst (kHeaderSize bytes).
void WriteHeader(uint8_t* dst, uint32_t connId, uint32_t kind, uint32_t length) noexcept;

// One message of kHeaderSize + size bytes; null when memory is short. Free it with DeleteMessage.
uint8_t* BuildMessage(uint32_t connId, uint32_t kind, const uint8_t* payload,
                      uint32_t size) noexcept;
void DeleteMessage(uint8_t* message) noexcept;

}  // namespace pel
