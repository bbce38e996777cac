// Our client against a raw Win32 pipe server that sees every byte it writes
// and sends whatever a case needs.

#include "support/fixtures.h"

using namespace pel::test;

namespace {

Bytes Next(RawServer& server) {
  uint32_t kind = 0;
  Bytes payload;
  return server.ReadMessage(kind, payload) ? payload : Text("(no message)");
}

// One blocking connect against a raw server whose HELLO comes after a delay or, for round 0,
// once the test lets it. Both ends start with the round.
struct EdgeRound {
  explicit EdgeRound(uint32_t i) : id(i) {}
  const uint32_t id;
  bool helloAnswered = false;
  Client client;
  RawServer server;
  Signal release;
  std::atomic<int> result{-1};
  ScopedThread peer{[this] {  // the delay places the HELLO; nothing waits on it
    helloAnswered = server.pipe.Accept() &&
                    (id == 0 ? release.Wait(10000) : (Sleep(1988 + 2 * id), true)) &&
                    server.pipe.Handshake(id);
  }};
  ScopedThread connecting{
      [this] { result = PEL_ConnectIpcClient(client.handle, server.name.c_str()); }};
};

// A synchronous call with room for `room` bytes (0: no buffer). A refusal
// leaves the buffer alone; `answer` then holds as many bytes as are needed.
int Call(Client& client, const Bytes& request, Bytes& answer, uint32_t room = 128) {
  answer.assign(room, 0xCC);
  uint32_t size = room;
  const int result = PEL_IpcClientSyncCall(client.handle, request.data(), uint32_t(request.size()),
                                           room == 0 ? nullptr : answer.data(), &size);
  const bool untouched = answer == Bytes(room, 0xCC);
  answer.resize(result == PEL_OK || (result == PEL_ERR_BUFFER_TOO_SMALL && untouched) ? size : 0);
  return result;
}

}  // namespace

TEST(ClientWire, TheHelloAnswerFramingSplittingAndSynchronousCalls) {
  Client client;
  RawServer server;
  auto* log = FreshLog();
  std::atomic<int> result{-1}, fromOnSend{-1};
  client.events.onConnect = [&](uint32_t) {
    EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
    return 0;
  };
  client.events.onSend = [&](uint32_t) {  // a callback may send
    return fromOnSend == -1 ? (fromOnSend = client.Send(Text("from OnSend")), 0) : 0;
  };
  // The pipe root is looked for case-sensitively: this path gets a prefix.
  const std::string path = pel::FullPipeName(server.name.c_str()),
                    upper = "\\\\.\\PIPE\\" + server.name;
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, upper.c_str()), PEL_ERR_PIPE);
  // From host threads that end at once (here and the send): their overlapped I/O outlives them.
  std::thread([&] { result = PEL_AsyncConnectIpcClient(client.handle, path.c_str()); }).join();
  ASSERT_TRUE(result == PEL_OK && server.pipe.Accept());
  // Connecting is not connected; a read shorter than a header is dropped.
  EXPECT_EQ(client.Send(Text("early")), PEL_ERR_STATE);
  ASSERT_TRUE(server.pipe.Write(Bytes(10, 0x43)) &&
              log->Awaits("Receive uncompleted message!!! header size:32 recv:10!!!\n"));
  // The server's HELLO carries the id; the client's answer repeats it.
  const uint32_t id = 0x01020304;
  Bytes bytes, answer, hello = Cat(Bytes{0x43, 0x50, 0x49, 0x50, 4, 3, 2, 1}, Bytes(24));
  ASSERT_TRUE(server.pipe.Write(MakeMessage(id, 0, "")) && server.pipe.Read(bytes));
  ASSERT_TRUE(bytes == hello && client.events.WaitFor(Cb::Connect, 1));
  const CallbackEvent connect = EventsOf(client.events, Cb::Connect)[0];
  EXPECT_TRUE(connect.id == id && connect.threadId != GetCurrentThreadId());
  EXPECT_EQ(Next(server), Text("from OnSend"));
  EXPECT_TRUE(PEL_ConnectIpcClient(client.handle, path.c_str()) == PEL_ERR_STATE &&
              PEL_AsyncConnectIpcClient(client.handle, path.c_str()) == PEL_ERR_STATE);
  EXPECT_EQ(log->Count("PelNamedPipeClient::Connect", "Invalid connected state[2]!\n"), 2u);
  std::thread([&] { result = client.Send(Text("abc")); }).join();
  ASSERT_TRUE(result == PEL_OK && server.pipe.Read(bytes) && bytes == MakeMessage(id, 2, "abc"));
  // Larger data leaves as messages of at most 716,800 bytes, in order.
  for (size_t size : {716800u, 716801u, 1000000u}) {
    const Bytes data = Pattern(size, uint8_t(size));
    const Bytes one = client.Send(data) == PEL_OK ? Next(server) : Bytes();
    EXPECT_TRUE(one.size() == 716800 && (size > 716800 ? Cat(one, Next(server)) : one) == data)
        << size;
  }
  // One OnSend per write, all for the id: the HELLO answer, two sends, five pieces.
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 8, 5000, id) && client.events.Count(Cb::Send) == 8);

  // Synchronous calls on the same connection. No answer: 2,000 ms, then 17; nothing of the
  // refused request went out.
  EXPECT_EQ(Call(client, Bytes(716801, 1), answer), PEL_ERR_WRITE);
  EXPECT_TRUE(log->Contains("", "Send sync call message to server failed! err:7"));
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(Call(client, Text("anyone?"), answer) == PEL_ERR_TIMEOUT &&
              GetTickCount64() - start >= 1900);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall", ">>>>Read data timeout!<<<<\n"));
  EXPECT_EQ(Next(server), Text("anyone?"));
  // The late answer must not answer the next call (it would fit).
  ASSERT_TRUE(server.Send(1, Text("late")) && log->Awaits("!!!!!!SetEvent finished!!!"));
  DWORD requests = 0, waiting = 0, overlapped = 0;  // read once the responder is done
  ScopedThread responder([&] {
    uint32_t kind = 0;
    for (Bytes r; server.ReadMessage(kind, r, 3000, 0x100000) && kind == 1; ++requests) {
      PeekNamedPipe(server.pipe.handle(), nullptr, 0, nullptr, &waiting, nullptr);
      overlapped += waiting != 0;
      // "#n" asks for n pattern bytes; anything else is answered in words.
      if (!server.Send(1, r[0] == '#' ? Pattern(r[1], r[1]) : Cat(Text("to "), r))) return;
    }
  });
  // Too small a buffer (or none) learns the size, and the next call asks again.
  for (auto [n, room] : {std::pair<uint8_t, uint32_t>{100, 64}, {100, 128}, {40, 128}, {40, 0}}) {
    const int code = Call(client, {'#', n}, answer, room);
    EXPECT_TRUE(room < n ? code == PEL_ERR_BUFFER_TOO_SMALL && answer.size() == n
                         : code == PEL_OK && answer == Pattern(n, n))
        << int(n) << " " << room;
  }
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SyncCall",
                            "buffer size:64, is less than required size:100!!!\n"));
  // Calls from many threads go one at a time, each with its own answer.
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        Bytes mine, request = Text("call " + std::to_string(t * 10 + i));
        EXPECT_TRUE(Call(client, request, mine) == PEL_OK && mine == Cat(Text("to "), request));
      }
    });
  for (auto& c : callers) c.join();
  PEL_DisconnectIpcClient(client.handle);
  responder.join();
  EXPECT_TRUE(requests == 44 && overlapped == 0 && client.events.Count(Cb::Recv) == 0);
}

// Side by side, HELLOs around the end of the 2,000 ms wait (round 0's surely late): Connect gives
// 0 and no OnConnect, or 17 and then OnConnect; never a live pipe in DISCONNECT.
TEST(ClientConnect, AHelloAroundTheEndOfTheConnectWaitLeavesTheClientConnected) {
  const ULONGLONG began = GetTickCount64();
  std::vector<std::unique_ptr<EdgeRound>> rounds;
  for (uint32_t i = 0; i < 16; ++i) rounds.push_back(std::make_unique<EdgeRound>(i));
  EdgeRound& late = *rounds[0];
  auto* log = FreshLog();  // there is a logger once a client is made
  ASSERT_TRUE(WaitUntil([&] { return late.result != -1; }, 10000));
  EXPECT_TRUE(late.result == PEL_ERR_TIMEOUT && GetTickCount64() - began >= 1900 &&
              log->Contains("PelNamedPipeClient::Connect", "Connect timeout!") &&
              !PEL_IsIpcClientConnected(late.client.handle));
  // The pipe stays open with its read pending: another connect finds it.
  EXPECT_EQ(PEL_AsyncConnectIpcClient(late.client.handle, late.server.name.c_str()),
            PEL_ERR_PIPE_HELD);
  late.release.Set();
  for (auto& r : rounds) {
    r->peer.join(), r->connecting.join();
    CallbackRecorder& events = r->client.events;
    SCOPED_TRACE("round " + std::to_string(r->id) + " result " + std::to_string(r->result));
    ASSERT_TRUE(r->helloAnswered && (r->result == PEL_OK || r->result == PEL_ERR_TIMEOUT));
    ASSERT_TRUE(r->result == PEL_OK || events.WaitFor(Cb::Connect, 1));
    EXPECT_TRUE(PEL_IsIpcClientConnected(r->client.handle));
    ASSERT_TRUE(r->server.Send(2, Text("edge")) && events.WaitFor(Cb::Recv, 1));
    EXPECT_EQ(events.Count(Cb::Connect), r->result == PEL_OK ? 0u : 1u);
    EXPECT_EQ(events.Count(Cb::Connect, r->id), events.Count(Cb::Connect));
  }
}

TEST(ClientEnd, EveryStateEndedEveryWay) {
  enum Start { kIdle, kConnecting, kConnected, kWritesStuck };
  enum End { kDisconnect, kDestroy, kServerGone, kFromOnRecv, kServerGoneInOnRecv };
  const struct {
    size_t start, end, closes, onCaller;
    const char* record;  // one the end must leave, when given
  } rows[] = {
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
  for (const auto& row : rows) {
    SCOPED_TRACE("start " + std::to_string(row.start) + " end " + std::to_string(row.end));
    const auto before = Live::Now();
    RawServer server;
    Client client;
    auto* log = FreshLog();
    Signal serverGone;
    const bool gone = row.end == kServerGone || row.end == kServerGoneInOnRecv;
    // The work thread's OnClose waits for the host's to return: the host's waits to let a wrong
    // order show, and notes how many had come when it returned.
    const DWORD caller = GetCurrentThreadId();
    size_t closesAtHostReturn = 0, onCaller = 0;
    client.events.onClose = [&](uint32_t, int32_t code) {
      if (GetCurrentThreadId() == caller)
        client.events.WaitFor(Cb::Close, row.closes, 300), onCaller += code == PEL_OK,
            closesAtHostReturn = client.events.Count(Cb::Close);
      return 42;
    };
    client.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) {
      if (row.end == kServerGoneInOnRecv) serverGone.Wait(5000);
      if (row.end == kFromOnRecv) PEL_DisconnectIpcClient(client.handle);
      return 0;
    };
    ASSERT_TRUE(row.start != kConnecting ||
                (PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()) == PEL_OK &&
                 server.pipe.Accept()));
    ASSERT_TRUE(row.start < kConnected || ConnectRaw(client, server, 7));
    for (int i = 0; row.start == kWritesStuck && i < 12; ++i)
      ASSERT_EQ(client.Send(Pattern(1000000, static_cast<uint8_t>(i))), PEL_OK);
    // Disconnect gives what the host's OnClose returns.
    EXPECT_EQ(row.end == kDisconnect ? PEL_DisconnectIpcClient(client.handle) : 42, 42);
    if (row.end == kDestroy) client.Destroy();
    ASSERT_TRUE(row.end < kFromOnRecv ||
                (server.Send(2, Text("last")) && client.events.WaitFor(Cb::Recv, 1)));
    if (gone) server.pipe.Close();
    // Still connected as far as the client knows: the write fails.
    EXPECT_TRUE(row.end != kServerGoneInOnRecv ||
                (client.Send(Text("into the void")) == PEL_ERR_WRITE &&
                 log->Contains("PelNamedPipeClient::PostIocpWrite", "WriteFile failed! err:")));
    serverGone.Set();
    ASSERT_TRUE(client.events.WaitFor(Cb::Close, row.closes));
    EXPECT_EQ(client.Send(Text("gone")), row.end == kDestroy ? PEL_ERR_INVALID_ARG : PEL_ERR_STATE);
    EXPECT_TRUE(row.record == nullptr || log->Awaits(row.record));
    client.Destroy();
    // All for the id; the caller's OnClose gives Disconnect its result, the work thread's is last.
    const auto closes = EventsOf(client.events, Cb::Close);
    EXPECT_TRUE(closes.size() == row.closes && onCaller == row.onCaller &&
                closesAtHostReturn == row.onCaller &&
                CountFor(closes, Cb::Close, row.start >= kConnected ? 7 : kRawNoId) == row.closes);
    for (Bytes rest; row.start != kIdle && !gone && server.pipe.Read(rest);) continue;
    EXPECT_TRUE(row.start == kIdle || gone || server.pipe.lastError() == ERROR_BROKEN_PIPE);
    EXPECT_TRUE(BackTo(before));
  }
}
