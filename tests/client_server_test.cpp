// Our client against our server: every road from connect to disconnect,
// in one process and across two.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::Client;
using pel_test::Pattern;
using pel_test::Text;

namespace {

// A started server whose host echoes business messages and answers any
// request starting with '?' synchronously, with the request plus "!".
struct Server {
  std::string name = pel_test::UniquePipeName("road");
  pel_test::CallbackRecorder events;
  PelIpcServerHandle handle = nullptr;
  std::atomic<bool> echo{false};
  uint32_t answerSize = 0;  // when set, sync answers are this long instead

  Server() {
    events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) {
      if (size > 0 && data[0] == '?') {
        std::vector<uint8_t> answer(data, data + size);
        answer.push_back('!');
        if (answerSize != 0) answer = Pattern(answerSize, 1);
        return PEL_IpcServerSendData(handle, id, true, answer.data(),
                                     static_cast<int32_t>(answer.size()));
      }
      return echo ? PEL_IpcServerSendData(handle, id, false, data, static_cast<int32_t>(size)) : 0;
    };
    PelIpcCallback table = events.Table();
    handle = PEL_CreateIpcServer(&table);
    if (handle != nullptr && PEL_StartIpcServer(handle, name.c_str()) != PEL_OK) Destroy();
  }
  ~Server() { Destroy(); }
  void Destroy() {
    if (handle != nullptr) PEL_DestroyIpcServer(handle);
    handle = nullptr;
  }
};

std::vector<uint8_t> Joined(const std::vector<std::vector<uint8_t>>& pieces) {
  std::vector<uint8_t> all;
  for (const auto& p : pieces) all.insert(all.end(), p.begin(), p.end());
  return all;
}

int SyncCall(Client& client, const std::string& request, std::vector<uint8_t>& answer,
             uint32_t capacity) {
  answer.assign(capacity, 0);
  uint32_t size = capacity;
  const int result =
      PEL_IpcClientSyncCall(client.handle, reinterpret_cast<const uint8_t*>(request.data()),
                            static_cast<uint32_t>(request.size()), answer.data(), &size);
  answer.resize(result == PEL_OK ? size : 0);
  if (result == PEL_ERR_BUFFER_TOO_SMALL) answer.assign(size, 0);
  return result;
}

}  // namespace

TEST(ClientServer, TheWholeRoadFromConnectToDisconnect) {
  const auto start = pel_test::Live::Now();
  {
    Server server;
    ASSERT_NE(server.handle, nullptr);
    Client client;

    // Handshake: the client hears first, the server after the client's HELLO.
    ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
    EXPECT_EQ(pel_test::EventsOf(client.events, Cb::Connect)[0].id, 0u);
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, 1));
    EXPECT_EQ(server.events.Count(Cb::Connect, 0), 1u);

    // Client to server, cut into messages the server hands on one by one.
    std::vector<uint8_t> all;
    for (size_t size : {716800, 716801, 1000000}) {
      const std::vector<uint8_t> data = Pattern(size, static_cast<uint8_t>(size));
      ASSERT_EQ(client.Send(data), PEL_OK);
      all.insert(all.end(), data.begin(), data.end());
    }
    ASSERT_TRUE(server.events.WaitFor(Cb::Recv, 5, 10000));
    const auto pieces = server.events.Payloads(0);
    std::vector<size_t> sizes;
    for (const auto& p : pieces) sizes.push_back(p.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{716800, 716800, 1, 716800, 283200}));
    EXPECT_EQ(Joined(pieces), all);

    // Server to client: the largest payload, then small ones right behind.
    const std::vector<uint8_t> big = Pattern(5242880, 9);
    ASSERT_EQ(PEL_IpcServerSendData(server.handle, 0, false, big.data(), 5242880), PEL_OK);
    for (int i = 0; i < 3; ++i) {
      const std::vector<uint8_t> small = Text("small " + std::to_string(i));
      ASSERT_EQ(PEL_IpcServerSendData(server.handle, 0, false, small.data(),
                                      static_cast<int32_t>(small.size())),
                PEL_OK);
    }
    ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 4, 10000));
    const auto got = client.events.Payloads(0);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], big);
    EXPECT_EQ(got[3], Text("small 2"));

    // A synchronous call: the answer comes back as kind 1, not via OnRecv.
    std::vector<uint8_t> answer;
    ASSERT_EQ(SyncCall(client, "?what", answer, 64), PEL_OK);
    EXPECT_EQ(answer, Text("?what!"));
    server.answerSize = 100;
    EXPECT_EQ(SyncCall(client, "?big", answer, 64), PEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.size(), 100u);
    EXPECT_EQ(client.events.Count(Cb::Recv), 4u);

    // The end, seen from both sides.
    EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), 0);
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, 1));
    const auto serverClose = pel_test::EventsOf(server.events, Cb::Close)[0];
    EXPECT_EQ(serverClose.id, 0u);
    EXPECT_EQ(serverClose.code, 18);
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, 2));

    // A new connection gets the next id.
    ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, 2));
    EXPECT_EQ(server.events.Count(Cb::Connect, 1), 1u);
  }
  EXPECT_TRUE(pel_test::BackTo(start));
}

TEST(ClientServer, ConcurrentSendersReachTheServerOnceEachInOrder) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  Server server;
  Client client;
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (uint32_t seq = 0; seq < kPerThread; ++seq) {
        std::vector<uint8_t> m(8);
        m[0] = static_cast<uint8_t>(t);
        std::memcpy(&m[4], &seq, 4);
        if (client.Send(m) != PEL_OK) ++failures;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(server.events.WaitFor(Cb::Recv, kThreads * kPerThread, 30000))
      << server.events.Count(Cb::Recv) << " received, " << client.events.Count(Cb::Send)
      << " sent, " << pel_test::Live::Now().messages << " messages live";
  std::vector<std::vector<uint32_t>> seen(kThreads);
  for (const auto& p : server.events.Payloads(0)) {
    ASSERT_EQ(p.size(), 8u);
    uint32_t seq;
    std::memcpy(&seq, &p[4], 4);
    seen[p[0]].push_back(seq);
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread)) << t;
    for (uint32_t i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << t;
  }
  EXPECT_TRUE(client.events.WaitFor(Cb::Send, 1 + kThreads * kPerThread, 10000));
}

TEST(ClientServer, ConcurrentSyncCallsEachGetTheirOwnAnswer) {
  Server server;
  Client client;
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  std::atomic<int> good{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const std::string request = "?" + std::to_string(t) + ":" + std::to_string(i);
        std::vector<uint8_t> answer;
        if (SyncCall(client, request, answer, 64) == PEL_OK && answer == Text(request + "!"))
          ++good;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(good.load(), 100);
}

TEST(ClientServer, ServerClosingTheConnectionEndsItOnceAndTheClientReconnects) {
  Server server;
  Client client;
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  pel_test::LogCapture* log = pel_test::LogCapture::Attach();
  ASSERT_NE(log, nullptr);
  log->Clear();
  ASSERT_EQ(PEL_IpcServerCloseConnection(server.handle, 0), PEL_OK);
  ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
  EXPECT_TRUE(pel_test::WaitUntil([&] { return !PEL_IsIpcClientConnected(client.handle); }, 5000));
  // Broken while the read was pending, or just before the read after the
  // HELLO was posted: the same end, and the same record, either way.
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::WorkThread", "Pipe broken!"));
  ASSERT_TRUE(server.events.WaitFor(Cb::Close, 1));
  EXPECT_EQ(client.events.Count(Cb::Close), 1u);

  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  ASSERT_TRUE(pel_test::WaitUntil([&] { return PEL_IsIpcClientConnected(client.handle); }, 5000));
  ASSERT_EQ(client.Send(Text("back")), PEL_OK);
  ASSERT_TRUE(server.events.WaitFor(Cb::Recv, 1));
  EXPECT_EQ(server.events.Payloads(1), (std::vector<std::vector<uint8_t>>{Text("back")}));
}

TEST(ClientServer, ServerDestroyedUnderAConnectedClient) {
  Client client;
  {
    Server server;
    ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    server.Destroy();
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
  }
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  EXPECT_EQ(client.Send(Text("nobody")), PEL_ERR_STATE);
  Server next;
  EXPECT_EQ(PEL_ConnectIpcClient(client.handle, next.name.c_str()), PEL_OK);
  EXPECT_EQ(client.events.Count(Cb::Close), 1u);
}

TEST(ClientServer, ManyConnectSendDisconnectCyclesLeakNothing) {
  constexpr int kCycles = 1000;
  const auto start = pel_test::Live::Now();
  {
    Server server;
    Client client;
    const std::vector<uint8_t> data = Text("cycle");
    for (int i = 0; i < kCycles; ++i) {
      ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK) << i;
      ASSERT_EQ(client.Send(data), PEL_OK) << i;
      // Right away: the message must still go out first.
      PEL_DisconnectIpcClient(client.handle);
    }
    ASSERT_TRUE(server.events.WaitFor(Cb::Recv, kCycles, 30000)) << server.events.Count(Cb::Recv);
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, kCycles, 30000)) << server.events.Count(Cb::Close);
    for (uint32_t id = 0; id < kCycles; id += 97) EXPECT_EQ(server.events.Payloads(id).size(), 1u);
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << "connections " << pel_test::Live::Now().connections;
}

// The server in a process of its own, as products run it.
// A client that opens an instance before the server has asked it for a
// client makes the server's start fail; the helper says when it listens.
std::string ReadyEventName(const std::string& pipeName) { return "Local\\" + pipeName + "_ready"; }

PEL_TEST_HELPER(serve_named) {
  pel_test::CallbackRecorder events;
  PelIpcServerHandle handle = nullptr;
  std::atomic<bool> quit{false};
  events.onRecv = [&](uint32_t id, const uint8_t* data, uint32_t size) {
    if (size == 4 && std::memcmp(data, "quit", 4) == 0) quit = true;
    const bool sync = size > 0 && data[0] == '?';
    return PEL_IpcServerSendData(handle, id, sync, data, static_cast<int32_t>(size));
  };
  PelIpcCallback table = events.Table();
  handle = PEL_CreateIpcServer(&table);
  if (handle == nullptr || PEL_StartIpcServer(handle, args.at(0).c_str()) != PEL_OK) return 2;
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ReadyEventName(args.at(0)).c_str());
  SetEvent(ready);
  const bool asked = pel_test::WaitUntil([&] { return quit.load(); }, 30000);
  PEL_DestroyIpcServer(handle);
  CloseHandle(ready);
  return asked ? 0 : 3;
}

TEST(ClientServer, ServerInAnotherProcess) {
  const std::string name = pel_test::UniquePipeName("xproc");
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ReadyEventName(name).c_str());
  ASSERT_NE(ready, nullptr);
  pel_test::HelperProcess process("serve_named", {name});
  ASSERT_TRUE(process.started());
  const DWORD waited = WaitForSingleObject(ready, 30000);
  CloseHandle(ready);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "helper exit code " << process.Wait(0);

  Client client;
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, name.c_str()), PEL_OK);
  ASSERT_EQ(client.Send(Text("echo me")), PEL_OK);
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  EXPECT_EQ(client.events.Payloads(0), (std::vector<std::vector<uint8_t>>{Text("echo me")}));
  std::vector<uint8_t> answer;
  ASSERT_EQ(SyncCall(client, "?across", answer, 64), PEL_OK);
  EXPECT_EQ(answer, Text("?across"));
  ASSERT_EQ(client.Send(Text("quit")), PEL_OK);
  EXPECT_EQ(process.Wait(20000), 0);
  ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
}
