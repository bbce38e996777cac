// Our client against a raw Win32 pipe server that sees every byte it writes
// and sends whatever a case needs: HELLO answer, framing, connects and their
// codes, synchronous calls, and every way a connection ends.

#include "support/fixtures.h"

using namespace pel::test;

namespace {

// The payload of the raw server's next message; a marker when none comes.
std::vector<uint8_t> Next(RawServer& server) {
  uint32_t kind = 0;
  std::vector<uint8_t> payload;
  return server.ReadMessage(kind, payload) ? payload : Text("(no message)");
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One blocking connect against a raw server whose HELLO comes after a
// delay or, for round 0, once the test lets it.
struct EdgeRound {
  explicit EdgeRound(uint32_t i) : id(i), delayMs(1988 + 2 * i), held(i == 0) {}
  uint32_t id, delayMs;
  bool held, helloAnswered = false;
  Client client;
  RawServer server;
  Signal release;
  std::atomic<int> result{-1};

  void Run() {
    ScopedThread peer([this] {
      if (!server.pipe.Accept()) return;
      if (held) release.Wait(10000);
      if (!held) Sleep(delayMs);  // places the HELLO; nothing waits on it
      helloAnswered = server.pipe.Handshake(id);
    });
    result = PEL_ConnectIpcClient(client.handle, server.name.c_str());
  }
};

// A synchronous call with room for `room` bytes (0: no buffer). A refusal
// leaves the buffer alone; `answer` then holds as many bytes as are needed.
int Call(Client& client, const std::vector<uint8_t>& request, std::vector<uint8_t>& answer,
         uint32_t room = 128) {
  answer.assign(room, 0xCC);
  uint32_t size = room;
  const int result =
      PEL_IpcClientSyncCall(client.handle, request.data(), static_cast<uint32_t>(request.size()),
                            room == 0 ? nullptr : answer.data(), &size);
  const bool untouched = answer == std::vector<uint8_t>(room, 0xCC);
  answer.resize(result == PEL_OK || (result == PEL_ERR_BUFFER_TOO_SMALL && untouched) ? size : 0);
  return result;
}

}  // namespace

// The connect and a send come from host threads that end at once: the
// overlapped I/O they issued must outlive them.
TEST(ClientWire, TheHelloAnswerTheFramingAndTheSplitting) {
  Client client;
  RawServer server;
  auto* log = FreshLog();
  std::atomic<int> connectedInside{-1}, result{-1}, fromOnSend{-1};
  client.events.onConnect = [&](uint32_t) {
    connectedInside = PEL_IsIpcClientConnected(client.handle) ? 1 : 0;
    return 0;
  };
  client.events.onSend = [&](uint32_t) {
    // A callback may send: the first OnSend sends once more.
    if (fromOnSend == -1) fromOnSend = client.Send(Text("from OnSend"));
    return 0;
  };
  // The pipe root is looked for case-sensitively: this path gets a prefix.
  std::string path = FullPipePath(server.name);
  path.replace(4, 4, "PIPE");
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, path.c_str()), PEL_ERR_PIPE);
  path = FullPipePath(server.name);
  std::thread([&] { result = PEL_AsyncConnectIpcClient(client.handle, path.c_str()); }).join();
  ASSERT_EQ(result.load(), PEL_OK);
  ASSERT_TRUE(server.pipe.Accept());
  // Connecting is not connected; a read shorter than a header is dropped.
  EXPECT_EQ(client.Send(Text("early")), PEL_ERR_STATE);
  ASSERT_TRUE(server.pipe.Write(std::vector<uint8_t>(10, 0x43)));
  ASSERT_TRUE(log->Awaits("Receive uncompleted message!!! header size:32 recv:10!!!\n"));

  // The server's HELLO carries id 7; the client's answer repeats it.
  ASSERT_TRUE(server.pipe.Write(MakeMessage(7, 0, std::vector<uint8_t>())));
  std::vector<uint8_t> bytes, expected = {0x43, 0x50, 0x49, 0x50, 7, 0, 0, 0};
  expected.resize(32, 0);
  ASSERT_TRUE(server.pipe.Read(bytes));
  EXPECT_EQ(bytes, expected);
  ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
  const CallbackEvent connect = EventsOf(client.events, Cb::Connect)[0];
  EXPECT_EQ(connect.id, 7u);
  EXPECT_NE(connect.threadId, GetCurrentThreadId());
  EXPECT_TRUE(WaitUntil([&] { return connectedInside == 1; }, 5000));
  EXPECT_EQ(Next(server), Text("from OnSend"));
  // Connected: connecting again is refused, and the connection goes on.
  EXPECT_EQ(PEL_ConnectIpcClient(client.handle, path.c_str()), PEL_ERR_STATE);
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, path.c_str()), PEL_ERR_STATE);
  EXPECT_EQ(log->Count("PelNamedPipeClient::Connect", "Invalid connected state[2]!\n"), 2u);

  // Messages carry the id from the HELLO: the 35 bytes of "abc".
  std::thread([&] { result = client.Send(Text("abc")); }).join();
  ASSERT_EQ(result.load(), PEL_OK);
  ASSERT_TRUE(server.pipe.Read(bytes));
  expected = {0x43, 0x50, 0x49, 0x50, 7, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  expected.resize(32, 0);
  EXPECT_EQ(bytes, Cat(expected, Text("abc")));
  // Larger data leaves as messages of at most 716,800 bytes, in order.
  for (size_t size : {716800u, 716801u, 1000000u}) {
    const std::vector<uint8_t> data = Pattern(size, static_cast<uint8_t>(size));
    ASSERT_EQ(client.Send(data), PEL_OK);
    const std::vector<uint8_t> first = Next(server);
    const std::vector<uint8_t> second = size > 716800 ? Next(server) : std::vector<uint8_t>();
    EXPECT_EQ(first.size(), 716800u);
    EXPECT_EQ(Cat(first, second), data) << size;
  }
  // One OnSend per write, all for id 7: the HELLO answer, two sends, five pieces.
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 8));
  for (const auto& e : EventsOf(client.events, Cb::Send)) EXPECT_EQ(e.id, 7u);
}

// A HELLO around the end of the 2,000 ms wait (the first round's surely late):
// either Connect gives 0 and no OnConnect, or 17 and then OnConnect; never a
// live pipe in DISCONNECT. The rounds run side by side.
TEST(ClientConnect, AHelloAroundTheEndOfTheConnectWaitLeavesTheClientConnected) {
  std::vector<std::unique_ptr<EdgeRound>> rounds;
  for (uint32_t i = 0; i < 16; ++i) rounds.push_back(std::make_unique<EdgeRound>(i));
  EdgeRound& late = *rounds[0];
  auto* log = FreshLog();
  const ULONGLONG began = GetTickCount64();
  {
    std::vector<std::unique_ptr<ScopedThread>> running;
    for (auto& r : rounds) running.push_back(std::make_unique<ScopedThread>([&r] { r->Run(); }));
    ASSERT_TRUE(WaitUntil([&] { return late.result != -1; }, 10000));
    EXPECT_EQ(late.result.load(), PEL_ERR_TIMEOUT);
    EXPECT_GE(GetTickCount64() - began, 1900u);
    EXPECT_TRUE(log->Contains("PelNamedPipeClient::Connect", "Connect timeout!"));
    EXPECT_FALSE(PEL_IsIpcClientConnected(late.client.handle));
    // The pipe stays open with its read pending: another connect finds it.
    EXPECT_EQ(PEL_AsyncConnectIpcClient(late.client.handle, late.server.name.c_str()),
              PEL_ERR_PIPE_HELD);
    late.release.Set();
  }
  for (auto& r : rounds) {
    Client& client = r->client;
    SCOPED_TRACE("round " + std::to_string(r->id) + " result " + std::to_string(r->result));
    ASSERT_TRUE(r->helloAnswered);
    if (r->result != PEL_OK) {
      ASSERT_EQ(r->result.load(), PEL_ERR_TIMEOUT);
      ASSERT_TRUE(client.events.WaitFor(Cb::Connect, 1));
      EXPECT_EQ(EventsOf(client.events, Cb::Connect)[0].id, r->id);
    }
    EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
    ASSERT_TRUE(r->server.Send(2, Text("edge")));
    EXPECT_TRUE(client.events.WaitFor(Cb::Recv, 1));
    EXPECT_EQ(client.events.Count(Cb::Connect), r->result == PEL_OK ? 0u : 1u);
  }
}

TEST(ClientSyncCall, AnswersBufferSizesTimeOutsAndCallsFromManyThreads) {
  Client client;
  RawServer server;
  auto* log = FreshLog();
  std::vector<uint8_t> answer;
  ASSERT_TRUE(ConnectRaw(client, server));
  EXPECT_EQ(Call(client, std::vector<uint8_t>(716801, 1), answer), PEL_ERR_WRITE);
  EXPECT_TRUE(log->Contains("", "Send sync call message to server failed! err:7"));

  // No answer: 2,000 ms, then 17. Nothing of the refused request went out.
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Call(client, Text("anyone?"), answer), PEL_ERR_TIMEOUT);
  EXPECT_GE(GetTickCount64() - start, 1900u);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall", ">>>>Read data timeout!<<<<\n"));
  EXPECT_EQ(Next(server), Text("anyone?"));
  // The late answer must not answer the next call (it would fit).
  ASSERT_TRUE(server.Send(1, Text("late")));
  ASSERT_TRUE(log->Awaits("!!!!!!SetEvent finished!!!"));
  // Notes whether a request already waited behind the one being answered.
  std::atomic<int> requests{0};
  std::atomic<bool> overlapped{false};
  ScopedThread responder([&] {
    uint32_t kind = 0;
    std::vector<uint8_t> r;
    while (server.ReadMessage(kind, r, 3000, 0x100000) && kind == 1) {
      ++requests;
      DWORD waiting = 0;
      PeekNamedPipe(server.pipe.handle(), nullptr, 0, nullptr, &waiting, nullptr);
      overlapped = overlapped || waiting != 0;
      // "#n" asks for n pattern bytes; anything else is answered in words.
      if (!server.Send(1, r[0] == '#' ? Pattern(r[1], r[1]) : Cat(Text("answer to "), r))) return;
    }
  });
  const std::vector<uint8_t> hundred = {'#', 100}, forty = {'#', 40};
  EXPECT_EQ(Call(client, hundred, answer, 64), PEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(answer.size(), 100u);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall",
                            "buffer size:64, is less than required size:100!!!\n"));
  // The next call asks again; a shorter answer reports its own size.
  ASSERT_EQ(Call(client, hundred, answer), PEL_OK);
  EXPECT_EQ(answer, Pattern(100, 100));
  ASSERT_EQ(Call(client, forty, answer), PEL_OK);
  EXPECT_EQ(answer, Pattern(40, 40));
  // No buffer at all still learns the size.
  EXPECT_EQ(Call(client, forty, answer, 0), PEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(answer.size(), 40u);

  // Calls from many threads go one at a time, each with its own answer.
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const auto request = Text("call " + std::to_string(t * 10 + i));
        std::vector<uint8_t> mine;
        EXPECT_EQ(Call(client, request, mine), PEL_OK);
        EXPECT_EQ(mine, Cat(Text("answer to "), request));
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(requests.load(), 44);
  EXPECT_FALSE(overlapped.load());
  PEL_DisconnectIpcClient(client.handle);
  responder.join();
  EXPECT_EQ(client.events.Count(Cb::Recv), 0u);
}

// Each state ended each way: how many OnClose, on which thread, for which id;
// what the server end sees; every counter back where it was.
TEST(ClientEnd, EveryStateEndedEveryWay) {
  enum Start { kIdle, kConnecting, kConnected, kWritesStuck };
  enum End { kDisconnect, kDestroy, kServerGone, kFromOnRecv, kServerGoneInOnRecv };
  struct Row {
    Start start;
    End end;
    size_t closes, onCaller;
    const char* record;  // one the end must leave, when given
  };
  const Row rows[] = {
      {kIdle, kDisconnect, 1, 1, nullptr},
      {kIdle, kDestroy, 0, 0, nullptr},
      {kConnecting, kDestroy, 2, 1, nullptr},
      {kConnected, kDisconnect, 2, 1, "IOCP context is Deleted!!!"},
      {kConnected, kDestroy, 2, 1, "Call OnClose!"},
      {kConnected, kServerGone, 1, 0, "Pipe broken!"},
      {kConnected, kFromOnRecv, 2, 0, nullptr},
      // The next read cannot even be posted: the server went meanwhile.
      {kConnected, kServerGoneInOnRecv, 1, 0, "PostIocpRead failed! err:19!"},
      {kWritesStuck, kDestroy, 2, 1, "Try to close pipe:"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("start " + std::to_string(row.start) + " end " + std::to_string(row.end));
    const auto before = Live::Now();
    RawServer server;
    Client client;
    auto* log = FreshLog();
    Signal serverGone;
    client.events.onClose = [](uint32_t, int32_t) { return 42; };
    client.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) {
      if (row.end == kServerGoneInOnRecv) serverGone.Wait(5000);
      if (row.end == kFromOnRecv) PEL_DisconnectIpcClient(client.handle);
      return 0;
    };
    if (row.start == kConnecting) {
      ASSERT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
      ASSERT_TRUE(server.pipe.Accept());
    }
    ASSERT_TRUE(row.start < kConnected || ConnectRaw(client, server, 7));
    // The server reads nothing: what its pipe cannot hold stays queued.
    for (int i = 0; row.start == kWritesStuck && i < 12; ++i)
      ASSERT_EQ(client.Send(Pattern(1000000, static_cast<uint8_t>(i))), PEL_OK);
    // Disconnect gives what the host's OnClose returns.
    EXPECT_EQ(row.end == kDisconnect ? PEL_DisconnectIpcClient(client.handle) : 42, 42);
    if (row.end == kDestroy) client.Destroy();
    if (row.end >= kFromOnRecv) {
      ASSERT_TRUE(server.Send(2, Text("last")));
      ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
    }
    if (row.end == kServerGone || row.end == kServerGoneInOnRecv) server.pipe.Close();
    if (row.end == kServerGoneInOnRecv) {
      // Still connected as far as the client knows: the write fails.
      EXPECT_EQ(client.Send(Text("into the void")), PEL_ERR_WRITE);
      EXPECT_TRUE(log->Contains("PelNamedPipeClient::PostIocpWrite", "WriteFile failed! err:"));
      serverGone.Set();
    }
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, row.closes));
    EXPECT_EQ(client.Send(Text("gone")), row.end == kDestroy ? PEL_ERR_INVALID_ARG : PEL_ERR_STATE);
    EXPECT_TRUE(row.record == nullptr || log->Awaits(row.record));
    client.Destroy();
    const auto closes = EventsOf(client.events, Cb::Close);
    EXPECT_EQ(closes.size(), row.closes);
    EXPECT_EQ(CountFor(closes, Cb::Close, row.start >= kConnected ? 7 : 0xFFFFFFFF), row.closes);
    size_t onCaller = 0;
    for (const auto& c : closes) {
      if (c.threadId != GetCurrentThreadId()) continue;  // the work thread's: the last result
      EXPECT_EQ(c.code, PEL_OK);
      ++onCaller;
    }
    EXPECT_EQ(onCaller, row.onCaller);
    if (row.start != kIdle && row.end != kServerGone && row.end != kServerGoneInOnRecv) {
      std::vector<uint8_t> rest;
      while (server.pipe.Read(rest, 0x500000, 2000)) {
      }
      EXPECT_EQ(server.pipe.lastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }
    EXPECT_TRUE(BackTo(before));
  }
}
