// Soak: one server of ours in this process, many client processes doing
// random legal and illegal things for a while. Afterwards every message a
// well-behaved client was told was accepted has arrived exactly once and in
// order on its connection, every OnConnect has its one OnClose, the
// library's counters are back where they started in every process, and the
// pipe name is gone once the server is destroyed.
//
// PEL_SOAK_SECONDS sets the length (default 40); `make soak` runs it longer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "support/fixtures.h"

using pel_test::Cb;
using pel_test::EnvNumber;
using pel_test::Live;
using pel_test::MakeMessage;
using pel_test::RawPipeClient;

namespace {

constexpr int kClientProcesses = 6;

// Payloads: "W|tag|seq|" + filler for counted messages, "S|..." for synchronous
// requests (answered "A|..."), "E|tag|seq|" for messages the server echoes.
std::string Field(const std::string& text, int index) {
  size_t from = 0;
  for (int i = 0; i < index; ++i) {
    from = text.find('|', from);
    if (from == std::string::npos) return std::string();
    ++from;
  }
  const size_t to = text.find('|', from);
  return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// ---------------------------------------------------------------------------
// The client side, one helper process each.

struct ClientRun {
  std::mt19937 random;
  std::string name;
  std::string tagBase;
  std::ofstream report;
  int failures = 0;

  pel_test::CallbackRecorder events;
  PelIpcCallback table{};
  PelIpcClientHandle handle = nullptr;
  bool connected = false;
  int connection = 0;             // index of the current connection of this process
  uint32_t sent = 0;              // counted messages accepted on it
  uint32_t echoSent = 0;          // echo requests accepted on it
  size_t closesBefore = 0;        // OnClose count when it started
  std::vector<std::string> late;  // answers of calls that timed out

  std::string Tag() const { return tagBase + "-" + std::to_string(connection); }

  void Fail(const std::string& what) {
    ++failures;
    report << "FAIL " << what << "\n";
    report.flush();
  }
  void Expect(bool ok, const std::string& what) {
    if (!ok) Fail(what);
  }

  void Create() {
    table = events.Table("pel_soak");
    handle = PEL_CreateIpcClient(&table);
    Expect(handle != nullptr, "create");
  }

  void Connect() {
    const bool async = random() % 2 == 0;
    closesBefore = events.Count(Cb::Close);
    int result = async ? PEL_AsyncConnectIpcClient(handle, name.c_str())
                       : PEL_ConnectIpcClient(handle, name.c_str());
    if (result == PEL_OK && async) {
      // After a blocking connect the client signals its connect event
      // instead of calling OnConnect, so watch the state.
      result = pel_test::WaitUntil([&] { return PEL_IsIpcClientConnected(handle); }, 5000)
                   ? PEL_OK
                   : PEL_ERR_TIMEOUT;
    }
    if (result != PEL_OK) {
      // All instances taken for a moment (12), or the server's HELLO late
      // under load (17). Never a pipe closed before its HELLO (19): a client
      // that opened an instance as the server made it is served like any.
      Expect(result == PEL_ERR_TIMEOUT || result == PEL_ERR_PIPE,
             "connect gave " + std::to_string(result));
      report << "connectfail " << result << "\n";
      PEL_DisconnectIpcClient(handle);
      return;
    }
    connected = true;
    ++connection;
    sent = 0;
    echoSent = 0;
    closesBefore = events.Count(Cb::Close);
    // Tell the server which tag this connection carries, even if it sends
    // nothing counted.
    SendCounted(1);
  }

  void SendCounted(int burst) {
    for (int i = 0; i < burst; ++i) {
      std::string payload = "W|" + Tag() + "|" + std::to_string(sent) + "|";
      payload.resize(payload.size() + random() % 2048, static_cast<char>('a' + sent % 26));
      const int result =
          PEL_IpcClientSendData(handle, reinterpret_cast<const uint8_t*>(payload.data()),
                                static_cast<int32_t>(payload.size()));
      Expect(result == PEL_OK, "send gave " + std::to_string(result));
      if (result != PEL_OK) return;
      ++sent;
    }
  }

  void SendEchoed(int burst) {
    for (int i = 0; i < burst; ++i) {
      const std::string payload = "E|" + Tag() + "|" + std::to_string(echoSent) + "|";
      if (PEL_IpcClientSendData(handle, reinterpret_cast<const uint8_t*>(payload.data()),
                                static_cast<int32_t>(payload.size())) != PEL_OK) {
        Fail("echo send");
        return;
      }
      ++echoSent;
    }
  }

  void Call() {
    std::string request = "S|" + Tag() + "|" + std::to_string(random());
    const bool tooSmall = random() % 4 == 0;
    uint8_t answer[256];
    uint32_t size = tooSmall ? 4 : sizeof answer;
    const int result =
        PEL_IpcClientSyncCall(handle, reinterpret_cast<const uint8_t*>(request.data()),
                              static_cast<uint32_t>(request.size()), answer, &size);
    if (result == PEL_ERR_TIMEOUT) {
      // A slow machine may answer after the 2,000 ms; that answer can then
      // end the next call of this process, and must be the one asked for.
      report << "calltimeout\n";
      late.push_back("A|" + request);
      return;
    }
    // Answers come in order; an earlier call's late one may end this call,
    // and then this call's own answer is the late one.
    const std::string expected = "A|" + request;
    const std::string got(answer, answer + (tooSmall ? 0 : size));
    const bool own = tooSmall ? size == expected.size() : got == expected;
    bool stale = false;
    for (auto it = late.begin(); !own && it != late.end(); ++it) {
      if (tooSmall ? size == it->size() : got == *it) {
        late.erase(late.begin(), it + 1);
        stale = true;
        break;
      }
    }
    if (stale || (tooSmall && !late.empty())) late.push_back(expected);
    if (tooSmall) {
      Expect(result == PEL_ERR_BUFFER_TOO_SMALL && (own || stale),
             "small call gave " + std::to_string(result));
    } else {
      Expect(result == PEL_OK && (own || stale), "call gave " + std::to_string(result));
    }
  }

  // Ends the connection and writes what it sent to the report.
  void Disconnect() {
    const int result = PEL_DisconnectIpcClient(handle);
    Expect(result == 0, "disconnect gave " + std::to_string(result));
    Finish();
  }

  void Finish() {
    late.clear();  // a late answer never crosses to another pipe
    connected = false;
    report << "conn " << Tag() << " " << sent << "\n";
    report.flush();
    // Disconnect's OnClose, then the release's.
    Expect(events.WaitFor(Cb::Close, closesBefore + 2, 5000), "closes after disconnect");
    // Echoes came back in order, each once (some may have been cut off).
    uint32_t next = 0;
    for (const auto& e : events.Events()) {
      if (e.kind != Cb::Recv) continue;
      const std::string text(e.payload.begin(), e.payload.end());
      if (text.rfind("E|" + Tag() + "|", 0) != 0) continue;
      Expect(Field(text, 2) == std::to_string(next), "echo out of order: " + text);
      ++next;
    }
    Expect(next <= echoSent, "more echoes than sent");
  }

  void Illegal() {
    const uint8_t byte = 1;
    uint32_t size = 8;
    uint8_t answer[8];
    switch (random() % 6) {
      case 0:
        Expect(PEL_IpcClientSendData(handle, nullptr, 4) == PEL_ERR_INVALID_ARG, "null data");
        break;
      case 1:
        Expect(PEL_IpcClientSendData(handle, &byte, 0) == PEL_ERR_INVALID_ARG, "size 0");
        break;
      case 2:
        Expect(PEL_IpcClientSyncCall(handle, &byte, 1, answer, nullptr) == PEL_ERR_INVALID_ARG,
               "null size");
        break;
      case 3:
        if (connected) {
          Expect(PEL_ConnectIpcClient(handle, name.c_str()) == PEL_ERR_STATE, "connect twice");
        } else {
          Expect(PEL_IpcClientSendData(handle, &byte, 1) == PEL_ERR_STATE, "send unconnected");
        }
        break;
      case 4:
        Expect(PEL_IpcClientSyncCall(handle, nullptr, 1, answer, &size) == PEL_ERR_INVALID_ARG,
               "null request");
        break;
      case 5:
        if (!connected) {
          const std::string missing = name + "_nobody";
          Expect(PEL_ConnectIpcClient(handle, missing.c_str()) == PEL_ERR_PIPE, "missing pipe");
        }
        break;
    }
  }

  // A raw peer of this process misbehaves against the server.
  void Hostile() {
    RawPipeClient raw;
    if (!raw.Open(name, 1000)) return;
    raw.SetMessageMode();
    const uint32_t id = raw.ReadHello(2000);
    switch (random() % 6) {
      case 0:  // short
        raw.Write(std::vector<uint8_t>(1 + random() % 31, 0x11), 1000);
        break;
      case 1:  // wrong magic after the handshake
        raw.Write(MakeMessage(id, 0, std::vector<uint8_t>()), 1000);
        raw.Write(MakeMessage(id, 2, std::vector<uint8_t>(16, 1), 0x12345678), 1000);
        break;
      case 2:  // business before HELLO
        raw.Write(MakeMessage(id, 2, "early"), 1000);
        break;
      case 3: {  // garbage
        std::vector<uint8_t> junk(1 + random() % 4096);
        for (auto& b : junk) b = static_cast<uint8_t>(random());
        raw.Write(junk, 1000);
        break;
      }
      case 4:  // HELLO, one message, gone
        raw.Write(MakeMessage(id, 0, std::vector<uint8_t>()), 1000);
        raw.Write(MakeMessage(id, 2, "X|raw"), 1000);
        break;
      case 5:  // never speaks
        break;
    }
    raw.Close();
  }

  void Recreate() {
    if (connected) {
      // Destroy disconnects first: the same two OnClose calls.
      PEL_DestroyIpcClient(handle);
      handle = nullptr;
      Finish();
    } else {
      PEL_DestroyIpcClient(handle);
    }
    Create();
  }
};

PEL_TEST_HELPER(soak_client) {
  // args: pipe name, tag, seconds, seed, report path
  if (args.size() != 5) return 2;
  const Live start = Live::Now();
  ClientRun run;
  run.name = args[0];
  run.tagBase = args[1];
  run.random.seed(static_cast<uint32_t>(std::strtoul(args[3].c_str(), nullptr, 10)));
  run.report.open(args[4]);
  if (!run.report) return 3;
  const ULONGLONG end = GetTickCount64() + 1000ull * std::strtoul(args[2].c_str(), nullptr, 10);
  run.Create();
  if (run.handle == nullptr) return 4;
  uint64_t actions = 0;
  while (GetTickCount64() < end && run.failures < 20) {
    ++actions;
    const uint32_t pick = run.random() % 100;
    if (!run.connected) {
      if (pick < 60) {
        run.Connect();
      } else if (pick < 75) {
        run.Illegal();
      } else if (pick < 90) {
        run.Hostile();
      } else {
        run.Recreate();
      }
      continue;
    }
    if (pick < 40) {
      run.SendCounted(1 + static_cast<int>(run.random() % 50));
    } else if (pick < 55) {
      run.SendEchoed(1 + static_cast<int>(run.random() % 10));
    } else if (pick < 70) {
      run.Call();
    } else if (pick < 80) {
      run.Illegal();
    } else if (pick < 85) {
      run.Hostile();
    } else if (pick < 95) {
      run.Disconnect();
    } else {
      run.Recreate();
    }
  }
  if (run.connected) run.Disconnect();
  PEL_DestroyIpcClient(run.handle);
  run.Expect(pel_test::BackTo(start), "counters not back");
  run.report << "actions " << actions << "\n";
  run.report << "done " << run.failures << "\n";
  return run.failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The server side, in the test process.

// Counts the server process's warnings and errors by their text with the
// numbers taken out, so a long run can say what went wrong how often
// without keeping millions of records.
class ProblemCounter : public pellog::IAppender {
 public:
  static ProblemCounter* Attach() {
    pellog::Logger* logger = pellog::Logger::Get();
    if (logger == nullptr) return nullptr;
    static ProblemCounter* counter = new ProblemCounter();  // the logger keeps it
    logger->addAppender(counter);
    return counter;
  }
  void write(const pellog::Record& record) override {
    if (record.severity() > pellog::Severity::warning) return;
    std::string text;
    for (wchar_t c : record.message()) {
      if (c != L'\n') text += static_cast<char>(c < 128 ? c : '?');
    }
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_counts[record.function() + ": " + WithoutNumbers(text)];
  }
  std::map<std::string, uint64_t> Counts() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counts;
  }

 private:
  // Decimal numbers and hexadecimal addresses become '#'.
  static std::string WithoutNumbers(const std::string& text) {
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    std::string out;
    for (size_t i = 0; i < text.size();) {
      size_t end = i;
      bool digit = false;
      while (end < text.size() && hex(text[end])) digit |= text[end++] <= '9';
      if (end > i && (digit || end - i >= 8)) {
        out += '#';
        i = end;
      } else {
        out += text[i++];
      }
    }
    return out;
  }

  std::mutex m_lock;
  std::map<std::string, uint64_t> m_counts;
};

struct Received {
  std::string tag;
  uint32_t count = 0;
  bool broken = false;  // a counted message out of order or repeated
  std::string firstProblem;
};

class SoakServer {
 public:
  explicit SoakServer(const std::string& name) : m_name(name) {
    m_table = m_events.Table("pel_soak");
    m_events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) {
      return OnRecv(id, data, size);
    };
    m_handle = PEL_CreateIpcServer(&m_table);
  }
  bool Start() { return m_handle != nullptr && PEL_StartIpcServer(m_handle, m_name.c_str()) == 0; }
  void Destroy() {
    if (m_handle != nullptr) PEL_DestroyIpcServer(m_handle);
    m_handle = nullptr;
  }
  pel_test::CallbackRecorder& events() { return m_events; }
  std::map<std::string, Received> ByTag() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::map<std::string, Received> out;
    for (const auto& entry : m_connections) {
      if (entry.second.tag.empty()) continue;
      if (out.count(entry.second.tag) != 0) {
        out[entry.second.tag].broken = true;
        out[entry.second.tag].firstProblem = "tag on two connections";
        continue;
      }
      out[entry.second.tag] = entry.second;
    }
    return out;
  }
  uint64_t counted() const { return m_counted.load(); }

 private:
  int32_t OnRecv(uint32_t id, const uint8_t* data, uint32_t size) {
    if (size < 2 || data[1] != '|') return 0;
    const std::string text(reinterpret_cast<const char*>(data), size > 256 ? 256 : size);
    switch (data[0]) {
      case 'W': {
        const std::string tag = Field(text, 1);
        const uint32_t seq =
            static_cast<uint32_t>(std::strtoul(Field(text, 2).c_str(), nullptr, 10));
        std::lock_guard<std::mutex> guard(m_lock);
        Received& r = m_connections[id];
        if (r.tag.empty()) r.tag = tag;
        if (r.tag != tag || seq != r.count) {
          if (!r.broken)
            r.firstProblem = "expected " + std::to_string(r.count) + " got " + text.substr(0, 40);
          r.broken = true;
        }
        ++r.count;
        ++m_counted;
        return 0;
      }
      case 'S': {
        const std::string answer = "A|" + std::string(reinterpret_cast<const char*>(data), size);
        return PEL_IpcServerSendData(m_handle, id, true,
                                     reinterpret_cast<const uint8_t*>(answer.data()),
                                     static_cast<int32_t>(answer.size()));
      }
      case 'E':
        return PEL_IpcServerSendData(m_handle, id, false, data, static_cast<int32_t>(size));
      default:
        return 0;
    }
  }

  std::string m_name;
  pel_test::CallbackRecorder m_events;
  PelIpcCallback m_table{};
  PelIpcServerHandle m_handle = nullptr;
  std::mutex m_lock;
  std::map<uint32_t, Received> m_connections;
  std::atomic<uint64_t> m_counted{0};
};

TEST(Soak, ManyClientProcessesDoingRandomThings) {
  const uint32_t seconds = EnvNumber("PEL_SOAK_SECONDS", 40);
  const uint32_t seed = EnvNumber("PEL_SOAK_SEED", GetTickCount() & 0xFFFF);
  std::printf("soak: %u s, %d client processes, seed %u\n", seconds, kClientProcesses, seed);
  const Live start = Live::Now();
  const std::string name = pel_test::UniquePipeName("soak");
  SoakServer server(name);
  ProblemCounter* problems = ProblemCounter::Attach();
  ASSERT_TRUE(server.Start());

  std::vector<std::unique_ptr<pel_test::HelperProcess>> clients;
  std::vector<std::string> reports;
  for (int i = 0; i < kClientProcesses; ++i) {
    reports.push_back(pel_test::ExeDir() + name + "_" + std::to_string(i) + ".txt");
    clients.emplace_back(new pel_test::HelperProcess(
        "soak_client", {name, "c" + std::to_string(i), std::to_string(seconds),
                        std::to_string(seed * 100 + i), reports.back()}));
    ASSERT_TRUE(clients.back()->started());
  }
  for (int i = 0; i < kClientProcesses; ++i) {
    EXPECT_EQ(clients[i]->Wait(seconds * 1000 + 60000), 0) << "client process " << i;
  }

  // What the clients say they sent, per connection tag.
  std::map<std::string, uint32_t> claimed;
  uint64_t actions = 0;
  std::map<int, int> connectFailures;
  int callTimeouts = 0;
  for (const std::string& path : reports) {
    std::ifstream in(path);
    std::string line;
    bool done = false;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      fields >> kind;
      if (kind == "conn") {
        std::string tag;
        uint32_t count = 0;
        fields >> tag >> count;
        claimed[tag] = count;
      } else if (kind == "actions") {
        uint64_t n = 0;
        fields >> n;
        actions += n;
      } else if (kind == "connectfail") {
        int code = 0;
        fields >> code;
        ++connectFailures[code];
      } else if (kind == "calltimeout") {
        ++callTimeouts;
      } else if (kind == "done") {
        done = true;
      } else if (kind == "FAIL") {
        ADD_FAILURE() << path << ": " << line;
      }
    }
    EXPECT_TRUE(done) << path << " has no end";
    in.close();
    DeleteFileA(path.c_str());
  }

  // Every connection ended; wait for the server to hear of the last ones.
  pel_test::CallbackRecorder& events = server.events();
  EXPECT_TRUE(pel_test::WaitUntil(
      [&] { return events.Count(Cb::Close) >= events.Count(Cb::Connect); }, 10000));
  const auto received = server.ByTag();
  uint64_t messages = 0;
  for (const auto& entry : claimed) {
    auto it = received.find(entry.first);
    const uint32_t got = it == received.end() ? 0 : it->second.count;
    EXPECT_EQ(got, entry.second) << entry.first;
    if (it != received.end()) {
      EXPECT_FALSE(it->second.broken) << entry.first << ": " << it->second.firstProblem;
    }
    messages += entry.second;
  }
  for (const auto& entry : received) {
    EXPECT_EQ(claimed.count(entry.first), 1u) << entry.first << " arrived but was never claimed";
  }

  const auto all = events.Events();
  size_t connects = 0, unannounced = 0;
  std::map<uint32_t, int> opened, closed;
  for (const auto& e : all) {
    if (e.kind == Cb::Connect) ++opened[e.id];
    if (e.kind == Cb::Close) ++closed[e.id];
  }
  for (const auto& o : opened) {
    ++connects;
    EXPECT_EQ(o.second, 1) << "OnConnect twice for " << o.first;
    EXPECT_EQ(closed[o.first], 1) << "OnClose for " << o.first;
  }
  for (const auto& c : closed) {
    EXPECT_EQ(c.second, 1) << "OnClose twice for " << c.first;
    unannounced += opened.count(c.first) == 0;
  }

  // At rest every context left is a listening instance's connect request.
  pel_test::WaitUntil([&] { return Live::Now().messages == start.messages; }, 2000);
  const int64_t listening = Live::Now().iocpKeys - start.iocpKeys;
  std::string failures;
  for (const auto& f : connectFailures) {
    failures += " " + std::to_string(f.second) + " x " + std::to_string(f.first) + ";";
  }
  std::printf("soak: failed connects:%s calls timed out: %d; listening instances left: %lld\n",
              failures.empty() ? " none;" : failures.c_str(), callTimeouts,
              static_cast<long long>(listening));
  // However much the clients came and went, the server still takes a new one.
  pel_test::RawPeer last;
  EXPECT_TRUE(last.Connect(name));
  EXPECT_TRUE(pel_test::WaitUntil(
      [&] { return events.Count(Cb::Close) >= events.Count(Cb::Connect); }, 5000));
  server.Destroy();
  if (problems != nullptr) {
    for (const auto& p : problems->Counts()) {
      std::printf("soak: server logged %llu x %s\n", static_cast<unsigned long long>(p.second),
                  p.first.c_str());
    }
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
  RawPipeClient late;
  EXPECT_FALSE(late.Open(name, 0));
  EXPECT_EQ(late.lastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::printf(
      "soak: %llu client actions, %zu connections announced, %zu more ended unannounced, "
      "%llu counted messages claimed and received exactly once in order (%llu seen)\n",
      static_cast<unsigned long long>(actions), connects, unannounced,
      static_cast<unsigned long long>(messages), static_cast<unsigned long long>(server.counted()));
}

}  // namespace
