// Our client and our server: many senders against a stalled host, a thousand connections in a row.

#include "support/fixtures.h"

using namespace pel::test;

static Bytes Tagged(int sender, uint32_t seq, size_t size) {
  Bytes m = Pattern(size, static_cast<uint8_t>(seq * 31 + sender));
  m[0] = static_cast<uint8_t>(sender);
  std::memcpy(&m[4], &seq, 4);
  return m;
}

// The host stalls in its first OnRecv while threads send small messages and data that leaves in two
// pieces: the client refuses before it holds over 32 MiB. Once the host goes on, each accepted send
// arrives once and whole, each sender's in order, the two pieces of a send side by side.
TEST(EndToEnd,
     ManySendersKeepTheirOrderAStalledHostBoundsTheQueueAThousandConnectionsLeaveNothing) {
  constexpr size_t kBound = 32u << 20, kSmall = 4096, kSplit = 1000000;  // 716,800 + 283,200
  constexpr int kThreads = 4;  // even: small sends, odd: split sends
  constexpr uint32_t kCycles = 1000;
  const auto start = Live::Now();
  EchoServer server("flood");
  Signal goOn;  // the host echoes nothing
  server.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) { return goOn.Wait(60000), 0; };
  Client client;
  const auto idle = Live::Now();  // between connections the server holds only its listeners
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  std::vector<std::vector<uint32_t>> accepted(kThreads);
  std::atomic<size_t> pieces{0};  // what the accepted sends arrive as
  // Sender t's messages from seq on, until the bound refused `enough`.
  auto sends = [&](int t, uint32_t seq, int enough) {
    const size_t size = t % 2 == 0 ? kSmall : kSplit;
    int refusals = 0, result = PEL_OK;
    for (const uint64_t end = seq + 4 * kBound / size; refusals < enough && seq < end; ++seq) {
      result = client.Send(Tagged(t, seq, size));
      if (result == PEL_OK) accepted[t].push_back(seq), pieces += t % 2 + 1;
      refusals += result == PEL_ERR_TOO_MANY_PENDING;
      EXPECT_TRUE(result == PEL_OK || result == PEL_ERR_TOO_MANY_PENDING) << result;
      EXPECT_LE(client.impl()->UnwrittenBytes(), kBound);
    }
    return result;
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) senders.emplace_back(sends, t, 0, 3);
  for (auto& s : senders) s.join();
  auto* log = FreshLog();
  // Writes in flight may drain after the senders gave up: fill the queue again.
  EXPECT_TRUE(
      sends(0, 4 * kBound / kSmall, 1) == PEL_ERR_TOO_MANY_PENDING &&
      log->Contains("PelNamedPipeClient::PostIocpWrite", "Too many pending writes! queued bytes:"));

  goOn.Set();
  ASSERT_TRUE(server.events.WaitFor(Cb::Recv, pieces, 30000)) << server.events.Count(Cb::Recv);
  const auto got = server.events.Payloads(0);  // more than pieces: the loop finds a sender's extra
  std::vector<size_t> next(kThreads, 0);
  for (size_t i = 0; i < got.size(); ++i) {
    Bytes m = got[i];
    const int t = m[0];
    ASSERT_TRUE(t < kThreads && next[t] < accepted[t].size()) << "sender " << t;
    const uint32_t seq = accepted[t][next[t]++];
    if (m.size() == 716800 && ++i < got.size()) m.insert(m.end(), got[i].begin(), got[i].end());
    ASSERT_EQ(m, Tagged(m[0], seq, t % 2 == 1 ? kSplit : kSmall)) << t << " " << seq;
  }

  // Then a thousand connections, each sending and leaving at once (one in a hundred from a thread
  // that ends right away): every send arrives, every connection ends once, nothing is left.
  PEL_DisconnectIpcClient(client.handle);
  const char* name = server.name.c_str();
  int result = PEL_OK;
  auto cycle = [&] {  // the connect is tried again while every listening instance is taken
    WaitUntil([&] { return (result = PEL_ConnectIpcClient(client.handle, name)) != PEL_ERR_PIPE; },
              10000);
    for (int k = 0; k < 3 && result == PEL_OK; ++k)
      result = client.Send(Text("c" + std::to_string(k)));
    PEL_DisconnectIpcClient(client.handle);
  };
  for (uint32_t i = 0; i < kCycles && result == PEL_OK; ++i)
    i % 100 == 99 ? std::thread(cycle).join() : cycle();
  ASSERT_TRUE(result == PEL_OK && server.events.WaitFor(Cb::Close, 1 + kCycles, 30000)) << result;
  EXPECT_TRUE(server.events.Count(Cb::Connect) == 1 + kCycles &&
              server.events.Count(Cb::Recv) == pieces + 3 * kCycles);
  std::set<uint32_t> ids;
  for (const auto& e : EventsOf(server.events, Cb::Close))
    EXPECT_TRUE(e.code == PEL_CLOSE_SERVER && ids.insert(e.id).second) << e.id;
  EXPECT_TRUE(client.events.WaitFor(Cb::Send, 1 + pieces + 4 * kCycles));
  EXPECT_TRUE(BackTo(idle));
  client.Destroy(), server.Destroy();
  EXPECT_TRUE(BackTo(start));
}
