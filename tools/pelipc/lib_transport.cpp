// The tool's ends over the library's exports, used as any host would.
#include <cstring>

#include "pel_ipc.h"
#include "transport.h"

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

class LibraryServer : public ServerEnd {
 public:
  explicit LibraryServer(PelIpcServerHandle server) : m_server(server) {}
  ~LibraryServer() override { Stop(); }
  int32_t Start(const std::string& name) override {
    return PEL_StartIpcServer(m_server, name.c_str());
  }
  int32_t Send(uint32_t conn, bool answer, const uint8_t* data, uint32_t size) override {
    return PEL_IpcServerSendData(m_server, conn, answer, data, static_cast<int32_t>(size));
  }
  void Stop() override {
    if (m_server != nullptr) PEL_DestroyIpcServer(m_server);
    m_server = nullptr;
  }

 private:
  PelIpcServerHandle m_server;
};

class LibraryClient : public ClientEnd {
 public:
  explicit LibraryClient(PelIpcClientHandle client) : m_client(client) {}
  ~LibraryClient() override { PEL_DestroyIpcClient(m_client); }
  int32_t Connect(const std::string& name) override {
    return PEL_ConnectIpcClient(m_client, name.c_str());
  }
  void Disconnect() override { PEL_DisconnectIpcClient(m_client); }
  int32_t Send(const uint8_t* data, uint32_t size) override {
    return PEL_IpcClientSendData(m_client, data, static_cast<int32_t>(size));
  }
  int32_t Call(const uint8_t* request, uint32_t size, uint8_t* answer,
               uint32_t* answerSize) override {
    return PEL_IpcClientSyncCall(m_client, request, size, answer, answerSize);
  }

 private:
  PelIpcClientHandle m_client;
};

}  // namespace

void SetLibraryLogName(const std::string& name) { g_logName = name; }

const char* ImplName(Impl impl) { return impl == Impl::kLibrary ? "library" : "raw pipe"; }

std::unique_ptr<ServerEnd> MakeServer(Impl impl, TransportEvents* events) {
  if (impl == Impl::kRaw) return MakeRawServer(events);
  const PelIpcCallback callbacks = Callbacks(events);
  PelIpcServerHandle server = PEL_CreateIpcServer(&callbacks);
  return server != nullptr ? std::unique_ptr<ServerEnd>(new LibraryServer(server)) : nullptr;
}

std::unique_ptr<ClientEnd> MakeClient(Impl impl, TransportEvents* events) {
  if (impl == Impl::kRaw) return MakeRawClient(events);
  const PelIpcCallback callbacks = Callbacks(events);
  PelIpcClientHandle client = PEL_CreateIpcClient(&callbacks);
  return client != nullptr ? std::unique_ptr<ClientEnd>(new LibraryClient(client)) : nullptr;
}

}  // namespace pel::pelipc
