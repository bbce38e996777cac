// The two ends the tool drives, with one implementation over the library's exports and one over raw
// Win32 named pipes, so each benchmark scenario is written once and runs unchanged on both. The
// demo and serve/send/call use the library ends only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pel::pelipc {

enum class Impl { kLibrary, kRaw };

inline const char* ImplName(Impl impl) { return impl == Impl::kLibrary ? "library" : "raw pipe"; }

// Called on the implementation's own threads, like the library's callbacks.
class TransportEvents {
 public:
  virtual ~TransportEvents() = default;
  virtual void OnConnect(uint32_t /*conn*/) {}
  virtual void OnSend(uint32_t /*conn*/) {}
  virtual void OnRecv(uint32_t /*conn*/, const uint8_t* /*data*/, uint32_t /*size*/) {}
  virtual void OnClose(uint32_t /*conn*/, int32_t /*code*/) {}
};

class ServerEnd {
 public:
  virtual ~ServerEnd() = default;
  // 0 or a library result code.
  virtual int32_t Start(const std::string& name) = 0;
  // answer: the message is the answer to a synchronous call.
  virtual int32_t Send(uint32_t conn, bool answer, const uint8_t* data, uint32_t size) = 0;
  virtual void Stop() = 0;
};

class ClientEnd {
 public:
  virtual ~ClientEnd() = default;
  // Blocking connect: returns once the handshake is complete.
  virtual int32_t Connect(const std::string& name) = 0;
  virtual void Disconnect() = 0;
  virtual int32_t Send(const uint8_t* data, uint32_t size) = 0;
  // answerSize: capacity in, answer length out.
  virtual int32_t Call(const uint8_t* request, uint32_t size, uint8_t* answer,
                       uint32_t* answerSize) = 0;
};

// Null when the end could not be created.
std::unique_ptr<ServerEnd> MakeServer(Impl impl, TransportEvents* events);
std::unique_ptr<ClientEnd> MakeClient(Impl impl, TransportEvents* events);

// The LogName the library ends of this process are created with (kLogName
// unless set); the first one created fixes the process's log file prefix.
constexpr const char* kLogName = "pelipc";
void SetLibraryLogName(const std::string& name);

}  // namespace pel::pelipc
