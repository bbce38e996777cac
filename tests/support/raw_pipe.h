// Minimal peers written straight against Win32, so server tests need no
// client of ours and client tests can meet a server that misbehaves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

namespace pel_test {

// Bytes of one message: 32-byte header (magic, id, kind, length) + payload.
std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind,
                                 const std::vector<uint8_t>& payload, uint32_t magic = 0x50495043);
std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const std::string& payload);

// Client end opened the way a plain Win32 program would (overlapped, so
// every wait can be bounded).
class RawPipeClient {
 public:
  RawPipeClient() = default;
  ~RawPipeClient();
  RawPipeClient(const RawPipeClient&) = delete;
  RawPipeClient& operator=(const RawPipeClient&) = delete;

  // Full path or bare name. False (and lastError set) when it cannot open.
  bool Open(const std::string& name, uint32_t timeoutMs = 2000);
  // Switches the handle to message read mode.
  bool SetMessageMode();
  bool Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs = 5000);
  // One read of up to max bytes; false on error or time-out.
  bool Read(std::vector<uint8_t>& out, uint32_t max = 0x500000, uint32_t timeoutMs = 5000);
  // Reads exactly n bytes, over as many reads as it takes.
  bool ReadExactly(std::vector<uint8_t>& out, uint32_t n, uint32_t timeoutMs = 5000);
  // Reads the server's HELLO, returns its id (or 0xFFFFFFFF on failure).
  uint32_t ReadHello(uint32_t timeoutMs = 5000);
  // HELLO read plus answer: a full handshake. Returns the id.
  uint32_t Handshake(uint32_t timeoutMs = 5000);
  // Open, message mode and handshake, once: a server that lost a client
  // racing its connect request would show here. Returns the id, or
  // 0xFFFFFFFF.
  uint32_t Connect(const std::string& name, uint32_t openTimeoutMs = 2000);
  void Close();
  HANDLE handle() const { return m_pipe; }
  DWORD lastError() const { return m_lastError; }

 private:
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  DWORD m_lastError = 0;
};

// Server end with one instance, message type. byteMode=false keeps the
// server reading whole messages.
class RawPipeServer {
 public:
  RawPipeServer() = default;
  ~RawPipeServer();
  RawPipeServer(const RawPipeServer&) = delete;
  RawPipeServer& operator=(const RawPipeServer&) = delete;

  bool Create(const std::string& fullPath);
  // Waits for a client to connect.
  bool Accept(uint32_t timeoutMs = 5000);
  bool Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs = 5000);
  bool Read(std::vector<uint8_t>& out, uint32_t max = 0x500000, uint32_t timeoutMs = 5000);
  // Sends HELLO with id, waits for the client's HELLO answer.
  bool Handshake(uint32_t id, uint32_t timeoutMs = 5000);
  void Disconnect();
  void Close();
  HANDLE handle() const { return m_pipe; }
  DWORD lastError() const { return m_lastError; }

 private:
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  DWORD m_lastError = 0;
};

}  // namespace pel_test
