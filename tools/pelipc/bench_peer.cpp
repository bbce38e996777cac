// The benchmark's peer process: the other end of one row, over the library
// or over the raw-pipe baseline, as its command line says.
#include <cstring>
#include <functional>
#include <thread>

#include "bench.h"
#include "flags.h"
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

int RunPeerServer(const PeerPlan& plan, Event& ready, Event& done) {
  PeerServer events(plan, done);
  std::unique_ptr<ServerEnd> server = MakeServer(plan.impl, &events);
  if (!server) {
    Err("[bench peer] cannot create the %s server\n", ImplName(plan.impl));
    return kExitFailed;
  }
  events.server = server.get();
  int32_t r = server->Start(plan.name);
  if (r != 0) {
    Err("[bench peer] cannot listen on %s: %s\n", plan.name.c_str(), DescribeResult(r).c_str());
    return kExitNoServer;
  }
  ready.Set();
  const bool released = done.Wait(kPeerWaitMs);
  events.Join();
  server->Stop();
  if (!released) Err("[bench peer] not released within %u s\n", kPeerWaitMs / 1000);
  return released && !events.streamFailed ? kExitOk : kExitFailed;
}

int RunPeerClient(const PeerPlan& plan, Event& ready, Event& done) {
  PeerClient events;
  std::unique_ptr<ClientEnd> client = MakeClient(plan.impl, &events);
  if (!client) {
    Err("[bench peer] cannot create the %s client\n", ImplName(plan.impl));
    return kExitFailed;
  }
  int32_t r = client->Connect(plan.name);
  if (r != 0) {
    Err("[bench peer] cannot connect to %s: %s\n", plan.name.c_str(), DescribeResult(r).c_str());
    return kExitNoServer;
  }
  ready.Set();
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

std::vector<std::string> PeerArgs(const PeerPlan& plan) {
  return {"__bench-peer",
          std::to_string(static_cast<int>(plan.impl)),
          std::to_string(static_cast<int>(plan.scenario)),
          plan.name,
          std::to_string(plan.count),
          std::to_string(plan.size)};
}

int BenchPeerMain(const std::vector<std::string>& args) {
  uint64_t n[5] = {};
  const uint64_t max[5] = {1, static_cast<uint64_t>(Scenario::kFanIn), 0, UINT32_MAX, UINT32_MAX};
  if (args.size() != 5) return kExitUsage;
  for (size_t i = 0; i < 5; ++i) {
    if (i != 2 && !ParseWhole(args[i], 0, max[i], &n[i])) return kExitUsage;
  }
  const PeerPlan plan = {static_cast<Impl>(n[0]), static_cast<Scenario>(n[1]), args[2],
                         static_cast<uint32_t>(n[3]), static_cast<uint32_t>(n[4])};
  Event ready, done;
  if (!ready.Open((plan.name + "-ready").c_str()) || !done.Open((plan.name + "-done").c_str())) {
    Err("[bench peer] the events of %s do not exist\n", plan.name.c_str());
    return kExitUsage;
  }
  // A log file of its own, as the product's programs have: two processes
  // appending to one file would measure their contention for it.
  SetLibraryLogName("pelipc_peer");
  return PeerIsClient(plan.scenario) ? RunPeerClient(plan, ready, done)
                                     : RunPeerServer(plan, ready, done);
}

}  // namespace pelipc
