// Ends that race a synchronous call, hundreds of rounds each: the call
// returns one of its codes, every OnClose comes as often as it should, and
// no client is freed while a call still waits inside it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"

using pel_test::Cb;
using pel_test::Client;
using pel_test::EchoServer;
using pel_test::Gate;
using pel_test::Live;
using pel_test::Rounds;
using pel_test::SpinMicroseconds;

namespace {

TEST(SyncCloseRace, DisconnectWhileASynchronousCallIsAnswered) {
  const Live start = Live::Now();
  // A call cut off by the disconnect waits out its 2,000 ms: the rounds run
  // side by side, one client each.
  constexpr int kParallel = 20;
  const uint32_t batches = Rounds(60) / kParallel;
  {
    EchoServer server("race3s");
    ASSERT_TRUE(server.started);
    // Every request is answered at once as a synchronous reply.
    server.events.onRecv = [&server](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      return PEL_IpcServerSendData(server.handle, id, true, data, static_cast<int32_t>(size));
    };
    std::atomic<int> answered{0}, timedOut{0}, refused{0};
    std::mt19937 random(3);
    for (uint32_t batch = 0; batch < batches; ++batch) {
      std::vector<std::unique_ptr<Client>> clients;
      for (int i = 0; i < kParallel; ++i) {
        clients.emplace_back(new Client());
        ASSERT_EQ(PEL_ConnectIpcClient(clients.back()->handle, server.name.c_str()), PEL_OK);
      }
      std::vector<std::thread> threads;
      for (int i = 0; i < kParallel; ++i) {
        Client* c = clients[i].get();
        const uint32_t skewUs = random() % 3000;
        threads.emplace_back([c, skewUs, &answered, &timedOut, &refused] {
          Gate gate(2);
          std::thread disconnecter([&] {
            gate.Arrive();
            SpinMicroseconds(skewUs);
            EXPECT_EQ(PEL_DisconnectIpcClient(c->handle), 0);
          });
          const uint8_t request[8] = {1, 2, 3, 4, 5, 6, 7, 8};
          uint8_t answer[64];
          uint32_t size = sizeof answer;
          gate.Arrive();
          const int result = PEL_IpcClientSyncCall(c->handle, request, 8, answer, &size);
          disconnecter.join();
          // Answered, sent but cut off (time-out), or not sent at all.
          EXPECT_TRUE(result == PEL_OK || result == PEL_ERR_TIMEOUT || result == PEL_ERR_WRITE)
              << result;
          if (result == PEL_OK) {
            EXPECT_EQ(std::vector<uint8_t>(answer, answer + size),
                      std::vector<uint8_t>(request, request + 8));
          }
          answered += result == PEL_OK;
          timedOut += result == PEL_ERR_TIMEOUT;
          refused += result == PEL_ERR_WRITE;
          EXPECT_TRUE(c->events.WaitFor(Cb::Close, 2));
        });
      }
      for (std::thread& t : threads) t.join();
      for (auto& c : clients) EXPECT_EQ(c->events.Count(Cb::Close), 2u);
    }
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, batches * kParallel));
    std::printf("%u rounds: %d answered, %d timed out, %d not sent\n", batches * kParallel,
                answered.load(), timedOut.load(), refused.load());
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

TEST(SyncCloseRace, DestroyWhileASynchronousCallTimesOut) {
  const Live start = Live::Now();
  // Every round takes the 2,000 ms of a time-out; they run side by side.
  constexpr int kParallel = 25;
  const uint32_t batches = Rounds(100) / kParallel;
  {
    EchoServer server("race4");
    ASSERT_TRUE(server.started);
    server.echo = false;  // requests are never answered
    std::mt19937 random(4);
    for (uint32_t batch = 0; batch < batches; ++batch) {
      SCOPED_TRACE("batch " + std::to_string(batch));
      std::vector<std::unique_ptr<Client>> clients;
      for (int i = 0; i < kParallel; ++i) {
        clients.emplace_back(new Client());
        ASSERT_EQ(PEL_ConnectIpcClient(clients.back()->handle, server.name.c_str()), PEL_OK);
      }
      std::vector<std::thread> threads;
      std::vector<int> results(kParallel, -1);
      std::vector<ULONGLONG> calledAt(kParallel, 0), destroyedAt(kParallel, 0);
      for (int i = 0; i < kParallel; ++i) {
        // The destroying side aims at the end of the call's 2,000 ms wait,
        // from a little before to a little after.
        const uint32_t delay = 1800 + random() % 230;
        threads.emplace_back([&, i, delay] {
          PelIpcClientHandle handle = clients[i]->handle;
          pel_test::Signal calling;
          std::thread destroyer([&] {
            calling.Wait(5000);
            pel_test::Signal never;
            never.Wait(delay);
            PEL_DestroyIpcClient(handle);
            destroyedAt[i] = GetTickCount64();
          });
          const uint8_t request[] = {'t', 'i', 'm', 'e'};
          uint8_t answer[16];
          uint32_t size = sizeof answer;
          calledAt[i] = GetTickCount64();
          calling.Set();
          results[i] = PEL_IpcClientSyncCall(handle, request, sizeof request, answer, &size);
          destroyer.join();
        });
      }
      for (std::thread& t : threads) t.join();
      for (int i = 0; i < kParallel; ++i) {
        EXPECT_EQ(results[i], PEL_ERR_TIMEOUT) << i;
        // The client is not freed under the waiting call: destroy returns
        // only once the call's wait is over.
        EXPECT_GE(destroyedAt[i] + 20, calledAt[i] + 2000) << i;
        // Destroy of a connected client: Disconnect's OnClose and the
        // release's.
        EXPECT_EQ(clients[i]->events.Count(Cb::Close), 2u) << i;
        clients[i]->handle = nullptr;  // already destroyed
      }
    }
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, batches * kParallel));
    std::printf("%u rounds of destroy against a timing-out call\n", batches * kParallel);
  }
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now() << " instead of " << start;
}

}  // namespace
