#include "common/raw_pipe.h"

#include <cstring>

#include "platform/pipe_name.h"

namespace pel::tools {

namespace {

// An OVERLAPPED with the calling thread's event, cleared: a thread has one operation at a time.
struct Overlapped : OVERLAPPED {
  Overlapped() : OVERLAPPED{} {
    struct Owned {
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      ~Owned() { CloseHandle(event); }
    };
    thread_local Owned owned;
    hEvent = owned.event;
    ResetEvent(hEvent);
  }
};

}  // namespace

std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const uint8_t* payload,
                                 size_t size, uint32_t magic) {
  std::vector<uint8_t> m(kRawHeader + size, 0);
  const uint32_t fields[4] = {magic, connId, kind, static_cast<uint32_t>(size)};
  std::memcpy(m.data(), fields, sizeof fields);
  if (size > 0) std::memcpy(&m[kRawHeader], payload, size);
  return m;
}

std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind,
                                 const std::vector<uint8_t>& payload, uint32_t magic) {
  return MakeMessage(connId, kind, payload.data(), payload.size(), magic);
}

std::vector<uint8_t> MakeMessage(uint32_t connId, uint32_t kind, const std::string& payload) {
  return MakeMessage(connId, kind, reinterpret_cast<const uint8_t*>(payload.data()),
                     payload.size());
}

bool RawPipe::Finish(OVERLAPPED& ov, BOOL issued, DWORD* bytes, uint32_t timeoutMs) {
  *bytes = 0;
  if (!issued) {
    const DWORD err = m_lastError = GetLastError();
    if (err == ERROR_MORE_DATA) GetOverlappedResult(m_pipe, &ov, bytes, FALSE);
    if (err != ERROR_IO_PENDING) return err == ERROR_MORE_DATA;
  }
  const HANDLE waits[2] = {ov.hEvent, m_abort};
  if (!issued && WaitForMultipleObjects(m_abort != nullptr ? 2 : 1, waits, FALSE, timeoutMs) !=
                     WAIT_OBJECT_0) {
    CancelIoEx(m_pipe, &ov);
    GetOverlappedResult(m_pipe, &ov, bytes, TRUE);
    m_lastError = WAIT_TIMEOUT;
    return false;
  }
  // Decided on a local: a reader and a writer of one pipe on two threads both set m_lastError.
  const DWORD error = GetOverlappedResult(m_pipe, &ov, bytes, FALSE) ? 0 : GetLastError();
  m_lastError = error;
  return error == 0 || error == ERROR_MORE_DATA;
}

bool RawPipe::Write(const std::vector<uint8_t>& bytes, uint32_t timeoutMs) {
  Overlapped ov;
  DWORD n = 0;
  const DWORD size = static_cast<DWORD>(bytes.size());
  return Finish(ov, WriteFile(m_pipe, bytes.data(), size, nullptr, &ov), &n, timeoutMs) &&
         n == size;
}

bool RawPipe::ReadInto(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs) {
  Overlapped ov;
  DWORD n = 0;
  const bool done = Finish(ov, ReadFile(m_pipe, buffer, *size, nullptr, &ov), &n, timeoutMs);
  *size = done ? n : 0;
  return done;
}

bool RawPipe::Read(std::vector<uint8_t>& out, uint32_t max, uint32_t timeoutMs) {
  out.resize(max);
  const bool done = ReadInto(out.data(), &max, timeoutMs);
  out.resize(max);
  return done;
}

bool RawPipe::ReadExactly(std::vector<uint8_t>& out, uint32_t n, uint32_t timeoutMs) {
  out.clear();
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (out.size() < n) {
    const ULONGLONG now = GetTickCount64();
    std::vector<uint8_t> chunk;
    if (now >= end ||
        !Read(chunk, n - static_cast<uint32_t>(out.size()), static_cast<uint32_t>(end - now))) {
      return false;
    }
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return true;
}

void RawPipe::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  m_pipe = INVALID_HANDLE_VALUE;
}

bool RawPipeClient::Open(const std::string& name, uint32_t timeoutMs) {
  // A bare name goes where a host's name goes in the library.
  const std::string path = pel::FullPipeName(name.c_str());
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

uint32_t RawPipeClient::ReadHello(uint32_t timeoutMs) {
  std::vector<uint8_t> hello;
  if (!ReadExactly(hello, kRawHeader, timeoutMs)) return kRawNoId;
  uint32_t id;
  std::memcpy(&id, &hello[4], 4);
  return id;
}

uint32_t RawPipeClient::Handshake(uint32_t timeoutMs) {
  const uint32_t id = ReadHello(timeoutMs);
  if (id == kRawNoId || !Write(MakeMessage(id, kRawHello, ""), timeoutMs)) return kRawNoId;
  return id;
}

uint32_t RawPipeClient::Connect(const std::string& name, uint32_t openTimeoutMs) {
  Close();
  if (!Open(name, openTimeoutMs)) return kRawNoId;
  SetMessageMode();
  return Handshake();
}

bool RawPipeServer::Create(const std::string& name, DWORD instances) {
  m_pipe = CreateNamedPipeA(pel::FullPipeName(name.c_str()).c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances,
                            kRawMaxRead, kRawMaxRead, 0, nullptr);
  if (m_pipe == INVALID_HANDLE_VALUE) m_lastError = GetLastError();
  return m_pipe != INVALID_HANDLE_VALUE;
}

bool RawPipeServer::Accept(uint32_t timeoutMs) {
  Overlapped ov;
  DWORD n = 0;
  if (ConnectNamedPipe(m_pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED) return true;
  return Finish(ov, FALSE, &n, timeoutMs);
}

bool RawPipeServer::Handshake(uint32_t id, uint32_t timeoutMs) {
  if (!Write(MakeMessage(id, kRawHello, ""), timeoutMs)) return false;
  // Room for more than a header, so that a longer answer shows as one.
  std::vector<uint8_t> answer;
  if (!Read(answer, 2 * kRawHeader, timeoutMs)) return false;
  uint32_t kind = kRawNoId;
  if (answer.size() >= kRawHeader) std::memcpy(&kind, &answer[8], 4);
  return answer.size() == kRawHeader && kind == kRawHello;
}

void RawPipeServer::Disconnect() {
  if (m_pipe != INVALID_HANDLE_VALUE) DisconnectNamedPipe(m_pipe);
}

}  // namespace pel::tools
