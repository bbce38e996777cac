// Named-pipe peers written straight against Win32, speaking the library's frames without its code:
// the tests' peers (which may misbehave on purpose) and the raw-pipe baseline of pelipc's bench.
// Handles are overlapped, so every wait has a bound or ends with an abort event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

namespace pel::tools {

// The wire format, written out again on purpose: a peer that took it from
// the library could not catch the library getting it wrong.
enum RawKind : uint32_t { kRawHello = 0, kRawSync = 1, kRawBusiness = 2 };
constexpr uint32_t kRawMagic = 0x50495043;
constexpr uint32_t kRawHeader = 32;
constexpr uint32_t kRawMaxRead = 0x500000;  // one read, and each direction's buffer
constexpr uint32_t kRawNoId = 0xFFFFFFFF;

// Bytes of one message: 32-byte header (magic, id, kind, length) + payload.
std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const uint8_t* payload,
                                 size_t size, uint32_t magic = kRawMagic);
std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind,
                                 const std::vector<uint8_t>& payload, uint32_t magic = kRawMagic);
std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const std::string& payload);

// What both ends do with an open handle. A read and a write may run at once on two threads.
class RawPipe {
 public:
  RawPipe() = default;
  ~RawPipe() { Close(); }
  RawPipe(const RawPipe&) = delete;
  RawPipe& operator=(const RawPipe&) = delete;

  bool Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs = 5000);
  // One read of up to max bytes; false on error or time-out.
  bool Read(std::vector<uint8_t>& out, uint32_t max = kRawMaxRead, uint32_t timeoutMs = 5000);
  // The same into the caller's buffer; *size is its capacity in, the bytes read out.
  bool ReadInto(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs);
  // Reads exactly n bytes, over as many reads as it takes.
  bool ReadExactly(std::vector<uint8_t>& out, uint32_t n, uint32_t timeoutMs = 5000);
  // From now on every wait also ends, failing, once event is set.
  void AbortOn(HANDLE event) { m_abort = event; }
  void Close();
  HANDLE handle() const { return m_pipe; }
  DWORD lastError() const { return m_lastError; }

 protected:
  // Waits for one overlapped operation; cancels it when the wait ends
  // otherwise, so its buffer is never written after the return.
  bool Finish(OVERLAPPED& ov, BOOL issued, DWORD* bytes, uint32_t timeoutMs);

  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  std::atomic<DWORD> m_lastError{0};
  HANDLE m_abort = nullptr;
};

// Client end opened the way a plain Win32 program would.
class RawPipeClient : public RawPipe {
 public:
  // Full path or bare name. False (and lastError set) when it cannot open.
  bool Open(const std::string& name, uint32_t timeoutMs = 2000);
  bool SetMessageMode();
  // Reads the server's HELLO, returns its id (or kRawNoId on failure).
  uint32_t ReadHello(uint32_t timeoutMs = 5000);
  // HELLO read plus answer. Returns the id.
  uint32_t Handshake(uint32_t timeoutMs = 5000);
  // Open, message mode and handshake, once: a server that lost a client
  // racing its connect request would show here. Returns the id, or
  // kRawNoId (with the handle still open when only the handshake failed).
  uint32_t Connect(const std::string& name, uint32_t openTimeoutMs = 2000);
};

// Server end: one instance of a message-type pipe, read as whole messages.
class RawPipeServer : public RawPipe {
 public:
  // name: bare or a full path, as the library takes it; instances: how many it may have at once.
  bool Create(const std::string& name, DWORD instances = 1);
  bool Accept(uint32_t timeoutMs = 5000);
  // Sends HELLO with id, waits for the client's HELLO answer.
  bool Handshake(uint32_t id, uint32_t timeoutMs = 5000);
  void Disconnect();
};

}  // namespace pel::tools
