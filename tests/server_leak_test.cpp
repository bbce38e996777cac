// Many connections come and go: nothing may stay behind, in this process or
// when clients live in other processes.
#include <memory>
#include <set>
#include <thread>

#include "support/fixtures.h"

using pel_test::BackTo;
using pel_test::Cb;
using pel_test::Live;
using pel_test::RawPipeClient;
using pel_test::ServerTest;

namespace {

// What a started server holds with no client: one record, one connect
// context and one pipe per listening instance.
Live Listening(const Live& before) {
  Live c = before;
  c.connections += pel_test::ServerWorkerCount();
  c.iocpKeys += pel_test::ServerWorkerCount();
  c.pipeHandles += pel_test::ServerWorkerCount();
  c.servers += 1;
  return c;
}

}  // namespace

// Connects, shakes hands, sends and waits for the echo, then leaves; count
// times, at once with the other processes, each connect tried once.
PEL_TEST_HELPER(cycle_client) {
  const std::string name = args.at(0);
  const int count = std::stoi(args.at(1));
  for (int i = 0; i < count; ++i) {
    RawPipeClient client;
    const uint32_t id = client.Connect(name, 10000);
    if (id == 0xFFFFFFFF) return 11;
    if (!client.Write(pel_test::MakeMessage(id, 2, "ping"))) return 12;
    std::vector<uint8_t> echo;
    if (!client.Read(echo) || echo.size() != 36) return 13;
  }
  return 0;
}

// Connects and is then killed by the test, without closing anything itself.
PEL_TEST_HELPER(hang_client) {
  RawPipeClient client;
  if (!client.Open(args.at(0), 10000)) return 10;
  client.SetMessageMode();
  if (client.Handshake() == 0xFFFFFFFF) return 11;
  Sleep(INFINITE);
  return 0;
}

namespace {

class Leaks : public ServerTest {};

TEST_F(Leaks, ThousandConnectionsComeAndGo) {
  const Live idle = Listening(before);
  EXPECT_TRUE(BackTo(idle)) << Live::Now();
  constexpr uint32_t kCycles = 1000;
  uint32_t nextId = 0;
  for (uint32_t i = 0; i < kCycles; ++i) {
    RawPipeClient client;
    ASSERT_EQ(client.Connect(name), nextId++) << i << " err " << client.lastError();
    if (i % 3 == 0) {
      ASSERT_TRUE(client.Write(pel_test::MakeMessage(i, 2, "data")));
    }
    if (i % 100 == 99) {
      // Some clients connect from threads that end at once.
      uint32_t id = 0xFFFFFFFF;
      std::thread t([&] {
        RawPipeClient c2;
        id = c2.Connect(name);
      });
      t.join();
      ASSERT_EQ(id, nextId++);
    }
  }
  const uint32_t total = kCycles + kCycles / 100;
  ASSERT_TRUE(rec.WaitFor(Cb::Close, total, 30000)) << rec.Count(Cb::Close);
  std::set<uint32_t> closed;
  for (const auto& e : rec.Events()) {
    if (e.kind != Cb::Close) continue;
    EXPECT_EQ(e.code, 18);
    EXPECT_TRUE(closed.insert(e.id).second) << "second OnClose for " << e.id;
  }
  EXPECT_EQ(closed.size(), total);
  // Between connections the server holds only its listening instances.
  EXPECT_TRUE(BackTo(idle)) << Live::Now() << " instead of " << idle;
  Destroy();
  EXPECT_TRUE(BackTo(before)) << Live::Now();
  HANDLE h = CreateFileA(pel_test::FullPipePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD err = GetLastError();
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Leaks, ClientsInOtherProcesses) {
  rec.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) {
    return PEL_IpcServerSendData(server, id, false, data, static_cast<int32_t>(size));
  };
  constexpr int kProcesses = 3, kEach = 5;
  std::vector<std::unique_ptr<pel_test::HelperProcess>> helpers;
  for (int p = 0; p < kProcesses; ++p) {
    helpers.emplace_back(
        new pel_test::HelperProcess("cycle_client", {name, std::to_string(kEach)}));
    ASSERT_TRUE(helpers.back()->started());
  }
  for (auto& h : helpers) EXPECT_EQ(h->Wait(60000), 0);
  ASSERT_TRUE(rec.WaitFor(Cb::Recv, kProcesses * kEach, 10000));
  // Every accepted connection was announced once and closed once.
  ASSERT_TRUE(
      pel_test::WaitUntil([&] { return rec.Count(Cb::Close) == rec.Count(Cb::Connect); }, 10000));
  std::set<uint32_t> ids;
  for (const auto& e : rec.Events())
    if (e.kind == Cb::Close) {
      EXPECT_TRUE(ids.insert(e.id).second) << e.id;
    }
  EXPECT_GE(ids.size(), static_cast<size_t>(kProcesses * kEach));
  // Between connections only listening instances are left, each with its
  // record, its connect context and its pipe.
  EXPECT_TRUE(pel_test::WaitUntil(
      [&] {
        const Live now = Live::Now();
        const int64_t instances = now.connections - before.connections;
        return instances > 0 && instances <= pel_test::ServerWorkerCount() &&
               now.iocpKeys - before.iocpKeys == instances &&
               now.pipeHandles - before.pipeHandles == instances && now.messages == before.messages;
      },
      5000))
      << Live::Now();
}

TEST_F(Leaks, KilledClientProcessIsReleased) {
  pel_test::HelperProcess victim("hang_client", {name});
  ASSERT_TRUE(victim.started());
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 1, 20000));
  TerminateProcess(victim.handle(), 7);
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 10000));
  EXPECT_EQ(rec.Events().back().code, 18);
  EXPECT_TRUE(BackTo(Listening(before))) << Live::Now();
}

TEST_F(Leaks, DestroyWithClientsInEveryState) {
  // Connected, half-connected (HELLO read, never answered), and with writes
  // stuck in a full pipe: destroy must release all of it.
  RawPipeClient connected, half, stuck;
  ASSERT_EQ(Connect(connected), 0u);
  ASSERT_TRUE(half.Open(name));
  ASSERT_EQ(half.ReadHello(), 1u);
  ASSERT_EQ(Connect(stuck), 2u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 1, 5000, 2));
  std::vector<uint8_t> payload(1 << 20, 3);
  for (int i = 0; i < 12; ++i)
    ASSERT_EQ(PEL_IpcServerSendData(server, 2, false, payload.data(), 1 << 20), 0);
  Destroy();
  EXPECT_TRUE(BackTo(before)) << Live::Now();
  EXPECT_EQ(rec.Count(Cb::Close), 3u);
}

}  // namespace
