// Closing one connection, a client going away, closing and destroying the server.
#include "support/fixtures.h"

using pel_test::BackTo;
using pel_test::Cb;
using pel_test::Live;
using pel_test::MakeMessage;
using pel_test::RawPipeClient;
using pel_test::ServerTest;

namespace {

class Closing : public ServerTest {
 protected:
  uint32_t Ready(RawPipeClient& client) {
    const uint32_t id = Connect(client);
    EXPECT_NE(id, 0xFFFFFFFFu);
    EXPECT_TRUE(rec.WaitFor(Cb::Connect, 1, 5000, id));
    return id;
  }
  // The client end reports the pipe gone within the time.
  static bool SeesBrokenPipe(RawPipeClient& client) {
    std::vector<uint8_t> m;
    if (client.Read(m, 0x1000, 5000)) return false;
    return client.lastError() == ERROR_BROKEN_PIPE ||
           client.lastError() == ERROR_PIPE_NOT_CONNECTED;
  }
};

TEST_F(Closing, CloseConnectionThenAgainGives0Then9) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server, id), 0);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server, id), 9);
  EXPECT_TRUE(SeesBrokenPipe(client));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  EXPECT_EQ(PEL_IpcServerCloseConnection(server, id), 9);
  // Sending to it is refused like an unknown id.
  const uint8_t b = 1;
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, &b, 1), 20);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server, 777), 9);
}

TEST_F(Closing, OnCloseOnceWithCode18AfterEverythingElse) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, "last words")));
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, 1));
  ASSERT_EQ(PEL_IpcServerCloseConnection(server, id), 0);
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  // Another connection's full life marks the time by which any duplicate
  // OnClose of the first would have come.
  RawPipeClient other;
  const uint32_t otherId = Ready(other);
  other.Close();
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, otherId));
  EXPECT_EQ(rec.Count(Cb::Close, id), 1u);
  const auto events = rec.Events();
  size_t closeAt = 0;
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].id == id && events[i].kind == Cb::Close) closeAt = i;
  EXPECT_EQ(events[closeAt].code, 18);
  for (size_t i = closeAt + 1; i < events.size(); ++i) EXPECT_NE(events[i].id, id);
}

TEST_F(Closing, ClientThatDisconnectsItself) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  client.Close();
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, id));
  EXPECT_EQ(rec.Events().back().code, 18);
  // The id is gone from the table.
  EXPECT_EQ(PEL_IpcServerCloseConnection(server, id), 9);
}

TEST_F(Closing, ClientGoneBeforeItsHelloIsStillReported) {
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.ReadHello(), 0u);
  client.Close();
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 0));
  EXPECT_EQ(rec.Count(Cb::Connect), 0u);
}

TEST_F(Closing, CloseWithPendingWritesReleasesEverything) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  std::vector<uint8_t> payload(1 << 20, 1);
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(PEL_IpcServerSendData(server, id, false, payload.data(), 1 << 20), 0);
  ASSERT_EQ(PEL_IpcServerCloseConnection(server, id), 0);
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  EXPECT_EQ(rec.Count(Cb::Close), 1u);
}

TEST_F(Closing, CloseServerWithThreeClients) {
  RawPipeClient a, b, c;
  Ready(a);
  Ready(b);
  Ready(c);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(PEL_CloseIpcServer(server), 0);
  // 10 ms pause per cancelled connection.
  EXPECT_GE(GetTickCount64() - start, 30u);
  // Every connection was released before Close returned.
  EXPECT_EQ(rec.Count(Cb::Close), 3u);
  for (uint32_t id = 0; id < 3; ++id) EXPECT_EQ(rec.Count(Cb::Close, id), 1u);
  EXPECT_TRUE(SeesBrokenPipe(a));
  EXPECT_TRUE(SeesBrokenPipe(b));
  EXPECT_TRUE(SeesBrokenPipe(c));
  // Nothing listens any more.
  RawPipeClient late;
  EXPECT_FALSE(late.Open(name, 200));
  // A closed server refuses work but can still be closed and destroyed.
  const uint8_t x = 1;
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &x, 1), 20);
  EXPECT_EQ(PEL_CloseIpcServer(server), 0);
  Destroy();
  EXPECT_EQ(rec.Count(Cb::Close), 3u);
}

TEST_F(Closing, DestroyedServerLeavesNoInstanceListening) {
  RawPipeClient client, silent;
  Ready(client);
  ASSERT_TRUE(silent.Open(name));
  Destroy();
  EXPECT_TRUE(BackTo(before));
  HANDLE h = CreateFileA(pel_test::FullPipePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD err = GetLastError();
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  // Both clients, the silent one included, were told.
  EXPECT_EQ(rec.Count(Cb::Close), 2u);
}

TEST_F(Closing, CloseConnectionFromInsideCallbacks) {
  rec.onRecv = [this](uint32_t id, const uint8_t*, uint32_t) {
    return PEL_IpcServerCloseConnection(server, id);
  };
  RawPipeClient client;
  const uint32_t id = Ready(client);
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, "bye")));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  EXPECT_TRUE(SeesBrokenPipe(client));
}

TEST(ServerLife, DestroyWithoutStart) {
  const Live before = Live::Now();
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(Live::Now().servers, before.servers + 1);
  PEL_DestroyIpcServer(server);
  EXPECT_TRUE(Live::Now() == before);
  EXPECT_TRUE(rec.Events().empty());
}

TEST(ServerLife, CloseWithoutStartThenDestroy) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(PEL_CloseIpcServer(server), 0);
  EXPECT_EQ(PEL_CloseIpcServer(server), 0);
  PEL_DestroyIpcServer(server);
}

}  // namespace
