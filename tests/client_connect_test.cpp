// Connecting a client: blocking and non-blocking, the HELLO exchange, and a
// server peer that misbehaves before the handshake. The peer is a raw Win32
// pipe server, so every byte the client sends is seen as it is.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::Client;
using pel_test::ConnectRaw;
using pel_test::FreshLog;
using pel_test::RawServer;

TEST(ClientConnect, BlockingConnectToMissingNameFailsAtOnce) {
  Client client;
  ASSERT_NE(client.handle, nullptr);
  auto* log = FreshLog();
  const std::string name = pel_test::UniquePipeName("missing");
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(PEL_ConnectIpcClient(client.handle, name.c_str()), PEL_ERR_PIPE);
  EXPECT_LT(GetTickCount64() - start, 1500u);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::PostIocpConnect",
                            "Open pipe\\\\.\\pipe\\" + name + " failed! Error:2!\n"));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Connect",
                            "Connect IPC server failed, set state to DISCONNECT!"));
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));

  // The failure left the client free to connect elsewhere.
  RawServer server;
  ASSERT_TRUE(server.ok);
  EXPECT_TRUE(ConnectRaw(client, server));
}

namespace {

// One blocking connect against a raw server that answers after a delay, or,
// when held, only once the test lets it.
struct EdgeRound {
  uint32_t id = 0;
  uint32_t delayMs = 0;
  bool held = false;
  Client client;
  RawServer server;
  pel_test::Signal release;
  std::atomic<int> connectedInRecv{-1};
  std::atomic<int> result{-1};
  ULONGLONG waitedMs = 0;
  bool helloAnswered = false;

  void Run() {
    pel_test::ScopedThread peer([this] {
      if (!server.pipe.Accept()) return;
      if (held) {
        release.Wait(10000);
      } else {
        Sleep(delayMs);  // places the HELLO; nothing waits on it
      }
      helloAnswered = server.pipe.Handshake(id);
    });
    client.events.onRecv = [this](uint32_t, const uint8_t*, uint32_t) {
      connectedInRecv = PEL_IsIpcClientConnected(client.handle) ? 1 : 0;
      return 0;
    };
    const ULONGLONG start = GetTickCount64();
    const int connected = PEL_ConnectIpcClient(client.handle, server.name.c_str());
    waitedMs = GetTickCount64() - start;
    result = connected;
  }
};

}  // namespace

// A HELLO that comes just before, at or just after the end of the 2,000 ms
// wait. Whichever wins, the client ends connected, never with a live pipe in
// DISCONNECT: Connect gives 0 (no OnConnect), or 17 and then OnConnect. Rounds
// run side by side so the waits overlap.
TEST(ClientConnect, AHelloAroundTheEndOfTheConnectWaitLeavesTheClientConnected) {
  constexpr int kRounds = 12;
  constexpr int kWaves = 2;
  for (int wave = 0; wave < kWaves; ++wave) {
    std::vector<std::unique_ptr<EdgeRound>> rounds;
    for (int i = 0; i < kRounds; ++i) {
      rounds.push_back(std::make_unique<EdgeRound>());
      rounds.back()->id = static_cast<uint32_t>(wave * kRounds + i);
      rounds.back()->delayMs = 1990 + static_cast<uint32_t>(wave + 2 * i);
      ASSERT_TRUE(rounds.back()->server.ok);
    }
    // One HELLO that is surely late: the time-out in full first.
    EdgeRound& late = *rounds[0];
    late.held = wave == 0;
    auto* log = FreshLog();
    {
      std::vector<std::unique_ptr<pel_test::ScopedThread>> running;
      for (auto& r : rounds)
        running.push_back(std::make_unique<pel_test::ScopedThread>([&r] { r->Run(); }));
      if (late.held) {
        ASSERT_TRUE(pel_test::WaitUntil([&] { return late.result != -1; }, 10000));
        EXPECT_EQ(late.result.load(), PEL_ERR_TIMEOUT);
        EXPECT_GE(late.waitedMs, 1900u);
        EXPECT_TRUE(log->Contains("PelNamedPipeClient::Connect", "Connect timeout!"));
        EXPECT_FALSE(PEL_IsIpcClientConnected(late.client.handle));
        // The pipe stays open with its read pending: another connect finds it.
        EXPECT_EQ(PEL_AsyncConnectIpcClient(late.client.handle, late.server.name.c_str()),
                  PEL_ERR_PIPE_HELD);
        late.release.Set();
      }
    }
    for (auto& r : rounds) {
      Client& client = r->client;
      SCOPED_TRACE("round " + std::to_string(r->id) + " delay " + std::to_string(r->delayMs) +
                   " result " + std::to_string(r->result.load()));
      ASSERT_TRUE(r->helloAnswered);
      if (r->result == PEL_OK) {
        EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
        EXPECT_EQ(client.events.Count(Cb::Connect), 0u);
      } else {
        ASSERT_EQ(r->result.load(), PEL_ERR_TIMEOUT);
        ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
        EXPECT_EQ(pel_test::EventsOf(client.events, Cb::Connect)[0].id, r->id);
        EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
      }
      // Both ways work, and what arrives finds the client connected.
      ASSERT_TRUE(r->server.Send(2, pel_test::Text("edge")));
      ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
      EXPECT_EQ(r->connectedInRecv.load(), 1);
      ASSERT_EQ(client.Send(pel_test::Text("back")), PEL_OK);
      uint32_t kind = 0;
      std::vector<uint8_t> payload;
      ASSERT_TRUE(r->server.ReadMessage(kind, payload));
      EXPECT_EQ(payload, pel_test::Text("back"));
      EXPECT_EQ(client.events.Count(Cb::Connect), r->result == PEL_OK ? 0u : 1u);
    }
  }
}

TEST(ClientConnect, ConnectOnConnectedClientIsRefusedAndTheConnectionGoesOn) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  EXPECT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_ERR_STATE);
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_ERR_STATE);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Connect", "Invalid connected state[2]!\n"));
  EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
  ASSERT_EQ(client.Send(pel_test::Text("still here")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(server.ReadMessage(kind, payload));
  EXPECT_EQ(payload, pel_test::Text("still here"));
}

TEST(ClientConnect, NonBlockingConnectReportsTheHandshakeFromTheWorkThread) {
  Client client;
  RawServer server;
  std::atomic<int> connectedInside{-1};
  client.events.onConnect = [&](uint32_t) {
    connectedInside = PEL_IsIpcClientConnected(client.handle) ? 1 : 0;
    return 0;
  };
  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  // The server has not even accepted yet.
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  ASSERT_TRUE(server.pipe.Accept());

  // The server's HELLO carries id 7; the client's answer repeats it.
  ASSERT_TRUE(server.pipe.Write(pel_test::MakeMessage(7, 0, std::vector<uint8_t>())));
  std::vector<uint8_t> answer;
  ASSERT_TRUE(server.pipe.Read(answer));
  std::vector<uint8_t> expected = {0x43, 0x50, 0x49, 0x50, 7, 0, 0, 0};
  expected.resize(32, 0);
  EXPECT_EQ(answer, expected);

  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
  auto connects = pel_test::EventsOf(client.events, Cb::Connect);
  EXPECT_EQ(connects[0].id, 7u);
  EXPECT_NE(connects[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(connectedInside.load(), 1);
  // The HELLO write completes like any other.
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 1));
  EXPECT_EQ(pel_test::EventsOf(client.events, Cb::Send)[0].id, 7u);

  // Messages carry the id from the HELLO: the 35 bytes of "abc".
  ASSERT_EQ(client.Send(pel_test::Text("abc")), PEL_OK);
  std::vector<uint8_t> message;
  ASSERT_TRUE(server.pipe.Read(message));
  expected = {0x43, 0x50, 0x49, 0x50, 7, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  expected.resize(32, 0);
  expected.insert(expected.end(), {'a', 'b', 'c'});
  EXPECT_EQ(message, expected);
}

TEST(ClientConnect, AfterABlockingConnectALaterNonBlockingOneCallsNoOnConnect) {
  Client client;
  {
    RawServer first;
    pel_test::ScopedThread serve([&] { first.Accept(3); });
    EXPECT_EQ(PEL_ConnectIpcClient(client.handle, first.name.c_str()), PEL_OK);
    serve.join();
    EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
    EXPECT_EQ(client.events.Count(Cb::Connect), 0u);
    PEL_DisconnectIpcClient(client.handle);
  }
  RawServer second;
  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, second.name.c_str()), PEL_OK);
  ASSERT_TRUE(second.Accept(4));
  EXPECT_TRUE(pel_test::WaitUntil([&] { return PEL_IsIpcClientConnected(client.handle); }, 5000));
  // The HELLO went to the kept connect event instead.
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 2));
  EXPECT_EQ(client.events.Count(Cb::Connect), 0u);
}

TEST(ClientConnect, BusinessMessageBeforeHelloEndsTheConnectionAndFreesItsRecord) {
  const auto start = pel_test::Live::Now();
  {
    Client client;
    RawServer server;
    auto* log = FreshLog();
    const auto withClient = pel_test::Live::Now();
    ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    ASSERT_TRUE(server.pipe.Accept());
    ASSERT_TRUE(server.Send(2, pel_test::Text("too early")));
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
    auto closes = pel_test::EventsOf(client.events, Cb::Close);
    EXPECT_EQ(closes[0].id, 0xFFFFFFFFu);
    EXPECT_EQ(closes[0].code, 0);
    EXPECT_TRUE(log->Contains("PelNamedPipeClient::HandleIocpRead",
                              "Receive business message before HELLO!! Disconnect!!!\n"));
    EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
    EXPECT_EQ(client.events.Count(Cb::Recv), 0u);
    // Nothing else was outstanding: record and pipe are gone right away.
    EXPECT_TRUE(pel_test::BackTo(withClient));
    // The release is the work thread's, though the read path asked for it.
    EXPECT_TRUE(pel_test::WaitUntil(
        [&] { return log->Contains("PelNamedPipeClient::WorkThread", "Call OnClose!"); }, 5000));
    for (const char* text :
         {"Try to delete IOCP context:", "IOCP context is Deleted!!!", "Try to close pipe:"})
      EXPECT_TRUE(log->Contains("PelNamedPipeClient::WorkThread", text)) << text;
    std::vector<uint8_t> none;
    EXPECT_FALSE(server.pipe.Read(none, 0x500000, 2000));

    RawServer next;
    EXPECT_TRUE(ConnectRaw(client, next, 9));
  }
  EXPECT_TRUE(pel_test::BackTo(start));
}

TEST(ClientConnect, AReadShorterThanAHeaderBeforeHelloIsDropped) {
  Client client;
  RawServer server;
  auto* log = FreshLog();
  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  ASSERT_TRUE(server.pipe.Accept());
  ASSERT_TRUE(server.pipe.Write(std::vector<uint8_t>(10, 0x43)));
  ASSERT_TRUE(pel_test::WaitUntil(
      [&] {
        return log->Contains("", "Receive uncompleted message!!! header size:32 recv:10!!!\n");
      },
      5000));
  ASSERT_TRUE(server.pipe.Handshake(11));
  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
  EXPECT_EQ(pel_test::EventsOf(client.events, Cb::Connect)[0].id, 11u);
}

TEST(ClientConnect, BareNameAndFullPathOpenTheSamePipe) {
  Client client;
  RawServer server;
  const std::string full = pel_test::FullPipePath(server.name);
  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, full.c_str()), PEL_OK);
  ASSERT_TRUE(server.Accept(1));
  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
  PEL_DisconnectIpcClient(client.handle);

  // The search for the pipe root is case-sensitive: this gets a prefix.
  std::string upper = full;
  upper.replace(4, 4, "PIPE");
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, upper.c_str()), PEL_ERR_PIPE);
}

// Overlapped I/O must survive the thread that issued it: the first read is
// posted by whichever host thread connects, and sends may come from threads
// that end right after.
TEST(ClientConnect, ConnectsAndSendsFromShortLivedThreads) {
  const auto start = pel_test::Live::Now();
  Client client;
  for (int round = 0; round < 10; ++round) {
    RawServer server;
    const bool blocking = round % 2 == 1;
    std::atomic<int> result{-1};
    pel_test::ScopedThread connector([&] {
      result = blocking ? PEL_ConnectIpcClient(client.handle, server.name.c_str())
                        : PEL_AsyncConnectIpcClient(client.handle, server.name.c_str());
    });
    if (!blocking) connector.join();
    const bool accepted = server.Accept(static_cast<uint32_t>(round));
    connector.join();
    ASSERT_TRUE(accepted);
    ASSERT_EQ(result.load(), PEL_OK) << "round " << round;
    ASSERT_TRUE(pel_test::WaitUntil([&] { return PEL_IsIpcClientConnected(client.handle); }, 5000));

    std::thread sender([&] { result = client.Send(pel_test::Text("from a brief thread")); });
    sender.join();
    ASSERT_EQ(result.load(), PEL_OK);
    uint32_t kind = 0;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(server.ReadMessage(kind, payload)) << "round " << round;
    EXPECT_EQ(payload, pel_test::Text("from a brief thread"));

    // The read posted by the vanished connecting thread still delivers.
    const size_t received = client.events.Count(Cb::Recv);
    ASSERT_TRUE(server.Send(2, pel_test::Text("to the client")));
    ASSERT_TRUE(client.events.WaitFor(Cb::Recv, received + 1)) << "round " << round;
    PEL_DisconnectIpcClient(client.handle);
  }
  client.Destroy();
  EXPECT_TRUE(pel_test::BackTo(start));
}
