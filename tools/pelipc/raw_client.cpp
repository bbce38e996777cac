// Raw-pipe baseline, client end: one work thread on a completion port of its
// own, the pipe switched to message reads, synchronous calls wait on an event.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "pel_ipc.h"
#include "raw_pipe.h"
#include "transport.h"
#include "util.h"

namespace pelipc {

namespace {

using raw::Op;

class RawClient : public ClientEnd {
 public:
  explicit RawClient(TransportEvents* events) : m_events(events) {
    m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    m_worker = std::thread(&RawClient::Work, this);
  }

  ~RawClient() override {
    Disconnect();
    {
      // Cancelled operations still come back through the port; wait for them.
      std::unique_lock<std::mutex> hold(m_opsLock);
      m_opsDone.wait_for(hold, std::chrono::seconds(2), [&] { return m_ops == 0; });
    }
    raw::PostStop(m_port);
    m_worker.join();
    CloseHandle(m_port);
  }

  int32_t Connect(const std::string& name) override {
    const std::string full = FullPipeName(name);
    HANDLE pipe = CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
        WaitNamedPipeA(full.c_str(), raw::kWaitMs)) {
      pipe = CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE) return PEL_ERR_PIPE;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
      CloseHandle(pipe);
      return PEL_ERR_PIPE;
    }
    if (CreateIoCompletionPort(pipe, m_port, 1, 0) == nullptr) {
      CloseHandle(pipe);
      return PEL_ERR_BIND;
    }
    m_hello.Reset();
    uint64_t generation;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_pipe = pipe;
      generation = ++m_generation;
    }
    Op* read = NewOp(raw::kOpRead, raw::kReadBuffer, generation);
    if (!PostRead(pipe, read)) {
      Disconnect();
      return PEL_ERR_READ;
    }
    if (!m_hello.Wait(raw::kWaitMs)) return PEL_ERR_TIMEOUT;
    return PEL_OK;
  }

  void Disconnect() override {
    uint32_t id;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (m_pipe == INVALID_HANDLE_VALUE) return;
      CancelIoEx(m_pipe, nullptr);
      CloseHandle(m_pipe);
      m_pipe = INVALID_HANDLE_VALUE;
      m_connected = false;
      ++m_generation;
      id = m_id;
    }
    m_events->OnClose(id, PEL_OK);
  }

  int32_t Send(const uint8_t* data, uint32_t size) override {
    return Write(raw::kBusiness, data, size, true);
  }

  int32_t Call(const uint8_t* request, uint32_t size, uint8_t* answer,
               uint32_t* answerSize) override {
    std::lock_guard<std::mutex> serial(m_callLock);
    m_answerReady.Reset();
    if (Write(raw::kCall, request, size, true) != PEL_OK) return PEL_ERR_WRITE;
    if (!m_answerReady.Wait(raw::kWaitMs)) return PEL_ERR_TIMEOUT;
    std::lock_guard<std::mutex> hold(m_lock);
    const uint32_t length = static_cast<uint32_t>(m_answer.size());
    if (length > *answerSize) {
      *answerSize = length;
      return PEL_ERR_BUFFER_TOO_SMALL;
    }
    if (length > 0) std::memcpy(answer, m_answer.data(), length);
    *answerSize = length;
    return PEL_OK;
  }

 private:
  Op* NewOp(uint32_t type, uint32_t capacity, uint64_t generation) {
    Op* op = raw::NewOp(type, this, capacity);
    op->generation = generation;
    std::lock_guard<std::mutex> hold(m_opsLock);
    ++m_ops;
    return op;
  }

  void DeleteOp(Op* op) {
    raw::DeleteOp(op);
    std::lock_guard<std::mutex> hold(m_opsLock);
    if (--m_ops == 0) m_opsDone.notify_all();
  }

  int32_t Write(uint32_t kind, const uint8_t* data, uint32_t size, bool needConnected) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_pipe == INVALID_HANDLE_VALUE || (needConnected && !m_connected)) return PEL_ERR_STATE;
    Op* op = NewOp(raw::kOpWrite, raw::kHeader + size, m_generation);
    std::memcpy(op->bytes, &kind, raw::kHeader);
    std::memcpy(op->bytes + raw::kHeader, data, size);
    if (!WriteFile(m_pipe, op->bytes, op->capacity, nullptr, &op->ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      DeleteOp(op);
      return PEL_ERR_WRITE;
    }
    return PEL_OK;
  }

  bool PostRead(HANDLE pipe, Op* op) {
    raw::ResetOverlapped(op);
    if (!ReadFile(pipe, op->bytes, op->capacity, nullptr, &op->ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      DeleteOp(op);
      return false;
    }
    return true;
  }

  // False when the op belongs to a pipe that was closed since.
  bool Current(const Op* op, HANDLE* pipe, uint32_t* id) {
    std::lock_guard<std::mutex> hold(m_lock);
    *pipe = m_pipe;
    *id = m_id;
    return op->generation == m_generation && m_pipe != INVALID_HANDLE_VALUE;
  }

  void HandleRead(Op* op, bool ok, DWORD bytes) {
    HANDLE pipe;
    uint32_t id;
    if (!Current(op, &pipe, &id)) {
      DeleteOp(op);
      return;
    }
    if (!ok || bytes < raw::kHeader) {
      const uint64_t generation = op->generation;
      DeleteOp(op);
      bool ended = false;
      {
        std::lock_guard<std::mutex> hold(m_lock);
        if (generation == m_generation && m_pipe != INVALID_HANDLE_VALUE) {
          CloseHandle(m_pipe);
          m_pipe = INVALID_HANDLE_VALUE;
          m_connected = false;
          ++m_generation;
          ended = true;
        }
      }
      if (ended) m_events->OnClose(id, PEL_CLOSE_SERVER);
      return;
    }
    uint32_t kind;
    std::memcpy(&kind, op->bytes, raw::kHeader);
    const uint8_t* payload = op->bytes + raw::kHeader;
    const uint32_t size = bytes - raw::kHeader;
    if (kind == raw::kHello && size >= sizeof(uint32_t)) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        std::memcpy(&m_id, payload, sizeof m_id);
        id = m_id;
      }
      Write(raw::kHello, reinterpret_cast<const uint8_t*>(&id), sizeof id, false);
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_connected = true;
      }
      m_hello.Set();
    } else if (kind == raw::kCall) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_answer.assign(payload, payload + size);
      }
      m_answerReady.Set();
    } else if (kind == raw::kBusiness) {
      m_events->OnRecv(id, payload, size);
    }
    std::lock_guard<std::mutex> hold(m_lock);
    if (op->generation != m_generation || m_pipe == INVALID_HANDLE_VALUE) {
      DeleteOp(op);
      return;
    }
    PostRead(m_pipe, op);  // frees the op when the read cannot be issued
  }

  void Work() {
    bool ok;
    DWORD bytes;
    while (Op* op = raw::NextOp(m_port, &ok, &bytes)) {
      if (op->type == raw::kOpRead) {
        HandleRead(op, ok, bytes);
        continue;
      }
      HANDLE pipe;
      uint32_t id;
      if (ok && Current(op, &pipe, &id)) m_events->OnSend(id);
      DeleteOp(op);
    }
  }

  TransportEvents* m_events;
  HANDLE m_port = nullptr;
  std::thread m_worker;
  std::mutex m_callLock;  // outermost: one synchronous call at a time
  std::mutex m_lock;
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  uint64_t m_generation = 0;
  uint32_t m_id = PEL_IPC_NO_CONN_ID;
  bool m_connected = false;
  std::vector<uint8_t> m_answer;
  Event m_hello;
  Event m_answerReady;
  std::mutex m_opsLock;
  std::condition_variable m_opsDone;
  int m_ops = 0;
};

}  // namespace

std::unique_ptr<ClientEnd> MakeRawClient(TransportEvents* events) {
  return std::unique_ptr<ClientEnd>(new RawClient(events));
}

}  // namespace pelipc
