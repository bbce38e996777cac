// Peers that break the protocol, written straight against Win32. Whatever
// they do costs their own connection at most: the process goes on, other
// connections keep working, the offending one ends with its OnClose, and
// nothing stays allocated.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::Bytes;
using pel_test::Cb;
using pel_test::EchoServer;
using pel_test::EnvNumber;
using pel_test::Live;
using pel_test::MakeMessage;
using pel_test::RawPeer;
using pel_test::RawPipeClient;

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFF;

// A started server keeps one listening instance per worker.
int64_t ListeningInstances() { return pel_test::ServerWorkerCount(); }

pel_test::LogCapture* Log() {
  pel_test::LogCapture* log = pel_test::LogCapture::Attach();
  EXPECT_NE(log, nullptr);
  return log;
}

// A raw peer's view of its end: the server closed the pipe on it.
bool SeesPipeEnd(RawPipeClient& peer) {
  std::vector<uint8_t> rest;
  for (int i = 0; i < 8; ++i) {
    if (!peer.Read(rest, 0x500000, 5000)) {
      const DWORD err = peer.lastError();
      return err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED || err == ERROR_NO_DATA;
    }
  }
  return false;
}

// Each case runs against one server with a well-behaved raw client on it
// from start to end; the server is destroyed and every counter checked in
// TearDown.
class HostileClient : public ::testing::Test {
 protected:
  void SetUp() override {
    start = Live::Now();
    server = new EchoServer("hostile");
    ASSERT_TRUE(server->started);
    ASSERT_TRUE(good.Connect(server->name));
    ASSERT_TRUE(good.Echoes("before"));
    log = Log();
  }
  void TearDown() override {
    // The well-behaved connection outlived whatever happened next to it.
    EXPECT_TRUE(good.Echoes("after"));
    EXPECT_EQ(server->events.Count(Cb::Close, good.id), 0u);
    delete server;
    EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
  }

  // Opens a raw client and reads the HELLO, returning the id it was given.
  uint32_t OpenAndReadHello(RawPipeClient& peer) {
    if (!peer.Open(server->name)) return kNoId;
    peer.SetMessageMode();
    return peer.ReadHello();
  }

  // The offending connection ended: its OnClose came, with 18, once, and
  // the host never heard of it otherwise when it never said HELLO.
  void ExpectEnded(uint32_t id, bool announced) {
    ASSERT_TRUE(server->events.WaitFor(Cb::Close, 1, 5000, id)) << "no OnClose for " << id;
    for (const auto& e : server->events.Events()) {
      if (e.kind == Cb::Close && e.id == id) {
        EXPECT_EQ(e.code, 18);
      }
    }
    EXPECT_EQ(server->events.Count(Cb::Close, id), 1u);
    EXPECT_EQ(server->events.Count(Cb::Connect, id), announced ? 1u : 0u);
  }

  Live start{};
  EchoServer* server = nullptr;
  RawPeer good;
  pel_test::LogCapture* log = nullptr;
};

TEST_F(HostileClient, ShortMessagesBeforeAndAfterTheHandshakeEndOnlyTheirConnection) {
  for (uint32_t size : {1u, 16u, 31u}) {
    for (bool handshake : {false, true}) {
      SCOPED_TRACE("size " + std::to_string(size) + (handshake ? " after HELLO" : " first"));
      RawPipeClient peer;
      const uint32_t id = OpenAndReadHello(peer);
      ASSERT_NE(id, kNoId);
      if (handshake) {
        ASSERT_TRUE(peer.Write(MakeMessage(id, 0, std::vector<uint8_t>())));
        ASSERT_TRUE(server->events.WaitFor(Cb::Connect, 1, 5000, id));
      }
      std::vector<uint8_t> bytes = MakeMessage(id, 2, std::string(64, 'x'));
      bytes.resize(size);
      ASSERT_TRUE(peer.Write(bytes));
      ExpectEnded(id, handshake);
      EXPECT_TRUE(SeesPipeEnd(peer));
      EXPECT_TRUE(log->Contains(
          "PelNamedPipeServer::HandleIocpRead",
          "recv incompleted message!!! header size:32 recv:" + std::to_string(size) + "!!!\n"));
      EXPECT_EQ(server->events.Count(Cb::Recv, id), 0u);
    }
  }
  EXPECT_TRUE(good.Echoes("between"));
}

TEST_F(HostileClient, WrongMagicBeforeAndAfterTheHandshakeEndsTheConnection) {
  for (bool handshake : {false, true}) {
    RawPipeClient peer;
    const uint32_t id = OpenAndReadHello(peer);
    ASSERT_NE(id, kNoId);
    if (handshake) {
      ASSERT_TRUE(peer.Write(MakeMessage(id, 0, std::vector<uint8_t>())));
    }
    // Magic with one bit flipped, then a proper message that must not arrive.
    ASSERT_TRUE(peer.Write(MakeMessage(id, 2, Bytes("bad"), 0x50495043 ^ 0x100)));
    peer.Write(MakeMessage(id, 2, "never"), 500);
    ExpectEnded(id, handshake);
    EXPECT_TRUE(SeesPipeEnd(peer));
    EXPECT_EQ(server->events.Count(Cb::Recv, id), 0u);
  }
  EXPECT_TRUE(
      log->Contains("PelNamedPipeServer::HandleIocpRead", "recv invalid message from client!!\n"));
}

TEST_F(HostileClient, BusinessOrSyncMessageBeforeTheHelloIsRefused) {
  for (uint32_t kind : {2u, 1u, 7u}) {
    RawPipeClient peer;
    const uint32_t id = OpenAndReadHello(peer);
    ASSERT_NE(id, kNoId);
    ASSERT_TRUE(peer.Write(MakeMessage(id, kind, "too early")));
    ExpectEnded(id, false);
    EXPECT_TRUE(SeesPipeEnd(peer));
    EXPECT_EQ(server->events.Count(Cb::Recv, id), 0u);
  }
  EXPECT_EQ(log->Count("PelNamedPipeServer::HandleIocpRead",
                       "recv business message before HELLO!! Disconnect!!!"),
            3u);
}

TEST_F(HostileClient, AMessageLongerThanOneReadIsCutAndWhatFollowsEndsTheConnection) {
  // The read takes 5 MiB (234, more data) and is handed on as one message;
  // the rest then arrives as a message of its own with no valid header.
  for (uint32_t tail : {10u, 1000u}) {
    RawPipeClient peer;
    const uint32_t id = OpenAndReadHello(peer);
    ASSERT_NE(id, kNoId);
    ASSERT_TRUE(peer.Write(MakeMessage(id, 0, std::vector<uint8_t>())));
    std::vector<uint8_t> payload(0x500000 - 32 + tail, 0x5A);
    ASSERT_TRUE(peer.Write(MakeMessage(id, 2, payload), 20000));
    ExpectEnded(id, true);
    const auto got = server->events.Payloads(id);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 0x500000u - 32);
    EXPECT_TRUE(SeesPipeEnd(peer));
  }
}

TEST_F(HostileClient, ClientsThatNeverSpeakStayUnannouncedAndEndWithTheirPeer) {
  RawPipeClient silent, mute, lingering;
  const uint32_t silentId = OpenAndReadHello(silent);
  ASSERT_NE(silentId, kNoId);
  ASSERT_TRUE(mute.Open(server->name));  // does not even read the HELLO
  ASSERT_NE(OpenAndReadHello(lingering), kNoId);
  // Others connect and talk past them.
  for (int i = 0; i < 3; ++i) {
    RawPeer other;
    ASSERT_TRUE(other.Connect(server->name));
    EXPECT_TRUE(other.Echoes("past the silent ones"));
  }
  EXPECT_EQ(server->events.Count(Cb::Connect, silentId), 0u);
  silent.Close();
  mute.Close();
  ExpectEnded(silentId, false);
  // Four of the silent kind ended (three well-behaved ones closed too), and
  // the lingering one is still there until the server goes.
  EXPECT_TRUE(server->events.WaitFor(Cb::Close, 5));
  EXPECT_EQ(server->events.Count(Cb::Close), 5u);
}

TEST_F(HostileClient, ClientsThatVanishAtOnceDoNotUseUpTheListeningInstances) {
  // Each opens an instance and closes it before the server has handled the
  // connect, so the server's first read on it fails; three times as many as
  // there are listening instances.
  const int64_t listening = ListeningInstances();
  auto allListening = [&] {
    // One connect context per listening instance, and the read of the
    // well-behaved client.
    return pel_test::WaitUntil([&] { return pel::diag::Live().iocpKeys.load() == listening + 1; },
                               5000);
  };
  for (int64_t i = 0; i < 3 * listening; ++i) {
    RawPipeClient gone;
    ASSERT_TRUE(gone.Open(server->name)) << i << " error " << gone.lastError();
    gone.Close();
    ASSERT_TRUE(allListening()) << i << ": " << pel::diag::Live().iocpKeys.load();
  }
  // The server still takes new clients. (One that opens an instance in the
  // moment between its creation and its connect request finds it closed by
  // the server, which counts that request as failed; it tries again.)
  for (int64_t i = 0; i < listening + 2; ++i) {
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
      RawPeer next;
      connected = next.Connect(server->name) && next.Echoes("still accepted");
    }
    EXPECT_TRUE(connected) << i;
  }
}

TEST_F(HostileClient, AFloodWithoutReadingCostsOnlyTheFloodersConnection) {
  RawPipeClient flooder;
  const uint32_t id = OpenAndReadHello(flooder);
  ASSERT_NE(id, kNoId);
  ASSERT_TRUE(flooder.Write(MakeMessage(id, 0, std::vector<uint8_t>())));
  ASSERT_TRUE(server->events.WaitFor(Cb::Connect, 1, 5000, id));

  // Counters sampled while the flood runs: the server's memory for one
  // connection is bounded by its limit of outstanding operations.
  std::atomic<bool> flooding{true};
  std::atomic<int64_t> peakKeys{0};
  std::atomic<int64_t> peakMessages{0};
  std::thread sampler([&] {
    while (flooding) {
      const int64_t keys = pel::diag::Live().iocpKeys.load();
      const int64_t messages = pel::diag::Live().messages.load();
      if (keys > peakKeys) peakKeys = keys;
      if (messages > peakMessages) peakMessages = messages;
      Sleep(1);
    }
  });
  // Tiny messages all fit the pipe's 5 MiB, so the flood is in long before
  // the server has read much of it, and the echoes are never read. Under
  // Wine each queued message makes the next write slower (100,000 take
  // minutes), so the suite floods 20,000 and `make soak` the full 100,000.
  const uint32_t kFlood = EnvNumber("PEL_FLOOD_MESSAGES", 20000);
  uint32_t written = 0;
  for (; written < kFlood; ++written) {
    std::vector<uint8_t> payload(8);
    std::memcpy(payload.data(), &written, 4);
    if (!flooder.Write(MakeMessage(id, 2, payload), 5000)) break;
    if (written % 5000 == 0) {
      EXPECT_TRUE(good.Echoes("during the flood"));
    }
  }
  EXPECT_EQ(written, kFlood);
  EXPECT_TRUE(good.Echoes("while the flood is being read"));
  ASSERT_TRUE(server->events.WaitFor(Cb::Recv, 200, 20000, id));
  flooding = false;
  sampler.join();
  // What arrived so far arrived once and in order.
  const auto got = server->events.Payloads(id);
  for (uint32_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].size(), 8u);
    ASSERT_EQ(pel_test::U32At(got[i], 0), i);
  }
  // Up to 20 operations of this connection, the listening instances'
  // connects and the well-behaved client's read and echo: not one per message.
  EXPECT_LE(peakKeys.load(), 20 + ListeningInstances() + 2);
  EXPECT_LE(peakMessages.load(), 21);
  // The flooder goes with most of its flood unread; the server ends it (the
  // rest of the flood is dropped when the server is destroyed in TearDown).
  flooder.Close();
  EXPECT_EQ(server->events.Count(Cb::Close, id), 0u);
  EXPECT_EQ(PEL_IpcServerCloseConnection(server->handle, id), PEL_OK);
  ExpectEnded(id, true);
}

TEST_F(HostileClient, AFloodOfLargeMessagesThatStallsTheEchoIsBoundedAndEndsWithItsPeer) {
  // The host answers every message with 256 KiB that the flooder never
  // reads: the pipe fills, writes pile up to the limit, and the server then
  // stops reading from this connection rather than hoarding memory.
  server->events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
    if (size == 0) return 0;
    if (id == good.id) {
      return PEL_IpcServerSendData(server->handle, id, false, data, static_cast<int32_t>(size));
    }
    std::vector<uint8_t> big(256 * 1024, 0x33);
    return PEL_IpcServerSendData(server->handle, id, false, big.data(),
                                 static_cast<int32_t>(big.size()));
  };
  RawPipeClient flooder;
  const uint32_t id = OpenAndReadHello(flooder);
  ASSERT_NE(id, kNoId);
  ASSERT_TRUE(flooder.Write(MakeMessage(id, 0, std::vector<uint8_t>())));
  uint32_t written = 0;
  for (; written < 100000; ++written) {
    if (!flooder.Write(MakeMessage(id, 2, std::string(8192, 'f')), 1000)) break;
  }
  EXPECT_LT(written, 100000u);  // the server stopped reading it
  // The flooder's outstanding operations, the listening instances and the
  // well-behaved client's read.
  EXPECT_LE(pel::diag::Live().iocpKeys.load(), 20 + ListeningInstances() + 1);
  EXPECT_LE(pel::diag::Live().messages.load(), 20);
  EXPECT_TRUE(good.Echoes("while one connection is stalled"));
  flooder.Close();
  ExpectEnded(id, true);
}

PEL_TEST_HELPER(vanishing_writer) {
  // Connects, says HELLO, then writes large messages as fast as it can and
  // never reads, until the test kills this process mid-write.
  RawPipeClient pipe;
  if (args.empty() || !pipe.Open(args[0])) return 2;
  pipe.SetMessageMode();
  const uint32_t id = pipe.Handshake();
  if (id == kNoId) return 3;
  std::vector<uint8_t> payload(3 * 1024 * 1024, 0x71);
  for (;;) {
    if (!pipe.Write(MakeMessage(id, 2, payload), 20000)) return 4;
  }
}

TEST_F(HostileClient, APeerKilledInTheMiddleOfItsWritesEndsItsConnection) {
  for (int round = 0; round < 4; ++round) {
    const size_t closesBefore = server->events.Count(Cb::Close);
    const size_t recvBefore = server->events.Count(Cb::Recv);
    pel_test::HelperProcess writer("vanishing_writer", {server->name});
    ASSERT_TRUE(writer.started());
    // Killed after a few of its messages, while the next is on its way and
    // the server's echoes of the last ones wait to be read.
    ASSERT_TRUE(server->events.WaitFor(Cb::Recv, recvBefore + 2 + round, 20000));
    TerminateProcess(writer.handle(), 9);
    ASSERT_EQ(writer.Wait(5000), 9);
    EXPECT_TRUE(server->events.WaitFor(Cb::Close, closesBefore + 1, 5000));
    EXPECT_TRUE(good.Echoes("after a vanished writer"));
  }
  EXPECT_EQ(server->events.Count(Cb::Close), 4u);
  EXPECT_EQ(server->events.Count(Cb::Connect), 5u);  // the good client and four writers
}

}  // namespace

namespace {

using pel_test::Client;
using pel_test::RawServer;
using pel_test::Text;

// Each case has our client meet a raw server that misbehaves, while a second
// client of ours talks to a server of ours on the side.
class HostileServer : public ::testing::Test {
 protected:
  void SetUp() override {
    start = Live::Now();
    healthyServer = new EchoServer("healthy");
    ASSERT_TRUE(healthyServer->started);
    healthy = new Client();
    victim = new Client();
    ASSERT_NE(healthy->handle, nullptr);
    ASSERT_NE(victim->handle, nullptr);
    ASSERT_EQ(PEL_ConnectIpcClient(healthy->handle, healthyServer->name.c_str()), PEL_OK);
    ASSERT_TRUE(HealthyEchoes("before"));
    log = Log();
    // At rest the healthy server holds its listening instances (a record, a
    // context and a pipe each) and its one connection with its read; the
    // healthy client holds its record and pipe. The instance that replaces
    // the one the client took, the echo's write context and the messages of
    // both writes all come or go a little after the echo.
    const int64_t listening = ListeningInstances();
    ASSERT_TRUE(pel_test::WaitUntil(
        [&] {
          const Live now = Live::Now();
          return now.iocpKeys - start.iocpKeys == listening + 1 &&
                 now.connections - start.connections == listening + 2 &&
                 now.pipeHandles - start.pipeHandles == listening + 2 &&
                 now.messages == start.messages;
        },
        5000))
        << Live::Now();
    idle = Live::Now();
  }
  void TearDown() override {
    EXPECT_TRUE(HealthyEchoes("after"));
    EXPECT_EQ(healthy->events.Count(Cb::Close), 0u);
    delete victim;
    delete healthy;
    delete healthyServer;
    EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
  }

  bool HealthyEchoes(const std::string& text) {
    const size_t before = healthy->events.Count(Cb::Recv);
    if (healthy->Send(Text(text)) != PEL_OK) return false;
    if (!healthy->events.WaitFor(Cb::Recv, before + 1)) return false;
    return healthy->events.Payloads(0).back() == Text(text);
  }

  // The raw server vanished: the victim's connection ended with one OnClose
  // from its work thread and the client holds nothing any more.
  void ExpectEndedByPeer(RawServer& raw, size_t closesBefore) {
    raw.pipe.Disconnect();
    raw.pipe.Close();
    ASSERT_TRUE(victim->events.WaitFor(Cb::Close, closesBefore + 1));
    EXPECT_TRUE(pel_test::BackTo(idle)) << Live::Now() << " instead of " << idle;
    EXPECT_EQ(victim->events.Count(Cb::Close), closesBefore + 1);
    EXPECT_FALSE(PEL_IsIpcClientConnected(victim->handle));
  }

  // The victim is still usable: it connects to a proper peer and receives.
  void ExpectUsableAgain() {
    RawServer next;
    ASSERT_TRUE(pel_test::ConnectRaw(*victim, next, 21));
    const size_t before = victim->events.Count(Cb::Recv, 21);
    ASSERT_TRUE(next.Send(2, Text("usable"), 21));
    ASSERT_TRUE(victim->events.WaitFor(Cb::Recv, before + 1, 5000, 21));
    EXPECT_EQ(victim->events.Payloads(21).back(), Text("usable"));
    ExpectEndedByPeer(next, victim->events.Count(Cb::Close));
  }

  bool WaitForLog(const std::string& text, size_t n = 1) {
    return pel_test::WaitUntil([&] { return log->Count("", text) >= n; }, 5000);
  }

  Live start{}, idle{};
  EchoServer* healthyServer = nullptr;
  Client* healthy = nullptr;
  Client* victim = nullptr;
  pel_test::LogCapture* log = nullptr;
};

std::vector<uint8_t> HeaderOnly(uint32_t kind, uint32_t length, uint32_t id = 7) {
  std::vector<uint8_t> m = MakeMessage(id, kind, std::vector<uint8_t>());
  std::memcpy(&m[12], &length, 4);
  return m;
}

TEST_F(HostileServer, HugeLengthFieldsAreRefusedWithoutWaitingOrGrowing) {
  RawServer raw;
  ASSERT_TRUE(pel_test::ConnectRaw(*victim, raw));
  const std::string refused = " is larger than any sender may send[5242880]!<<<<";
  size_t n = 0;
  for (uint32_t kind : {2u, 1u, 9u}) {
    for (uint32_t length : {0xFFFFFFF0u, 0x500001u, 0x7FFFFFFFu}) {
      // A header that promises more than any sender may send, and the start
      // of its "payload".
      std::vector<uint8_t> bytes = HeaderOnly(kind, length);
      bytes.resize(bytes.size() + 4096, 0xEE);
      ASSERT_TRUE(raw.pipe.Write(bytes));
      ASSERT_TRUE(WaitForLog(refused, ++n)) << kind << " " << length;
      ASSERT_TRUE(raw.Send(2, Text("next " + std::to_string(n))));
      ASSERT_TRUE(victim->events.WaitFor(Cb::Recv, n));
      EXPECT_EQ(victim->events.Payloads(7).back(), Text("next " + std::to_string(n)));
    }
  }
  EXPECT_TRUE(log->Contains("", ">>>>Message length[4294967280]" + refused));
  EXPECT_EQ(victim->impl()->ReceiveCapacity(), 0x100000u);
  ExpectEndedByPeer(raw, 0);
  ExpectUsableAgain();
}

TEST_F(HostileServer, APartialMessageThenCloseEndsOnceAndDeliversNothing) {
  for (size_t cut : {10u, 32u, 31u + 50u}) {
    RawServer raw;
    ASSERT_TRUE(pel_test::ConnectRaw(*victim, raw));
    const size_t closes = victim->events.Count(Cb::Close);
    std::vector<uint8_t> message = MakeMessage(7, 2, std::string(100, 'p'));
    message.resize(cut);
    ASSERT_TRUE(raw.pipe.Write(message));
    ExpectEndedByPeer(raw, closes);
    EXPECT_EQ(victim->events.Count(Cb::Recv), 0u) << cut;
  }
  ExpectUsableAgain();
}

TEST_F(HostileServer, SyncAnswersNobodyAskedForAreDropped) {
  {
    // Instead of a HELLO: the client refuses the connection.
    RawServer raw;
    ASSERT_EQ(PEL_AsyncConnectIpcClient(victim->handle, raw.name.c_str()), PEL_OK);
    ASSERT_TRUE(raw.pipe.Accept());
    ASSERT_TRUE(raw.Send(1, Text("answer before hello")));
    // Ended as Disconnect ends it: OnClose from the end itself, then from the
    // release of the record.
    ASSERT_TRUE(victim->events.WaitFor(Cb::Close, 2));
    EXPECT_TRUE(WaitForLog("Receive business message before HELLO!! Disconnect!!!\n"));
    EXPECT_EQ(victim->events.Count(Cb::Connect), 0u);
    EXPECT_TRUE(pel_test::BackTo(idle)) << Live::Now();
  }
  RawServer raw;
  ASSERT_TRUE(pel_test::ConnectRaw(*victim, raw));
  ASSERT_TRUE(raw.Send(1, Text("stray answer")));
  ASSERT_TRUE(WaitForLog("Cannot set event! m_sync_call_event is nullptr!\n"));
  ASSERT_TRUE(raw.Send(2, Text("business")));
  ASSERT_TRUE(victim->events.WaitFor(Cb::Recv, 1));
  EXPECT_EQ(victim->events.Payloads(7), (std::vector<std::vector<uint8_t>>{Text("business")}));
  // The first real call gets its own answer, not the stray one.
  pel_test::ScopedThread answer([&] {
    uint32_t kind = 0;
    std::vector<uint8_t> request;
    if (raw.ReadMessage(kind, request) && kind == 1) raw.Send(1, Text("real answer"));
  });
  const uint8_t request[] = {'?'};
  uint8_t buffer[64];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(PEL_IpcClientSyncCall(victim->handle, request, 1, buffer, &size), PEL_OK);
  answer.join();
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), Text("real answer"));
  ExpectEndedByPeer(raw, 2);
}

TEST_F(HostileServer, HelloTwiceIsSkippedAndTheFirstIdStays) {
  {
    // Two HELLOs in one write: the bytes behind the first are not looked at.
    RawServer raw;
    ASSERT_EQ(PEL_AsyncConnectIpcClient(victim->handle, raw.name.c_str()), PEL_OK);
    ASSERT_TRUE(raw.pipe.Accept());
    std::vector<uint8_t> two = MakeMessage(7, 0, std::vector<uint8_t>());
    const std::vector<uint8_t> second = MakeMessage(8, 0, std::vector<uint8_t>());
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(raw.pipe.Write(two));
    ASSERT_TRUE(victim->events.WaitFor(Cb::Connect, 1));
    uint32_t kind = 9;
    std::vector<uint8_t> answer;
    ASSERT_TRUE(raw.ReadMessage(kind, answer));
    EXPECT_EQ(kind, 0u);
    ASSERT_TRUE(raw.Send(2, Text("one")));
    ASSERT_TRUE(victim->events.WaitFor(Cb::Recv, 1, 5000, 7));
    ExpectEndedByPeer(raw, 0);
  }
  RawServer raw;
  ASSERT_TRUE(pel_test::ConnectRaw(*victim, raw, 7));
  ASSERT_TRUE(raw.pipe.Write(MakeMessage(99, 0, std::vector<uint8_t>())));
  ASSERT_TRUE(WaitForLog("Received hello message in connected state!"));
  ASSERT_TRUE(raw.Send(2, Text("two"), 99));
  ASSERT_TRUE(victim->events.WaitFor(Cb::Recv, 2));
  // Still connection 7 to the host; the second HELLO changed nothing.
  EXPECT_EQ(victim->events.Payloads(7),
            (std::vector<std::vector<uint8_t>>{Text("one"), Text("two")}));
  EXPECT_EQ(victim->events.Count(Cb::Connect), 2u);
  ExpectEndedByPeer(raw, 1);
  ExpectUsableAgain();
}

TEST_F(HostileServer, GarbageAfterTheHandshakeCostsOnlyThatConnection) {
  std::mt19937 random(20240607);
  for (int round = 0; round < 3; ++round) {
    RawServer raw;
    ASSERT_TRUE(pel_test::ConnectRaw(*victim, raw));
    const size_t closes = victim->events.Count(Cb::Close);
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> junk(1 + random() % 8192);
      for (auto& b : junk) b = static_cast<uint8_t>(random());
      // Now and then a header that looks right, to get past the first test.
      if (i % 5 == 0 && junk.size() >= 32) {
        const std::vector<uint8_t> h = HeaderOnly(random() % 4, random() % 0x600000);
        std::copy(h.begin(), h.begin() + 16, junk.begin());
      }
      ASSERT_TRUE(raw.pipe.Write(junk));
      if (i % 10 == 0) {
        EXPECT_TRUE(HealthyEchoes("during garbage"));
      }
    }
    // Whatever it made of the bytes, no payload outgrew what a server sends.
    for (const auto& p : victim->events.Payloads(7)) EXPECT_LE(p.size(), 0x500000u);
    EXPECT_LE(victim->impl()->ReceiveCapacity(), 2u * (0x500000 + 32 + 0x500000) + 8192);
    ExpectEndedByPeer(raw, closes);
  }
  ExpectUsableAgain();
}

}  // namespace
