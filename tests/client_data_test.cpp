// The client's data path against a raw pipe server: how sends are cut and
// ordered, and how the byte stream from the server is cut into messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "client_support.h"
#include "support/log_capture.h"

using client_test::Client;
using client_test::ConnectRaw;
using client_test::FreshLog;
using client_test::Pattern;
using client_test::RawServer;
using client_test::Text;
using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::MakeMessage;

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
  for (const auto& e : client_test::EventsOf(client.events, Cb::Recv)) out.push_back(e.payload);
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
  for (const auto& e : client_test::EventsOf(client.events, Cb::Send)) EXPECT_EQ(e.id, 7u);
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

// Eight host threads and the work thread (answering from OnRecv) send at
// once; each message must arrive exactly once, every sender's in its order.
TEST(ClientSend, ConcurrentSendersKeepTheirOrderAndLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  constexpr int kEchoes = 100;
  Client client;
  client.events.onRecv = [&](uint32_t, const uint8_t* data, uint32_t size) {
    std::vector<uint8_t> echo(data, data + size);
    echo[0] = 0xEE;
    return client.Send(echo);
  };
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));

  std::map<int, std::vector<uint32_t>> seen;
  std::atomic<bool> readerOk{true};
  client_test::ScopedThread reader([&] {
    for (int i = 0; i < kThreads * kPerThread + kEchoes; ++i) {
      uint32_t kind = 0;
      std::vector<uint8_t> payload;
      if (!server.ReadMessage(kind, payload, 20000, 4096) || payload.size() != 24) {
        readerOk = false;
        return;
      }
      uint32_t seq;
      std::memcpy(&seq, &payload[4], 4);
      seen[payload[0]].push_back(seq);
    }
  });
  for (int i = 0; i < kEchoes; ++i) {
    std::vector<uint8_t> m(24, 0);
    std::memcpy(&m[4], &i, 4);
    EXPECT_TRUE(server.Send(2, m));
  }
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (uint32_t seq = 0; seq < kPerThread; ++seq) {
        std::vector<uint8_t> m = Pattern(24, static_cast<uint8_t>(seq));
        m[0] = static_cast<uint8_t>(t);
        std::memcpy(&m[4], &seq, 4);
        if (client.Send(m) != PEL_OK) ++failures;
      }
    });
  }
  for (auto& s : senders) s.join();
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(readerOk.load());
  for (int t = 0; t < kThreads; ++t) {
    std::vector<uint32_t> expected(kPerThread);
    for (uint32_t i = 0; i < kPerThread; ++i) expected[i] = i;
    EXPECT_EQ(seen[t], expected) << "thread " << t;
  }
  std::vector<uint32_t> echoes(kEchoes);
  for (uint32_t i = 0; i < kEchoes; ++i) echoes[i] = i;
  EXPECT_EQ(seen[0xEE], echoes);
  EXPECT_TRUE(client.events.WaitFor(Cb::Send, 1 + kThreads * kPerThread + kEchoes, 10000));
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
  for (const auto& e : client_test::EventsOf(client.events, Cb::Recv)) {
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
      [&] { return log->Contains("", ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n"); },
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
      [&] { return log->Contains("", ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n"); },
      5000));

  // A HELLO once connected is skipped; the message behind it is delivered.
  log->Clear();
  ASSERT_TRUE(server.pipe.Write(
      Cat({MakeMessage(7, 0, std::vector<uint8_t>()), MakeMessage(7, 2, Text("behind hello"))})));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  EXPECT_TRUE(log->Contains("", "Received hello message in connected state!"));

  ASSERT_TRUE(server.Send(2, Text("later")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 2));
  EXPECT_EQ(Received(client),
            (std::vector<std::vector<uint8_t>>{Text("behind hello"), Text("later")}));
  EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
}
