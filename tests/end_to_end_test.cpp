// Our client and our server together: many senders against a host that
// stalls and then goes on, and the one long run of connections, with clients
// in other processes (one of them killed), that must leave nothing behind.
#include <memory>
#include <mutex>
#include <set>

#include "support/fixtures.h"

using namespace pel_test;

namespace {

// The payload of one send: its sender and number up front, a pattern behind.
std::vector<uint8_t> Tagged(uint8_t sender, uint32_t seq, size_t size) {
  std::vector<uint8_t> m = Pattern(size, static_cast<uint8_t>(seq * 31 + sender));
  m[0] = sender;
  std::memcpy(&m[4], &seq, 4);
  return m;
}

// A blocking connect, tried again while every listening instance is taken
// (the server makes the next one as it accepts).
int Connect(Client& client, const std::string& name) {
  int result = PEL_ERR_PIPE;
  WaitUntil(
      [&] { return (result = PEL_ConnectIpcClient(client.handle, name.c_str())) != PEL_ERR_PIPE; },
      10000);
  return result;
}

}  // namespace

// The host stalls in its first OnRecv while host threads and the client's
// work thread (from OnSend) send as fast as they can, small messages and data
// that leaves in two pieces. The client refuses with 16 before it holds more
// than 32 MiB; once the host goes on, every accepted send arrives once and
// whole, each sender's in order, the two pieces of one send side by side.
TEST(EndToEnd, ManySendersKeepTheirOrderAndAStalledHostBoundsTheQueue) {
  constexpr uint64_t kBound = 32u << 20;
  constexpr size_t kSmall = 4096, kSplit = 1000000;  // 716,800 + 283,200
  constexpr uint8_t kFromOnSend = 0xEE;
  constexpr int kThreads = 4;  // even: small sends, odd: split sends
  EchoServer server("flood");
  Signal goOn;
  server.events.onRecv = [&](uint32_t, const uint8_t*, uint32_t) {
    goOn.Wait(60000);
    return 0;
  };
  Client client;
  std::mutex hookLock;
  std::atomic<bool> flooding{false};
  std::vector<std::vector<uint32_t>> accepted(kThreads + 1);  // the last: from OnSend
  std::atomic<uint64_t> mostUnwritten{0};
  const auto send = [&](int slot, uint32_t seq, size_t size) {
    const int result =
        client.Send(Tagged(static_cast<uint8_t>(slot == kThreads ? kFromOnSend : slot), seq, size));
    if (result == PEL_OK) accepted[slot].push_back(seq);
    EXPECT_TRUE(result == PEL_OK || result == PEL_ERR_TOO_MANY_PENDING) << result;
    const uint64_t now = client.impl()->UnwrittenBytes();
    for (uint64_t most = mostUnwritten;
         now > most && !mostUnwritten.compare_exchange_weak(most, now);) {
    }
    return result;
  };
  client.events.onSend = [&](uint32_t) {
    std::lock_guard<std::mutex> guard(hookLock);
    if (flooding) send(kThreads, static_cast<uint32_t>(accepted[kThreads].size()), kSmall);
    return 0;
  };
  ASSERT_EQ(PEL_ConnectIpcClient(client.handle, server.name.c_str()), PEL_OK);
  flooding = true;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const size_t size = t % 2 == 0 ? kSmall : kSplit;
      int refusals = 0;
      for (uint32_t seq = 0; refusals < 3 && seq < 4 * kBound / size; ++seq)
        refusals += send(t, seq, size) == PEL_ERR_TOO_MANY_PENDING;
    });
  }
  for (auto& s : senders) s.join();
  flooding = false;
  hookLock.lock();  // a hook past its test of `flooding` finishes first
  hookLock.unlock();
  EXPECT_LE(mostUnwritten.load(), kBound);
  auto* log = FreshLog();
  EXPECT_EQ(client.Send(Tagged(0, 0xFFFF, kSplit)), PEL_ERR_TOO_MANY_PENDING);
  EXPECT_TRUE(
      log->Contains("PelNamedPipeClient::PostIocpWrite", "Too many pending writes! queued bytes:"));
  EXPECT_TRUE(
      log->Contains("PEL_IpcClientSendData", ">>>>Send data to server failed! err:16!<<<<"));

  goOn.Set();
  size_t pieces = 0;
  for (int slot = 0; slot <= kThreads; ++slot) pieces += accepted[slot].size() * (slot % 2 + 1);
  ASSERT_TRUE(server.events.WaitFor(Cb::Recv, pieces, 30000)) << server.events.Count(Cb::Recv);
  const auto got = server.events.Payloads(0);
  ASSERT_EQ(got.size(), pieces);
  std::vector<size_t> next(kThreads + 1, 0);
  for (size_t i = 0; i < got.size(); ++i) {
    std::vector<uint8_t> m = got[i];
    const int slot = m[0] == kFromOnSend ? kThreads : m[0];
    ASSERT_LE(slot, kThreads);
    ASSERT_LT(next[slot], accepted[slot].size()) << "sender " << slot;
    const uint32_t seq = accepted[slot][next[slot]++];
    if (m.size() == 716800 && ++i < got.size()) m.insert(m.end(), got[i].begin(), got[i].end());
    ASSERT_EQ(m, Tagged(m[0], seq, slot % 2 == 1 ? kSplit : kSmall)) << slot << " " << seq;
  }
  ASSERT_TRUE(client.events.WaitFor(Cb::Send, 1 + pieces, 10000));
}

// Connects count times, sends, calls and leaves; with no count it stays
// connected until the test kills it.
PEL_TEST_HELPER(our_client) {
  Client client;
  const int count = args.size() > 1 ? std::stoi(args[1]) : 0;
  if (count == 0 && Connect(client, args.at(0)) == PEL_OK) Sleep(INFINITE);
  const uint8_t request[] = {'?', 'x'};
  uint8_t answer[8];
  for (int i = 0; i < count; ++i) {
    uint32_t size = sizeof answer;
    if (Connect(client, args[0]) != PEL_OK || client.Send(Text("ping")) != PEL_OK) return 11;
    if (PEL_IpcClientSyncCall(client.handle, request, 2, answer, &size) != PEL_OK || size != 2)
      return 12;
    if (!client.events.WaitFor(Cb::Recv, i + 1)) return 13;
    PEL_DisconnectIpcClient(client.handle);
  }
  return count == 0 ? 10 : 0;
}

// A thousand connections of one client, each sending and leaving at once
// (some from threads that end right away), while clients in other processes
// come and go and one of them is killed: what was accepted still reaches the
// server, every connection ends once, and nothing stays behind, not even the
// name once the server is gone.
TEST(EndToEnd, ConnectionsFromHereAndFromOtherProcessesLeaveNothingBehind) {
  constexpr uint32_t kCycles = 1000, kProcesses = 3, kEach = 5;
  const auto start = Live::Now();
  EchoServer server("cycles");
  // Echoes what other processes send and answers their requests in kind.
  server.events.onRecv = [&](uint32_t id, const uint8_t* data, uint32_t size) {
    if (data[0] == 'c') return 0;
    return PEL_IpcServerSendData(server.handle, id, data[0] == '?', data,
                                 static_cast<int32_t>(size));
  };
  {
    Client client;
    const auto idle = Live::Now();
    HelperProcess victim("our_client", {server.name});
    ASSERT_TRUE(server.events.WaitFor(Cb::Connect, 1, 20000));
    std::vector<std::unique_ptr<HelperProcess>> helpers;
    for (uint32_t p = 0; p < kProcesses; ++p)
      helpers.emplace_back(new HelperProcess("our_client", {server.name, std::to_string(kEach)}));
    for (uint32_t i = 0; i < kCycles; ++i) {
      int result = -1;
      auto cycle = [&] {
        result = Connect(client, server.name);
        for (int k = 0; k < 3 && result == PEL_OK; ++k)
          result = client.Send(Text("c" + std::to_string(k)));
        PEL_DisconnectIpcClient(client.handle);
      };
      i % 100 == 99 ? std::thread(cycle).join() : cycle();
      ASSERT_EQ(result, PEL_OK) << "cycle " << i;
    }
    for (auto& h : helpers) EXPECT_EQ(h->Wait(60000), 0);
    TerminateProcess(victim.handle(), 7);
    const size_t connections = kCycles + kProcesses * kEach + 1;
    ASSERT_TRUE(server.events.WaitFor(Cb::Close, connections, 30000))
        << server.events.Count(Cb::Close);
    EXPECT_EQ(server.events.Count(Cb::Connect), connections);
    EXPECT_EQ(server.events.Count(Cb::Recv), 3 * kCycles + 2 * kProcesses * kEach);
    std::set<uint32_t> ids;
    for (const auto& e : EventsOf(server.events, Cb::Close)) {
      EXPECT_EQ(e.code, PEL_CLOSE_SERVER);
      EXPECT_TRUE(ids.insert(e.id).second) << "second OnClose for " << e.id;
    }
    EXPECT_TRUE(client.events.WaitFor(Cb::Send, 4 * kCycles));
    // Between connections the server holds only its listening instances.
    EXPECT_TRUE(BackTo(idle)) << Live::Now() << " instead of " << idle;
  }
  server.Destroy();
  EXPECT_TRUE(BackTo(start)) << Live::Now() << " instead of " << start;
  HANDLE h = CreateFileA(FullPipePath(server.name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}
