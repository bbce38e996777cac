// Ends that race each other, hundreds of rounds each: every OnClose comes as
// often as it should, no record is freed twice, none is left, and the next
// round works.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"

using pel_test::Cb;
using pel_test::Client;
using pel_test::CountFor;
using pel_test::EchoServer;
using pel_test::Gate;
using pel_test::Live;
using pel_test::Rounds;
using pel_test::SpinMicroseconds;

namespace {

TEST(CloseRace, ServerClosesTheConnectionWhileTheClientDisconnects) {
  const Live start = Live::Now();
  const uint32_t rounds = Rounds(100);
  {
    EchoServer server("race1");
    ASSERT_TRUE(server.started);
    Client client;
    std::mt19937 random(1);
    int nineteen = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
      ASSERT_TRUE(server.events.WaitFor(Cb::Connect, round + 1));
      const uint32_t id = round;  // ids count from 0, one per connection
      ASSERT_EQ(server.events.Count(Cb::Connect, id), 1u);
      const size_t clientCloses = client.events.Count(Cb::Close);
      // Up to a few milliseconds of skew either way: the server learns of
      // the client's end only when its read comes back broken, so the
      // client's side needs a head start to win now and then.
      const uint32_t skew = random() % 4000;
      const bool serverFirst = random() % 2 == 0;
      Gate gate(2);
      int closeResult = -1, disconnectResult = -1;
      std::thread closer([&] {
        gate.Arrive();
        if (!serverFirst) SpinMicroseconds(skew);
        closeResult = PEL_IpcServerCloseConnection(server.handle, id);
      });
      gate.Arrive();
      if (serverFirst) SpinMicroseconds(skew);
      disconnectResult = PEL_DisconnectIpcClient(client.handle);
      closer.join();
      // The id is found, or already released because the broken pipe won.
      EXPECT_TRUE(closeResult == PEL_OK || closeResult == PEL_ERR_NO_CONNECTION) << closeResult;
      nineteen += closeResult == PEL_ERR_NO_CONNECTION;
      EXPECT_EQ(disconnectResult, 0);
      ASSERT_TRUE(server.events.WaitFor(Cb::Close, 1, 5000, id));
      // The client reports the end from Disconnect and from the release of
      // its record, whichever side closed first.
      ASSERT_TRUE(client.events.WaitFor(Cb::Close, clientCloses + 2));
      EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));
    }
    const auto events = server.events.Events();
    for (uint32_t id = 0; id < rounds; ++id) EXPECT_EQ(CountFor(events, Cb::Close, id), 1u) << id;
    EXPECT_EQ(client.events.Count(Cb::Close), 2u * rounds);
    std::printf("%u rounds, the client's end won %d times\n", rounds, nineteen);
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

TEST(CloseRace, OnCloseNeverRunsInsideAHostCall) {
  // The host's OnClose takes a lock the host holds while it sends to and
  // closes clients that vanish meanwhile. An OnClose inside those calls
  // would find the lock held by its own thread.
  const Live start = Live::Now();
  const uint32_t rounds = Rounds(100);
  const DWORD host = GetCurrentThreadId();
  std::timed_mutex hostLock;
  std::atomic<int> onHostThread{0}, stuck{0};
  {
    EchoServer server("hostlock");
    ASSERT_TRUE(server.started);
    server.events.onClose = [&](uint32_t, int32_t) -> int32_t {
      if (GetCurrentThreadId() == host) ++onHostThread;
      if (!hostLock.try_lock_for(std::chrono::seconds(5))) {
        ++stuck;
        return 0;
      }
      hostLock.unlock();
      return 0;
    };
    const std::vector<uint8_t> data = pel_test::Bytes("to a client that may be gone");
    for (uint32_t round = 0; round < rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      pel_test::RawPeer peer;
      ASSERT_TRUE(peer.Connect(server.name));
      ASSERT_TRUE(server.events.WaitFor(Cb::Connect, 1, 5000, peer.id));
      peer.pipe.Close();
      std::lock_guard<std::timed_mutex> held(hostLock);
      // Sends until the broken pipe has come back (or the rounds' share of
      // sends is spent), then closes: whichever call drops the last hold.
      for (int i = 0; i < 50; ++i) {
        if (PEL_IpcServerSendData(server.handle, peer.id, false, data.data(),
                                  static_cast<int32_t>(data.size())) != PEL_OK)
          break;
      }
      if (round % 2 == 0) PEL_IpcServerCloseConnection(server.handle, peer.id);
    }
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, rounds, 10000));
    // Close, with clients still connected: their OnClose runs on workers too.
    std::vector<pel_test::RawPeer> left(4);
    for (auto& p : left) ASSERT_TRUE(p.Connect(server.name));
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, rounds + left.size()));
    EXPECT_EQ(PEL_CloseIpcServer(server.handle), PEL_OK);
    EXPECT_EQ(server.events.Count(Cb::Close), rounds + left.size());
    for (const auto& e : server.events.Events()) {
      if (e.kind == Cb::Close) {
        EXPECT_NE(e.threadId, static_cast<uint32_t>(host));
      }
    }
  }
  EXPECT_EQ(onHostThread.load(), 0);
  EXPECT_EQ(stuck.load(), 0);
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

TEST(CloseRace, ServerClosesWhileClientsSendAtFullRate) {
  const Live start = Live::Now();
  const uint32_t rounds = Rounds(70);
  constexpr int kClients = 3;
  {
    Client clients[kClients];
    uint64_t sent = 0, received = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      EchoServer server("race2");
      server.echo = round % 2 == 0;  // half the rounds also write back
      ASSERT_TRUE(server.started);
      for (Client& c : clients) {
        ASSERT_EQ(PEL_ConnectIpcClient(c.handle, server.name.c_str()), PEL_OK);
      }
      ASSERT_TRUE(server.events.WaitFor(Cb::Connect, kClients));
      std::atomic<int> running{kClients};
      std::atomic<uint64_t> accepted{0};
      std::vector<std::thread> senders;
      for (Client& c : clients) {
        senders.emplace_back([&c, &running, &accepted] {
          const std::vector<uint8_t> payload(64, 0x5E);
          while (PEL_IpcClientSendData(c.handle, payload.data(), 64) == PEL_OK) ++accepted;
          --running;
        });
      }
      // Close once the senders are at full speed.
      ASSERT_TRUE(server.events.WaitFor(Cb::Recv, 5 * kClients, 10000));
      if (round % 3 == 0) {
        EXPECT_EQ(PEL_CloseIpcServer(server.handle), PEL_OK);
      }
      server.Destroy();
      // Every connection the host heard of got its one OnClose by the time
      // the server is gone.
      const auto events = server.events.Events();
      for (uint32_t id = 0; id < kClients; ++id) {
        EXPECT_EQ(CountFor(events, Cb::Connect, id), 1u) << id;
        EXPECT_EQ(CountFor(events, Cb::Close, id), 1u) << id;
      }
      // The clients see their pipes broken, stop being able to send, and
      // each reports the end once.
      for (std::thread& t : senders) t.join();
      EXPECT_EQ(running.load(), 0);
      for (Client& c : clients) {
        EXPECT_TRUE(c.events.WaitFor(Cb::Close, round + 1)) << &c;
        EXPECT_TRUE(pel_test::WaitUntil([&] { return !PEL_IsIpcClientConnected(c.handle); }, 5000));
      }
      sent += accepted.load();
      received += server.events.Count(Cb::Recv);
    }
    for (Client& c : clients) EXPECT_EQ(c.events.Count(Cb::Close), rounds);
    std::printf("%u rounds: %llu messages accepted by the clients, %llu reached the server\n",
                rounds, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(received));
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

TEST(CloseRace, DisconnectWhileRepliesArrive) {
  const Live start = Live::Now();
  const uint32_t rounds = Rounds(100);
  {
    EchoServer server("race3");
    ASSERT_TRUE(server.started);
    Client client;
    size_t repliesSeen = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
      const size_t closes = client.events.Count(Cb::Close);
      const size_t replies = client.events.Count(Cb::Recv);
      // Echoes of up to 64 KiB each are on their way, or half read, when
      // the client hangs up; every few rounds it waits for the first.
      const std::vector<uint8_t> payload(1024 + (round % 64) * 1024, static_cast<uint8_t>(round));
      const int count = 1 + round % 4;
      for (int i = 0; i < count; ++i) {
        ASSERT_EQ(client.Send(payload), PEL_OK);
      }
      if (round % 5 == 0) {
        ASSERT_TRUE(client.events.WaitFor(Cb::Recv, replies + 1));
      }
      EXPECT_EQ(PEL_DisconnectIpcClient(client.handle), 0);
      ASSERT_TRUE(client.events.WaitFor(Cb::Close, closes + 2));
      ASSERT_TRUE(server.events.WaitFor(Cb::Close, 1, 5000, round));
      // Whatever arrived before the end arrived whole.
      const auto got = client.events.Payloads(round);
      EXPECT_LE(got.size(), static_cast<size_t>(count));
      for (const auto& p : got) EXPECT_EQ(p, payload);
      repliesSeen += got.size();
    }
    EXPECT_EQ(client.events.Count(Cb::Close), 2u * rounds);
    EXPECT_EQ(server.events.Count(Cb::Close), rounds);
    std::printf("%u rounds, %zu replies arrived before the disconnect\n", rounds, repliesSeen);
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

}  // namespace
