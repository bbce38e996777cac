// Shared by the test programs: one snapshot of every white-box counter, our
// server and client with recorded callbacks, raw pipe peers for hostile or
// minimal ends, byte helpers and race helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
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

namespace pel_test {

// Everything the library keeps alive: records, contexts, messages, pipe
// handles, servers and clients.
struct Live {
  int64_t connections, iocpKeys, messages, pipeHandles, servers, clients;

  static Live Now() {
    auto& c = pel::diag::Live();
    return {c.connections.load(), c.iocpKeys.load(), c.messages.load(),
            c.pipeHandles.load(), c.servers.load(),  c.clients.load()};
  }
  bool operator==(const Live& o) const {
    return connections == o.connections && iocpKeys == o.iocpKeys && messages == o.messages &&
           pipeHandles == o.pipeHandles && servers == o.servers && clients == o.clients;
  }
  bool operator!=(const Live& o) const { return !(*this == o); }
};

inline std::ostream& operator<<(std::ostream& os, const Live& c) {
  return os << "{connections " << c.connections << ", iocpKeys " << c.iocpKeys << ", messages "
            << c.messages << ", pipeHandles " << c.pipeHandles << ", servers " << c.servers
            << ", clients " << c.clients << "}";
}

// Releases finish on worker threads shortly after the call that caused them.
inline bool BackTo(const Live& start, uint32_t timeoutMs = 5000) {
  return WaitUntil([&] { return Live::Now() == start; }, timeoutMs);
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

// A started server of ours whose host sends every received payload back.
class EchoServer {
 public:
  explicit EchoServer(const std::string& tag) : name(UniquePipeName(tag)) {
    table = events.Table();
    events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      if (size == 0 || !echo) return 0;
      return PEL_IpcServerSendData(handle, id, false, data, static_cast<int32_t>(size));
    };
    handle = PEL_CreateIpcServer(&table);
    if (handle != nullptr) started = PEL_StartIpcServer(handle, name.c_str()) == PEL_OK;
  }
  ~EchoServer() { Destroy(); }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  void Destroy() {
    if (handle != nullptr) PEL_DestroyIpcServer(handle);
    handle = nullptr;
  }

  std::string name;
  CallbackRecorder events;
  PelIpcCallback table{};
  PelIpcServerHandle handle = nullptr;
  bool started = false;
  bool echo = true;
};

// A raw client of the echo server that completed its handshake.
struct RawPeer {
  RawPipeClient pipe;
  uint32_t id = 0xFFFFFFFF;

  bool Connect(const std::string& name) {
    id = pipe.Connect(name);
    return id != 0xFFFFFFFF;
  }
  // Sends text and expects it back, framed as a business message for id.
  bool Echoes(const std::string& text) {
    if (!pipe.Write(MakeMessage(id, 2, text))) return false;
    std::vector<uint8_t> back;
    if (!pipe.Read(back, 0x10000)) return false;
    return back == MakeMessage(id, 2, text);
  }
};

// Rounds of a race test: PEL_RACE_ROUNDS when set (longer runs), else fallback.
inline uint32_t Rounds(uint32_t fallback) { return EnvNumber("PEL_RACE_ROUNDS", fallback); }

// Lets two or more threads leave a starting line together.
class Gate {
 public:
  explicit Gate(int parties) : m_waiting(parties) {}
  void Arrive() {
    m_waiting.fetch_sub(1);
    while (m_waiting.load() > 0) {
      // Spinning keeps the start within microseconds.
    }
  }

 private:
  std::atomic<int> m_waiting;
};

inline void SpinMicroseconds(uint32_t us) {
  LARGE_INTEGER frequency, now, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&end);
  end.QuadPart += frequency.QuadPart * us / 1000000;
  do {
    QueryPerformanceCounter(&now);
  } while (now.QuadPart < end.QuadPart);
}

inline size_t CountFor(const std::vector<CallbackEvent>& events, Cb kind, uint32_t id) {
  size_t n = 0;
  for (const auto& e : events) n += e.kind == kind && e.id == id;
  return n;
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
  CallbackRecorder events;
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
  std::string name = UniquePipeName("client");
  RawPipeServer pipe;
  bool ok = pipe.Create(FullPipePath(name));

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
    return pipe.Write(MakeMessage(id, kind, payload));
  }
};

// Async connect plus the server's side of the handshake; true once the
// client has told its host.
inline bool ConnectRaw(Client& client, RawServer& server, uint32_t id = 7) {
  const size_t before = client.events.Count(Cb::Connect);
  return PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()) == PEL_OK &&
         server.Accept(id) && client.events.WaitFor(Cb::Connect, before + 1);
}

inline std::vector<CallbackEvent> EventsOf(CallbackRecorder& recorder, Cb kind) {
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
inline std::vector<uint8_t> Bytes(const std::string& s) { return Text(s); }

// The log capture, emptied; the first client of the process has set up the
// log by then.
inline LogCapture* FreshLog() {
  LogCapture* log = LogCapture::Attach();
  EXPECT_NE(log, nullptr);
  log->Clear();
  return log;
}

// A started server with recorded callbacks; destroyed at the end of the test.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before = Live::Now();
    name = UniquePipeName("srv");
    table = rec.Table();
    server = PEL_CreateIpcServer(&table);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  }
  void TearDown() override {
    if (server != nullptr) PEL_DestroyIpcServer(server);
    server = nullptr;
    // A destroyed server leaves no record, context, message or pipe behind.
    EXPECT_TRUE(BackTo(before)) << Live::Now() << " instead of " << before;
  }
  void Destroy() {
    PEL_DestroyIpcServer(server);
    server = nullptr;
  }

  // Opens a raw client and completes the handshake; returns its id.
  uint32_t Connect(RawPipeClient& client) {
    if (!client.Open(name)) return 0xFFFFFFFF;
    client.SetMessageMode();
    return client.Handshake();
  }

  Live before{};
  std::string name;
  CallbackRecorder rec;
  PelIpcCallback table{};
  PelIpcServerHandle server = nullptr;
};

}  // namespace pel_test
