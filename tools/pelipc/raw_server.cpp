// Raw-pipe baseline, server end: a listening instance per worker, a new one
// for every accepted client, one read outstanding per connection.
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pel_ipc.h"
#include "raw_pipe.h"
#include "transport.h"
#include "util.h"

namespace pelipc {

namespace {

using raw::Op;

struct Conn {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  uint32_t id = 0;
  int refs = 1;  // the connection's own reference, dropped when it starts closing
  bool closing = false;
  bool accepted = false;
  bool greeted = false;  // the client's hello arrived
};

class RawServer : public ServerEnd {
 public:
  explicit RawServer(TransportEvents* events) : m_events(events) {}
  ~RawServer() override { Stop(); }

  int32_t Start(const std::string& name) override {
    m_name = FullPipeName(name);
    m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (m_port == nullptr) return PEL_ERR_IOCP;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const unsigned workers = info.dwNumberOfProcessors + 2;
    for (unsigned i = 0; i < workers; ++i) m_workers.emplace_back(&RawServer::Work, this);
    for (unsigned i = 0; i < workers; ++i) {
      int32_t r = Listen();
      if (r != PEL_OK) return r;
    }
    return PEL_OK;
  }

  int32_t Send(uint32_t id, bool answer, const uint8_t* data, uint32_t size) override {
    Conn* conn;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      auto it = m_byId.find(id);
      if (it == m_byId.end()) return PEL_ERR_NO_CONNECTION;
      conn = it->second;
      if (conn->closing) return PEL_ERR_STATE;
      conn->refs++;
    }
    return Write(conn, answer ? raw::kCall : raw::kBusiness, data, size);
  }

  void Stop() override {
    if (m_port == nullptr) return;
    std::vector<Conn*> all;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_stopping = true;
      for (Conn* c : m_all) {
        c->refs++;
        all.push_back(c);
      }
    }
    for (Conn* c : all) {
      BeginClose(c);
      Unref(c);
    }
    {
      std::unique_lock<std::mutex> hold(m_lock);
      m_empty.wait_for(hold, std::chrono::seconds(5), [&] { return m_all.empty(); });
    }
    for (size_t i = 0; i < m_workers.size(); ++i) raw::PostStop(m_port);
    for (auto& t : m_workers) t.join();
    m_workers.clear();
    CloseHandle(m_port);
    m_port = nullptr;
  }

 private:
  int32_t Listen() {
    HANDLE pipe =
        CreateNamedPipeA(m_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                         PIPE_UNLIMITED_INSTANCES, raw::kPipeBuffer, raw::kPipeBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return PEL_ERR_PIPE;
    Conn* conn = new Conn;
    conn->pipe = pipe;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (m_stopping) {
        CloseHandle(pipe);
        delete conn;
        return PEL_ERR_STATE;
      }
      m_all.insert(conn);
      conn->refs++;  // held by the connect below
    }
    if (CreateIoCompletionPort(pipe, m_port, reinterpret_cast<ULONG_PTR>(conn), 0) == nullptr) {
      Unref(conn);
      BeginClose(conn);
      return PEL_ERR_BIND;
    }
    Op* op = raw::NewOp(raw::kOpConnect, conn, 0);
    if (!ConnectNamedPipe(pipe, &op->ov)) {
      DWORD err = GetLastError();
      if (err == ERROR_PIPE_CONNECTED) {
        PostQueuedCompletionStatus(m_port, 0, reinterpret_cast<ULONG_PTR>(conn), &op->ov);
      } else if (err != ERROR_IO_PENDING) {
        raw::DeleteOp(op);
        Unref(conn);
        BeginClose(conn);
        return PEL_ERR_PIPE;
      }
    }
    return PEL_OK;
  }

  // The caller holds a reference for the write; it passes to the op.
  int32_t Write(Conn* conn, uint32_t kind, const uint8_t* data, uint32_t size) {
    Op* op = raw::NewWriteOp(conn, kind, data, size);
    if (!WriteFile(conn->pipe, op->bytes, op->capacity, nullptr, &op->ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      raw::DeleteOp(op);
      Unref(conn);
      return PEL_ERR_WRITE;
    }
    return PEL_OK;
  }

  // The op carries a reference; on failure it is dropped here.
  bool PostRead(Conn* conn, Op* op) {
    raw::ResetOverlapped(op);
    {
      std::lock_guard<std::mutex> hold(m_lock);
      conn->refs++;  // keeps conn while the read may already complete elsewhere
    }
    bool posted = ReadFile(conn->pipe, op->bytes, op->capacity, nullptr, &op->ov) ||
                  GetLastError() == ERROR_IO_PENDING;
    if (!posted) {
      raw::DeleteOp(op);
      BeginClose(conn);
      Unref(conn);
    } else {
      bool closing;
      {
        std::lock_guard<std::mutex> hold(m_lock);
        closing = conn->closing;
      }
      // A close that began while the read was being issued did not cancel it.
      if (closing) CancelIoEx(conn->pipe, nullptr);
    }
    Unref(conn);
    return posted;
  }

  void BeginClose(Conn* conn) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (conn->closing) return;
      conn->closing = true;
    }
    CancelIoEx(conn->pipe, nullptr);
    Unref(conn);
  }

  void Unref(Conn* conn) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (--conn->refs > 0) return;
      m_all.erase(conn);
      if (conn->accepted) m_byId.erase(conn->id);
    }
    CloseHandle(conn->pipe);
    if (conn->accepted) m_events->OnClose(conn->id, PEL_CLOSE_SERVER);
    delete conn;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_all.empty()) m_empty.notify_all();
  }

  void HandleConnect(Conn* conn, Op* op, bool ok) {
    raw::DeleteOp(op);
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (ok && !conn->closing) {
        conn->id = m_nextId++;
        conn->accepted = true;
        m_byId[conn->id] = conn;
        conn->refs++;  // for the hello below
      } else {
        ok = false;
      }
    }
    if (!ok) {
      BeginClose(conn);
      Unref(conn);
      return;
    }
    Listen();
    // The connect's reference passes to the read.
    PostRead(conn, raw::NewOp(raw::kOpRead, conn, raw::kReadBuffer));
    Write(conn, raw::kHello, reinterpret_cast<const uint8_t*>(&conn->id), sizeof conn->id);
  }

  void HandleRead(Conn* conn, Op* op, bool ok, DWORD bytes) {
    if (!ok || bytes < raw::kHeader) {
      raw::DeleteOp(op);
      BeginClose(conn);
      Unref(conn);
      return;
    }
    uint32_t kind;
    std::memcpy(&kind, op->bytes, raw::kHeader);
    if (kind == raw::kHello) {
      conn->greeted = true;
      m_events->OnConnect(conn->id);
    } else if (conn->greeted) {
      m_events->OnRecv(conn->id, op->bytes + raw::kHeader, bytes - raw::kHeader);
    }
    PostRead(conn, op);
  }

  void HandleWrite(Conn* conn, Op* op, bool ok) {
    raw::DeleteOp(op);
    bool closing;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      closing = conn->closing;
    }
    if (ok && !closing) m_events->OnSend(conn->id);
    if (!ok) BeginClose(conn);
    Unref(conn);
  }

  void Work() {
    bool ok;
    DWORD bytes;
    while (Op* op = raw::NextOp(m_port, &ok, &bytes)) {
      Conn* conn = static_cast<Conn*>(op->owner);
      switch (op->type) {
        case raw::kOpConnect:
          HandleConnect(conn, op, ok);
          break;
        case raw::kOpRead:
          HandleRead(conn, op, ok, bytes);
          break;
        default:
          HandleWrite(conn, op, ok);
          break;
      }
    }
  }

  TransportEvents* m_events;
  std::string m_name;
  HANDLE m_port = nullptr;
  std::vector<std::thread> m_workers;
  std::mutex m_lock;
  std::condition_variable m_empty;
  std::set<Conn*> m_all;
  std::map<uint32_t, Conn*> m_byId;
  uint32_t m_nextId = 0;
  bool m_stopping = false;
};

}  // namespace

std::unique_ptr<ServerEnd> MakeRawServer(TransportEvents* events) {
  return std::unique_ptr<ServerEnd>(new RawServer(events));
}

}  // namespace pelipc
