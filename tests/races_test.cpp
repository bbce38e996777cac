// Ends racing each other or cutting off a synchronous call, PEL_RACE_ROUNDS rounds: each OnClose
// comes as often as it should, never inside a host call; nothing is freed twice or left behind.

#include <chrono>
#include <list>
#include <random>

#include "support/fixtures.h"

using namespace pel::test;

namespace {

constexpr int kSenders = 3, kCalls = 10;  // calls per round, half cut off by a destroy

// Threads leave a starting line together, each after its own skew, spinning to keep microseconds.
void Leave(std::atomic<int>& line, uint32_t skewUs) {
  for (--line; line > 0;) continue;
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(skewUs);
  while (std::chrono::steady_clock::now() < end) continue;
}

// The host sends to and closes connections whose clients may be gone, holding
// a lock its OnClose takes: an OnClose inside those calls would hold it too.
struct QuickRaces {
  std::timed_mutex hostLock;
  std::atomic<DWORD> holder{0}, inHostCall{0};
  std::mt19937 random{1};
  EchoServer server{"race"}, sync{"racesync"};  // the latter for the calls cut off
  Client client, senders[kSenders];
  uint32_t turns = 0;

  QuickRaces() {
    // Requests starting with 'a' are answered at once, the others never.
    sync.events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      return data[0] == 'a' ? PEL_IpcServerSendData(sync.handle, id, true, data, int32_t(size)) : 0;
    };
    server.events.onClose = [this](uint32_t, int32_t) -> int32_t {
      if (GetCurrentThreadId() != holder && hostLock.try_lock_for(std::chrono::seconds(5)))
        return hostLock.unlock(), 0;
      return ++inHostCall, 0;
    };
  }

  // The client disconnects with echoes of up to 64 KiB on their way or half read while the host
  // sends and closes; up to 4 ms of skew either way: the server learns of it from a broken read.
  void CloseAgainstDisconnect() {
    ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
    const uint32_t id = turns;  // ids count from 0, one per connection
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, 1, 5000, id));
    const size_t closes = client.events.Count(Cb::Close), count = 1 + turns % 4;
    const std::vector<uint8_t> payload(1024 + (turns % 64) * 1024, uint8_t(turns));
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(client.Send(payload), PEL_OK);
    ASSERT_TRUE(turns % 5 != 0 || client.events.WaitFor(Cb::Recv, 1, 5000, id));
    const uint32_t skew = random() % 4000, serverFirst = random() % 2;
    std::atomic<int> line{2}, closed{-1};
    ScopedThread host([&] {
      Leave(line, serverFirst ? 0 : skew);
      std::lock_guard<std::timed_mutex> held(hostLock);
      holder = GetCurrentThreadId();
      for (int i = 0; i < 8; ++i)
        if (PEL_IpcServerSendData(server.handle, id, false, &payload[0], 64) != PEL_OK) break;
      closed = PEL_IpcServerCloseConnection(server.handle, id);
      holder = 0;
    });
    Leave(line, serverFirst ? skew : 0);
    EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), PEL_OK);
    host.join();
    EXPECT_TRUE(closed == PEL_OK || closed == PEL_ERR_NO_CONNECTION) << closed.load();
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, 1, 5000, id) &&
                client.events.WaitFor(Cb::Close, closes + 2));
    EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
    const auto got = client.events.Payloads(id);  // whole, whatever came before the end
    EXPECT_LE(got.size(), count + 8);
    for (const auto& p : got) EXPECT_TRUE(p == payload || p.size() == 64);
  }

  // A server goes (closed first every third turn, echoing every other) under full-rate senders.
  void ServerGoesUnderFullRateSenders() {
    std::list<ScopedThread> threads;  // outlive the server: they end with it
    EchoServer rate("rate");
    rate.echo = turns % 2 == 0;
    ASSERT_TRUE(rate.started);
    for (Client& c : senders) {
      ASSERT_EQ(PEL_ConnectIpcClient(c.handle, rate.name.c_str()), PEL_OK);
      threads.emplace_back([&c] {
        while (c.Send(Bytes(64, 0x5E)) == PEL_OK) continue;
      });
    }
    ASSERT_TRUE(rate.events.WaitFor(Cb::Connect, kSenders));
    ASSERT_TRUE(rate.events.WaitFor(Cb::Recv, 5 * kSenders, 10000));
    EXPECT_TRUE(turns % 3 != 0 || PEL_CloseIpcServer(rate.handle) == PEL_OK);
    rate.Destroy();
    // Each OnClose came by the time the server is gone; the clients see it.
    for (uint32_t id = 0; id < kSenders; ++id)
      EXPECT_EQ(rate.events.Count(Cb::Connect, id) + rate.events.Count(Cb::Close, id), 2u) << id;
    threads.clear();
    for (Client& c : senders)
      EXPECT_TRUE(c.events.WaitFor(Cb::Close, turns + 1) &&
                  WaitUntil([&] { return !PEL_IsIpcClientConnected(c.handle); }, 5000));
    ++turns;
  }

  // Closing the server with clients connected: their OnClose runs on workers.
  void Finish() {
    std::vector<RawPeer> left(4);
    for (auto& p : left) ASSERT_TRUE(p.Connect(server.name));
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, turns + left.size()));
    holder = GetCurrentThreadId();
    EXPECT_EQ(PEL_CloseIpcServer(server.handle), PEL_OK);
    for (uint32_t id = 0; id < turns + left.size(); ++id)
      EXPECT_EQ(server.events.Count(Cb::Close, id), 1u) << id;
    EXPECT_EQ(inHostCall, 0u);
    EXPECT_EQ(client.events.Count(Cb::Close), 2u * turns);
    for (Client& c : senders) EXPECT_EQ(c.events.Count(Cb::Close), turns);
  }
};

// Cut off by a disconnect, a call is answered, timed out or not sent; cut off by a destroy late in
// its 2,000 ms, it times out, and the destroy returns only once the call's wait is over.
void CutOffCall(Client& c, bool destroy, uint32_t skewUs) {
  const PelIpcClientHandle handle = c.handle;  // the destroy clears c.handle
  std::atomic<int> line{2};
  ULONGLONG calledAt = 0, endedAt = 0;
  ScopedThread cutter([&] {
    Leave(line, destroy ? 0 : skewUs);
    // Timing, not waiting for anything: where in the call the destroy lands.
    if (destroy) Sleep(1000 + skewUs % 1030);
    EXPECT_TRUE(destroy ? (c.Destroy(), true) : PEL_DisconnectIpcClient(handle) == PEL_OK);
    endedAt = GetTickCount64();
  });
  const Bytes request = {uint8_t(destroy ? 't' : 'a'), 2, 3, 4, 5, 6, 7, 8};
  uint8_t answer[64];
  uint32_t size = sizeof answer;
  Leave(line, 0);
  calledAt = GetTickCount64();
  const int result = PEL_IpcClientSyncCall(handle, request.data(), 8, answer, &size);
  cutter.join();
  EXPECT_TRUE(!destroy || (result == PEL_ERR_TIMEOUT && endedAt + 20 >= calledAt + 2000)) << result;
  EXPECT_TRUE(result == PEL_OK || result == PEL_ERR_TIMEOUT || result == PEL_ERR_WRITE) << result;
  EXPECT_TRUE(result != PEL_OK || Bytes(answer, answer + size) == request);
  // Disconnect's OnClose and the release's, also inside a destroy.
  EXPECT_TRUE(c.events.WaitFor(Cb::Close, 2) && c.events.Count(Cb::Close) == 2);
}

TEST(Races, EveryCloseRaceRoundAfterRound) {
  const Live start = Live::Now();
  const uint32_t rounds = EnvNumber("PEL_RACE_ROUNDS", 15);
  {
    QuickRaces quick;
    ASSERT_TRUE(quick.server.started && quick.sync.started);
    for (uint32_t round = 0; round < rounds && !HasFatalFailure(); ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      std::atomic<int> left{kCalls};
      std::list<Client> clients;  // one by one: a client does not wait for a busy pipe
      std::list<ScopedThread> calls;
      for (int i = 0; i < kCalls; ++i) {
        Client& c = clients.emplace_back();
        ASSERT_EQ(PEL_ConnectIpcClient(c.handle, quick.sync.name.c_str()), PEL_OK);
        calls.emplace_back(
            [&, i, skew = quick.random() % 3000] { CutOffCall(c, i % 2, skew), --left; });
      }
      do quick.CloseAgainstDisconnect(), quick.ServerGoesUnderFullRateSenders();
      while (left > 0 && !HasFatalFailure());
    }
    quick.Finish();
    ASSERT_TRUE(quick.sync.events.WaitFor(Cb::Close, rounds * kCalls));
    EXPECT_EQ(quick.sync.events.Count(Cb::Close), rounds * kCalls);
  }
  EXPECT_TRUE(BackTo(start));
}

}  // namespace
