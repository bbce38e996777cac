// Our server against raw Win32 clients: HELLO, OnRecv, SendData's bytes, ends of
// connections, destroy in every state. Server's TearDown checks the counters.

#include "support/fixtures.h"

namespace pel::test {
namespace {

bool NameGone(const std::string& name) {
  RawPipeClient late;
  return !late.Open(name, 0) && late.lastError() == ERROR_FILE_NOT_FOUND;
}

bool SeesEnd(RawPipeClient& client) {
  Bytes m;
  return !client.Read(m, 0x1000, 5000) && (client.lastError() == ERROR_BROKEN_PIPE ||
                                           client.lastError() == ERROR_PIPE_NOT_CONNECTED);
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(srv.started); }
  void TearDown() override {
    srv.Destroy();
    EXPECT_TRUE(BackTo(before));
  }
  uint32_t Ready(RawPipeClient& client) {
    const uint32_t id = client.Connect(srv.name);
    EXPECT_TRUE(id != PEL_IPC_NO_CONN_ID && rec.WaitFor(Cb::Connect, 1, 5000, id));
    return id;
  }
  int32_t Send(uint32_t id, bool sync, const Bytes& data) {
    return PEL_IpcServerSendData(srv.handle, id, sync, data.data(), int32_t(data.size()));
  }

  const Live before = Live::Now();
  EchoServer srv{"srv"};
  CallbackRecorder& rec = srv.events;
};

TEST_F(Server, BurstsOfClientsComeAndGoLeavingOnlyTheListeningInstances) {
  // Clients that open at once take instances between their creation and the
  // server's connect request (535), or open and close them at once (232):
  // neither may use up the listening instances or cost another its HELLO.
  srv.echo = false;
  const Live listening = Live::Now();
  std::set<uint32_t> ids;
  for (int round = 0; round < 4; ++round) {
    std::vector<RawPipeClient> clients(16);
    std::vector<uint32_t> got(clients.size(), PEL_IPC_NO_CONN_ID);
    Signal go;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); ++i) {
      threads.emplace_back([&, i] {
        go.Wait(5000);
        if (i % 4 == 0) RawPipeClient().Open(srv.name, 5000);
        got[i] = clients[i].Connect(srv.name, 5000);
        if (i % 3 == 1) clients[i].Write(MakeMessage(got[i], 2, "data"));
      });
    }
    go.Set();
    for (auto& t : threads) t.join();
    for (uint32_t id : got) ASSERT_TRUE(id != PEL_IPC_NO_CONN_ID && ids.insert(id).second) << id;
    ASSERT_TRUE(rec.WaitFor(Cb::Connect, ids.size()));
    clients.clear();
    EXPECT_TRUE(BackTo(listening)) << "round " << round;
  }
  for (uint32_t id : ids) EXPECT_EQ(rec.Count(Cb::Connect, id), 1u) << id;
}

TEST_F(Server, HelloCallbacksAndWholeMessagesInOrderBothWays) {
  srv.echo = false;
  RawPipeClient client;
  Bytes m;
  DWORD more = 1;
  ASSERT_TRUE(client.Open(srv.name) && client.SetMessageMode() && client.Read(m, 0x1000));
  EXPECT_EQ(m, MakeMessage(0, 0, ""));
  EXPECT_TRUE(PeekNamedPipe(client.handle(), nullptr, 0, nullptr, &more, nullptr) && more == 0);
  ASSERT_TRUE(rec.WaitFor(Cb::Send, 1) && rec.Count(Cb::Connect) == 0);
  ASSERT_TRUE(client.Write(MakeMessage(0, 0, "")) && rec.WaitFor(Cb::Connect, 1));
  const auto events = rec.Events();
  EXPECT_TRUE(events[0].kind == Cb::Send && events[1].kind == Cb::Connect && events[1].id == 0 &&
              events[1].threadId != GetCurrentThreadId());
  const uint32_t id = 0;
  std::vector<Bytes> sent = {MakeMessage(id, 2, "abc"), MakeMessage(id, 1, "sync request"),
                             MakeMessage(id, 2, ""), MakeMessage(id, 0, "" /* no OnConnect */),
                             MakeMessage(id, 2, Pattern(PEL_IPC_MAX_CLIENT_PAYLOAD, 3))};
  for (int i = 0; i < 200; ++i)
    sent.push_back(MakeMessage(id, 2, Pattern(1 + i * 7919 % 20000, i)));
  sent.push_back(MakeMessage(id, 2, "four"));
  sent.back()[12] = 200;  // the bytes read count, not the length field
  std::vector<Bytes> expected;
  for (const auto& s : sent) {
    ASSERT_TRUE(client.Write(s));
    expected.emplace_back(s.begin() + 32, s.end());
  }
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, sent.size(), 20000));
  EXPECT_TRUE(rec.Payloads(id) == expected && rec.Count(Cb::Connect) == 1);

  // 18 writes from three threads and the read stay under the limit of 20
  // even if none completes. Each is whole, each thread's in order.
  rec.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) {
    return Send(id, true, Bytes(data, data + size));
  };
  constexpr int kThreads = 3, kEach = 6;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        EXPECT_EQ(Send(id, false, Bytes(1000 + t * 10 + i, uint8_t(t))), PEL_OK);
    });
  }
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kEach && client.Read(m) && m.size() > 32 && m[32] < kThreads; ++n)
    EXPECT_EQ(m, MakeMessage(id, 2, Bytes(1000 + m[32] * 10 + next[m[32]]++, m[32])));
  for (auto& th : threads) th.join();
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
  const Bytes largest = Pattern(PEL_IPC_MAX_SERVER_PAYLOAD, 9);
  EXPECT_EQ(Send(id, false, largest), PEL_OK);
  ASSERT_TRUE(client.ReadExactly(m, 32 + PEL_IPC_MAX_SERVER_PAYLOAD, 20000));
  EXPECT_TRUE(m == MakeMessage(id, 2, largest));
  ASSERT_TRUE(client.Write(MakeMessage(id, 1, "call")) && client.Read(m));
  EXPECT_EQ(m, MakeMessage(id, 1, "call"));
  EXPECT_TRUE(rec.WaitFor(Cb::Send, 1 + kThreads * kEach + 2, 20000, id));
}

TEST_F(Server, EveryWayAConnectionEndsGivesOneOnCloseLastAndItsRecords) {
  enum End { kHost, kHostFromOnRecv, kClient };
  rec.onRecv = [this](uint32_t id, const uint8_t*, uint32_t size) {
    return size == 8 ? PEL_IpcServerCloseConnection(srv.handle, id) : PEL_OK;  // "close me"
  };
  LogCapture* log = FreshLog();
  auto seen = [&](const std::string& text) { return log->Count("", text); };
  std::vector<uint32_t> ids;
  for (End end : {kHost, kHostFromOnRecv, kClient}) {
    SCOPED_TRACE(end);
    RawPipeClient client;
    const uint32_t id = Ready(client);
    const std::string n = std::to_string(id);
    ids.push_back(id);
    log->Clear();
    ASSERT_TRUE(client.Write(MakeMessage(id, 2, end == kHostFromOnRecv ? "close me" : "last")) &&
                rec.WaitFor(Cb::Recv, 1, 5000, id));
    if (end == kClient) client.Close();
    // The host's close takes the id out at once, its release otherwise.
    EXPECT_TRUE(end != kHost ||
                (PEL_IpcServerCloseConnection(srv.handle, id) == PEL_OK &&
                 PEL_IpcServerCloseConnection(srv.handle, id) == PEL_ERR_NO_CONNECTION));
    EXPECT_TRUE(end == kClient || SeesEnd(client));
    ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, id));
    EXPECT_EQ(PEL_IpcServerCloseConnection(srv.handle, id), PEL_ERR_NO_CONNECTION);
    EXPECT_EQ(Send(id, false, Text("late")), PEL_ERR_WRITE);
    // A client gone is seen by the pending read, or by the next read request
    // when it left before that was posted.
    EXPECT_TRUE(log->Awaits("remove and delete connection[" + n + "]["));
    EXPECT_EQ(seen("RemoveConnection: connection id[" + n + "] removed!"),
              end == kClient ? 1u : 0u);
    EXPECT_EQ(seen("CancelAllIocp for pipe[") + seen("] success!"), end == kClient ? 0u : 2u);
    EXPECT_TRUE(end != kClient ||
                seen(">>>>Pipe is Broken!!!<<<<\n") + seen("err:109! Connection[" + n + "]") == 1);
  }
  // Once the workers are gone no callback can come: one OnClose each, last.
  srv.Destroy();
  const auto events = rec.Events();
  for (uint32_t id : ids) {
    const auto last = std::find_if(events.rbegin(), events.rend(),
                                   [id](const CallbackEvent& e) { return e.id == id; });
    EXPECT_TRUE(rec.Count(Cb::Close, id) == 1 && last->kind == Cb::Close &&
                last->code == PEL_CLOSE_SERVER)
        << id;
  }
}

TEST(ServerLife, DestroyInEveryState) {
  // 0: created; 1: closed twice, never started; 2: started from a thread
  // that has ended, through a callback table the host has wiped since, with
  // a client handshaken, one with 12 MiB of writes stuck in its full pipe and
  // one not yet answered; 3: the same, closed twice first.
  for (int state = 0; state < 4; ++state) {
    SCOPED_TRACE(state);
    const Live before = Live::Now();
    const std::string name = UniquePipeName("life");
    CallbackRecorder rec;
    PelIpcCallback table = rec.Table();
    PelIpcServerHandle server = nullptr;
    std::thread([&] {
      server = PEL_CreateIpcServer(&table);
      if (state >= 2) PEL_StartIpcServer(server, FullPipePath(name).c_str());
    }).join();
    ASSERT_NE(server, nullptr);
    std::memset(&table, 0, sizeof table);
    const Bytes mib(1 << 20, 3);
    RawPipeClient connected, stuck, silent;
    for (int i = 0; state >= 2 && i < 12; ++i) {
      ASSERT_TRUE(i > 0 || (connected.Connect(name) == 0 && stuck.Connect(name) == 1 &&
                            rec.WaitFor(Cb::Connect, 1, 5000, 1)));
      ASSERT_EQ(PEL_IpcServerSendData(server, 1, false, mib.data(), 1 << 20), PEL_OK);
    }
    ASSERT_TRUE(state < 2 || silent.Open(name));
    const size_t closes = state >= 2 ? 3 : 0;
    for (int i = 0; state % 2 == 1 && i < 2; ++i) {
      // Every connection has ended when Close returns.
      EXPECT_TRUE(PEL_CloseIpcServer(server) == PEL_OK && rec.Count(Cb::Close) == closes);
      EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, mib.data(), 1), PEL_ERR_WRITE);
      EXPECT_TRUE(state == 1 || (SeesEnd(connected) && NameGone(name)));
    }
    PEL_DestroyIpcServer(server);
    EXPECT_TRUE(BackTo(before) && NameGone(name));
    EXPECT_EQ(rec.Count(Cb::Close), closes);
    EXPECT_EQ(rec.Count(Cb::Connect), state >= 2 ? 2u : 0u);
  }
}

}  // namespace
}  // namespace pel::test
