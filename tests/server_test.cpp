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
  void TearDown() override { EXPECT_TRUE((srv.Destroy(), BackTo(before))); }
  int32_t Send(uint32_t id, bool sync, const Bytes& data) {
    return PEL_IpcServerSendData(srv.handle, id, sync, data.data(), int32_t(data.size()));
  }

  const Live before = Live::Now();
  EchoServer srv{"srv"};
  CallbackRecorder& rec = srv.events;
};

TEST_F(Server, BurstsOfClientsComeAndGoLeavingOnlyTheListeningInstances) {
  // Clients opening at once take instances before the server's connect request (535), or open and
  // close them at once (232): neither may use up the listening instances or cost another its HELLO.
  srv.echo = false;
  const Live listening = Live::Now();
  std::set<uint32_t> ids;
  for (int round = 0; round < 4; ++round) {
    std::vector<RawPipeClient> clients(16);
    std::vector<uint32_t> got(clients.size(), PEL_IPC_NO_CONN_ID);
    Signal go;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); ++i)
      threads.emplace_back([&, i] {
        if (go.Wait(5000) && i % 4 == 0) RawPipeClient().Open(srv.name, 5000);
        got[i] = clients[i].Connect(srv.name, 5000);
        if (i % 3 == 1) clients[i].Write(MakeMessage(got[i], 2, "data"));
      });
    go.Set();
    for (auto& t : threads) t.join();
    for (uint32_t id : got) ASSERT_TRUE(id != PEL_IPC_NO_CONN_ID && ids.insert(id).second) << id;
    ASSERT_TRUE(rec.WaitFor(Cb::Connect, ids.size()));
    clients.clear();
    EXPECT_TRUE(BackTo(listening)) << "round " << round;
  }
  for (uint32_t id : ids) EXPECT_EQ(rec.Count(Cb::Connect, id), 1u) << id;
}

// Connection 0 is handshaken by hand, sends and is sent to, and is still there at the destroy;
// 1 to 3 end each way a connection can. Each has one OnClose, its last callback.
TEST_F(Server, HelloWholeMessagesBothWaysAndEveryEndWithOneOnCloseLast) {
  // 0's messages come back once `echo` is set; another's "close me" ends it.
  std::atomic<bool> echo{false};
  rec.onRecv = [&](uint32_t id, const uint8_t* data, uint32_t size) {
    if (id != 0) return size == 8 ? PEL_IpcServerCloseConnection(srv.handle, id) : PEL_OK;
    return echo ? Send(id, true, Bytes(data, data + size)) : PEL_OK;
  };
  RawPipeClient client;
  Bytes m;
  ASSERT_TRUE(client.Open(srv.name) && client.SetMessageMode() && client.Read(m, 0x1000) &&
              m == MakeMessage(0, 0, "") && rec.WaitFor(Cb::Send, 1) && !rec.Count(Cb::Connect));
  ASSERT_TRUE(client.Write(MakeMessage(0, 0, "")) && rec.WaitFor(Cb::Connect, 1));
  const auto events = rec.Events();
  EXPECT_TRUE(events[0].kind == Cb::Send && events[1].kind == Cb::Connect && events[1].id == 0 &&
              events[1].threadId != GetCurrentThreadId());
  std::vector<Bytes> sent = {MakeMessage(0, 2, "abc"), MakeMessage(0, 1, "sync request"),
                             MakeMessage(0, 2, ""), MakeMessage(0, 0, "" /* no OnConnect */),
                             MakeMessage(0, 2, Pattern(PEL_IPC_MAX_CLIENT_PAYLOAD, 3))};
  for (int i = 0; i < 200; ++i) sent.push_back(MakeMessage(0, 2, Pattern(1 + i * 7919 % 20000, i)));
  sent.push_back(MakeMessage(0, 2, "four"));
  sent.back()[12] = 200;  // the bytes read count, not the length field
  std::vector<Bytes> expected;
  for (const auto& s : sent) expected.emplace_back(s.begin() + 32, s.end());
  for (const auto& s : sent) ASSERT_TRUE(client.Write(s));
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, sent.size(), 20000));
  EXPECT_TRUE(rec.Payloads(0) == expected && rec.Count(Cb::Connect) == 1);

  // 18 writes from three threads and the read stay under the limit of 20
  // even if none completes. Each is whole, each thread's in order.
  echo = true;
  std::vector<std::thread> threads;
  for (uint8_t t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) EXPECT_EQ(Send(0, false, Bytes(1000 + t * 10 + i, t)), PEL_OK);
    });
  std::vector<int> next(3, 0);
  for (int n = 0; n < 18 && client.Read(m) && m.size() > 32 && m[32] < 3; ++n)
    EXPECT_EQ(m, MakeMessage(0, 2, Bytes(1000 + m[32] * 10 + next[m[32]]++, m[32])));
  for (auto& th : threads) th.join();
  EXPECT_EQ(next, std::vector<int>(3, 6));
  const Bytes largest = Pattern(PEL_IPC_MAX_SERVER_PAYLOAD, 9);
  ASSERT_TRUE(Send(0, false, largest) == PEL_OK &&
              client.ReadExactly(m, 32 + PEL_IPC_MAX_SERVER_PAYLOAD, 20000) &&
              m == MakeMessage(0, 2, largest));
  ASSERT_TRUE(client.Write(MakeMessage(0, 1, "call")) && client.Read(m) &&
              m == MakeMessage(0, 1, "call"));
  EXPECT_TRUE(rec.WaitFor(Cb::Send, 1 + 18 + 2, 20000, 0));

  enum End { kHost = 1, kHostFromOnRecv, kClient };
  LogCapture* log = FreshLog();
  auto seen = [&](const std::string& text) { return log->Count("", text); };
  for (End end : {kHost, kHostFromOnRecv, kClient}) {
    SCOPED_TRACE(end);
    RawPipeClient peer;
    const uint32_t id = peer.Connect(srv.name);
    const std::string n = std::to_string(id);
    ASSERT_TRUE(id == uint32_t(end) && rec.WaitFor(Cb::Connect, 1, 5000, id));
    log->Clear();
    ASSERT_TRUE(peer.Write(MakeMessage(id, 2, end == kHostFromOnRecv ? "close me" : "last")) &&
                rec.WaitFor(Cb::Recv, 1, 5000, id));
    // The host's close takes the id out at once, its release otherwise.
    EXPECT_TRUE(end != kHost ||
                (PEL_IpcServerCloseConnection(srv.handle, id) == PEL_OK &&
                 PEL_IpcServerCloseConnection(srv.handle, id) == PEL_ERR_NO_CONNECTION));
    EXPECT_TRUE(end == kClient ? (peer.Close(), true) : SeesEnd(peer));
    ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, id));
    EXPECT_EQ(PEL_IpcServerCloseConnection(srv.handle, id), PEL_ERR_NO_CONNECTION);
    EXPECT_EQ(Send(id, false, Text("late")), PEL_ERR_WRITE);
    // A client gone shows at the pending read, or at the next read's request if it left before.
    EXPECT_TRUE(log->Awaits("remove and delete connection[" + n + "]["));
    EXPECT_EQ(seen("RemoveConnection: connection id[" + n + "] removed!"),
              end == kClient ? 1u : 0u);
    EXPECT_EQ(seen("CancelAllIocp for pipe[") + seen("] success!"), end == kClient ? 0u : 2u);
    EXPECT_TRUE(end != kClient ||
                seen(">>>>Pipe is Broken!!!<<<<\n") + seen("err:109! Connection[" + n + "]") == 1);
  }
  // Once the workers are gone no callback can come.
  srv.Destroy();
  std::map<uint32_t, CallbackEvent> last;
  for (const auto& e : rec.Events()) last[e.id] = e;
  for (const auto& [id, e] : last)
    EXPECT_TRUE(e.kind == Cb::Close && e.code == PEL_CLOSE_SERVER && rec.Count(Cb::Close, id) == 1)
        << id;
  EXPECT_EQ(last.size(), 4u);
}

TEST(ServerLife, DestroyInEveryState) {
  // 0 made; 1 closed twice, never started; 2 started from an ended thread, its table wiped since,
  // with a client, one whose 12 MiB of writes are stuck and one unanswered; 3 as 2, closed twice.
  for (int state = 0; state < 4; ++state) {
    SCOPED_TRACE(state);
    const Live before = Live::Now();
    const std::string name = UniquePipeName("life");
    CallbackRecorder rec;
    PelIpcCallback table = rec.Table();
    PelIpcServerHandle server = nullptr;
    std::thread([&] {
      server = PEL_CreateIpcServer(&table);
      if (state >= 2) PEL_StartIpcServer(server, FullPipeName(name.c_str()).c_str());
    }).join();
    ASSERT_NE(server, nullptr);
    std::memset(&table, 0, sizeof table);
    const Bytes mib(1 << 20, 3);
    RawPipeClient connected, stuck, silent;
    ASSERT_TRUE(state < 2 || (connected.Connect(name) == 0 && stuck.Connect(name) == 1 &&
                              rec.WaitFor(Cb::Connect, 1, 5000, 1) && silent.Open(name)));
    for (int i = 0; state >= 2 && i < 12; ++i)
      ASSERT_EQ(PEL_IpcServerSendData(server, 1, false, mib.data(), 1 << 20), PEL_OK);
    const size_t closes = state >= 2 ? 3 : 0;
    // Every connection has ended when Close returns.
    for (int i = 0; state % 2 == 1 && i < 2; ++i)
      EXPECT_TRUE(PEL_CloseIpcServer(server) == PEL_OK && rec.Count(Cb::Close) == closes &&
                  PEL_IpcServerSendData(server, 0, false, mib.data(), 1) == PEL_ERR_WRITE &&
                  (state == 1 || (SeesEnd(connected) && NameGone(name))));
    PEL_DestroyIpcServer(server);
    EXPECT_TRUE(BackTo(before));
    EXPECT_TRUE(NameGone(name) && rec.Count(Cb::Close) == closes &&
                rec.Count(Cb::Connect) == (state >= 2 ? 2u : 0u));
  }
}

}  // namespace
}  // namespace pel::test
