// The benchmark's peer process: the other end of one row, over the library
// or over the raw-pipe baseline, as its command line says.
#include <cstring>
#include <mutex>
#include <thread>

#include "bench.h"
#include "util.h"

namespace pel::pelipc {

namespace {

constexpr uint32_t kPeerWaitMs = 120000;
constexpr int kBusyRetries = 100;
constexpr DWORD kBusyRetryMs = 10;
// The window of writes in flight while the peer streams.
constexpr uint64_t kStreamWindow = 8;

// The peer's end of a row, server or client: it answers every call, and
// once "go" came it streams (or calls) on a thread of its own (a callback
// must not block) until it sent `count` messages or `stop` is set.
struct Peer : TransportEvents {
  Peer(const PeerPlan& plan, Event& stop) : m_plan(plan), m_stop(stop) {}
  ~Peer() override { Join(); }

  bool streamFailed = false;

  void OnSend(uint32_t) override { m_sends.Add(); }

  void OnRecv(uint32_t conn, const uint8_t* data, uint32_t size) override {
    if (m_plan.scenario == Scenario::kRoundTrip || m_plan.scenario == Scenario::kFanIn) {
      server->Send(conn, true, data, size);
    } else if (size == sizeof kGo - 1 && std::memcmp(data, kGo, size) == 0) {
      // The stream may be done and the peer ending before the thread object is stored: Join
      // waits for the store under the same lock, and no stream starts once it has joined.
      std::lock_guard<std::mutex> hold(m_streamerLock);
      if (!m_joined && !m_streamer.joinable())
        m_streamer = std::thread([this, conn] { streamFailed = !Stream(conn); });
    }
  }

  void Join() {
    std::unique_lock<std::mutex> hold(m_streamerLock);
    m_joined = true;
    std::thread streamer = std::move(m_streamer);
    hold.unlock();
    if (streamer.joinable()) streamer.join();
  }

  // At most kStreamWindow writes in flight, counted by the end's OnSend.
  bool Stream(uint32_t conn) {
    std::vector<uint8_t> payload(m_plan.size);
    for (uint32_t i = 0; i < m_plan.size; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const uint64_t base = m_sends.Get();
    const bool calls = m_plan.scenario == Scenario::kProcesses;
    uint8_t answer[kSmallSize * 2];
    // Looking at the event costs a system call; small messages look less often.
    const uint32_t every = m_plan.size >= 65536 ? 1 : 32;
    for (uint32_t i = 0; i < m_plan.count; ++i) {
      if (i % every == 0 && m_stop.Wait(0)) return true;
      if (!calls && i >= kStreamWindow &&
          !m_sends.WaitAtLeast(base + i + 1 - kStreamWindow, 30000)) {
        return Failed(false, "[bench peer] writes stopped completing after %u messages\n", i);
      }
      uint32_t size = sizeof answer;
      const int32_t r = calls    ? client->Call(payload.data(), m_plan.size, answer, &size)
                        : server ? server->Send(conn, false, payload.data(), m_plan.size)
                                 : client->Send(payload.data(), m_plan.size);
      if (r != PEL_OK) {
        if (m_stop.Wait(0)) return true;  // the bench closed the connection meanwhile
        return Failed(false, "[bench peer] send %u: %s\n", i, DescribeResult(r).c_str());
      }
    }
    return true;
  }

  PeerPlan m_plan;
  Event& m_stop;
  Counter m_sends;
  std::mutex m_streamerLock;
  bool m_joined = false;  // guarded by m_streamerLock, as is m_streamer
  std::thread m_streamer;
  // Last, so that they go first: their callbacks use this object.
  std::unique_ptr<ServerEnd> server;
  std::unique_ptr<ClientEnd> client;
};

}  // namespace

std::vector<std::string> PeerArgs(const PeerPlan& plan) {
  std::vector<std::string> args = {"__bench-peer", std::to_string(static_cast<int>(plan.impl)),
                                   std::to_string(static_cast<int>(plan.scenario)), plan.name};
  for (uint32_t n : {plan.count, plan.size, plan.index}) args.push_back(std::to_string(n));
  return args;
}

int BenchPeerMain(const std::vector<std::string>& args) {
  uint64_t n[6] = {};
  const uint64_t max[6] = {
      1, static_cast<uint64_t>(Scenario::kProcesses), 0, UINT32_MAX, UINT32_MAX, kFanInClients};
  if (args.size() != 6) return kExitUsage;
  for (size_t i = 0; i < 6; ++i) {
    if (i != 2 && !ParseWhole(args[i], 0, max[i], &n[i])) return kExitUsage;
  }
  const PeerPlan plan = {
      static_cast<Impl>(n[0]),     static_cast<Scenario>(n[1]), args[2],
      static_cast<uint32_t>(n[3]), static_cast<uint32_t>(n[4]), static_cast<uint32_t>(n[5])};
  Event ready, done;
  if (!ready.Open((plan.name + "-ready").c_str()) || !done.Open((plan.name + "-done").c_str())) {
    return Failed(kExitUsage, "[bench peer] the events of %s do not exist\n", plan.name.c_str());
  }
  // A log file of its own, as the product's programs have: two processes
  // appending to one file would measure their contention for it.
  const bool many = plan.scenario == Scenario::kProcesses;
  SetLibraryLogName(kPeerLogName + (many ? "_" + std::to_string(plan.index) : ""));
  Peer peer(plan, done);
  const bool isClient = PeerIsClient(plan.scenario);
  if (isClient) peer.client = MakeClient(plan.impl, &peer);
  if (!isClient) peer.server = MakeServer(plan.impl, &peer);
  if (!peer.client && !peer.server) {
    return Failed(kExitFailed, "[bench peer] cannot create the %s %s\n", ImplName(plan.impl),
                  isClient ? "client" : "server");
  }
  // Sixteen processes connecting at once can find every listening instance
  // taken for a moment; a host tries again then, and so does a peer.
  int32_t r = isClient ? peer.client->Connect(plan.name) : peer.server->Start(plan.name);
  for (int retry = 0; isClient && r == PEL_ERR_PIPE && retry < kBusyRetries; ++retry) {
    Sleep(kBusyRetryMs);
    r = peer.client->Connect(plan.name);
  }
  if (r != PEL_OK) {
    return Failed(kExitNoServer, "[bench peer] cannot %s %s: %s\n",
                  isClient ? "connect to" : "listen on", plan.name.c_str(),
                  DescribeResult(r).c_str());
  }
  ready.Set();
  const bool released = done.Wait(kPeerWaitMs);
  peer.Join();
  if (!released) Err("[bench peer] not released within %u s\n", kPeerWaitMs / 1000);
  return released && !peer.streamFailed ? kExitOk : kExitFailed;
}

}  // namespace pel::pelipc
