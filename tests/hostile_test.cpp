// Raw Win32 peers that break the protocol or do the least they can, on both
// sides: they cost their own connection at most, which ends with one OnClose.

#include "support/fixtures.h"

using namespace pel::test;

namespace {

constexpr uint32_t kGone = 99;

Bytes Message(uint32_t id, uint32_t kind, size_t size, size_t cut = 0, uint32_t magic = kRawMagic) {
  Bytes m = MakeMessage(id, kind, Bytes(size, 'x'), magic);
  m.resize(cut == 0 ? m.size() : cut);
  return m;
}

// A well-behaved raw client from start to end, a silent one until the end.
class HostileClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server->started && good.Connect(server->name) && good.Echoes("before"));
    ASSERT_NE(OpenAndReadHello(lingering), kRawNoId);
  }
  void TearDown() override {
    EXPECT_TRUE(good.Echoes("after") && server->events.Count(Cb::Close, good.id) == 0);
    server.reset();
    EXPECT_TRUE(BackTo(start));
  }
  uint32_t OpenAndReadHello(RawPipeClient& peer) {
    return peer.Open(server->name) && peer.SetMessageMode() ? peer.ReadHello() : kRawNoId;
  }
  uint32_t Announced(RawPipeClient& peer) {
    const uint32_t id = OpenAndReadHello(peer);
    EXPECT_TRUE(peer.Write(Message(id, 0, 0)) && server->events.WaitFor(Cb::Connect, 1, 5000, id));
    return id;
  }
  // id unknown: the next connection to end. Announced only if it said HELLO.
  void ExpectEnded(uint32_t id, bool announced, size_t closesBefore) {
    ASSERT_TRUE(server->events.WaitFor(Cb::Close, closesBefore + 1));
    const auto closes = EventsOf(server->events, Cb::Close);
    id = id == kRawNoId ? closes[closesBefore].id : id;
    for (const auto& e : closes) EXPECT_TRUE(e.id != id || e.code == PEL_CLOSE_SERVER);
    EXPECT_EQ(CountFor(closes, Cb::Close, id), 1u);
    EXPECT_EQ(server->events.Count(Cb::Connect, id), announced ? 1u : 0u);
  }

  const Live start = Live::Now();
  std::unique_ptr<EchoServer> server{new EchoServer("hostile")};
  RawPeer good;
  RawPipeClient lingering;
  LogCapture* log = FreshLog();
};

TEST_F(HostileClient, EveryBrokenRuleEndsOnlyItsOwnConnection) {
  // hello: 0 never reads the HELLO, 1 reads it, 2 answers it. A row writes
  // its message (cut to cut bytes) and a proper one that must not arrive.
  struct Row {
    int hello;
    uint32_t kind, size, cut, magic;
    std::string record;  // of HandleIocpRead
    size_t recvs;        // a read's worth each
  };
  const std::string kShort = "recv incompleted message!!! header size:32 recv:",
                    kForeign = "recv invalid message from client!!\n";
  std::vector<Row> rows;
  for (int hello : {1, 2}) {
    for (uint32_t cut : {1, 16, 31})
      rows.push_back({hello, 2, 64, cut, kRawMagic, kShort + std::to_string(cut) + "!!!\n", 0});
    rows.push_back({hello, 2, 3, 0, kRawMagic ^ 0x100, kForeign, 0});
  }
  for (uint32_t kind : {2, 1, 7})
    rows.push_back(
        {1, kind, 9, 0, kRawMagic, "recv business message before HELLO!! Disconnect!!!", 0});
  // A read takes 5 MiB (234, more data) as one message; the rest has no header.
  rows.push_back({2, 2, kRawMaxRead - 22, 0, kRawMagic, kShort + "10!!!\n", 1});
  rows.push_back({2, 2, kRawMaxRead + 968, 0, kRawMagic, kForeign, 1});
  rows.push_back({1, kGone, 0, 0, 0, "", 0});
  rows.push_back({0, kGone, 0, 0, 0, "", 0});
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(&row - rows.data()));
    log->Clear();
    RawPipeClient peer;
    const uint32_t id = row.hello == 0   ? kRawNoId
                        : row.hello == 1 ? OpenAndReadHello(peer)
                                         : Announced(peer);
    ASSERT_TRUE(row.hello == 0 ? peer.Open(server->name) : id != kRawNoId);
    RawPeer past;
    ASSERT_TRUE(row.hello == 2 || (past.Connect(server->name) && past.Echoes("past it")));
    past.pipe.Close();
    ASSERT_TRUE(row.hello == 2 || server->events.WaitFor(Cb::Close, 1, 5000, past.id));
    const size_t closes = server->events.Count(Cb::Close);
    if (row.kind == kGone) peer.Close();
    ASSERT_TRUE(row.kind == kGone ||
                peer.Write(Message(id, row.kind, row.size, row.cut, row.magic), 20000));
    peer.Write(Message(id, 2, 5), 500);
    ExpectEnded(id, row.hello == 2, closes);
    Bytes rest;
    for (int i = 0; row.kind != kGone && i < 8 && peer.Read(rest, kRawMaxRead); ++i) {
    }
    EXPECT_TRUE(row.kind == kGone || peer.lastError() == ERROR_BROKEN_PIPE ||
                peer.lastError() == ERROR_PIPE_NOT_CONNECTED || peer.lastError() == ERROR_NO_DATA);
    EXPECT_TRUE(id == kRawNoId || server->events.Payloads(id) ==
                                      std::vector<Bytes>(row.recvs, Bytes(kRawMaxRead - 32, 'x')));
    EXPECT_TRUE(row.record.empty() ||
                log->Awaits(row.record, "PelNamedPipeServer::HandleIocpRead"));
    EXPECT_TRUE(good.Echoes("between"));
  }
}

TEST_F(HostileClient, AFloodWithoutReadingCostsOnlyTheFloodersConnection) {
  RawPipeClient flooder;
  const uint32_t id = Announced(flooder);
  // Tiny messages, echoes unread; under Wine each queued one slows the next
  // write and read, so `make soak` floods more.
  auto seq = [](uint32_t n) { return Bytes{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)}; };
  int64_t peakKeys = 0, peakMessages = 0;
  auto sample = [&] {
    peakKeys = std::max(peakKeys, Live::Now().iocpKeys - start.iocpKeys);
    peakMessages = std::max(peakMessages, Live::Now().messages - start.messages);
    return server->events.Count(Cb::Recv, id) >= 200;
  };
  for (uint32_t n = 0, flood = EnvNumber("PEL_FLOOD_MESSAGES", 10000); n < flood; ++n) {
    ASSERT_TRUE(flooder.Write(MakeMessage(id, 2, seq(n)), 5000) && (sample() || true)) << n;
    EXPECT_TRUE(n % 5000 != 0 || good.Echoes("during the flood"));
  }
  ASSERT_TRUE(WaitUntil(sample, 20000));
  // Its 20 operations bound it, with the listening instances' connects, the
  // other clients' reads and an echo.
  const auto got = server->events.Payloads(id);
  for (uint32_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], seq(i)) << i;
  EXPECT_TRUE(peakKeys <= 20 + ServerWorkerCount() + 3 && peakMessages <= 21) << peakKeys;
  // Gone with its flood unread: the server may see that first.
  const size_t closes = server->events.Count(Cb::Close);
  flooder.Close();
  const int closed = PEL_IpcServerCloseConnection(server->handle, id);
  EXPECT_TRUE(closed == PEL_OK || closed == PEL_ERR_NO_CONNECTION) << closed;
  ExpectEnded(id, true, closes);
}

TEST_F(HostileClient, APeerThatNeverReadsGetsTwentyOperationsAndNoMore) {
  RawPipeClient peer;
  const uint32_t id = Announced(peer);
  const Bytes mib(1 << 20, 0x5A);
  int accepted = 0, result = PEL_OK;
  for (; accepted < 60 && result == PEL_OK; accepted += result == PEL_OK)
    result = PEL_IpcServerSendData(server->handle, id, false, mib.data(), 1 << 20);
  EXPECT_TRUE(result == PEL_ERR_WRITE && accepted >= 19);  // one read is outstanding too
  EXPECT_TRUE(log->Contains("PelNamedPipeServer::PostIocpWrite",
                            "] has too much unhandled iocp[20]...Abort write!<<<<\n"));
  // Its next message is echoed, then the server stops reading it.
  ASSERT_TRUE(peer.Write(MakeMessage(id, 2, "one more")));
  EXPECT_TRUE(log->Awaits("] has too much unhandled iocp[20]...Abort read!<<<<\n",
                          "PelNamedPipeServer::PostIocpRead"));
  EXPECT_TRUE(good.Echoes("while one connection is stalled"));
  Bytes m;
  for (int i = 0; i < accepted; ++i)
    ASSERT_TRUE(peer.ReadExactly(m, 32 + (1 << 20), 20000) && m == MakeMessage(id, 2, mib)) << i;
  ASSERT_TRUE(peer.Read(m) && m == MakeMessage(id, 2, "one more"));
  EXPECT_TRUE(server->events.WaitFor(Cb::Send, 2 + accepted, 20000, id));
  EXPECT_EQ(PEL_IpcServerSendData(server->handle, id, false, mib.data(), 5), PEL_OK);
  EXPECT_TRUE(peer.Read(m) && m.size() == 37);
  const size_t closes = server->events.Count(Cb::Close);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server->handle, id), PEL_OK);
  ExpectEnded(id, true, closes);
}

PEL_TEST_HELPER(vanishing_writer) {
  RawPipeClient pipe;
  const uint32_t id = pipe.Connect(args.at(0));
  while (id != kRawNoId && pipe.Write(Message(id, 2, 3 << 20), 20000)) {
  }
  return 4;
}

TEST_F(HostileClient, APeerKilledInTheMiddleOfItsWritesEndsItsConnection) {
  for (size_t round = 0; round < 4; ++round) {
    const size_t closes = server->events.Count(Cb::Close), recvs = server->events.Count(Cb::Recv);
    HelperProcess writer("vanishing_writer", {server->name});
    // Killed mid-write, echoes unread.
    ASSERT_TRUE(writer.started() && server->events.WaitFor(Cb::Recv, recvs + 2 + round, 20000));
    ASSERT_TRUE(TerminateProcess(writer.handle(), 9) && writer.Wait(5000) == 9);
    EXPECT_TRUE(server->events.WaitFor(Cb::Close, closes + 1) && good.Echoes("after it"));
  }
  EXPECT_TRUE(server->events.Count(Cb::Close) == 4 && server->events.Count(Cb::Connect) == 5);
}

class HostileServer : public ::testing::Test {
 protected:
  void ExpectEndedByPeer(RawServer& raw, size_t closesBefore) {
    raw.pipe.Disconnect();
    raw.pipe.Close();
    ASSERT_TRUE(victim.events.WaitFor(Cb::Close, closesBefore + 1) && BackTo(idle));
    EXPECT_TRUE(victim.events.Count(Cb::Close) == closesBefore + 1 &&
                !PEL_IsIpcClientConnected(victim.handle));
  }
  void ExpectUsableAgain() {
    RawServer next;
    ASSERT_TRUE(ConnectRaw(victim, next, 21) && next.Send(2, Text("usable"), 21) &&
                victim.events.WaitFor(Cb::Recv, 1, 5000, 21));
    EXPECT_EQ(victim.events.Payloads(21).back(), Text("usable"));
    ExpectEndedByPeer(next, victim.events.Count(Cb::Close));
  }

  struct Counted {  // checked last, once the client is destroyed
    const Live start = Live::Now();
    ~Counted() { EXPECT_TRUE(BackTo(start)); }
  } counted;
  Client victim;
  const Live idle = Live::Now();
  LogCapture* log = FreshLog();
};

TEST_F(HostileServer, BadMessagesAfterTheHandshakeAreDroppedAndReadingGoesOn) {
  // Two HELLOs in one write: the second is not looked at. After each row's
  // bytes and record, the next message still arrives (a foreign id changes nothing).
  RawServer raw;
  ASSERT_EQ(PEL_AsyncConnectIpcClient(victim.handle, raw.name.c_str()), PEL_OK);
  const Bytes two = Cat(Message(7, 0, 0), Message(8, 0, 0));
  Bytes answer;
  uint32_t kind = 9;
  ASSERT_TRUE(raw.pipe.Accept() && raw.pipe.Write(two) && victim.events.WaitFor(Cb::Connect, 1));
  ASSERT_TRUE(raw.ReadMessage(kind, answer) && kind == 0);
  std::vector<std::pair<Bytes, std::string>> rows;
  for (uint32_t k : {2u, 1u, 9u}) {
    for (uint32_t length : {0xFFFFFFF0u, 0x500001u, 0x7FFFFFFFu}) {
      // Refused at once, without waiting for the rest or growing the buffer.
      Bytes bytes = Message(7, k, 4096);
      std::memcpy(&bytes[12], &length, 4);
      rows.push_back({bytes, ">>>>Message length[" + std::to_string(length) +
                                 "] is larger than any sender may send[5242880]!<<<<"});
    }
  }
  rows.push_back(
      {MakeMessage(7, 1, "stray answer"), "Cannot set event! m_sync_call_event is nullptr!\n"});
  rows.push_back({Message(99, 0, 0), "Received hello message in connected state!"});
  std::vector<Bytes> expected;
  for (const auto& row : rows) {
    log->Clear();
    expected.push_back(Text("next " + std::to_string(expected.size())));
    ASSERT_TRUE(raw.pipe.Write(row.first) && log->Awaits(row.second)) << row.second;
    ASSERT_TRUE(raw.Send(2, expected.back(), 99) &&
                victim.events.WaitFor(Cb::Recv, expected.size()));
  }
  EXPECT_TRUE(victim.events.Payloads(7) == expected && victim.events.Count(Cb::Connect) == 1);
  EXPECT_EQ(victim.impl()->ReceiveCapacity(), 0x100000u);
  ScopedThread server([&] {
    if (raw.ReadMessage(kind, answer) && kind == 1) raw.Send(1, Text("real answer"));
  });
  uint8_t buffer[64] = {'?'};
  uint32_t size = sizeof buffer;
  EXPECT_EQ(PEL_IpcClientSyncCall(victim.handle, buffer, 1, buffer, &size), PEL_OK);
  server.join();
  EXPECT_EQ(Bytes(buffer, buffer + size), Text("real answer"));
  ExpectEndedByPeer(raw, 0);
  ExpectUsableAgain();
}

TEST_F(HostileServer, APartialMessageOrAnAnswerBeforeTheHelloEndsTheConnectionOnce) {
  for (size_t cut : {10u, 32u, 81u}) {
    RawServer raw;
    ASSERT_TRUE(ConnectRaw(victim, raw));
    const size_t closes = victim.events.Count(Cb::Close);
    ASSERT_TRUE(raw.pipe.Write(Message(7, 2, 100, cut)));
    ExpectEndedByPeer(raw, closes);
  }
  EXPECT_EQ(victim.events.Count(Cb::Recv), 0u);
  // An answer instead of a HELLO: OnClose from the end and the release.
  RawServer raw;
  ASSERT_EQ(PEL_AsyncConnectIpcClient(victim.handle, raw.name.c_str()), PEL_OK);
  ASSERT_TRUE(raw.pipe.Accept() && raw.Send(1, Text("answer before hello")));
  ASSERT_TRUE(victim.events.WaitFor(Cb::Close, 5));
  EXPECT_TRUE(log->Awaits("Receive business message before HELLO!! Disconnect!!!\n"));
  EXPECT_TRUE(victim.events.Count(Cb::Connect) == 3 && BackTo(idle));
  ExpectUsableAgain();
}

}  // namespace
