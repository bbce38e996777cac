// The rows of `pelipc bench`: each scenario measured from this process
// against a peer process, over whichever transport the row runs on.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "bench.h"
#include "util.h"

namespace pelipc {

namespace {

constexpr uint32_t kUploadSize = 716800;
constexpr uint32_t kDownloadSize = 5242848;  // the largest a client takes in one read
constexpr uint32_t kStartMs = 20000;
constexpr uint32_t kRowMs = 60000;

// The peer process of one row, the two events that pace it and, when the
// peer is the server, the client ends of this process.
class Peer {
 public:
  Peer(Impl impl, Scenario scenario, const std::string& pipe, uint32_t count, uint32_t size) {
    const std::string base = UniqueName("pelipc-bench");
    m_plan = {impl, scenario, pipe, base + "-ready", base + "-done", count, size};
    m_ready.reset(new Event(m_plan.readyEvent.c_str()));
    m_done.reset(new Event(m_plan.doneEvent.c_str()));
    m_child = StartSelf(PeerArgs(m_plan));
  }
  ~Peer() { m_done->Set(); }

  std::vector<std::unique_ptr<ClientEnd>> clients;

  bool started() const { return m_child->started(); }
  // The peer server listening, then `count` client ends, connected when
  // `connect`; false with the reason in *error.
  bool OpenClients(TransportEvents* events, uint32_t count, bool connect, std::string* error) {
    if (!started()) {
      *error = "peer not started";
      return false;
    }
    using pel_tools::WaitResult;
    const WaitResult waited =
        pel_tools::WaitEventOrExit(m_ready->handle(), m_child->handle(), kStartMs);
    if (waited != WaitResult::kSignalled) {
      *error = waited == WaitResult::kProcessEnded ? "peer ended before listening"
                                                   : "peer did not listen within 20 s";
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      clients.push_back(MakeClient(m_plan.impl, events));
      if (!clients.back()) {
        *error = "client not created";
        return false;
      }
      const int32_t r = connect ? clients.back()->Connect(m_plan.pipe) : PEL_OK;
      if (r == PEL_OK) continue;
      *error = (count == 1 ? std::string("connect") : "connect " + std::to_string(i)) + ": " +
               DescribeResult(r);
      return false;
    }
    return true;
  }
  // Lets the peer end and checks that it ended well.
  bool Finish(std::string* error) {
    m_done->Set();
    int code = m_child->Wait(kStartMs);
    if (code == 0) return true;
    *error = code < 0 ? "peer did not end" : "peer exited with " + std::to_string(code);
    return false;
  }
  // A row's figure, good when the peer ended well.
  Measure Figure(double value, uint64_t done, double value2 = 0) {
    Measure m;
    m.value = value;
    m.value2 = value2;
    m.done = done;
    m.ok = Finish(&m.error);
    return m;
  }

 private:
  PeerPlan m_plan;
  std::unique_ptr<Event> m_ready;
  std::unique_ptr<Event> m_done;
  std::unique_ptr<pel_tools::Process> m_child;
};

// Counts what arrives at the measuring end and stamps the latest message.
class Sink : public TransportEvents {
 public:
  Counter connects;
  Counter messages;
  std::atomic<uint32_t> conn{0};

  struct Progress {
    uint64_t count = 0;
    uint64_t bytes = 0;
    double at = 0;
  };

  void OnConnect(uint32_t id) override {
    conn = id;
    connects.Add();
  }
  void OnRecv(uint32_t, const uint8_t*, uint32_t size) override {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_progress.count++;
      m_progress.bytes += size;
      m_progress.at = NowSeconds();
    }
    messages.Add();
  }
  Progress Snapshot() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_progress;
  }

 private:
  std::mutex m_lock;
  Progress m_progress;
};

// Rate from "go" to the latest message that arrived within the cap.
Measure StreamRate(Sink& sink, double start, uint32_t count, double capSeconds, bool bytes) {
  sink.messages.WaitAtLeast(count, static_cast<uint32_t>(capSeconds * 1000));
  const Sink::Progress got = sink.Snapshot();
  if (got.count == 0) return Fail("nothing arrived within the time cap");
  Measure m;
  m.done = got.count;
  const double seconds = got.at - start;
  m.value = bytes ? got.bytes / seconds / 1e6 : got.count / seconds;
  m.ok = true;
  return m;
}

// This process is the server; the peer streams as client from "go" on.
Measure MeasureUpload(Impl impl, Scenario scenario, uint32_t count, uint32_t size,
                      double capSeconds) {
  Sink sink;
  std::unique_ptr<ServerEnd> server = MakeServer(impl, &sink);
  if (!server) return Fail("server not created");
  const std::string pipe = UniqueName("pelipc-bench");
  int32_t r = server->Start(pipe);
  if (r != 0) return Fail("listen: " + DescribeResult(r));
  Peer peer(impl, scenario, pipe, count, size);
  if (!peer.started()) return Fail("peer not started");
  if (!sink.connects.WaitAtLeast(1, kStartMs)) return Fail("peer did not connect");
  const double start = NowSeconds();
  r = server->Send(sink.conn, false, reinterpret_cast<const uint8_t*>(kGo), sizeof kGo - 1);
  if (r != 0) return Fail("start message: " + DescribeResult(r));
  Measure m = StreamRate(sink, start, count, capSeconds, scenario != Scenario::kSmall);
  std::string error;
  if (m.ok && !peer.Finish(&error)) m = Fail(error);
  server->Stop();
  return m;
}

// The other way: this process is the client, the peer server streams.
Measure MeasureDownload(Impl impl, uint32_t count, uint32_t size, double capSeconds) {
  Peer peer(impl, Scenario::kDownload, UniqueName("pelipc-bench"), count, size);
  Sink sink;
  std::string error;
  if (!peer.OpenClients(&sink, 1, true, &error)) return Fail(error);
  ClientEnd* client = peer.clients[0].get();
  const double start = NowSeconds();
  int32_t r = client->Send(reinterpret_cast<const uint8_t*>(kGo), sizeof kGo - 1);
  if (r != 0) return Fail("start message: " + DescribeResult(r));
  Measure m = StreamRate(sink, start, count, capSeconds, true);
  // The peer stops streaming before the pipe goes away under it.
  if (m.ok && !peer.Finish(&error)) m = Fail(error);
  client->Disconnect();
  return m;
}

bool OneCall(ClientEnd& client, const std::vector<uint8_t>& request, std::string* error) {
  uint8_t answer[kSmallSize * 2];
  uint32_t size = sizeof answer;
  int32_t r = client.Call(request.data(), static_cast<uint32_t>(request.size()), answer, &size);
  if (r != 0) {
    *error = "call: " + DescribeResult(r);
    return false;
  }
  if (size != request.size()) {
    *error = "answer of " + std::to_string(size) + " bytes";
    return false;
  }
  return true;
}

double Percentile(std::vector<double>& sorted, double p) {
  size_t index = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

Measure MeasureRoundTrip(Impl impl, uint32_t calls) {
  Peer peer(impl, Scenario::kRoundTrip, UniqueName("pelipc-bench"), 0, 0);
  TransportEvents events;
  std::string error;
  if (!peer.OpenClients(&events, 1, true, &error)) return Fail(error);
  ClientEnd* client = peer.clients[0].get();
  std::vector<uint8_t> request(kSmallSize, 'r');
  for (uint32_t i = 0; i < 100; ++i) {
    if (!OneCall(*client, request, &error)) return Fail(error);
  }
  std::vector<double> micros;
  micros.reserve(calls);
  for (uint32_t i = 0; i < calls; ++i) {
    const double t0 = NowSeconds();
    if (!OneCall(*client, request, &error)) return Fail(error);
    micros.push_back((NowSeconds() - t0) * 1e6);
  }
  client->Disconnect();
  std::sort(micros.begin(), micros.end());
  return peer.Figure(Percentile(micros, 0.50), calls, Percentile(micros, 0.99));
}

Measure MeasureSetup(Impl impl, uint32_t rounds, double capSeconds) {
  const std::string pipe = UniqueName("pelipc-bench");
  Peer peer(impl, Scenario::kSetup, pipe, 0, 0);
  TransportEvents events;
  std::string error;
  if (!peer.OpenClients(&events, 1, false, &error)) return Fail(error);
  ClientEnd* client = peer.clients[0].get();
  const double start = NowSeconds();
  uint32_t i = 0;
  for (; i < rounds && NowSeconds() - start < capSeconds; ++i) {
    // One try: a server that loses a client racing its connect request
    // shows here as a failed row.
    const int32_t r = client->Connect(pipe);
    if (r != 0) return Fail("connect " + std::to_string(i) + ": " + DescribeResult(r));
    client->Disconnect();
  }
  return peer.Figure(i / (NowSeconds() - start), i);
}

Measure MeasureFanIn(Impl impl, uint32_t callsEach, double capSeconds) {
  Peer peer(impl, Scenario::kFanIn, UniqueName("pelipc-bench"), 0, 0);
  TransportEvents events;
  std::string error;
  if (!peer.OpenClients(&events, kFanInClients, true, &error)) return Fail(error);
  Event go;
  std::mutex lock;
  std::atomic<uint64_t> calls{0};
  double start = 0;
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < kFanInClients; ++i) {
    threads.emplace_back([&, i] {
      std::vector<uint8_t> request(kSmallSize, static_cast<uint8_t>('a' + i));
      std::string failure;
      if (!go.Wait(kRowMs)) failure = "never started";
      for (uint32_t n = 0; failure.empty() && n < callsEach; ++n) {
        if (NowSeconds() - start >= capSeconds) break;
        if (OneCall(*peer.clients[i], request, &failure)) calls++;
      }
      if (!failure.empty()) {
        std::lock_guard<std::mutex> hold(lock);
        error = "client " + std::to_string(i) + ": " + failure;
      }
    });
  }
  start = NowSeconds();
  go.Set();
  for (auto& t : threads) t.join();
  const double seconds = NowSeconds() - start;
  for (auto& c : peer.clients) c->Disconnect();
  if (!error.empty()) return Fail(error);
  return peer.Figure(calls / seconds, calls);
}

}  // namespace

Measure RunOne(const RowPlan& plan, Impl impl) {
  switch (plan.scenario) {
    case Scenario::kRoundTrip:
      return MeasureRoundTrip(impl, plan.count);
    case Scenario::kUpload:
      return MeasureUpload(impl, plan.scenario, plan.count, kUploadSize, plan.cap);
    case Scenario::kDownload:
      return MeasureDownload(impl, plan.count, kDownloadSize, plan.cap);
    case Scenario::kSmall:
      return MeasureUpload(impl, plan.scenario, plan.count, kSmallSize, plan.cap);
    case Scenario::kSetup:
      return MeasureSetup(impl, plan.count, plan.cap);
    default:
      return MeasureFanIn(impl, plan.count, plan.cap);
  }
}

}  // namespace pelipc
