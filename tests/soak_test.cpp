// One server of ours, client processes doing random legal things and raw peers
// misbehaving for PEL_SOAK_SECONDS (40). Every accepted message arrived once and
// in order, every OnConnect has its OnClose, the counters are back everywhere.

#include <deque>
#include <fstream>
#include <random>
#include <sstream>

#include "support/fixtures.h"

using namespace pel::test;

namespace {

// "W|tag|seq|filler" is counted, "S|..." a call answered "A|S|..."; a tag
// names one connection of one process.
struct ClientRun {
  std::mt19937 random;
  std::string name, tag;
  std::ofstream report;
  int failures = 0, connection = 0;
  CallbackRecorder events;
  PelIpcCallback table = events.Table("pel_soak");
  PelIpcClientHandle handle = PEL_CreateIpcClient(&table);
  bool connected = false;
  uint32_t sent = 0;
  size_t closesBefore = 0;
  std::vector<std::string> late;  // answers of calls that timed out

  void Expect(bool ok, const std::string& what) {
    if (!ok) report << "FAIL " << what << std::endl, ++failures;
  }
  std::string Tag() const { return tag + "-" + std::to_string(connection); }

  void Connect() {
    closesBefore = events.Count(Cb::Close);
    const bool async = random() % 2 == 0;
    int result = (async ? PEL_AsyncConnectIpcClient : PEL_ConnectIpcClient)(handle, name.c_str());
    if (result == PEL_OK && !WaitUntil([&] { return PEL_IsIpcClientConnected(handle) != 0; }, 5000))
      result = PEL_ERR_TIMEOUT;
    if (result != PEL_OK) {
      // All instances taken, or the HELLO late under load; never a pipe closed
      // before its HELLO (19).
      Expect(result == PEL_ERR_TIMEOUT || result == PEL_ERR_PIPE,
             "connect gave " + std::to_string(result));
      PEL_DisconnectIpcClient(handle);
      return;
    }
    connected = true, ++connection, sent = 0;
    Send(1);  // the server learns the tag even if nothing else is sent
  }
  void Send(uint32_t burst) {
    for (uint32_t end = sent + burst; sent < end; ++sent) {
      std::string payload = "W|" + Tag() + "|" + std::to_string(sent) + "|";
      payload.resize(payload.size() + random() % 2048, 'a' + sent % 26);
      const int result = PEL_IpcClientSendData(
          handle, reinterpret_cast<const uint8_t*>(payload.data()), int32_t(payload.size()));
      Expect(result == PEL_OK, "send gave " + std::to_string(result));
      if (result != PEL_OK) return;
    }
  }
  void Call() {
    const std::string request = "S|" + Tag() + "|" + std::to_string(random());
    uint8_t answer[256];
    uint32_t size = sizeof answer;
    const int result =
        PEL_IpcClientSyncCall(handle, reinterpret_cast<const uint8_t*>(request.data()),
                              uint32_t(request.size()), answer, &size);
    late.push_back("A|" + request);
    // A slow machine may answer after the 2,000 ms: in order, so a late one ends the next call.
    if (result == PEL_ERR_TIMEOUT) return;
    const auto it =
        std::find(late.begin(), late.end(), std::string(answer, answer + std::min(size, 256u)));
    Expect(result == PEL_OK && it != late.end(), "call gave " + std::to_string(result));
    if (it != late.end()) late.erase(late.begin(), it + 1);
  }
  // Disconnect, or Destroy which disconnects first: two OnClose either way.
  void End(bool destroy) {
    if (destroy) PEL_DestroyIpcClient(handle);
    Expect(destroy ? (handle = PEL_CreateIpcClient(&table)) != nullptr
                   : PEL_DisconnectIpcClient(handle) == PEL_OK,
           "create or disconnect");
    if (!connected) return;
    late.clear(), connected = false;  // a late answer never crosses to another pipe
    report << "conn " << Tag() << " " << sent << std::endl;
    Expect(events.WaitFor(Cb::Close, closesBefore + 2, 5000),
           "Disconnect's and the release's OnClose");
  }
  // A raw peer: short, foreign magic, business before HELLO, garbage, one
  // message and gone, or silent.
  void Hostile() {
    RawPipeClient raw;
    const uint32_t id = raw.Open(name, 1000) && raw.SetMessageMode() ? raw.ReadHello(2000) : 0;
    std::vector<uint8_t> junk(1 + random() % 4096);
    for (auto& b : junk) b = uint8_t(random());
    const std::vector<uint8_t> hello = MakeMessage(id, 0, "");
    const std::vector<std::vector<uint8_t>> rows[] = {
        {std::vector<uint8_t>(1 + random() % 31, 0x11)},
        {hello, MakeMessage(id, 2, Text("bad"), 0x12345678)},
        {MakeMessage(id, 2, "early")},
        {junk},
        {hello, MakeMessage(id, 2, "X|raw")},
        {}};
    for (const auto& bytes : rows[random() % 6]) raw.Write(bytes, 1000);
  }
};

PEL_TEST_HELPER(soak_client) {  // args: pipe name, tag, seconds, seed, report path
  const Live start = Live::Now();
  ClientRun run;
  run.name = args.at(0), run.tag = args.at(1);
  run.random.seed(std::stoul(args.at(3)));
  run.report.open(args.at(4));
  if (run.handle == nullptr) return 2;
  uint64_t actions = 0;
  for (const ULONGLONG end = GetTickCount64() + 1000 * std::stoull(args[2]);
       GetTickCount64() < end && run.failures < 20; ++actions) {
    const uint32_t pick = run.random() % 100;
    if (!run.connected) {
      pick < 75 ? run.Connect() : pick < 92 ? run.Hostile() : run.End(true);
    } else if (pick < 50) {
      run.Send(1 + run.random() % 50);
    } else {
      pick < 75 ? run.Call() : pick < 82 ? run.Hostile() : run.End(pick >= 95);
    }
  }
  if (run.connected) run.End(false);
  PEL_DestroyIpcClient(run.handle);
  run.Expect(bool(BackTo(start)), "counters not back");
  run.report << "done " << actions << std::endl;
  return run.failures == 0 ? 0 : 1;
}

TEST(Soak, ManyClientProcessesDoingRandomThings) {
  const uint32_t seconds = EnvNumber("PEL_SOAK_SECONDS", 40),
                 seed = EnvNumber("PEL_SOAK_SEED", GetTickCount() & 0xFFFF);
  const Live start = Live::Now();
  const std::string name = UniquePipeName("soak");
  // The server counts each connection's messages, checking their order.
  std::mutex lock;
  std::map<uint32_t, std::pair<std::string, uint32_t>> counted;  // id: tag, count
  std::vector<std::string> disorder;
  CallbackRecorder events;
  PelIpcCallback table = events.Table("pel_soak");
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  events.onRecv = [&](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.rfind("S|", 0) == 0) {
      const auto answer = Text("A|" + text);
      return PEL_IpcServerSendData(server, id, true, answer.data(), int32_t(answer.size()));
    }
    if (text.rfind("W|", 0) != 0) return 0;
    std::lock_guard<std::mutex> guard(lock);
    auto& c = counted[id];
    if (c.first.empty()) c.first = text.substr(2, text.find('|', 2) - 2);
    const std::string expected = "W|" + c.first + "|" + std::to_string(c.second++) + "|";
    if (text.rfind(expected, 0) != 0) disorder.push_back(text.substr(0, 40));
    return 0;
  };
  ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), PEL_OK);
  std::deque<HelperProcess> clients;  // grows without moving
  auto path = [&](int i) { return ExeDir() + name + std::to_string(i); };
  for (int i = 0; i < 6; ++i) {
    const std::vector<std::string> args = {name, "c" + std::to_string(i), std::to_string(seconds),
                                           std::to_string(seed * 100 + i), path(i)};
    ASSERT_TRUE(clients.emplace_back("soak_client", args).started());
  }
  std::map<std::string, uint32_t> claimed;  // what the clients say they sent, per tag
  uint64_t actions = 0;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(clients[i].Wait(seconds * 1000 + 60000), 0) << "client process " << i;
    std::ifstream in(path(i));
    for (std::string line, kind, word; std::getline(in, line);) {
      std::istringstream fields(line);
      fields >> kind >> word;
      if (kind == "conn") fields >> claimed[word];
      if (kind == "FAIL") ADD_FAILURE() << "client process " << i << ": " << line;
      if (kind == "done") actions += std::stoull(word);  // the exit code says it ended
    }
    in.close();
    DeleteFileA(path(i).c_str());
  }
  // Every connection ended; the server hears of the last ones a little later.
  EXPECT_TRUE(
      WaitUntil([&] { return events.Count(Cb::Close) >= events.Count(Cb::Connect); }, 10000));
  std::map<std::string, uint32_t> received;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& c : counted)
      EXPECT_TRUE(received.insert(c.second).second) << c.second.first << " on two connections";
    EXPECT_TRUE(disorder.empty()) << disorder.size() << " out of order, first " << disorder.front();
  }
  EXPECT_EQ(received, claimed);
  std::map<uint32_t, std::pair<int, int>> ends;  // id: OnConnect, OnClose
  for (const auto& e : events.Events())
    ends[e.id].first += e.kind == Cb::Connect, ends[e.id].second += e.kind == Cb::Close;
  for (const auto& [id, n] : ends)
    EXPECT_TRUE(n.second <= 1 && n.first <= n.second) << id << ": " << n.first << " OnConnect";
  // However much the clients came and went, the server still takes a new one.
  RawPeer last;
  EXPECT_TRUE(last.Connect(name));
  EXPECT_TRUE(
      WaitUntil([&] { return events.Count(Cb::Close) >= events.Count(Cb::Connect); }, 5000));
  PEL_DestroyIpcServer(server);
  EXPECT_TRUE(BackTo(start));
  uint64_t messages = 0;
  for (const auto& c : claimed) messages += c.second;
  std::printf("soak: %u s, seed %u: %llu client actions, %zu connections, %llu messages\n", seconds,
              seed, (unsigned long long)actions, ends.size(), (unsigned long long)messages);
}

}  // namespace
