// The benchmark's peer process: the other end of one row, over the library
// or over the raw-pipe baseline, as its command line says.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "bench.h"
#include "util.h"

namespace pelipc {

namespace {

constexpr uint32_t kPeerWaitMs = 120000;

// Sends `count` messages of `size` bytes with at most kStreamWindow writes in
// flight, counted by the end's OnSend. Stops early, and well, once `stop` is
// set: the bench has measured enough.
bool Stream(const std::function<int32_t(const uint8_t*, uint32_t)>& send, Counter& sends,
            uint32_t count, uint32_t size, Event& stop) {
  std::vector<uint8_t> payload(size);
  for (uint32_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 7);
  const uint64_t base = sends.Get();
  // Looking at the event costs a system call; small messages look less often.
  const uint32_t every = size >= 65536 ? 1 : 32;
  for (uint32_t i = 0; i < count; ++i) {
    if (i % every == 0 && stop.Wait(0)) return true;
    if (i >= kStreamWindow && !sends.WaitAtLeast(base + i + 1 - kStreamWindow, 30000)) {
      Err("[bench peer] writes stopped completing after %u messages\n", i);
      return false;
    }
    int32_t r = send(payload.data(), size);
    if (r != 0) {
      if (stop.Wait(0)) return true;  // the bench closed the connection meanwhile
      Err("[bench peer] send %u: %s\n", i, DescribeResult(r).c_str());
      return false;
    }
  }
  return true;
}

bool IsGo(const uint8_t* data, uint32_t size) {
  return size == sizeof kGo - 1 && std::memcmp(data, kGo, size) == 0;
}

class PeerServer : public TransportEvents {
 public:
  PeerServer(const PeerPlan& plan, Event& done) : m_plan(plan), m_done(done) {}
  ~PeerServer() override {
    if (m_streamer.joinable()) m_streamer.join();
  }

  ServerEnd* server = nullptr;
  bool streamFailed = false;

  void OnSend(uint32_t) override { m_sends.Add(); }

  void OnRecv(uint32_t conn, const uint8_t* data, uint32_t size) override {
    if (m_plan.scenario == Scenario::kDownload) {
      // The callback must not block: the stream runs on a thread of its own.
      if (IsGo(data, size) && !m_streamer.joinable()) {
        m_streamer = std::thread([this, conn] {
          streamFailed =
              !Stream([&](const uint8_t* d, uint32_t n) { return server->Send(conn, false, d, n); },
                      m_sends, m_plan.count, m_plan.size, m_done);
        });
      }
      return;
    }
    if (m_plan.scenario == Scenario::kRoundTrip || m_plan.scenario == Scenario::kFanIn) {
      server->Send(conn, true, data, size);
    }
  }

  void Join() {
    if (m_streamer.joinable()) m_streamer.join();
  }

 private:
  PeerPlan m_plan;
  Event& m_done;
  Counter m_sends;
  std::thread m_streamer;
};

class PeerClient : public TransportEvents {
 public:
  Counter sends;
  Counter gos;
  void OnSend(uint32_t) override { sends.Add(); }
  void OnRecv(uint32_t, const uint8_t* data, uint32_t size) override {
    if (IsGo(data, size)) gos.Add();
  }
};

int RunPeerServer(const PeerPlan& plan, Event& done) {
  PeerServer events(plan, done);
  std::unique_ptr<ServerEnd> server = MakeServer(plan.impl, &events);
  if (!server) {
    Err("[bench peer] cannot create the %s server\n", ImplName(plan.impl));
    return kExitFailed;
  }
  events.server = server.get();
  int32_t r = server->Start(plan.pipe);
  if (r != 0) {
    Err("[bench peer] cannot listen on %s: %s\n", plan.pipe.c_str(), DescribeResult(r).c_str());
    return kExitNoServer;
  }
  Event ready;
  if (ready.Open(plan.readyEvent.c_str())) ready.Set();
  const bool released = done.Wait(kPeerWaitMs);
  events.Join();
  server->Stop();
  if (!released) Err("[bench peer] not released within %u s\n", kPeerWaitMs / 1000);
  return released && !events.streamFailed ? kExitOk : kExitFailed;
}

int RunPeerClient(const PeerPlan& plan, Event& done) {
  PeerClient events;
  std::unique_ptr<ClientEnd> client = MakeClient(plan.impl, &events);
  if (!client) {
    Err("[bench peer] cannot create the %s client\n", ImplName(plan.impl));
    return kExitFailed;
  }
  int32_t r = client->Connect(plan.pipe);
  if (r != 0) {
    Err("[bench peer] cannot connect to %s: %s\n", plan.pipe.c_str(), DescribeResult(r).c_str());
    return kExitNoServer;
  }
  if (!events.gos.WaitAtLeast(1, 30000)) {
    Err("[bench peer] no start message within 30 s\n");
    return kExitTimeout;
  }
  bool ok = Stream([&](const uint8_t* d, uint32_t n) { return client->Send(d, n); }, events.sends,
                   plan.count, plan.size, done);
  const bool released = done.Wait(kPeerWaitMs);
  client->Disconnect();
  return ok && released ? kExitOk : kExitFailed;
}

}  // namespace

// In the order of Scenario.
const char* const kScenarioTags[] = {"rtt", "upload", "download", "small", "setup", "fanin"};

const char* ScenarioTag(Scenario s) { return kScenarioTags[static_cast<int>(s)]; }

bool ParseScenario(const std::string& tag, Scenario* out) {
  for (size_t i = 0; i < sizeof kScenarioTags / sizeof kScenarioTags[0]; ++i) {
    if (tag == kScenarioTags[i]) {
      *out = static_cast<Scenario>(i);
      return true;
    }
  }
  return false;
}

std::vector<std::string> PeerArgs(const PeerPlan& plan) {
  return {"__bench-peer",
          plan.impl == Impl::kLibrary ? "lib" : "raw",
          ScenarioTag(plan.scenario),
          plan.pipe,
          plan.readyEvent,
          plan.doneEvent,
          std::to_string(plan.count),
          std::to_string(plan.size)};
}

bool ParsePeerArgs(const std::vector<std::string>& args, PeerPlan* plan) {
  if (args.size() != 7) return false;
  if (args[0] != "lib" && args[0] != "raw") return false;
  plan->impl = args[0] == "lib" ? Impl::kLibrary : Impl::kRaw;
  if (!ParseScenario(args[1], &plan->scenario)) return false;
  plan->pipe = args[2];
  plan->readyEvent = args[3];
  plan->doneEvent = args[4];
  plan->count = static_cast<uint32_t>(std::strtoul(args[5].c_str(), nullptr, 10));
  plan->size = static_cast<uint32_t>(std::strtoul(args[6].c_str(), nullptr, 10));
  return true;
}

int BenchPeerMain(const std::vector<std::string>& args) {
  PeerPlan plan;
  if (!ParsePeerArgs(args, &plan)) return kExitUsage;
  Event done;
  if (!done.Open(plan.doneEvent.c_str())) {
    Err("[bench peer] event %s does not exist\n", plan.doneEvent.c_str());
    return kExitUsage;
  }
  // A log file of its own, as the product's programs have: two processes
  // appending to one file would measure their contention for it.
  SetLibraryLogName("pelipc_peer");
  const bool peerIsClient = plan.scenario == Scenario::kUpload || plan.scenario == Scenario::kSmall;
  return peerIsClient ? RunPeerClient(plan, done) : RunPeerServer(plan, done);
}

}  // namespace pelipc
