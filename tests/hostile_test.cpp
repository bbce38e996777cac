// Raw Win32 peers that break the protocol or do the least they can, on both
// sides: they cost their own connection at most, which ends with one OnClose.

#include "support/fixtures.h"

using namespace pel::test;

namespace {

constexpr uint32_t kGone = 99;

Bytes Message(uint32_t id, uint32_t kind, size_t size, size_t cut = 0, uint32_t magic = kRawMagic,
              uint32_t length = 0) {
  Bytes m = MakeMessage(id, kind, Bytes(size, 'x'), magic);
  if (length != 0) std::memcpy(&m[12], &length, 4);
  m.resize(cut == 0 ? m.size() : cut);
  return m;
}

PEL_TEST_HELPER(vanishing_writer) {
  RawPipeClient pipe;
  const uint32_t id = pipe.Connect(args.at(0));
  while (id != kRawNoId && pipe.Write(Message(id, 2, 3 << 20), 20000)) continue;
  return 4;
}

// A well-behaved raw client from start to end and a silent one see every hostile peer come and go.
TEST(HostileClient, EveryBrokenRuleOrUnreadFloodEndsOnlyItsOwnConnection) {
  const Live start = Live::Now();
  EchoServer server("hostile");
  RawPeer good;
  RawPipeClient lingering, stalled, flooder;
  LogCapture* log = FreshLog();
  auto open = [&](RawPipeClient& p, int hello) {
    const uint32_t id = p.Open(server.name) && p.SetMessageMode() ? p.ReadHello() : kRawNoId;
    EXPECT_TRUE(hello < 2 ||
                (p.Write(Message(id, 0, 0)) && server.events.WaitFor(Cb::Connect, 1, 5000, id)));
    return id;
  };
  // Ends come one by one: the next OnClose is id's (any when unknown); announced if it said HELLO.
  auto expectEnded = [&, ended = size_t{0}](uint32_t id, bool announced) mutable {
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, ++ended));
    const CallbackEvent e = EventsOf(server.events, Cb::Close).back();
    EXPECT_TRUE((id == kRawNoId || e.id == id) && e.code == PEL_CLOSE_SERVER &&
                server.events.Count(Cb::Close) == ended);
    EXPECT_EQ(server.events.Count(Cb::Connect, e.id), announced ? 1u : 0u);
  };
  ASSERT_TRUE(server.started && good.Connect(server.name) && good.Echoes("before"));
  ASSERT_NE(open(lingering, 1), kRawNoId);

  // Rows: hello (0: never reads the HELLO, 1: reads it, 2: answers it), kind, size, cut, magic,
  // the record of HandleIocpRead. A proper message sent after the row's must not arrive.
  const std::string kShort = "recv incompleted message!!! header size:32 recv:",
                    kForeign = "recv invalid message from client!!\n",
                    kEarly = "recv business message before HELLO!! Disconnect!!!";
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, std::string>> rows;
  for (uint32_t hello : {1, 2})
    for (uint32_t cut : {1, 16, 31, 0})  // 0: whole, of a foreign magic
      rows.push_back({hello, 2, cut ? 64u : 3u, cut, kRawMagic ^ (cut ? 0 : 0x100),
                      cut ? kShort + std::to_string(cut) + "!!!\n" : kForeign});
  for (uint32_t kind : {2, 1, 7}) rows.push_back({1, kind, 9, 0, kRawMagic, kEarly});
  // A read takes 5 MiB (234, more data) as one message; the rest has no header.
  rows.insert(rows.end(), {{2, 2, kRawMaxRead - 22, 0, kRawMagic, kShort + "10!!!\n"},
                           {2, 2, kRawMaxRead + 968, 0, kRawMagic, kForeign},
                           {1, kGone, 0, 0, 0, ""},
                           {0, kGone, 0, 0, 0, ""}});
  for (const auto& [hello, kind, size, cut, magic, record] : rows) {
    SCOPED_TRACE(::testing::Message() << hello << " " << kind << " " << size << " " << cut);
    log->Clear();
    RawPipeClient peer;
    const uint32_t id = hello == 0 ? kRawNoId : open(peer, hello);
    ASSERT_TRUE(hello == 0 ? peer.Open(server.name) : id != kRawNoId);
    ASSERT_TRUE(kind == kGone ? (peer.Close(), true)
                              : peer.Write(Message(id, kind, size, cut, magic), 20000));
    peer.Write(Message(id, 2, 5), 500);
    expectEnded(id, hello == 2);
    for (Bytes rest; kind != kGone && peer.Read(rest);) continue;
    EXPECT_TRUE(kind == kGone || peer.lastError() == ERROR_BROKEN_PIPE ||
                peer.lastError() == ERROR_PIPE_NOT_CONNECTED || peer.lastError() == ERROR_NO_DATA);
    EXPECT_TRUE(server.events.Payloads(id) ==
                std::vector<Bytes>(size > kRawMaxRead / 2, Bytes(kRawMaxRead - 32, 'x')));
    EXPECT_TRUE((record.empty() || log->Awaits(record, "PelNamedPipeServer::HandleIocpRead")) &&
                good.Echoes("between"));
  }

  // A peer that never reads gets 20 operations (one of them its read) and no more.
  const uint32_t id = open(stalled, 2);
  const Bytes mib(1 << 20, 0x5A);
  int accepted = 0, result = PEL_OK;
  for (; accepted < 60 && result == PEL_OK; accepted += result == PEL_OK)
    result = PEL_IpcServerSendData(server.handle, id, false, mib.data(), 1 << 20);
  EXPECT_TRUE(result == PEL_ERR_WRITE && accepted >= 19);
  EXPECT_TRUE(log->Contains("PelNamedPipeServer::PostIocpWrite",
                            "] has too much unhandled iocp[20]...Abort write!<<<<\n"));
  // Its next message is echoed, then the server stops reading it.
  ASSERT_TRUE(stalled.Write(MakeMessage(id, 2, "one more")));
  EXPECT_TRUE(log->Awaits("] has too much unhandled iocp[20]...Abort read!<<<<\n",
                          "PelNamedPipeServer::PostIocpRead"));
  EXPECT_TRUE(good.Echoes("while one connection is stalled"));
  Bytes m;
  for (int i = 0; i < accepted; ++i)
    ASSERT_TRUE(stalled.ReadExactly(m, 32 + (1 << 20), 20000) && m == MakeMessage(id, 2, mib)) << i;
  ASSERT_TRUE(stalled.Read(m) && m == MakeMessage(id, 2, "one more"));
  EXPECT_TRUE(server.events.WaitFor(Cb::Send, 2 + accepted, 20000, id));
  EXPECT_EQ(PEL_IpcServerSendData(server.handle, id, false, mib.data(), 5), PEL_OK);
  EXPECT_TRUE(stalled.Read(m) && m.size() == 37);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server.handle, id), PEL_OK);
  expectEnded(id, true);

  // A flood of tiny messages, echoes unread (Wine slows each queued one: `make soak` floods more).
  const uint32_t flooding = open(flooder, 2);
  auto seq = [](uint32_t n) { return Bytes{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)}; };
  int64_t peakKeys = 0, peakMessages = 0;
  // The peaks after every write; the recorder is counted only while waiting at the end, as
  // counting its whole history per write would grow with the square of the flood.
  auto sample = [&] {
    const Live now = Live::Now();
    peakKeys = std::max(peakKeys, now.iocpKeys - start.iocpKeys);
    peakMessages = std::max(peakMessages, now.messages - start.messages);
  };
  for (uint32_t n = 0, flood = EnvNumber("PEL_FLOOD_MESSAGES", 10000); n < flood; ++n) {
    ASSERT_TRUE(flooder.Write(MakeMessage(flooding, 2, seq(n)), 5000)) << n;
    sample();
    EXPECT_TRUE(n % 5000 != 0 || good.Echoes("during the flood"));
  }
  ASSERT_TRUE(
      WaitUntil([&] { return sample(), server.events.Count(Cb::Recv, flooding) >= 200; }, 20000));
  // Bound: its 20 operations, the listening instances' connects, the others' reads, an echo.
  const auto got = server.events.Payloads(flooding);
  for (uint32_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], seq(i)) << i;
  EXPECT_TRUE(peakKeys <= 20 + ServerWorkerCount() + 3 && peakMessages <= 21) << peakKeys;
  // Gone with its flood unread: the server may see that first.
  flooder.Close();
  result = PEL_IpcServerCloseConnection(server.handle, flooding);
  EXPECT_TRUE(result == PEL_OK || result == PEL_ERR_NO_CONNECTION) << result;
  expectEnded(flooding, true);

  // Client processes killed in the middle of their writes, echoes unread.
  for (size_t round = 0; round < 4; ++round) {
    const size_t ended = server.events.Count(Cb::Close), recvs = server.events.Count(Cb::Recv);
    HelperProcess writer("vanishing_writer", {server.name});
    ASSERT_TRUE(writer.started() && server.events.WaitFor(Cb::Recv, recvs + 2 + round, 20000));
    ASSERT_TRUE(TerminateProcess(writer.handle(), 9) && writer.Wait(5000) == 9);
    EXPECT_TRUE(server.events.WaitFor(Cb::Close, ended + 1) && good.Echoes("after it"));
  }
  // Announced: the good one, six rows, the stalled one, the flooder, the four writers.
  EXPECT_TRUE(good.Echoes("after") && server.events.Count(Cb::Close, good.id) == 0 &&
              server.events.Count(Cb::Close) == rows.size() + 6 &&
              server.events.Count(Cb::Connect) == 1 + 6 + 2 + 4);
  server.Destroy();
  EXPECT_TRUE(BackTo(start));
}

// Our client against raw servers that send what ours never would: a message that cannot be read
// past costs the connection, any other bad one only itself.
TEST(HostileServer, BadBytesCostTheirMessageOrTheirConnectionAndTheClientGoesOn) {
  const Live start = Live::Now();
  Client victim;
  const Live idle = Live::Now();
  LogCapture* log = FreshLog();
  auto endedByPeer = [&, ends = size_t{2}](RawServer& raw) mutable {  // early's two OnCloses
    raw.pipe.Disconnect(), raw.pipe.Close();
    ASSERT_TRUE(victim.events.WaitFor(Cb::Close, ++ends) && BackTo(idle));
    EXPECT_TRUE(victim.events.Count(Cb::Close) == ends && !PEL_IsIpcClientConnected(victim.handle));
  };
  // An answer instead of a HELLO: OnClose from the end and the release.
  RawServer early, raw;
  ASSERT_TRUE(PEL_AsyncConnectIpcClient(victim.handle, early.name.c_str()) == PEL_OK &&
              early.pipe.Accept() && early.Send(1, Text("answer before hello")));
  ASSERT_TRUE(victim.events.WaitFor(Cb::Close, 2) && BackTo(idle));
  EXPECT_TRUE(log->Awaits("Receive business message before HELLO!! Disconnect!!!\n"));
  // A partial message waits for its rest until the peer goes.
  for (size_t cut : {10u, 32u, 81u}) {
    RawServer partial;
    ASSERT_TRUE(ConnectRaw(victim, partial) && partial.pipe.Write(Message(7, 2, 100, cut)));
    endedByPeer(partial);
  }
  // Two HELLOs in one write, the second not looked at; then each bad message costs only itself.
  Bytes answer;
  uint32_t kind = 9;
  ASSERT_TRUE(PEL_AsyncConnectIpcClient(victim.handle, raw.name.c_str()) == PEL_OK &&
              raw.pipe.Accept() && raw.pipe.Write(Cat(Message(7, 0, 0), Message(8, 0, 0))) &&
              victim.events.WaitFor(Cb::Connect, 4) && raw.ReadMessage(kind, answer) && kind == 0);
  std::vector<std::pair<Bytes, std::string>> rows = {
      {MakeMessage(7, 1, "stray answer"), "Cannot set event! m_sync_call_event is nullptr!\n"},
      {Message(99, 0, 0), "Received hello message in connected state!"}};
  // Refused at once, without waiting for the rest or growing the buffer.
  for (uint32_t k : {2u, 1u, 9u})
    for (uint32_t length : {0xFFFFFFF0u, 0x500001u, 0x7FFFFFFFu})
      rows.push_back({Message(7, k, 4096, 0, kRawMagic, length),
                      ">>>>Message length[" + std::to_string(length) +
                          "] is larger than any sender may send[5242880]!<<<<"});
  std::vector<Bytes> expected;  // sent after each row, under a foreign id that changes nothing
  for (const auto& row : rows) {
    log->Clear();
    expected.push_back(Text("next " + std::to_string(expected.size())));
    ASSERT_TRUE(raw.pipe.Write(row.first) && log->Awaits(row.second)) << row.second;
    ASSERT_TRUE(raw.Send(2, expected.back(), 99) &&
                victim.events.WaitFor(Cb::Recv, expected.size()));
  }
  EXPECT_TRUE(victim.events.Payloads(7) == expected && victim.events.Count(Cb::Connect) == 4);
  EXPECT_EQ(victim.impl()->ReceiveCapacity(), 0x100000u);
  ScopedThread server([&] {
    if (raw.ReadMessage(kind, answer) && kind == 1) raw.Send(1, Text("real answer"));
  });
  uint8_t buffer[64] = {'?'};
  uint32_t size = sizeof buffer;
  EXPECT_EQ(PEL_IpcClientSyncCall(victim.handle, buffer, 1, buffer, &size), PEL_OK);
  server.join();
  EXPECT_EQ(Bytes(buffer, buffer + size), Text("real answer"));
  endedByPeer(raw);
  victim.Destroy();
  EXPECT_TRUE(BackTo(start));
}

}  // namespace
