// Synchronous calls against a raw pipe server that answers (or does not) the
// way a test wants.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CallbackEvent;
using pel_test::Cb;
using pel_test::Client;
using pel_test::ConnectRaw;
using pel_test::FreshLog;
using pel_test::Pattern;
using pel_test::RawServer;
using pel_test::Text;

namespace {

// Reads requests until the pipe breaks or stays quiet; answers each kind-1
// request with what `answer` returns (no answer when it returns false).
class Responder {
 public:
  using AnswerFn =
      std::function<bool(const std::vector<uint8_t>& request, std::vector<uint8_t>& answer)>;
  Responder(RawServer& server, AnswerFn answer) : m_server(server), m_answer(std::move(answer)) {
    m_thread = std::thread([this] { Run(); });
  }
  ~Responder() { m_thread.join(); }
  int requests() const { return m_requests.load(); }
  int businessMessages() const { return m_business.load(); }
  // True when a request was already waiting behind the one being answered.
  bool overlapped() const { return m_overlap.load(); }

 private:
  void Run() {
    for (;;) {
      uint32_t kind = 0;
      std::vector<uint8_t> request;
      if (!m_server.ReadMessage(kind, request, 3000, 0x100000)) return;
      if (kind != 1) {
        ++m_business;
        continue;
      }
      ++m_requests;
      DWORD waiting = 0;
      PeekNamedPipe(m_server.pipe.handle(), nullptr, 0, nullptr, &waiting, nullptr);
      if (waiting != 0) m_overlap = true;
      std::vector<uint8_t> answer;
      if (m_answer(request, answer) && !m_server.Send(1, answer)) return;
    }
  }
  RawServer& m_server;
  AnswerFn m_answer;
  std::atomic<int> m_requests{0};
  std::atomic<int> m_business{0};
  std::atomic<bool> m_overlap{false};
  std::thread m_thread;
};

int Call(Client& client, const std::vector<uint8_t>& request, std::vector<uint8_t>& answer,
         uint32_t capacity) {
  answer.assign(capacity, 0xCC);
  uint32_t size = capacity;
  const int result =
      PEL_IpcClientSyncCall(client.handle, request.data(), static_cast<uint32_t>(request.size()),
                            answer.empty() ? nullptr : answer.data(), &size);
  if (result == PEL_OK) answer.resize(size);
  if (result == PEL_ERR_BUFFER_TOO_SMALL) answer.assign(1, static_cast<uint8_t>(size));
  return result;
}

}  // namespace

TEST(ClientSyncCall, AnswerIsCopiedAndNeverReachesOnRecv) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  {
    Responder responder(server,
                        [](const std::vector<uint8_t>& request, std::vector<uint8_t>& answer) {
                          answer = Text("answer to ");
                          answer.insert(answer.end(), request.begin(), request.end());
                          return true;
                        });
    std::vector<uint8_t> answer;
    ASSERT_EQ(Call(client, Text("ping"), answer, 256), PEL_OK);
    EXPECT_EQ(answer, Text("answer to ping"));
    ASSERT_EQ(Call(client, Text("pong"), answer, 256), PEL_OK);
    EXPECT_EQ(answer, Text("answer to pong"));
    EXPECT_EQ(responder.requests(), 2);
    PEL_DisconnectIpcClient(client.handle);
  }
  EXPECT_EQ(client.events.Count(Cb::Recv), 0u);
}

TEST(ClientSyncCall, TooSmallABufferGetsTheNeededSizeAndTheNextCallAsksAgain) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  int answers = 0;
  Responder responder(server, [&](const std::vector<uint8_t>&, std::vector<uint8_t>& answer) {
    // 100 bytes twice, then 40.
    ++answers;
    answer = Pattern(answers <= 2 ? 100 : 40, static_cast<uint8_t>(answers));
    return true;
  });
  std::vector<uint8_t> buffer(64, 0xCC);
  uint32_t size = 64;
  const std::vector<uint8_t> request = Text("q");
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request.data(), 1, buffer.data(), &size),
            PEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xCC));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall",
                            "buffer size:64, is less than required size:100!!!\n"));

  std::vector<uint8_t> answer;
  ASSERT_EQ(Call(client, request, answer, 100), PEL_OK);
  EXPECT_EQ(answer, Pattern(100, 2));
  // A shorter answer after a longer one reports its own size.
  ASSERT_EQ(Call(client, request, answer, 100), PEL_OK);
  EXPECT_EQ(answer, Pattern(40, 3));
  EXPECT_EQ(responder.requests(), 3);

  // Capacity 0 with no buffer at all still learns the size.
  size = 0;
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request.data(), 1, nullptr, &size),
            PEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 40u);
  PEL_DisconnectIpcClient(client.handle);
}

TEST(ClientSyncCall, NoAnswerTimesOutAndALateAnswerDoesNotAnswerTheNextCall) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  std::vector<uint8_t> answer;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Call(client, Text("anyone?"), answer, 64), PEL_ERR_TIMEOUT);
  EXPECT_GE(GetTickCount64() - start, 1900u);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall", ">>>>Read data timeout!<<<<\n"));

  uint32_t kind;
  std::vector<uint8_t> request;
  ASSERT_TRUE(server.ReadMessage(kind, request));
  EXPECT_EQ(kind, 1u);
  ASSERT_TRUE(server.Send(1, Text("late")));
  ASSERT_TRUE(
      pel_test::WaitUntil([&] { return log->Contains("", "!!!!!!SetEvent finished!!!"); }, 5000));

  Responder responder(server, [](const std::vector<uint8_t>&, std::vector<uint8_t>& a) {
    a = Text("fresh");
    return true;
  });
  ASSERT_EQ(Call(client, Text("again"), answer, 64), PEL_OK);
  EXPECT_EQ(answer, Text("fresh"));
  PEL_DisconnectIpcClient(client.handle);
}

TEST(ClientSyncCall, RequestsThatCannotBeSentGive20) {
  Client client;
  auto* log = FreshLog();
  std::vector<uint8_t> answer;
  EXPECT_EQ(Call(client, Text("nobody there"), answer, 64), PEL_ERR_WRITE);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SendData", "Not connected!\n"));
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall",
                            "Send sync call message to server failed! err:3"));

  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  log->Clear();
  EXPECT_EQ(Call(client, std::vector<uint8_t>(716801, 1), answer, 64), PEL_ERR_WRITE);
  EXPECT_TRUE(log->Contains("", "Send sync call message to server failed! err:7"));
  // Nothing went out: the next message on the pipe is this one.
  ASSERT_EQ(client.Send(Text("next")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(server.ReadMessage(kind, payload));
  EXPECT_EQ(kind, 2u);
  EXPECT_EQ(payload, Text("next"));
}

TEST(ClientSyncCall, ArgumentChecks) {
  Client client;
  auto* log = FreshLog();
  const uint8_t request[] = {1};
  uint8_t answer[8];
  uint32_t size = sizeof answer;
  EXPECT_EQ(PEL_IpcClientSyncCall(nullptr, request, 1, answer, &size), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_IpcClientSyncCall", "client is NULL!"));
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, nullptr, 1, answer, &size), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_IpcClientSyncCall", "Send data is NULL!"));
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request, 0, answer, &size), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_IpcClientSyncCall", "Send data size is 0!"));
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request, 1, answer, nullptr), PEL_ERR_INVALID_ARG);
  EXPECT_TRUE(log->Contains("PEL_IpcClientSyncCall", "Receive buffer size is NULL!"));
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request, 1, nullptr, &size), PEL_ERR_INVALID_ARG);
  for (const auto& r : log->Records()) {
    if (r.function != "PEL_IpcClientSyncCall") continue;
    EXPECT_EQ(r.message.find(">>>>"), std::string::npos) << r.message;
    EXPECT_EQ(r.severity, pellog::error);
  }
}

TEST(ClientSyncCall, AnAnswerBeforeAnyCallIsDropped) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  ASSERT_TRUE(server.Send(1, Text("unasked")));
  ASSERT_TRUE(server.Send(2, Text("business")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  EXPECT_TRUE(log->Contains("", "Cannot set event! m_sync_call_event is nullptr!\n"));
  auto received = pel_test::EventsOf(client.events, Cb::Recv);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].payload, Text("business"));
}

TEST(ClientSyncCall, ConcurrentCallsAreSerialisedAndEachGetsItsAnswer) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  Responder responder(server, [](const std::vector<uint8_t>& request, std::vector<uint8_t>& a) {
    a = request;
    a.push_back('!');
    return true;
  });
  constexpr int kThreads = 4;
  constexpr int kCalls = 10;
  std::atomic<int> good{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::vector<uint8_t> request =
            Text("t" + std::to_string(t) + "c" + std::to_string(i));
        std::vector<uint8_t> answer;
        std::vector<uint8_t> expected = request;
        expected.push_back('!');
        if (Call(client, request, answer, 64) == PEL_OK && answer == expected) ++good;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(good.load(), kThreads * kCalls);
  EXPECT_EQ(responder.requests(), kThreads * kCalls);
  EXPECT_FALSE(responder.overlapped());
  PEL_DisconnectIpcClient(client.handle);
}
