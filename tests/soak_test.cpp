// Client processes doing random legal things against one server of ours for PEL_SOAK_SECONDS (40):
// each accepted message arrives once and in order, each OnConnect has its OnClose, nothing leaks.

#include <deque>
#include <random>
#include <sstream>

#include "support/fixtures.h"

using namespace pel::test;

namespace {

// "W|tag|seq|filler" is counted, "S|..." a call answered "A|S|..."; a tag names one connection of
// one process. It prints "soak:conn:<tag>:<sent>" for each connection and "soak:FAIL:..." lines.
struct ClientRun {
  std::mt19937 random;
  std::string name, tag;
  int failures = 0, connection = 0;
  CallbackRecorder events{};
  PelIpcCallback table = events.Table("pel_soak");
  PelIpcClientHandle handle = PEL_CreateIpcClient(&table);
  bool connected = false;
  size_t sent = 0, closesBefore = 0;
  std::vector<Bytes> late{};  // answers of calls that timed out

  void Expect(bool ok, const std::string& what, int result = 0) {
    if (!ok) std::printf("soak:FAIL:%s:%d\n", what.c_str(), result), ++failures;
  }
  std::string Tag() const { return tag + "-" + std::to_string(connection); }

  void Connect() {
    closesBefore = events.Count(Cb::Close);
    auto connect = random() % 2 ? PEL_AsyncConnectIpcClient : PEL_ConnectIpcClient;
    int result = connect(handle, name.c_str());
    if (result == PEL_OK && !WaitUntil([&] { return PEL_IsIpcClientConnected(handle) != 0; }, 5000))
      result = PEL_ERR_TIMEOUT;
    // All instances taken, or the HELLO late under load; never a pipe closed before its HELLO.
    Expect(result == PEL_OK || result == PEL_ERR_TIMEOUT || result == PEL_ERR_PIPE, "connect",
           result);
    if (result != PEL_OK) return void(PEL_DisconnectIpcClient(handle));
    connected = true, ++connection, sent = 0;
    Send(1);  // the server learns the tag even if nothing else is sent
  }
  void Send(uint32_t burst) {
    for (size_t end = sent + burst, ok = 1; ok && sent < end; sent += ok) {
      Bytes payload = Text("W|" + Tag() + "|" + std::to_string(sent) + "|");
      payload.resize(payload.size() + random() % 2048, 'a' + sent % 26);
      const int result = PEL_IpcClientSendData(handle, payload.data(), int32_t(payload.size()));
      Expect((ok = result == PEL_OK), "send", result);
    }
  }
  void Call() {
    const Bytes request = Text("S|" + Tag() + "|" + std::to_string(random()));
    uint8_t answer[256];
    uint32_t size = sizeof answer;
    const int result =
        PEL_IpcClientSyncCall(handle, request.data(), uint32_t(request.size()), answer, &size);
    late.push_back(Cat(Text("A|"), request));
    // A slow machine may answer after the 2,000 ms: in order, so a late one ends the next call.
    if (result == PEL_ERR_TIMEOUT) return;
    const auto it =
        std::find(late.begin(), late.end(), Bytes(answer, answer + std::min(size, 256u)));
    Expect(result == PEL_OK && it != late.end(), "call", result);
    if (it != late.end()) late.erase(late.begin(), it + 1);
  }
  // Disconnect, or Destroy which disconnects first: two OnClose either way.
  void End(bool destroy) {
    Expect(destroy ? (PEL_DestroyIpcClient(handle), handle = PEL_CreateIpcClient(&table)) != nullptr
                   : PEL_DisconnectIpcClient(handle) == PEL_OK,
           "create-or-disconnect");
    if (!connected) return;
    late.clear(), connected = false;  // a late answer never crosses to another pipe
    std::printf("soak:conn:%s:%zu\n", Tag().c_str(), sent);
    Expect(events.WaitFor(Cb::Close, closesBefore + 2, 5000), "Disconnect-and-release-OnClose");
  }
  // A raw peer, after the HELLO or not: junk of any length, a foreign magic, or a message and gone.
  // (The hostile program checks each such peer exactly.)
  void Hostile() {
    RawPipeClient raw;
    const uint32_t id = raw.Open(name, 1000) && raw.SetMessageMode() ? raw.ReadHello(2000) : 0;
    if (random() % 2) raw.Write(MakeMessage(id, 0, ""), 1000);
    const Bytes rows[] = {Pattern(1 + random() % 4096, uint8_t(random())),
                          MakeMessage(id, 2, Text("bad"), 0x12345678), MakeMessage(id, 2, "X")};
    raw.Write(rows[random() % 3], 1000);
  }
};

PEL_TEST_HELPER(soak_client) {  // args: pipe name, tag, seconds, seed
  const Live start = Live::Now();
  ClientRun run{std::mt19937(std::stoul(args.at(3))), args.at(0), args.at(1)};
  for (const ULONGLONG end = GetTickCount64() + 1000 * std::stoull(args[2]);
       GetTickCount64() < end && run.failures < 20;) {
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
  run.Expect(bool(BackTo(start)), "counters-not-back");
  return run.failures;
}

TEST(Soak, ManyClientProcessesDoingRandomThings) {
  const uint32_t seconds = EnvNumber("PEL_SOAK_SECONDS", 40),
                 seed = EnvNumber("PEL_SOAK_SEED", GetTickCount() & 0xFFFF);
  SCOPED_TRACE("PEL_SOAK_SEED=" + std::to_string(seed));
  const Live start = Live::Now();
  EchoServer server("soak");
  ASSERT_TRUE(server.started);
  server.events.onRecv = [&](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
    const Bytes answer = Cat(Text("A|"), Bytes(data, data + size));
    if (answer.size() < 4 || answer[2] != 'S' || answer[3] != '|') return 0;
    return PEL_IpcServerSendData(server.handle, id, true, answer.data(), int32_t(answer.size()));
  };
  std::deque<RedirectedProcess> clients;  // grows without moving
  for (const std::string i : {"0", "1", "2", "3", "4", "5"}) {
    const auto args = {server.name, "c" + i, std::to_string(seconds), std::to_string(seed) + i};
    ASSERT_TRUE(clients.emplace_back(ExePath(), HelperArgs("soak_client", args)).started());
  }
  std::multiset<std::string> claimed, received;  // sent and failed, by the clients' word
  for (auto& c : clients) {
    EXPECT_TRUE(c.Wait(seconds * 1000 + 60000) == 0 && c.WaitForEnd(5000));
    std::istringstream out(c.Output());
    for (std::string word; out >> word;)
      if (word.rfind("soak:", 0) == 0) claimed.insert(word);
  }
  // Every connection ended; the server hears of the last ones a little later.
  EXPECT_TRUE(server.events.WaitFor(Cb::Close, server.events.Count(Cb::Connect), 10000));
  std::map<uint32_t, std::pair<std::string, uint32_t>> counted;  // id: tag, messages in order
  std::map<uint32_t, std::string> ends;  // id: "c" for OnConnect, "x" for OnClose, in order
  for (const auto& e : server.events.Events()) {
    if (e.kind == Cb::Connect || e.kind == Cb::Close) ends[e.id] += "cx"[e.kind == Cb::Close];
    const std::string text(e.payload.begin(), e.payload.end());
    if (text.rfind("W|", 0) != 0) continue;
    auto& [tag, count] = counted[e.id];
    if (tag.empty()) tag = text.substr(2, text.find('|', 2) - 2);
    if (text.rfind("W|" + tag + "|" + std::to_string(count++) + "|", 0) != 0)
      received.insert("out-of-order:" + text.substr(0, 40));
  }
  for (const auto& [id, kinds] : ends) EXPECT_TRUE(kinds == "cx" || kinds == "x") << id << kinds;
  for (const auto& [id, c] : counted)
    received.insert("soak:conn:" + c.first + ":" + std::to_string(c.second));
  EXPECT_FALSE(counted.empty()) << "no client ever connected";
  EXPECT_EQ(received, claimed);
  // However much the clients came and went, the server still takes a new one.
  EXPECT_TRUE(RawPeer().Connect(server.name));
  server.Destroy();
  EXPECT_TRUE(BackTo(start));
}

}  // namespace
