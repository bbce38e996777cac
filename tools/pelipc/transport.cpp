// The tool's two kinds of ends: over the library's exports, used as any host would, and the bench's
// raw-pipe baseline: the library's frames and HELLO exchange over the plain Win32 peers the tests
// use, with a thread for each connection's reads and blocking overlapped writes. What a direct
// implementation of the job looks like, without the library.
#include "transport.h"

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/raw_pipe.h"
#include "util.h"

namespace pel::pelipc {

namespace {

std::string g_logName = kLogName;

// One library callback handed to the TransportEvents in its context.
template <auto Method, typename... Args>
int32_t Forward(Args... args, void* context) {
  (static_cast<TransportEvents*>(context)->*Method)(args...);
  return 0;
}

PelIpcCallback Callbacks(TransportEvents* events) {
  PelIpcCallback callbacks = {Forward<&TransportEvents::OnConnect, uint32_t>,
                              Forward<&TransportEvents::OnSend, uint32_t>,
                              Forward<&TransportEvents::OnRecv, uint32_t, const uint8_t*, uint32_t>,
                              Forward<&TransportEvents::OnClose, uint32_t, int32_t>,
                              events,
                              {}};
  std::strncpy(callbacks.LogName, g_logName.c_str(), sizeof callbacks.LogName - 1);
  return callbacks;
}

struct LibraryServer : ServerEnd {
  explicit LibraryServer(PelIpcServerHandle handle) : server(handle) {}
  ~LibraryServer() override { Stop(); }
  int32_t Start(const std::string& name) override {
    return PEL_StartIpcServer(server, name.c_str());
  }
  int32_t Send(uint32_t conn, bool answer, const uint8_t* data, uint32_t size) override {
    return PEL_IpcServerSendData(server, conn, answer, data, static_cast<int32_t>(size));
  }
  void Stop() override {
    if (server != nullptr) PEL_DestroyIpcServer(server);
    server = nullptr;
  }

  PelIpcServerHandle server;
};

struct LibraryClient : ClientEnd {
  explicit LibraryClient(PelIpcClientHandle handle) : client(handle) {}
  ~LibraryClient() override { PEL_DestroyIpcClient(client); }
  int32_t Connect(const std::string& name) override {
    return PEL_ConnectIpcClient(client, name.c_str());
  }
  void Disconnect() override { PEL_DisconnectIpcClient(client); }
  int32_t Send(const uint8_t* data, uint32_t size) override {
    return PEL_IpcClientSendData(client, data, static_cast<int32_t>(size));
  }
  int32_t Call(const uint8_t* request, uint32_t size, uint8_t* answer,
               uint32_t* answerSize) override {
    return PEL_IpcClientSyncCall(client, request, size, answer, answerSize);
  }

  PelIpcClientHandle client;
};

// Hands every message read to `on` until the pipe fails or is aborted.
void ReadAll(tools::RawPipe& pipe,
             const std::function<void(uint32_t, const uint8_t*, uint32_t)>& on) {
  std::vector<uint8_t> buffer(tools::kRawMaxRead);
  for (;;) {
    uint32_t size = tools::kRawMaxRead;
    if (!pipe.ReadInto(buffer.data(), &size, INFINITE) || size < tools::kRawHeader) return;
    uint32_t kind;
    std::memcpy(&kind, &buffer[8], sizeof kind);
    on(kind, buffer.data() + tools::kRawHeader, size - tools::kRawHeader);
  }
}

// A blocking write of one frame; the write's completion is reported as the library reports it.
int32_t WriteFrame(tools::RawPipe& pipe, TransportEvents* events, uint32_t id, uint32_t kind,
                   const uint8_t* data, uint32_t size) {
  if (!pipe.Write(tools::MakeMessage(id, kind, data, size))) return PEL_ERR_WRITE;
  events->OnSend(id);
  return PEL_OK;
}

class RawClient : public ClientEnd {
 public:
  explicit RawClient(TransportEvents* events) : m_events(events) {
    m_pipe.AbortOn(m_stop.handle());
  }
  ~RawClient() override { Disconnect(); }

  int32_t Connect(const std::string& name) override {
    if (m_reader.joinable()) return PEL_ERR_STATE;
    m_stop.Reset();
    m_id = m_pipe.Connect(name);
    if (m_id == tools::kRawNoId) {
      const bool opened = m_pipe.handle() != INVALID_HANDLE_VALUE;
      m_pipe.Close();
      return opened ? PEL_ERR_TIMEOUT : PEL_ERR_PIPE;
    }
    m_reader = std::thread([this] {
      ReadAll(m_pipe, [this](uint32_t kind, const uint8_t* data, uint32_t size) {
        if (kind == tools::kRawBusiness) m_events->OnRecv(m_id, data, size);
        if (kind != tools::kRawSync) return;
        std::lock_guard<std::mutex> hold(m_lock);
        m_answer.assign(data, data + size);
        m_answerReady.Set();
      });
    });
    return PEL_OK;
  }

  void Disconnect() override {
    if (!m_reader.joinable()) return;
    m_stop.Set();
    m_reader.join();
    m_pipe.Close();
    m_events->OnClose(m_id, PEL_OK);
  }

  int32_t Send(const uint8_t* data, uint32_t size) override {
    if (!m_reader.joinable()) return PEL_ERR_STATE;
    return WriteFrame(m_pipe, m_events, m_id, tools::kRawBusiness, data, size);
  }

  int32_t Call(const uint8_t* request, uint32_t size, uint8_t* answer,
               uint32_t* answerSize) override {
    std::lock_guard<std::mutex> serial(m_callLock);
    m_answerReady.Reset();
    if (!m_reader.joinable()) return PEL_ERR_WRITE;
    const int32_t r = WriteFrame(m_pipe, m_events, m_id, tools::kRawSync, request, size);
    if (r != PEL_OK) return r;
    if (!m_answerReady.Wait(PEL_IPC_WAIT_MS)) return PEL_ERR_TIMEOUT;
    std::lock_guard<std::mutex> hold(m_lock);
    const uint32_t capacity = *answerSize;
    *answerSize = static_cast<uint32_t>(m_answer.size());
    if (*answerSize > capacity) return PEL_ERR_BUFFER_TOO_SMALL;
    if (*answerSize > 0) std::memcpy(answer, m_answer.data(), *answerSize);
    return PEL_OK;
  }

 private:
  TransportEvents* m_events;
  tools::RawPipeClient m_pipe;
  Event m_stop;  // ends the reader's wait
  uint32_t m_id = tools::kRawNoId;
  std::thread m_reader;
  std::mutex m_callLock;  // outermost: one synchronous call at a time
  std::mutex m_lock;
  std::vector<uint8_t> m_answer;
  Event m_answerReady;
};

class RawServer : public ServerEnd {
 public:
  explicit RawServer(TransportEvents* events) : m_events(events) {}
  ~RawServer() override { Stop(); }

  int32_t Start(const std::string& name) override {
    m_name = FullPipeName(name);
    std::shared_ptr<Pipe> first = Listen();
    if (!first) return PEL_ERR_PIPE;
    m_listener = std::thread(&RawServer::AcceptAll, this, first);
    return PEL_OK;
  }

  int32_t Send(uint32_t id, bool answer, const uint8_t* data, uint32_t size) override {
    std::unique_lock<std::mutex> hold(m_lock);
    const auto it = m_conns.find(id);
    if (it == m_conns.end()) return PEL_ERR_NO_CONNECTION;
    const std::shared_ptr<Pipe> pipe = it->second;
    hold.unlock();
    return WriteFrame(*pipe, m_events, id, answer ? tools::kRawSync : tools::kRawBusiness, data,
                      size);
  }

  void Stop() override {
    m_stop.Set();
    if (m_listener.joinable()) m_listener.join();
    // Only the listener adds connections.
    for (auto& t : m_threads) t.join();
    m_threads.clear();
  }

 private:
  using Pipe = tools::RawPipeServer;

  std::shared_ptr<Pipe> Listen() {
    auto pipe = std::make_shared<Pipe>();
    pipe->AbortOn(m_stop.handle());
    return pipe->Create(m_name, PIPE_UNLIMITED_INSTANCES) ? pipe : nullptr;
  }

  void AcceptAll(std::shared_ptr<Pipe> next) {
    for (uint32_t id = 0; next && next->Accept(INFINITE); ++id) {
      // The next instance exists before this one can close: a client never finds the name gone.
      std::shared_ptr<Pipe> pipe = std::move(next);
      next = Listen();
      m_threads.emplace_back(&RawServer::Serve, this, pipe, id);
    }
  }

  void Serve(std::shared_ptr<Pipe> pipe, uint32_t id) {
    // A peer process started under load may answer its HELLO late; Stop ends the wait.
    if (!pipe->Handshake(id, INFINITE)) return;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_conns[id] = pipe;
    }
    m_events->OnConnect(id);
    ReadAll(*pipe, [&](uint32_t kind, const uint8_t* data, uint32_t size) {
      if (kind != tools::kRawHello) m_events->OnRecv(id, data, size);
    });
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_conns.erase(id);
    }
    m_events->OnClose(id, PEL_CLOSE_SERVER);
  }

  TransportEvents* m_events;
  std::string m_name;
  Event m_stop;  // ends every wait of every instance
  std::thread m_listener;
  std::vector<std::thread> m_threads;  // one a connection
  std::mutex m_lock;
  std::map<uint32_t, std::shared_ptr<Pipe>> m_conns;
};

}  // namespace

void SetLibraryLogName(const std::string& name) { g_logName = name; }

std::unique_ptr<ServerEnd> MakeServer(Impl impl, TransportEvents* events) {
  if (impl == Impl::kRaw) return std::make_unique<RawServer>(events);
  const PelIpcCallback callbacks = Callbacks(events);
  PelIpcServerHandle server = PEL_CreateIpcServer(&callbacks);
  return server != nullptr ? std::unique_ptr<ServerEnd>(new LibraryServer(server)) : nullptr;
}

std::unique_ptr<ClientEnd> MakeClient(Impl impl, TransportEvents* events) {
  if (impl == Impl::kRaw) return std::make_unique<RawClient>(events);
  const PelIpcCallback callbacks = Callbacks(events);
  PelIpcClientHandle client = PEL_CreateIpcClient(&callbacks);
  return client != nullptr ? std::unique_ptr<ClientEnd>(new LibraryClient(client)) : nullptr;
}

}  // namespace pel::pelipc
