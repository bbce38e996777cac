// Shared by the client test executables: a client with a recording callback
// table, a raw pipe server to talk to, and the white-box counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/pel_named_pipe_client.h"
#include "pel_ipc.h"
#include "platform/diag.h"
#include "support/callback_recorder.h"
#include "support/helpers.h"
#include "support/log_capture.h"
#include "support/raw_pipe.h"

namespace client_test {

using pel_test::CallbackEvent;
using pel_test::Cb;

struct Counters {
  int64_t connections, messages, pipeHandles, clients;
  bool operator==(const Counters& o) const {
    return connections == o.connections && messages == o.messages && pipeHandles == o.pipeHandles &&
           clients == o.clients;
  }
};

inline Counters Live() {
  auto& c = pel::diag::Live();
  return {c.connections.load(), c.messages.load(), c.pipeHandles.load(), c.clients.load()};
}

// Releases finish on the work thread shortly after the call that caused them.
inline bool CountersReturnTo(const Counters& start, uint32_t timeoutMs = 5000) {
  return pel_test::WaitUntil([&] { return Live() == start; }, timeoutMs);
}

// A helper thread that is joined however the test leaves its scope (a failed
// ASSERT must not leave a joinable thread behind); stop, when given, is set
// first so a looping thread can end.
class ScopedThread {
 public:
  template <class F>
  explicit ScopedThread(F body, std::atomic<bool>* stop = nullptr)
      : m_stop(stop), m_thread(std::move(body)) {}
  ~ScopedThread() { join(); }
  void join() {
    if (m_stop != nullptr) *m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::atomic<bool>* m_stop;
  std::thread m_thread;
};

// A client whose callbacks land in `events`; destroyed before the recorder.
struct Client {
  pel_test::CallbackRecorder events;
  PelIpcClientHandle handle = nullptr;

  Client() {
    PelIpcCallback table = events.Table("pel_test");
    handle = PEL_CreateIpcClient(&table);
  }
  ~Client() { Destroy(); }
  void Destroy() {
    if (handle != nullptr) PEL_DestroyIpcClient(handle);
    handle = nullptr;
  }
  PelNamedPipeClient* impl() const {
    return static_cast<PelNamedPipeClient*>(reinterpret_cast<PelIpcClient*>(handle));
  }
  int Send(const std::vector<uint8_t>& bytes) {
    return PEL_IpcClientSendData(handle, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
};

// One listening instance of a raw server under a fresh name.
struct RawServer {
  std::string name = pel_test::UniquePipeName("client");
  pel_test::RawPipeServer pipe;
  bool ok = pipe.Create(pel_test::FullPipePath(name));

  // Takes the client, sends HELLO with id and reads the client's answer.
  bool Accept(uint32_t id) { return pipe.Accept() && pipe.Handshake(id); }

  // Reads one whole message (the server end reads in message mode). Small
  // messages want a small max: the read buffer is zero-filled on each call.
  bool ReadMessage(uint32_t& kind, std::vector<uint8_t>& payload, uint32_t timeoutMs = 5000,
                   uint32_t max = 0x500000) {
    std::vector<uint8_t> m;
    if (!pipe.Read(m, max, timeoutMs) || m.size() < 32) return false;
    uint32_t length;
    std::memcpy(&kind, &m[8], 4);
    std::memcpy(&length, &m[12], 4);
    if (length != m.size() - 32) return false;
    payload.assign(m.begin() + 32, m.end());
    return true;
  }
  bool Send(uint32_t kind, const std::vector<uint8_t>& payload, uint32_t id = 7) {
    return pipe.Write(pel_test::MakeMessage(id, kind, payload));
  }
};

// Async connect plus the server's side of the handshake; true once the
// client has told its host.
inline bool ConnectRaw(Client& client, RawServer& server, uint32_t id = 7) {
  const size_t before = client.events.Count(Cb::Connect);
  return PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()) == PEL_OK &&
         server.Accept(id) && client.events.WaitFor(Cb::Connect, before + 1);
}

inline std::vector<CallbackEvent> EventsOf(pel_test::CallbackRecorder& recorder, Cb kind) {
  std::vector<CallbackEvent> out;
  for (const auto& e : recorder.Events())
    if (e.kind == kind) out.push_back(e);
  return out;
}

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return bytes;
}

inline std::vector<uint8_t> Text(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// The log capture, emptied; the first client of the process has set up the
// log by then.
inline pel_test::LogCapture* FreshLog() {
  pel_test::LogCapture* log = pel_test::LogCapture::Attach();
  EXPECT_NE(log, nullptr);
  log->Clear();
  return log;
}

}  // namespace client_test
