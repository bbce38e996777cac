// The client's data path against a raw pipe server: how sends are cut and
// ordered, and how the byte stream from the server is cut into messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::Client;
using pel_test::ConnectRaw;
using pel_test::FreshLog;
using pel_test::MakeMessage;
using pel_test::Pattern;
using pel_test::RawServer;
using pel_test::Text;

namespace {

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::vector<uint8_t>(v.begin() + from, v.begin() + to);
}

std::vector<std::vector<uint8_t>> Received(Client& client) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& e : pel_test::EventsOf(client.events, Cb::Recv)) out.push_back(e.payload);
  return out;
}

}  // namespace

TEST(ClientSend, LargeDataLeavesAsMessagesOfAtMost716800BytesInOrder) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  const size_t sizes[] = {716800, 716801, 1000000};
  uint8_t seed = 1;
  for (size_t size : sizes) {
    const std::vector<uint8_t> data = Pattern(size, seed++);
    ASSERT_EQ(client.Send(data), PEL_OK) << size;
    std::vector<uint8_t> joined;
    std::vector<size_t> pieces;
    while (joined.size() < size) {
      uint32_t kind = 0;
      std::vector<uint8_t> payload;
      ASSERT_TRUE(server.ReadMessage(kind, payload)) << size;
      EXPECT_EQ(kind, 2u);
      pieces.push_back(payload.size());
      joined.insert(joined.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(joined, data) << size;
    const std::vector<size_t> expected = size == 716800   ? std::vector<size_t>{716800}
                                         : size == 716801 ? std::vector<size_t>{716800, 1}
                                                          : std::vector<size_t>{716800, 283200};
    EXPECT_EQ(pieces, expected);
  }
  // One OnSend per completed write: the HELLO and five messages.
  EXPECT_TRUE(client.events.WaitFor(Cb::Send, 6));
  for (const auto& e : pel_test::EventsOf(client.events, Cb::Send)) EXPECT_EQ(e.id, 7u);
}

TEST(ClientSend, RefusesWhenNotConnectedAndChecksItsArguments) {
  Client client;
  auto* log = FreshLog();
  const std::vector<uint8_t> data = Text("x");
  EXPECT_EQ(client.Send(data), PEL_ERR_STATE);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SendData", "Not connected!\n"));
  EXPECT_TRUE(log->Contains("PEL_IpcClientSendData", ">>>>Send data to server failed! err:3!<<<<"));

  // Connecting is not connected: the HELLO has not been handled yet.
  RawServer server;
  ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  EXPECT_EQ(client.Send(data), PEL_ERR_STATE);
  ASSERT_TRUE(server.Accept(7));
  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));

  log->Clear();
  EXPECT_EQ(PEL_IpcClientSendData(client.handle, nullptr, 1), PEL_ERR_INVALID_ARG);
  EXPECT_EQ(PEL_IpcClientSendData(client.handle, data.data(), 0), PEL_ERR_INVALID_ARG);
  EXPECT_EQ(PEL_IpcClientSendData(client.handle, data.data(), -5), PEL_ERR_INVALID_ARG);
  EXPECT_EQ(log->Count("PEL_IpcClientSendData", ">>>>data_size less than 1!<<<<"), 2u);
  EXPECT_EQ(PEL_IpcClientSendData(nullptr, data.data(), 1), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_IpcClientSendData", ">>>>client is NULL!<<<<"));

  // The client operation itself: no HELLO through it, no oversize message.
  PelNamedPipeClient* impl = client.impl();
  EXPECT_EQ(impl->SendData(0, data.data(), 1), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("", "Cannot send hello in this function!!\n"));
  const std::vector<uint8_t> big(716801, 1);
  EXPECT_EQ(impl->SendData(2, big.data(), 716801), PEL_ERR_TOO_LARGE);
  EXPECT_TRUE(log->Contains("", "Data size[716801] too large! Max size is:716800!\n"));
  EXPECT_EQ(impl->SendData(2, nullptr, 1), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("", "Invalid parameter!\n"));

  // None of that reached the pipe.
  ASSERT_EQ(client.Send(Text("only this")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(server.ReadMessage(kind, payload));
  EXPECT_EQ(payload, Text("only this"));
}

namespace {

// The payload of one send: its sender and number up front, a pattern behind.
std::vector<uint8_t> Tagged(uint8_t sender, uint32_t seq, size_t size) {
  std::vector<uint8_t> m = Pattern(size, static_cast<uint8_t>(seq * 31 + sender));
  m[0] = sender;
  std::memcpy(&m[4], &seq, 4);
  return m;
}

}  // namespace

// A server that stops reading after the HELLO, while host threads and the
// work thread (from OnSend) send as fast as they can, small messages and
// data the export cuts in two. The client refuses with 16 before it holds
// more than 32 MiB, keeps no prefix of a refused send, and takes sends again
// once the server reads; every accepted send arrives once, whole, each
// sender's in order.
TEST(ClientSend, AStalledServerBoundsWhatIsQueuedAndGetsEveryAcceptedSendWhole) {
  constexpr uint64_t kBound = 32u << 20;
  constexpr uint64_t kPipeHolds = 0x500000;  // the raw server's in-buffer
  constexpr size_t kSmall = 4096;
  constexpr size_t kSplit = 1000000;  // 716,800 + 283,200
  constexpr uint8_t kFromOnSend = 0xEE;
  constexpr int kThreads = 4;  // even: small sends, odd: split sends
  constexpr int kRefusals = 3;
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 1));
  const uint64_t memoryBefore = pel_test::PrivateBytes();

  std::mutex hookLock;
  bool flooding = true;
  std::vector<uint32_t> fromOnSend;
  std::atomic<int> unexpected{0};
  client.events.onSend = [&](uint32_t) {
    std::lock_guard<std::mutex> guard(hookLock);
    if (!flooding) return 0;
    const uint32_t seq = static_cast<uint32_t>(fromOnSend.size());
    const int result = client.Send(Tagged(kFromOnSend, seq, kSmall));
    if (result == PEL_OK) fromOnSend.push_back(seq);
    if (result != PEL_OK && result != PEL_ERR_TOO_MANY_PENDING) ++unexpected;
    return 0;
  };

  std::vector<std::vector<uint32_t>> accepted(kThreads);
  std::atomic<uint64_t> acceptedBytes{32};  // the HELLO
  std::atomic<uint64_t> mostUnwritten{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const size_t size = t % 2 == 0 ? kSmall : kSplit;
      const uint64_t wire = size + (size > 716800 ? 64 : 32);
      int refusals = 0;
      for (uint32_t seq = 0; refusals < kRefusals && acceptedBytes < 4 * kBound; ++seq) {
        const int result = client.Send(Tagged(static_cast<uint8_t>(t), seq, size));
        if (result == PEL_OK) {
          accepted[t].push_back(seq);
          acceptedBytes += wire;
        } else if (result == PEL_ERR_TOO_MANY_PENDING) {
          ++refusals;
        } else {
          ++unexpected;
        }
        const uint64_t now = client.impl()->UnwrittenBytes();
        for (uint64_t most = mostUnwritten;
             now > most && !mostUnwritten.compare_exchange_weak(most, now);) {
        }
      }
    });
  }
  for (auto& s : senders) s.join();
  {
    std::lock_guard<std::mutex> guard(hookLock);
    flooding = false;
    acceptedBytes += fromOnSend.size() * (kSmall + 32);
  }
  const uint64_t memoryGrowth = pel_test::PrivateBytes() - memoryBefore;
  std::printf("stalled server: %llu bytes accepted, at most %llu unwritten, %llu MiB private\n",
              static_cast<unsigned long long>(acceptedBytes.load()),
              static_cast<unsigned long long>(mostUnwritten.load()),
              static_cast<unsigned long long>(memoryGrowth >> 20));
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_LE(mostUnwritten.load(), kBound);
  // What the pipe took, what waits, and one refused send's worth of slack.
  EXPECT_LE(acceptedBytes.load(), kBound + kPipeHolds + kSplit);
  EXPECT_LT(memoryGrowth, 2 * kBound);
  auto* log = FreshLog();
  EXPECT_EQ(client.Send(Tagged(0, 0xFFFF, kSplit)), PEL_ERR_TOO_MANY_PENDING);
  EXPECT_TRUE(
      log->Contains("PelNamedPipeClient::PostIocpWrite", "Too many pending writes! queued bytes:"));
  EXPECT_TRUE(
      log->Contains("PEL_IpcClientSendData", ">>>>Send data to server failed! err:16!<<<<"));

  // The server reads again: exactly what was accepted, pieces side by side.
  std::vector<size_t> next(kThreads + 1, 0);
  const size_t total = accepted[0].size() + accepted[1].size() + accepted[2].size() +
                       accepted[3].size() + fromOnSend.size();
  for (size_t i = 0; i < total; ++i) {
    uint32_t kind = 0;
    std::vector<uint8_t> m;
    ASSERT_TRUE(server.ReadMessage(kind, m, 10000, 716832)) << i << " of " << total;
    const uint8_t sender = m[0];
    const int slot = sender == kFromOnSend ? kThreads : sender;
    ASSERT_LE(slot, kThreads);
    const std::vector<uint32_t>& seqs = slot == kThreads ? fromOnSend : accepted[slot];
    ASSERT_LT(next[slot], seqs.size()) << "sender " << int{sender};
    const uint32_t seq = seqs[next[slot]++];
    if (m.size() == 716800) {
      std::vector<uint8_t> rest;
      ASSERT_TRUE(server.ReadMessage(kind, rest, 10000, 716832));
      m.insert(m.end(), rest.begin(), rest.end());
    }
    ASSERT_EQ(m, Tagged(sender, seq, sender % 2 == 1 ? kSplit : kSmall))
        << "sender " << int{sender} << " send " << seq;
  }
  EXPECT_EQ(client.Send(Tagged(0, 0, kSplit)), PEL_OK);
  ASSERT_TRUE(pel_test::WaitUntil([&] { return client.impl()->UnwrittenBytes() == 0; }, 10000));
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 1 + 2 + total, 10000));
}

TEST(ClientReceive, CutsMessagesThatShareOrSplitReads) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  const auto a = MakeMessage(7, 2, Text("first"));
  const auto b = MakeMessage(7, 2, Pattern(1000, 3));
  const auto c = MakeMessage(7, 2, Text("third message"));

  // Two whole messages and the first 10 bytes of a third in one write.
  ASSERT_TRUE(server.pipe.Write(Cat({a, b, Slice(c, 0, 10)})));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 2));
  ASSERT_TRUE(server.pipe.Write(Slice(c, 10, c.size())));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 3));

  // A header split in the middle, then its payload split too.
  const auto d = MakeMessage(7, 2, Pattern(300, 9));
  ASSERT_TRUE(server.pipe.Write(Slice(d, 0, 20)));
  ASSERT_TRUE(server.pipe.Write(Slice(d, 20, 100)));
  ASSERT_TRUE(server.pipe.Write(Slice(d, 100, d.size())));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 4));

  auto got = Received(client);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], Text("first"));
  EXPECT_EQ(got[1], Pattern(1000, 3));
  EXPECT_EQ(got[2], Text("third message"));
  EXPECT_EQ(got[3], Pattern(300, 9));
  for (const auto& e : pel_test::EventsOf(client.events, Cb::Recv)) {
    EXPECT_EQ(e.id, 7u);
    EXPECT_NE(e.threadId, GetCurrentThreadId());
  }
}

TEST(ClientReceive, LargestServerPayloadArrivesOverTwoReadsAndGrowsTheBuffer) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  EXPECT_EQ(client.impl()->ReceiveCapacity(), 1048576u);
  const std::vector<uint8_t> payload = Pattern(5242880, 5);
  ASSERT_TRUE(server.Send(2, payload));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1, 10000));
  EXPECT_EQ(Received(client)[0], payload);
  // A full 5 MiB read into the 1 MiB buffer: twice the read, rounded up.
  EXPECT_EQ(client.impl()->ReceiveCapacity(), 10493952u);

  ASSERT_TRUE(server.Send(2, Text("after")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 2));
  EXPECT_EQ(Received(client)[1], Text("after"));
}

TEST(ClientReceive, BadHeadersEmptyTheBufferAndLaterMessagesStillArrive) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();

  // Wrong magic on a business message: it and everything behind it go.
  ASSERT_TRUE(server.pipe.Write(
      Cat({MakeMessage(7, 2, Text("bad"), 0x12345678), MakeMessage(7, 2, Text("lost with it"))})));
  ASSERT_TRUE(pel_test::WaitUntil(
      [&] {
        return log->Contains("PelNamedPipeClient::HandleIocpRead",
                             ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n");
      },
      5000));
  auto records = log->Records();
  auto magic = std::find_if(records.begin(), records.end(), [](const pel_test::CapturedRecord& r) {
    return r.message == ">>>>MAGIC is Wrong!<<<<\n";
  });
  auto cleared =
      std::find_if(records.begin(), records.end(), [](const pel_test::CapturedRecord& r) {
        return r.message == ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n";
      });
  ASSERT_NE(magic, records.end());
  EXPECT_LT(magic - records.begin(), cleared - records.begin());
  EXPECT_EQ(magic->severity, pellog::error);
  EXPECT_EQ(magic->function, "PelNamedPipeClient::HandleIpcMsg");

  // A length no sender may declare is not waited for.
  log->Clear();
  std::vector<uint8_t> huge = MakeMessage(7, 2, Text("x"));
  const uint32_t length = 0x7FFFFFF0;
  std::memcpy(&huge[12], &length, 4);
  ASSERT_TRUE(server.pipe.Write(huge));
  ASSERT_TRUE(pel_test::WaitUntil(
      [&] {
        return log->Contains("PelNamedPipeClient::HandleIocpRead",
                             ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n");
      },
      5000));

  // A HELLO once connected is skipped; the message behind it is delivered.
  log->Clear();
  ASSERT_TRUE(server.pipe.Write(
      Cat({MakeMessage(7, 0, std::vector<uint8_t>()), MakeMessage(7, 2, Text("behind hello"))})));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::HandleIocpRead",
                            "Received hello message in connected state!"));

  ASSERT_TRUE(server.Send(2, Text("later")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 2));
  EXPECT_EQ(Received(client),
            (std::vector<std::vector<uint8_t>>{Text("behind hello"), Text("later")}));
  EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
}
