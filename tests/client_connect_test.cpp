// Connecting a client: blocking and non-blocking, the HELLO exchange, and a
// server peer that misbehaves before the handshake. The peer is a raw Win32
// pipe server, so every byte the client sends is seen as it is.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client_support.h"
#include "support/log_capture.h"

using client_test::Client;
using client_test::ConnectRaw;
using client_test::FreshLog;
using client_test::RawServer;
using pel_test::CallbackEvent;
using pel_test::Cb;

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

TEST(ClientConnect, BlockingConnectWithoutHelloTimesOutAndALateHelloStillConnects) {
  Client client;
  RawServer server;
  ASSERT_TRUE(server.ok);
  auto* log = FreshLog();
  client_test::ScopedThread accept([&] { server.pipe.Accept(); });
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_ERR_TIMEOUT);
  EXPECT_GE(GetTickCount64() - start, 1900u);
  accept.join();
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Connect", "Connect timeout!"));
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  EXPECT_EQ(client.events.Count(Cb::Connect), 0u);

  // The pipe stays open with its read pending: another connect finds it.
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_ERR_PIPE_HELD);

  ASSERT_TRUE(server.pipe.Handshake(5));
  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
  EXPECT_EQ(client_test::EventsOf(client.events, Cb::Connect)[0].id, 5u);
  EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
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
  ASSERT_EQ(client.Send(client_test::Text("still here")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(server.ReadMessage(kind, payload));
  EXPECT_EQ(payload, client_test::Text("still here"));
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
  auto connects = client_test::EventsOf(client.events, Cb::Connect);
  EXPECT_EQ(connects[0].id, 7u);
  EXPECT_NE(connects[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(connectedInside.load(), 1);
  // The HELLO write completes like any other.
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 1));
  EXPECT_EQ(client_test::EventsOf(client.events, Cb::Send)[0].id, 7u);

  // Messages carry the id from the HELLO: the 35 bytes of "abc".
  ASSERT_EQ(client.Send(client_test::Text("abc")), PEL_OK);
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
    client_test::ScopedThread serve([&] { first.Accept(3); });
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
  const auto start = client_test::Live();
  {
    Client client;
    RawServer server;
    auto* log = FreshLog();
    const auto withClient = client_test::Live();
    ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    ASSERT_TRUE(server.pipe.Accept());
    ASSERT_TRUE(server.Send(2, client_test::Text("too early")));
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
    auto closes = client_test::EventsOf(client.events, Cb::Close);
    EXPECT_EQ(closes[0].id, 0xFFFFFFFFu);
    EXPECT_EQ(closes[0].code, 0);
    EXPECT_TRUE(log->Contains("", "Receive business message before HELLO!! Disconnect!!!\n"));
    EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
    EXPECT_EQ(client.events.Count(Cb::Recv), 0u);
    // Nothing else was outstanding: record and pipe are gone right away.
    EXPECT_TRUE(client_test::CountersReturnTo(withClient));
    std::vector<uint8_t> none;
    EXPECT_FALSE(server.pipe.Read(none, 0x500000, 2000));

    RawServer next;
    EXPECT_TRUE(ConnectRaw(client, next, 9));
  }
  EXPECT_TRUE(client_test::CountersReturnTo(start));
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
  EXPECT_EQ(client_test::EventsOf(client.events, Cb::Connect)[0].id, 11u);
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
  const auto start = client_test::Live();
  Client client;
  for (int round = 0; round < 10; ++round) {
    RawServer server;
    const bool blocking = round % 2 == 1;
    std::atomic<int> result{-1};
    client_test::ScopedThread connector([&] {
      result = blocking ? PEL_ConnectIpcClient(client.handle, server.name.c_str())
                        : PEL_AsyncConnectIpcClient(client.handle, server.name.c_str());
    });
    if (!blocking) connector.join();
    const bool accepted = server.Accept(static_cast<uint32_t>(round));
    connector.join();
    ASSERT_TRUE(accepted);
    ASSERT_EQ(result.load(), PEL_OK) << "round " << round;
    ASSERT_TRUE(pel_test::WaitUntil([&] { return PEL_IsIpcClientConnected(client.handle); }, 5000));

    std::thread sender([&] { result = client.Send(client_test::Text("from a brief thread")); });
    sender.join();
    ASSERT_EQ(result.load(), PEL_OK);
    uint32_t kind = 0;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(server.ReadMessage(kind, payload)) << "round " << round;
    EXPECT_EQ(payload, client_test::Text("from a brief thread"));

    // The read posted by the vanished connecting thread still delivers.
    const size_t received = client.events.Count(Cb::Recv);
    ASSERT_TRUE(server.Send(2, client_test::Text("to the client")));
    ASSERT_TRUE(client.events.WaitFor(Cb::Recv, received + 1)) << "round " << round;
    PEL_DisconnectIpcClient(client.handle);
  }
  client.Destroy();
  EXPECT_TRUE(client_test::CountersReturnTo(start));
}
