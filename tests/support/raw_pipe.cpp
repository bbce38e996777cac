#include "support/raw_pipe.h"

#include <cstring>

#include "support/helpers.h"

namespace pel_test {

namespace {

std::string ToPath(const std::string& name) {
  return name.find("\\\\.\\pipe") != std::string::npos ? name : FullPipePath(name);
}

// One overlapped operation with a bounded wait; cancels on time-out so the
// buffer is never written after we return.
bool Finish(HANDLE h, OVERLAPPED& ov, BOOL issued, DWORD& bytes, uint32_t timeoutMs, DWORD& err) {
  if (!issued) {
    err = GetLastError();
    if (err != ERROR_IO_PENDING) {
      if (err == ERROR_MORE_DATA) {
        GetOverlappedResult(h, &ov, &bytes, FALSE);
        return true;
      }
      return false;
    }
  }
  if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(h, &ov);
    GetOverlappedResult(h, &ov, &bytes, TRUE);
    err = WAIT_TIMEOUT;
    return false;
  }
  if (!GetOverlappedResult(h, &ov, &bytes, FALSE)) {
    err = GetLastError();
    return err == ERROR_MORE_DATA;
  }
  err = 0;
  return true;
}

bool DoWrite(HANDLE h, const std::vector<uint8_t>& bytes, uint32_t timeoutMs, DWORD& err) {
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov);
  bool done = Finish(h, ov, ok, n, timeoutMs, err);
  CloseHandle(ov.hEvent);
  return done && n == bytes.size();
}

bool DoRead(HANDLE h, std::vector<uint8_t>& out, uint32_t max, uint32_t timeoutMs, DWORD& err) {
  out.resize(max);
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  BOOL ok = ReadFile(h, out.data(), max, nullptr, &ov);
  bool done = Finish(h, ov, ok, n, timeoutMs, err);
  CloseHandle(ov.hEvent);
  out.resize(done ? n : 0);
  return done;
}

}  // namespace

std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind,
                                 const std::vector<uint8_t>& payload, uint32_t magic) {
  std::vector<uint8_t> m(32 + payload.size(), 0);
  const uint32_t len = static_cast<uint32_t>(payload.size());
  std::memcpy(&m[0], &magic, 4);
  std::memcpy(&m[4], &connId, 4);
  std::memcpy(&m[8], &kind, 4);
  std::memcpy(&m[12], &len, 4);
  if (!payload.empty()) std::memcpy(&m[32], payload.data(), payload.size());
  return m;
}

std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const std::string& payload) {
  return MakeMessage(connId, kind, std::vector<uint8_t>(payload.begin(), payload.end()));
}

RawPipeClient::~RawPipeClient() { Close(); }

bool RawPipeClient::Open(const std::string& name, uint32_t timeoutMs) {
  const std::string path = ToPath(name);
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    m_pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (m_pipe != INVALID_HANDLE_VALUE) return true;
    m_lastError = GetLastError();
    if (m_lastError != ERROR_PIPE_BUSY || GetTickCount64() >= end) return false;
    WaitNamedPipeA(path.c_str(), 50);
  }
}

bool RawPipeClient::SetMessageMode() {
  DWORD mode = PIPE_READMODE_MESSAGE;
  return SetNamedPipeHandleState(m_pipe, &mode, nullptr, nullptr) != 0;
}

bool RawPipeClient::Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs) {
  return DoWrite(m_pipe, bytes, timeoutMs, m_lastError);
}

bool RawPipeClient::Read(std::vector<uint8_t>& out, uint32_t max, uint32_t timeoutMs) {
  return DoRead(m_pipe, out, max, timeoutMs, m_lastError);
}

bool RawPipeClient::ReadExactly(std::vector<uint8_t>& out, uint32_t n, uint32_t timeoutMs) {
  out.clear();
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (out.size() < n) {
    ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    std::vector<uint8_t> chunk;
    if (!DoRead(m_pipe, chunk, n - static_cast<uint32_t>(out.size()),
                static_cast<uint32_t>(end - now), m_lastError))
      return false;
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return true;
}

uint32_t RawPipeClient::ReadHello(uint32_t timeoutMs) {
  std::vector<uint8_t> hello;
  if (!ReadExactly(hello, 32, timeoutMs)) return 0xFFFFFFFF;
  uint32_t id;
  std::memcpy(&id, &hello[4], 4);
  return id;
}

uint32_t RawPipeClient::Handshake(uint32_t timeoutMs) {
  const uint32_t id = ReadHello(timeoutMs);
  if (id == 0xFFFFFFFF) return id;
  if (!Write(MakeMessage(id, 0, std::vector<uint8_t>()), timeoutMs)) return 0xFFFFFFFF;
  return id;
}

uint32_t RawPipeClient::Connect(const std::string& name, uint32_t openTimeoutMs) {
  Close();
  if (!Open(name, openTimeoutMs)) return 0xFFFFFFFF;
  SetMessageMode();
  return Handshake();
}

void RawPipeClient::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  m_pipe = INVALID_HANDLE_VALUE;
}

RawPipeServer::~RawPipeServer() { Close(); }

bool RawPipeServer::Create(const std::string& fullPath) {
  m_pipe = CreateNamedPipeA(fullPath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0x500000,
                            0x500000, 0, nullptr);
  if (m_pipe == INVALID_HANDLE_VALUE) m_lastError = GetLastError();
  return m_pipe != INVALID_HANDLE_VALUE;
}

bool RawPipeServer::Accept(uint32_t timeoutMs) {
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool ok;
  if (ConnectNamedPipe(m_pipe, &ov)) {
    ok = true;
  } else {
    DWORD err = GetLastError();
    if (err == ERROR_PIPE_CONNECTED) {
      ok = true;
    } else if (err == ERROR_IO_PENDING) {
      DWORD n = 0;
      ok = Finish(m_pipe, ov, FALSE, n, timeoutMs, m_lastError);
    } else {
      m_lastError = err;
      ok = false;
    }
  }
  CloseHandle(ov.hEvent);
  return ok;
}

bool RawPipeServer::Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs) {
  return DoWrite(m_pipe, bytes, timeoutMs, m_lastError);
}

bool RawPipeServer::Read(std::vector<uint8_t>& out, uint32_t max, uint32_t timeoutMs) {
  return DoRead(m_pipe, out, max, timeoutMs, m_lastError);
}

bool RawPipeServer::Handshake(uint32_t id, uint32_t timeoutMs) {
  if (!Write(MakeMessage(id, 0, std::vector<uint8_t>()), timeoutMs)) return false;
  std::vector<uint8_t> answer;
  if (!Read(answer, 0x500000, timeoutMs)) return false;
  uint32_t kind = 0xFFFFFFFF;
  if (answer.size() >= 32) std::memcpy(&kind, &answer[8], 4);
  return answer.size() == 32 && kind == 0;
}

void RawPipeServer::Disconnect() {
  if (m_pipe != INVALID_HANDLE_VALUE) DisconnectNamedPipe(m_pipe);
}

void RawPipeServer::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  m_pipe = INVALID_HANDLE_VALUE;
}

}  // namespace pel_test
