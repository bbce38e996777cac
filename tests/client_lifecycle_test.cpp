// How client connections end, what the client object does across
// Init/Uninit/destroy, the exports' argument checks, and leaks over many
// connections.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::Client;
using pel_test::ConnectRaw;
using pel_test::FreshLog;
using pel_test::RawServer;
using pel_test::Text;

TEST(ClientLifecycle, DisconnectOfANeverConnectedClientReturnsWhatOnCloseReturns) {
  Client client;
  client.events.onClose = [](uint32_t, int32_t) { return 42; };
  EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), 42);
  auto closes = pel_test::EventsOf(client.events, Cb::Close);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].id, 0xFFFFFFFFu);
  EXPECT_EQ(closes[0].code, 0);
  EXPECT_EQ(closes[0].threadId, GetCurrentThreadId());
}

TEST(ClientLifecycle, DisconnectReportsTheEndOnTheCallerAndAgainWhenTheReadComesBack) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server, 7));
  const auto connected = pel_test::Live::Now();
  auto* log = FreshLog();
  EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), 0);
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  ASSERT_TRUE(client.events.WaitFor(Cb::Close, 2));
  auto closes = pel_test::EventsOf(client.events, Cb::Close);
  int onCaller = 0;
  for (const auto& c : closes) {
    EXPECT_EQ(c.id, 7u);
    EXPECT_EQ(c.code, 0);
    if (c.threadId == GetCurrentThreadId()) ++onCaller;
  }
  EXPECT_EQ(onCaller, 1);
  EXPECT_TRUE(pel_test::WaitUntil(
      [&] { return log->Contains("PelNamedPipeClient::WorkThread", "Call OnClose!"); }, 5000));
  for (const char* text :
       {"Try to delete IOCP context:", "IOCP context is Deleted!!!", "Try to close pipe:"})
    EXPECT_TRUE(log->Contains("PelNamedPipeClient::WorkThread", text)) << text;
  // Record and pipe handle are gone.
  const auto after = pel_test::Live::Now();
  EXPECT_EQ(after.connections, connected.connections - 1);
  EXPECT_EQ(after.pipeHandles, connected.pipeHandles - 1);
  std::vector<uint8_t> none;
  EXPECT_FALSE(server.pipe.Read(none, 4096, 2000));
  EXPECT_EQ(server.pipe.lastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

TEST(ClientLifecycle, ServerGoingAwayEndsTheConnectionOnceAndANewConnectWorks) {
  Client client;
  const auto before = pel_test::Live::Now();
  {
    RawServer server;
    ASSERT_TRUE(ConnectRaw(client, server, 3));
    auto* log = FreshLog();
    server.pipe.Close();
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
    EXPECT_TRUE(log->Contains("", "Pipe broken!"));
    EXPECT_TRUE(pel_test::BackTo(before));
    EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
    auto closes = pel_test::EventsOf(client.events, Cb::Close);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].id, 3u);
    EXPECT_EQ(closes[0].code, 0);
    EXPECT_NE(closes[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(client.Send(Text("gone")), PEL_ERR_STATE);
  }
  RawServer next;
  ASSERT_TRUE(ConnectRaw(client, next, 4));
  ASSERT_EQ(client.Send(Text("hello again")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(next.ReadMessage(kind, payload));
  EXPECT_EQ(payload, Text("hello again"));
  EXPECT_EQ(client.events.Count(Cb::Close), 1u);
}

// The server goes while the work thread is busy in a callback: the next
// read then cannot even be posted. The end must look the same.
TEST(ClientLifecycle, ServerGoneBeforeTheNextReadIsPostedEndsTheConnectionToo) {
  Client client;
  const auto before = pel_test::Live::Now();
  RawServer server;
  pel_test::Signal serverGone;
  client.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) {
    serverGone.Wait(5000);
    return 0;
  };
  ASSERT_TRUE(ConnectRaw(client, server, 6));
  auto* log = FreshLog();
  ASSERT_TRUE(server.Send(2, Text("last")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  server.pipe.Close();
  // Still CONNECTED as far as the client knows: the write itself fails.
  EXPECT_EQ(client.Send(Text("into the void")), PEL_ERR_WRITE);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::PostIocpWrite", "WriteFile failed! err:"));
  serverGone.Set();
  ASSERT_TRUE(client.events.WaitFor(Cb::Close, 1));
  EXPECT_TRUE(pel_test::BackTo(before));
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::PostIocpRead", "ReadFile failed! Error:109!"));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::HandleIocpRead", "PostIocpRead failed! err:19!"));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::WorkThread", "Pipe broken!"));
  const auto closes = pel_test::EventsOf(client.events, Cb::Close);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].id, 6u);
  EXPECT_EQ(closes[0].code, 0);
}

TEST(ClientLifecycle, DestroyWhileConnectedClosesAndFreesEverything) {
  const auto start = pel_test::Live::Now();
  RawServer server;
  std::vector<CallbackEvent> closes;
  {
    Client client;
    ASSERT_TRUE(ConnectRaw(client, server, 2));
    client.Destroy();
    closes = pel_test::EventsOf(client.events, Cb::Close);
  }
  EXPECT_EQ(pel_test::Live::Now(), start);
  // Once from the disconnect on this thread, once from the release.
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(closes[0].code, 0);
  EXPECT_EQ(closes[1].id, 2u);
  std::vector<uint8_t> none;
  EXPECT_FALSE(server.pipe.Read(none, 4096, 2000));
}

TEST(ClientLifecycle, UninitClosesAConnectionAndInitStartsAfresh) {
  Client client;
  const auto before = pel_test::Live::Now();
  RawServer first;
  ASSERT_TRUE(ConnectRaw(client, first, 1));
  PelNamedPipeClient* impl = client.impl();
  auto* log = FreshLog();
  EXPECT_EQ(impl->Uninit(), 0);
  // From Uninit itself and from the release during its pause.
  EXPECT_EQ(client.events.Count(Cb::Close), 2u);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Uninit", "Iocp thread has exited!"));
  EXPECT_EQ(pel_test::Live::Now(), before);

  log->Clear();
  EXPECT_EQ(impl->Uninit(), 3);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Uninit", "NOT initialized!"));
  EXPECT_FALSE(log->Contains("PelNamedPipeClient::Uninit", "Leave!"));

  EXPECT_EQ(impl->Init(), 0);
  log->Clear();
  EXPECT_EQ(impl->Init(), 0);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::Init", "Already initialized!"));
  RawServer second;
  ASSERT_TRUE(ConnectRaw(client, second, 2));
  ASSERT_EQ(client.Send(Text("after restart")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(second.ReadMessage(kind, payload));
  EXPECT_EQ(payload, Text("after restart"));
}

TEST(ClientLifecycle, DisconnectRightAfterSendingStillDeliversWhatWasAccepted) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  constexpr int kMessages = 200;
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(client.Send(Text("last words " + std::to_string(i))), PEL_OK);
  }
  EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), 0);
  // Every accepted write completed before the pipe was closed (the last
  // OnSend may still be on its way from the work thread).
  EXPECT_TRUE(client.events.WaitFor(Cb::Send, 1u + kMessages)) << client.events.Count(Cb::Send);
  for (int i = 0; i < kMessages; ++i) {
    uint32_t kind;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(server.ReadMessage(kind, payload, 5000, 4096)) << i;
    EXPECT_EQ(payload, Text("last words " + std::to_string(i)));
  }
}

TEST(ClientLifecycle, ACallbackMayDisconnectItsOwnConnection) {
  Client client;
  const auto before = pel_test::Live::Now();
  RawServer server;
  client.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) {
    return PEL_DisconnectIpcClient(client.handle);
  };
  ASSERT_TRUE(ConnectRaw(client, server));
  ASSERT_TRUE(server.Send(2, Text("bye")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Close, 2));
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
  EXPECT_TRUE(pel_test::BackTo(before));
}

TEST(ClientLifecycle, ExportsCheckTheirArguments) {
  Client client;
  auto* log = FreshLog();
  const auto before = pel_test::Live::Now();
  EXPECT_EQ(PEL_CreateIpcClient(nullptr), nullptr);
  EXPECT_TRUE(log->Contains("PEL_CreateIpcClient", ">>>>callback is NULL!<<<<"));
  PelIpcCallback table = client.events.Table();
  table.OnSend = nullptr;
  EXPECT_EQ(PEL_CreateIpcClient(&table), nullptr);
  EXPECT_EQ(pel_test::Live::Now(), before);

  log->Clear();
  EXPECT_EQ(PEL_ConnectIpcClient(nullptr, "x"), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_ConnectIpcClient", "Enter!"));
  EXPECT_TRUE(log->Contains("PEL_ConnectIpcClient", ">>>>client is NULL!<<<<"));
  EXPECT_FALSE(log->Contains("PEL_ConnectIpcClient", "Leave!"));
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, nullptr), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_AsyncConnectIpcClient", ">>>>socket name is NULL!<<<<"));
  EXPECT_EQ(PEL_DisconnectIpcClient(nullptr), PEL_ERR_INVALID_ARG);
  EXPECT_FALSE(PEL_IsIpcClientConnected(nullptr));
  PEL_DestroyIpcClient(nullptr);
  EXPECT_TRUE(log->Contains("PEL_DestroyIpcClient", ">>>>client is NULL!<<<<"));
  for (const auto& r : log->Records()) {
    if (r.function.rfind("PEL_", 0) != 0) continue;  // the work thread's own records
    const bool trace = r.message == "Enter!" || r.message == "Leave!";
    EXPECT_EQ(r.severity, trace ? pellog::info : pellog::error) << r.message;
  }
  EXPECT_EQ(client.events.Count(Cb::Close), 0u);
}

// One client, one server peer, many connections: every record, message
// buffer and pipe handle must be returned.
TEST(ClientLifecycle, ManyConnectSendDisconnectCyclesLeakNothing) {
  constexpr int kCycles = 1000;
  const auto start = pel_test::Live::Now();
  RawServer server;
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  pel_test::ScopedThread serve(
      [&] {
        while (!stop) {
          if (!server.pipe.Accept(200)) continue;
          if (server.pipe.Handshake(static_cast<uint32_t>(served.load()), 5000)) {
            uint32_t kind;
            std::vector<uint8_t> payload;
            if (server.ReadMessage(kind, payload, 5000, 4096)) ++served;
            // Wait for the client to go, then listen again.
            std::vector<uint8_t> none;
            while (server.pipe.Read(none, 4096, 2000)) {
            }
          }
          server.pipe.Disconnect();
        }
      },
      &stop);
  {
    Client client;
    const std::vector<uint8_t> data = Text("cycle");
    for (int i = 0; i < kCycles; ++i) {
      int result = PEL_ERR_PIPE;
      // Between two clients the single raw instance is briefly busy.
      ASSERT_TRUE(pel_test::WaitUntil(
          [&] {
            return (result = PEL_ConnectIpcClient(client.handle, server.name.c_str())) !=
                   PEL_ERR_PIPE;
          },
          5000));
      ASSERT_EQ(result, PEL_OK) << "cycle " << i;
      ASSERT_EQ(client.Send(data), PEL_OK);
      ASSERT_TRUE(pel_test::WaitUntil([&] { return served.load() == i + 1; }, 5000)) << i;
      PEL_DisconnectIpcClient(client.handle);
    }
  }
  serve.join();
  EXPECT_TRUE(pel_test::BackTo(start));
}
