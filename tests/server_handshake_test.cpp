// Accepting and the HELLO exchange, seen from a raw Win32 client.
#include <set>
#include <thread>

#include "support/fixtures.h"

using pel_test::Bytes;
using pel_test::Cb;
using pel_test::RawPipeClient;
using pel_test::ServerTest;
using pel_test::U32At;

namespace {

class Handshake : public ServerTest {};

TEST_F(Handshake, FirstClientGetsHelloWithIdZeroAndNothingMore) {
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  std::vector<uint8_t> hello;
  ASSERT_TRUE(client.Read(hello, 0x1000));
  const std::vector<uint8_t> expected = {0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 0, 0, 0,
                                         0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0,
                                         0,    0,    0,    0,    0, 0, 0, 0, 0, 0};
  EXPECT_EQ(hello, expected);
  // Nothing follows the 32 bytes.
  DWORD avail = 1;
  ASSERT_TRUE(PeekNamedPipe(client.handle(), nullptr, 0, nullptr, &avail, nullptr));
  EXPECT_EQ(avail, 0u);
}

TEST_F(Handshake, IdsCountFromZeroAcrossPreCreatedInstances) {
  RawPipeClient a, b, c;
  EXPECT_EQ(Connect(a), 0u);
  EXPECT_EQ(Connect(b), 1u);
  EXPECT_EQ(Connect(c), 2u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 3));
  for (uint32_t id = 0; id < 3; ++id) EXPECT_EQ(rec.Count(Cb::Connect, id), 1u);
}

TEST_F(Handshake, EveryClientOfABurstIsServed) {
  // Clients that open at the same moment take instances between their
  // creation and the server's connect request (535), or open and close them
  // at once (232). Each must get its HELLO on its first try, with its own id.
  constexpr int kClients = 16;
  constexpr int kRounds = 4;
  std::set<uint32_t> ids;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<RawPipeClient> clients(kClients);
    std::vector<uint32_t> got(kClients, 0xFFFFFFFF);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back([&, i] {
        WaitForSingleObject(go, 5000);
        // A quitter in every round: it opens and leaves before any HELLO.
        if (i == 0) {
          RawPipeClient quitter;
          quitter.Open(name, 5000);
        }
        got[i] = clients[i].Connect(name, 5000);
      });
    }
    SetEvent(go);
    for (auto& t : threads) t.join();
    CloseHandle(go);
    for (int i = 0; i < kClients; ++i) {
      ASSERT_NE(got[i], 0xFFFFFFFFu)
          << "round " << round << " client " << i << " err " << clients[i].lastError();
      EXPECT_TRUE(ids.insert(got[i]).second) << "id " << got[i] << " given twice";
    }
    ASSERT_TRUE(rec.WaitFor(Cb::Connect, ids.size()));
  }
  for (uint32_t id : ids) EXPECT_EQ(rec.Count(Cb::Connect, id), 1u) << id;
  Destroy();
  // TearDown checks the counters; the name is gone with the server.
  RawPipeClient late;
  EXPECT_FALSE(late.Open(name, 0));
}

TEST_F(Handshake, BareNameAndFullPathReachTheSamePipe) {
  RawPipeClient bare, full;
  ASSERT_TRUE(bare.Open(name));
  EXPECT_EQ(bare.Handshake(), 0u);
  ASSERT_TRUE(full.Open(pel_test::FullPipePath(name)));
  EXPECT_EQ(full.Handshake(), 1u);
}

TEST(HandshakeNames, FullPathIsUsedAsGiven) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  const std::string name = pel_test::UniquePipeName("full");
  ASSERT_EQ(PEL_StartIpcServer(server, pel_test::FullPipePath(name).c_str()), 0);
  RawPipeClient client;
  ASSERT_TRUE(client.Open(pel_test::FullPipePath(name)));
  EXPECT_EQ(client.Handshake(), 0u);
  client.Close();
  PEL_DestroyIpcServer(server);
}

TEST_F(Handshake, OnSendForHelloComesBeforeOnConnect) {
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.ReadHello(), 0u);
  ASSERT_TRUE(rec.WaitFor(Cb::Send, 1));
  EXPECT_EQ(rec.Count(Cb::Connect), 0u);
  ASSERT_TRUE(client.Write(pel_test::MakeMessage(0, 0, "")));
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 1));
  auto events = rec.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Cb::Send);
  EXPECT_EQ(events[0].id, 0u);
  EXPECT_EQ(events[1].kind, Cb::Connect);
  EXPECT_EQ(events[1].id, 0u);
  // Callbacks run on the server's workers, not on this thread.
  EXPECT_NE(events[1].threadId, static_cast<uint32_t>(GetCurrentThreadId()));
}

TEST_F(Handshake, SilentClientStaysUnannounced) {
  RawPipeClient silent, talker;
  ASSERT_TRUE(silent.Open(name));
  ASSERT_EQ(silent.ReadHello(), 0u);
  // A second client completes its handshake after the silent one connected:
  // once it is announced, the silent one has had every chance.
  EXPECT_EQ(Connect(talker), 1u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 1, 5000, 1));
  EXPECT_EQ(rec.Count(Cb::Connect, 0), 0u);
  EXPECT_EQ(rec.Count(Cb::Close), 0u);
  // A message on the silent connection is still refused as before the HELLO.
  ASSERT_TRUE(silent.Write(pel_test::MakeMessage(0, 2, "early")));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 0));
  EXPECT_EQ(rec.Count(Cb::Connect, 0), 0u);
}

TEST_F(Handshake, BusinessMessageBeforeHelloEndsTheConnection) {
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.ReadHello(), 0u);
  ASSERT_TRUE(client.Write(pel_test::MakeMessage(0, 2, "abc")));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  auto events = rec.Events();
  EXPECT_EQ(rec.Count(Cb::Connect), 0u);
  EXPECT_EQ(rec.Count(Cb::Recv), 0u);
  EXPECT_EQ(rec.Count(Cb::Close), 1u);
  EXPECT_EQ(events.back().code, 18);
  // The client sees its pipe end.
  std::vector<uint8_t> more;
  EXPECT_FALSE(client.Read(more, 0x1000, 2000));
  EXPECT_EQ(client.lastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

TEST_F(Handshake, SyncMessageBeforeHelloIsRefusedToo) {
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.ReadHello(), 0u);
  ASSERT_TRUE(client.Write(pel_test::MakeMessage(0, 1, "req")));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1));
  EXPECT_EQ(rec.Count(Cb::Connect), 0u);
  EXPECT_EQ(rec.Count(Cb::Recv), 0u);
}

TEST_F(Handshake, ShortOrForeignMessagesEndTheConnection) {
  RawPipeClient shortOne, foreign;
  ASSERT_EQ(Connect(shortOne), 0u);
  ASSERT_EQ(Connect(foreign), 1u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 2));
  std::vector<uint8_t> shortMsg = pel_test::MakeMessage(0, 2, "");
  shortMsg.resize(31);
  ASSERT_TRUE(shortOne.Write(shortMsg));
  ASSERT_TRUE(foreign.Write(pel_test::MakeMessage(1, 2, Bytes("xyz"), 0x12345678)));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 0));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 1));
  EXPECT_EQ(rec.Count(Cb::Recv), 0u);
  EXPECT_EQ(rec.Count(Cb::Close), 2u);
  std::vector<uint8_t> more;
  EXPECT_FALSE(shortOne.Read(more, 0x1000, 2000));
  EXPECT_FALSE(foreign.Read(more, 0x1000, 2000));
}

TEST_F(Handshake, ClientsFromShortLivedThreads) {
  // Each client connects and answers from a thread that ends right after.
  std::vector<RawPipeClient> clients(4);
  for (auto& c : clients) {
    uint32_t id = 0xFFFFFFFF;
    std::thread t([&] { id = Connect(c); });
    t.join();
    EXPECT_NE(id, 0xFFFFFFFFu);
  }
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 4));
  // The connections stay usable after their threads are gone.
  for (uint32_t id = 0; id < 4; ++id)
    EXPECT_EQ(PEL_IpcServerSendData(server, id, false, reinterpret_cast<const uint8_t*>("x"), 1),
              0);
  for (auto& c : clients) {
    std::vector<uint8_t> m;
    ASSERT_TRUE(c.Read(m));
    EXPECT_EQ(m.size(), 33u);
  }
}

TEST(HandshakeThreads, ServerStartedFromAShortLivedThread) {
  // Listening instances are set up by the host's thread; they must survive
  // that thread.
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = nullptr;
  const std::string name = pel_test::UniquePipeName("thr");
  std::thread t([&] {
    server = PEL_CreateIpcServer(&table);
    if (server != nullptr) PEL_StartIpcServer(server, name.c_str());
  });
  t.join();
  ASSERT_NE(server, nullptr);
  std::vector<RawPipeClient> clients(3);
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(clients[i].Open(name));
    EXPECT_EQ(clients[i].Handshake(), i);
  }
  EXPECT_TRUE(rec.WaitFor(Cb::Connect, 3));
  EXPECT_EQ(rec.Count(Cb::Close), 0u);
  PEL_DestroyIpcServer(server);
}

}  // namespace
