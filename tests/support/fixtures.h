// Shared by the test programs: helper processes, one snapshot of every white-box counter, recorded
// callbacks and log records, our server and client, raw pipe peers for hostile or minimal ends,
// byte, file and thread helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/pel_named_pipe_client.h"
#include "common/event.h"
#include "common/process.h"
#include "common/raw_pipe.h"
#include "log/log.h"
#include "pel_ipc.h"
#include "platform/diag.h"
#include "platform/pipe_name.h"

namespace pel::test {

// Processes, events, unique names and raw pipe peers are the tools' own.
using namespace pel::tools;
using Signal = Event;

// A test program started with "--helper NAME args..." runs the helper registered under NAME instead
// of its tests, so one binary can play server in one process and client in another.
using HelperFn = int (*)(const std::vector<std::string>& args);
struct HelperRegistration {
  HelperRegistration(const char* name, HelperFn fn);
};
#define PEL_TEST_HELPER(name)                                                           \
  static int PelHelper_##name(const std::vector<std::string>& args);                    \
  static ::pel::test::HelperRegistration PelHelperReg_##name(#name, &PelHelper_##name); \
  static int PelHelper_##name(const std::vector<std::string>& args)

inline std::vector<std::string> HelperArgs(const std::string& helper,
                                           std::vector<std::string> args) {
  args.insert(args.begin(), {"--helper", helper});
  return args;
}
struct HelperProcess : pel::tools::Process {
  HelperProcess(const std::string& helper, const std::vector<std::string>& args)
      : Process(ExePath(), HelperArgs(helper, args)) {}
};
// Another program of the build with its standard input and output on pipes.
struct RedirectedProcess : pel::tools::Process {
  RedirectedProcess(const std::string& exe, const std::vector<std::string>& args)
      : Process(exe, args, pel::tools::Stdio::kCapture) {}
};

// A pipe name no other test process uses (the library's FullPipeName makes it a path).
inline std::string UniquePipeName(const std::string& tag) {
  return pel::tools::UniqueName("pel_test_" + tag);
}

// Polls pred every millisecond or so until it holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs);
// A server's worker threads, and so its listening instances: processors + 2.
int32_t ServerWorkerCount();
// A whole number from the environment, else fallback (longer runs set them).
uint32_t EnvNumber(const char* name, uint32_t fallback);

// A fresh folder under the current one, removed with all it holds at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

 private:
  std::string m_path;
};
std::string ReadFileBytes(const std::string& path);  // empty when it can't be read
bool WriteFileBytes(const std::string& path, const std::string& bytes);

enum class Cb { Connect, Send, Recv, Close };
struct CallbackEvent {
  Cb kind;
  uint32_t id;
  int32_t code;                  // OnClose only
  std::vector<uint8_t> payload;  // OnRecv only
  uint32_t threadId;
};

inline size_t CountFor(const std::vector<CallbackEvent>& events, Cb kind, uint32_t id) {
  size_t n = 0;
  for (const auto& e : events) n += e.kind == kind && e.id == id;
  return n;
}

// The callbacks in the order they arrive, with the thread each ran on. A hook
// runs after its callback was recorded; its result is the callback's.
class CallbackRecorder {
 public:
  static constexpr uint32_t kAnyId = 0xFFFFFFFF;
  PelIpcCallback Table(const std::string& logName = "pel_test");
  std::vector<CallbackEvent> Events() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
  }
  size_t Count(Cb kind, uint32_t id = kAnyId) {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::count_if(m_events.begin(), m_events.end(),
                         [&](auto& e) { return e.kind == kind && (id == kAnyId || e.id == id); });
  }
  bool WaitFor(Cb kind, size_t n, uint32_t timeoutMs = 5000, uint32_t id = kAnyId) {
    return WaitUntil([&] { return Count(kind, id) >= n; }, timeoutMs);
  }
  std::vector<std::vector<uint8_t>> Payloads(uint32_t id);  // received on id, in order

  std::function<int32_t(uint32_t id)> onConnect, onSend;
  std::function<int32_t(uint32_t id, const uint8_t* data, uint32_t size)> onRecv;
  std::function<int32_t(uint32_t id, int32_t code)> onClose;

 private:
  CallbackRecorder& Record(Cb kind, uint32_t id, int32_t code = 0, const uint8_t* data = nullptr,
                           uint32_t size = 0);
  std::mutex m_lock;
  std::vector<CallbackEvent> m_events;
};

inline std::vector<CallbackEvent> EventsOf(CallbackRecorder& recorder, Cb kind) {
  std::vector<CallbackEvent> out;
  for (const auto& e : recorder.Events())
    if (e.kind == kind) out.push_back(e);
  return out;
}

struct CapturedRecord {
  pel::log::Severity severity;
  std::string function;  // qualified name, e.g. "PelNamedPipeServer::Start"
  std::string message;   // UTF-8
  unsigned threadId;
  // function empty: any.
  bool Is(const std::string& fn, const std::string& text) const {
    return (fn.empty() || function == fn) && message.find(text) != std::string::npos;
  }
};

// The library's records in memory, for the whole process: the logger keeps pointers to its
// appenders. Attach returns null while there is no logger (the first server or client makes it).
class LogCapture : public pel::log::IAppender {
 public:
  static LogCapture* Attach();
  void write(const pel::log::Record& record) override;
  std::vector<CapturedRecord> Records() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.clear();
  }
  size_t Count(const std::string& function, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::count_if(m_records.begin(), m_records.end(),
                         [&](auto& r) { return r.Is(function, text); });
  }
  bool Contains(const std::string& function, const std::string& text) {
    return Count(function, text) > 0;
  }
  // True once such a record came, within 5 s.
  bool Awaits(const std::string& text, const std::string& function = "") {
    return WaitUntil([&] { return Contains(function, text); }, 5000);
  }

 private:
  std::mutex m_lock;
  std::vector<CapturedRecord> m_records;
};

// The capture, emptied.
inline LogCapture* FreshLog() {
  LogCapture* log = LogCapture::Attach();
  EXPECT_NE(log, nullptr);
  log->Clear();
  return log;
}

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
};

inline std::ostream& operator<<(std::ostream& os, const Live& c) {
  return os << "{connections " << c.connections << ", iocpKeys " << c.iocpKeys << ", messages "
            << c.messages << ", pipeHandles " << c.pipeHandles << ", servers " << c.servers
            << ", clients " << c.clients << "}";
}

// Releases finish on worker threads shortly after the call that caused them.
inline ::testing::AssertionResult BackTo(const Live& start, uint32_t timeoutMs = 5000) {
  if (WaitUntil([&] { return Live::Now() == start; }, timeoutMs))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Live::Now() << " instead of " << start;
}

// A started server of ours whose host sends every received payload back.
struct EchoServer {
  explicit EchoServer(const std::string& tag) : name(UniquePipeName(tag)) {
    const PelIpcCallback table = events.Table();  // the server keeps its own copy
    events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      if (size == 0 || !echo) return 0;
      return PEL_IpcServerSendData(handle, id, false, data, static_cast<int32_t>(size));
    };
    handle = PEL_CreateIpcServer(&table);
    started = handle != nullptr && PEL_StartIpcServer(handle, name.c_str()) == PEL_OK;
  }
  ~EchoServer() { Destroy(); }
  void Destroy() {
    if (handle != nullptr) PEL_DestroyIpcServer(handle);
    handle = nullptr;
  }

  std::string name;
  CallbackRecorder events;
  PelIpcServerHandle handle = nullptr;
  bool started = false, echo = true;
};

// A raw client of the echo server that completed its handshake.
struct RawPeer {
  RawPipeClient pipe;
  uint32_t id = PEL_IPC_NO_CONN_ID;

  bool Connect(const std::string& name) { return (id = pipe.Connect(name)) != PEL_IPC_NO_CONN_ID; }
  // Sends text and expects it back, framed as a business message for id.
  bool Echoes(const std::string& text) {
    std::vector<uint8_t> back;
    return pipe.Write(MakeMessage(id, kRawBusiness, text)) && pipe.Read(back, 0x10000) &&
           back == MakeMessage(id, kRawBusiness, text);
  }
};

// A client of ours whose callbacks land in `events`; destroyed before them.
struct Client {
  CallbackRecorder events;
  PelIpcClientHandle handle = nullptr;

  Client() {
    PelIpcCallback table = events.Table();
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
  pel::tools::RawPipeServer pipe;
  bool ok = pipe.Create(name);

  // Takes the client, sends HELLO with id and reads the client's answer.
  bool Accept(uint32_t id) { return pipe.Accept() && pipe.Handshake(id); }
  // Reads one whole message. Small messages want a small max: the read
  // buffer is zero-filled on each call.
  bool ReadMessage(uint32_t& kind, std::vector<uint8_t>& payload, uint32_t timeoutMs = 5000,
                   uint32_t max = kRawMaxRead) {
    std::vector<uint8_t> m;
    if (!pipe.Read(m, max, timeoutMs) || m.size() < kRawHeader) return false;
    uint32_t length;
    std::memcpy(&kind, &m[8], 4);
    std::memcpy(&length, &m[12], 4);
    payload.assign(m.begin() + kRawHeader, m.end());
    return length == payload.size();
  }
  bool Send(uint32_t kind, const std::vector<uint8_t>& payload, uint32_t id = 7) {
    return pipe.Write(MakeMessage(id, kind, payload));
  }
};

// Async connect plus the server's side of the handshake; true once the client has told its host.
inline bool ConnectRaw(Client& client, RawServer& server, uint32_t id = 7) {
  const size_t before = client.events.Count(Cb::Connect);
  return PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()) == PEL_OK &&
         server.Accept(id) && client.events.WaitFor(Cb::Connect, before + 1);
}

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return bytes;
}
inline std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }
using Bytes = std::vector<uint8_t>;
// The byte strings one after another.
template <typename... More>
Bytes Cat(Bytes first, const More&... more) {
  (first.insert(first.end(), more.begin(), more.end()), ...);
  return first;
}

// A thread joined however the test leaves its scope: a failed ASSERT must not
// leave a joinable thread behind.
struct ScopedThread : std::thread {
  using std::thread::thread;
  ~ScopedThread() { join(); }
  void join() {
    if (joinable()) std::thread::join();
  }
};

}  // namespace pel::test
