// The data path: what OnRecv gets, what PEL_IpcServerSendData puts on the wire.
#include <algorithm>
#include <atomic>
#include <thread>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::Bytes;
using pel_test::Cb;
using pel_test::MakeMessage;
using pel_test::RawPipeClient;
using pel_test::ServerTest;
using pel_test::U32At;

namespace {

class DataPath : public ServerTest {
 protected:
  // A handshaken client with its OnConnect seen.
  uint32_t Ready(RawPipeClient& client) {
    const uint32_t id = Connect(client);
    EXPECT_NE(id, 0xFFFFFFFFu);
    EXPECT_TRUE(rec.WaitFor(Cb::Connect, 1, 5000, id));
    return id;
  }
  int32_t Send(uint32_t id, bool sync, const std::vector<uint8_t>& data) {
    return PEL_IpcServerSendData(server, id, sync, data.data(), static_cast<int32_t>(data.size()));
  }
};

TEST_F(DataPath, PayloadsOfEveryKindAfterTheHandshake) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, "abc")));
  ASSERT_TRUE(client.Write(MakeMessage(id, 1, "sync request")));
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, std::vector<uint8_t>())));  // bare header
  ASSERT_TRUE(client.Write(MakeMessage(id, 0, std::vector<uint8_t>())));  // HELLO again
  // The length field is not what counts: the bytes read are.
  std::vector<uint8_t> lying = MakeMessage(id, 2, "four");
  lying[12] = 200;
  ASSERT_TRUE(client.Write(lying));
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, 5));
  const auto payloads = rec.Payloads(id);
  ASSERT_EQ(payloads.size(), 5u);
  EXPECT_EQ(payloads[0], Bytes("abc"));
  EXPECT_EQ(payloads[1], Bytes("sync request"));
  EXPECT_TRUE(payloads[2].empty());
  EXPECT_TRUE(payloads[3].empty());
  EXPECT_EQ(payloads[4], Bytes("four"));
  // The repeated HELLO did not announce the connection again.
  EXPECT_EQ(rec.Count(Cb::Connect), 1u);
}

TEST_F(DataPath, ManyMessagesArriveInOrderAndWhole) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    // Sizes vary so a mix-up of messages would show.
    std::vector<uint8_t> payload(1 + (i * 7919) % 20000);
    for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<uint8_t>(i + j);
    ASSERT_TRUE(client.Write(MakeMessage(id, 2, payload)));
  }
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, kCount, 20000));
  const auto payloads = rec.Payloads(id);
  ASSERT_EQ(payloads.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(payloads[i].size(), 1u + (i * 7919) % 20000) << i;
    EXPECT_EQ(payloads[i].front(), static_cast<uint8_t>(i)) << i;
    EXPECT_EQ(payloads[i].back(), static_cast<uint8_t>(i + payloads[i].size() - 1)) << i;
  }
}

TEST_F(DataPath, LargestClientMessageArrivesWhole) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  std::vector<uint8_t> payload(716800);
  for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<uint8_t>(j * 31);
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, payload)));
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, 1));
  EXPECT_EQ(rec.Payloads(id).at(0), payload);
}

TEST_F(DataPath, MessageLongerThanAReadEndsTheConnection) {
  // A hostile client sends more than one read takes: the first read is
  // handed on as it is, the rest does not start with a header.
  RawPipeClient client;
  const uint32_t id = Ready(client);
  std::vector<uint8_t> payload(0x500000 + 100, 0x42);
  ASSERT_TRUE(client.Write(MakeMessage(id, 2, payload), 20000));
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 10000));
  const auto payloads = rec.Payloads(id);
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0].size(), 0x500000u - 32);
  EXPECT_EQ(rec.Events().back().code, 18);
}

TEST_F(DataPath, RepliesSentFromInsideOnRecv) {
  rec.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) {
    std::vector<uint8_t> answer(data, data + size);
    answer.push_back('!');
    return PEL_IpcServerSendData(server, id, true, answer.data(),
                                 static_cast<int32_t>(answer.size()));
  };
  RawPipeClient client;
  const uint32_t id = Ready(client);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(client.Write(MakeMessage(id, 1, "call" + std::to_string(i))));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.Read(reply));
    ASSERT_GE(reply.size(), 32u);
    EXPECT_EQ(U32At(reply, 8), 1u);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.end()), "call" + std::to_string(i) + "!");
  }
  // The HELLO's OnSend plus one per reply.
  EXPECT_TRUE(rec.WaitFor(Cb::Send, 21));
}

TEST_F(DataPath, SendDataFramesKindIdAndLength) {
  RawPipeClient first, second;
  Ready(first);
  const uint32_t id = Ready(second);
  ASSERT_EQ(id, 1u);
  ASSERT_EQ(Send(id, false, Bytes("x")), 0);
  ASSERT_EQ(Send(id, true, Bytes("answer")), 0);
  std::vector<uint8_t> m;
  ASSERT_TRUE(second.Read(m));
  ASSERT_EQ(m.size(), 33u);
  EXPECT_EQ(U32At(m, 0), 0x50495043u);
  EXPECT_EQ(U32At(m, 4), 1u);
  EXPECT_EQ(U32At(m, 8), 2u);
  EXPECT_EQ(U32At(m, 12), 1u);
  EXPECT_EQ(std::vector<uint8_t>(m.begin() + 16, m.begin() + 32), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(m[32], 'x');
  ASSERT_TRUE(second.Read(m));
  ASSERT_EQ(m.size(), 38u);
  EXPECT_EQ(U32At(m, 8), 1u);
  EXPECT_EQ(U32At(m, 12), 6u);
  // Each completed write reached OnSend: the HELLO and the two messages.
  EXPECT_TRUE(rec.WaitFor(Cb::Send, 3, 5000, id));
}

TEST_F(DataPath, SendDataSizeLimits) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  const uint8_t one = 7;
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, &one, 0), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, &one, -1), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, nullptr, 1), 1);
  std::vector<uint8_t> big(5242881);
  for (size_t j = 0; j < big.size(); ++j) big[j] = static_cast<uint8_t>(j % 251);
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, big.data(), 5242881), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, big.data(), 5242880), 0);
  std::vector<uint8_t> m;
  ASSERT_TRUE(client.ReadExactly(m, 5242912, 20000));
  EXPECT_EQ(U32At(m, 12), 5242880u);
  EXPECT_TRUE(std::equal(m.begin() + 32, m.end(), big.begin()));
  // Nothing else was sent: the refused calls put nothing on the pipe.
  DWORD avail = 1;
  ASSERT_TRUE(PeekNamedPipe(client.handle(), nullptr, 0, nullptr, &avail, nullptr));
  EXPECT_EQ(avail, 0u);
  EXPECT_EQ(PEL_IpcServerSendData(server, id, false, &one, 1), 0);
  ASSERT_TRUE(client.Read(m));
  EXPECT_EQ(m.size(), 33u);
}

TEST_F(DataPath, UnknownIdGives20) {
  const uint8_t b = 1;
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, 1), 20);
  EXPECT_EQ(PEL_IpcServerSendData(server, 12345, true, &b, 1), 20);
}

TEST_F(DataPath, TwentyOutstandingOperationsRefuseTheNextWrite) {
  pel_test::LogCapture* log = pel_test::LogCapture::Attach();
  RawPipeClient client;
  const uint32_t id = Ready(client);
  // The client reads nothing, so the pipe fills and writes stay pending.
  std::vector<uint8_t> payload(1 << 20, 0x5A);
  int accepted = 0;
  int32_t result = 0;
  for (int i = 0; i < 60 && result == 0; ++i) {
    result = Send(id, false, payload);
    if (result == 0) ++accepted;
  }
  EXPECT_EQ(result, 20);
  // One read is outstanding besides the writes.
  EXPECT_GE(accepted, 19);
  if (log != nullptr) {
    EXPECT_TRUE(log->Contains("PelNamedPipeServer::PostIocpWrite",
                              "] has too much unhandled iocp[20]...Abort write!<<<<\n"));
  }
  // Draining the pipe completes every accepted write.
  std::vector<uint8_t> m;
  for (int i = 0; i < accepted; ++i) {
    ASSERT_TRUE(client.ReadExactly(m, 32 + (1 << 20), 20000)) << i;
    EXPECT_EQ(U32At(m, 12), 1u << 20);
  }
  EXPECT_TRUE(rec.WaitFor(Cb::Send, 1 + accepted, 20000, id));
  // And the connection takes writes again.
  EXPECT_EQ(Send(id, false, Bytes("again")), 0);
  ASSERT_TRUE(client.Read(m));
  EXPECT_EQ(m.size(), 37u);
}

TEST_F(DataPath, SendsFromManyThreadsNeverInterleave) {
  RawPipeClient client;
  const uint32_t id = Ready(client);
  // 18 writes and the read stay under the limit of 20 even if none completes.
  constexpr int kThreads = 3, kEach = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::vector<uint8_t> p(1000 + t * 10 + i, static_cast<uint8_t>(t));
        if (Send(id, false, p) != 0) ++failures;
      }
    });
  }
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kEach; ++n) {
    std::vector<uint8_t> m;
    ASSERT_TRUE(client.Read(m));
    ASSERT_GT(m.size(), 32u);
    const int t = m[32];
    ASSERT_LT(t, kThreads);
    // One writer's messages keep their order, and each is whole.
    EXPECT_EQ(m.size(), 32u + 1000 + t * 10 + next[t]);
    ++next[t];
    EXPECT_EQ(std::count(m.begin() + 32, m.end(), static_cast<uint8_t>(t)),
              static_cast<long>(m.size() - 32));
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
