// `pelipc bench`: runs every row on the library and on the raw-pipe baseline
// and prints them side by side.
#include "bench.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "report.h"
#include "util.h"

namespace pelipc {

namespace {

constexpr uint32_t kSmallSize = 64;
constexpr uint32_t kUploadSize = 716800;
constexpr uint32_t kDownloadSize = 5242848;  // the largest a client takes in one read
constexpr uint32_t kFanInClients = 16;
constexpr uint32_t kStartMs = 20000;
constexpr uint32_t kRowMs = 60000;

struct Counts {
  uint32_t calls = 10000;
  uint32_t upload = 60;
  uint32_t download = 16;
  uint32_t small = 20000;
  uint32_t setups = 200;
  uint32_t fanIn = 400;  // calls per client
  // Rate rows stop after this long even when not every message went: the
  // library's cost per message varies with its log, and the defaults must
  // stay well under a minute.
  double capSeconds = 1.0;
};

Counts QuickCounts() {
  Counts c;
  c.calls = 2000;
  c.upload = 20;
  c.download = 6;
  c.small = 5000;
  c.setups = 50;
  c.fanIn = 100;
  c.capSeconds = 0.5;
  return c;
}

// One side's figure(s) of one row.
struct Measure {
  bool ok = false;
  std::string error;
  double value = 0;
  double value2 = 0;  // p99 of the round trip
  uint64_t done = 0;  // messages, calls or connections measured
};

Measure Fail(const std::string& error) {
  Measure m;
  m.error = error;
  return m;
}

// The peer process of one row and the two events that pace it.
class Peer {
 public:
  Peer(Impl impl, Scenario scenario, const std::string& pipe, uint32_t count, uint32_t size) {
    static std::atomic<unsigned> serial{0};
    const std::string base = "pelipc-bench-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(serial.fetch_add(1));
    m_plan.impl = impl;
    m_plan.scenario = scenario;
    m_plan.pipe = pipe;
    m_plan.readyEvent = base + "-ready";
    m_plan.doneEvent = base + "-done";
    m_plan.count = count;
    m_plan.size = size;
    m_ready.reset(new Event(m_plan.readyEvent.c_str()));
    m_done.reset(new Event(m_plan.doneEvent.c_str()));
    // The peer's stdout would only repeat the library's set-up trace.
    m_child.reset(new Child(PeerArgs(m_plan), true));
  }
  ~Peer() { m_done->Set(); }

  bool started() const { return m_child->started(); }
  bool WaitListening(std::string* error) {
    int r = WaitEventOrExit(m_ready->handle(), m_child->handle(), kStartMs);
    if (r == 0) return true;
    *error = r == 1 ? "peer ended before listening" : "peer did not listen within 20 s";
    return false;
  }
  bool Ended() { return m_child->Exited(); }
  // Lets the peer end and checks that it ended well.
  bool Finish(std::string* error) {
    m_done->Set();
    int code = m_child->Wait(kStartMs);
    if (code == 0) return true;
    *error = code < 0 ? "peer did not end" : "peer exited with " + std::to_string(code);
    return false;
  }

 private:
  PeerPlan m_plan;
  std::unique_ptr<Event> m_ready;
  std::unique_ptr<Event> m_done;
  std::unique_ptr<Child> m_child;
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
  const std::string pipe = UniqueName("bench");
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
  const std::string pipe = UniqueName("bench");
  Peer peer(impl, Scenario::kDownload, pipe, count, size);
  std::string error;
  if (!peer.started() || !peer.WaitListening(&error)) return Fail(error);
  Sink sink;
  std::unique_ptr<ClientEnd> client = MakeClient(impl, &sink);
  if (!client) return Fail("client not created");
  int32_t r = client->Connect(pipe);
  if (r != 0) return Fail("connect: " + DescribeResult(r));
  const double start = NowSeconds();
  r = client->Send(reinterpret_cast<const uint8_t*>(kGo), sizeof kGo - 1);
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
  const std::string pipe = UniqueName("bench");
  Peer peer(impl, Scenario::kRoundTrip, pipe, 0, 0);
  std::string error;
  if (!peer.started() || !peer.WaitListening(&error)) return Fail(error);
  TransportEvents events;
  std::unique_ptr<ClientEnd> client = MakeClient(impl, &events);
  if (!client) return Fail("client not created");
  int32_t r = client->Connect(pipe);
  if (r != 0) return Fail("connect: " + DescribeResult(r));
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
  Measure m;
  m.value = Percentile(micros, 0.50);
  m.value2 = Percentile(micros, 0.99);
  m.done = calls;
  m.ok = peer.Finish(&error);
  m.error = error;
  return m;
}

Measure MeasureSetup(Impl impl, uint32_t rounds, double capSeconds) {
  const std::string pipe = UniqueName("bench");
  Peer peer(impl, Scenario::kSetup, pipe, 0, 0);
  std::string error;
  if (!peer.started() || !peer.WaitListening(&error)) return Fail(error);
  TransportEvents events;
  std::unique_ptr<ClientEnd> client = MakeClient(impl, &events);
  if (!client) return Fail("client not created");
  const double start = NowSeconds();
  uint32_t i = 0;
  for (; i < rounds && NowSeconds() - start < capSeconds; ++i) {
    int32_t r = client->Connect(pipe);
    // Every listening instance can be taken for a moment; try again at once.
    for (int retry = 0; r == PEL_ERR_PIPE && retry < 100; ++retry) r = client->Connect(pipe);
    if (r != 0) return Fail("connect " + std::to_string(i) + ": " + DescribeResult(r));
    client->Disconnect();
  }
  Measure m;
  m.done = i;
  m.value = i / (NowSeconds() - start);
  m.ok = peer.Finish(&error);
  m.error = error;
  return m;
}

Measure MeasureFanIn(Impl impl, uint32_t callsEach, double capSeconds) {
  const std::string pipe = UniqueName("bench");
  Peer peer(impl, Scenario::kFanIn, pipe, 0, 0);
  std::string error;
  if (!peer.started() || !peer.WaitListening(&error)) return Fail(error);
  TransportEvents events;
  std::vector<std::unique_ptr<ClientEnd>> clients;
  for (uint32_t i = 0; i < kFanInClients; ++i) {
    clients.push_back(MakeClient(impl, &events));
    if (!clients.back()) return Fail("client not created");
    int32_t r = clients.back()->Connect(pipe);
    if (r != 0) return Fail("connect " + std::to_string(i) + ": " + DescribeResult(r));
  }
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
        if (OneCall(*clients[i], request, &failure)) calls++;
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
  for (auto& c : clients) c->Disconnect();
  if (!error.empty()) return Fail(error);
  Measure m;
  m.done = calls;
  m.value = calls / seconds;
  m.ok = peer.Finish(&error);
  m.error = error;
  return m;
}

struct RowPlan {
  Scenario scenario;
  std::string id, title, unit, workload;
  bool higherIsBetter;
  uint32_t count;
  double cap;
};

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

std::string Number1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Shown(const RowPlan& plan, const Measure& m) {
  char text[96];
  if (plan.scenario == Scenario::kRoundTrip) {
    std::snprintf(text, sizeof text, "p50 %.1f us, p99 %.1f us", m.value, m.value2);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s over %s", m.value, plan.unit.c_str(),
                  Grouped(m.done).c_str());
  }
  return text;
}

bool ParseCount(const std::string& text, uint32_t* out) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value == 0 || value > 100000000ul) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int BenchMain(const std::vector<std::string>& args) {
  BenchReport report;
  std::string jsonPath;
  Counts counts;
  int only = 0;  // 1 library, 2 raw pipe: for looking at one side alone
  for (const auto& a : args) {
    if (a == "--quick") report.quick = true;
  }
  if (report.quick) counts = QuickCounts();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    uint32_t* target = nullptr;
    if (a == "--quick") continue;
    if (a == "--json" && hasValue) {
      jsonPath = args[++i];
      continue;
    }
    if (a == "--only" && hasValue) {
      const std::string which = args[++i];
      if (which != "library" && which != "raw") return kExitUsage;
      only = which == "library" ? 1 : 2;
      continue;
    }
    if (a == "--calls")
      target = &counts.calls;
    else if (a == "--upload")
      target = &counts.upload;
    else if (a == "--download")
      target = &counts.download;
    else if (a == "--small")
      target = &counts.small;
    else if (a == "--setups")
      target = &counts.setups;
    else if (a == "--fanin")
      target = &counts.fanIn;
    if (a == "--seconds" && hasValue) {
      const double seconds = std::atof(args[++i].c_str());
      if (seconds <= 0 || seconds > 600) return kExitUsage;
      counts.capSeconds = seconds;
      continue;
    }
    if (target == nullptr || !hasValue || !ParseCount(args[++i], target)) return kExitUsage;
  }

  const double cap = counts.capSeconds;
  const std::string capText = ", <=" + Number1(cap) + " s";
  const std::vector<RowPlan> plans = {
      {Scenario::kRoundTrip, "sync_call_rtt", "sync call round trip", "us",
       Grouped(counts.calls) + " calls of 64 B", false, counts.calls, 0},
      {Scenario::kUpload, "throughput_client_to_server", "client->server throughput", "MB/s",
       "<=" + Grouped(counts.upload) + " x 716,800 B" + capText, true, counts.upload, cap},
      {Scenario::kDownload, "throughput_server_to_client", "server->client throughput", "MB/s",
       "<=" + Grouped(counts.download) + " x 5,242,848 B" + capText, true, counts.download, cap},
      {Scenario::kSmall, "small_message_rate", "64-byte async messages c->s", "msg/s",
       "<=" + Grouped(counts.small) + " msgs" + capText, true, counts.small, cap},
      {Scenario::kSetup, "connection_setup_rate", "connect+handshake+disconnect", "conn/s",
       "<=" + Grouped(counts.setups) + " conns" + capText, true, counts.setups, cap},
      {Scenario::kFanIn, "aggregate_16_clients", "16 clients, 64 B sync calls", "call/s",
       "<=16 x " + Grouped(counts.fanIn) + capText, true, counts.fanIn, cap},
  };

  if (only != 2) {
    // The library sets up its log (and traces that on stdout) with its first
    // object in the process; done here, it stays out of the progress lines.
    TransportEvents quiet;
    MakeLibraryClient(&quiet);
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  report.cpus = info.dwNumberOfProcessors;
  const double begin = NowSeconds();
  const size_t steps = plans.size() * (only != 0 ? 1 : 2);
  size_t step = 0;
  for (const auto& plan : plans) {
    Measure side[2];
    for (Impl impl : {Impl::kLibrary, Impl::kRaw}) {
      if ((only == 1 && impl == Impl::kRaw) || (only == 2 && impl == Impl::kLibrary)) {
        side[impl == Impl::kLibrary ? 0 : 1] = Fail("not measured (--only)");
        continue;
      }
      Err("[%2u/%u] %-8s %s, %s ... ", static_cast<unsigned>(++step), static_cast<unsigned>(steps),
          ImplName(impl), plan.title.c_str(), plan.workload.c_str());
      const double t0 = NowSeconds();
      Measure m = RunOne(plan, impl);
      if (m.ok)
        Err("%s (%.1f s)\n", Shown(plan, m).c_str(), NowSeconds() - t0);
      else
        Err("FAILED: %s\n", m.error.c_str());
      side[impl == Impl::kLibrary ? 0 : 1] = m;
    }
    BenchRow row;
    row.id = plan.id;
    row.title = plan.title;
    row.unit = plan.unit;
    row.workload = plan.workload;
    row.higherIsBetter = plan.higherIsBetter;
    row.libraryOk = side[0].ok;
    row.baselineOk = side[1].ok;
    if (!side[0].ok) row.error = "library: " + side[0].error;
    if (!side[1].ok) row.error += (row.error.empty() ? "" : "; ") + ("raw pipe: " + side[1].error);
    row.library = side[0].value;
    row.baseline = side[1].value;
    row.libraryDone = side[0].done;
    row.baselineDone = side[1].done;
    if (plan.scenario == Scenario::kRoundTrip) {
      row.id = plan.id + "_p50";
      row.title = plan.title + " p50";
      report.rows.push_back(row);
      row.id = plan.id + "_p99";
      row.title = plan.title + " p99";
      row.library = side[0].value2;
      row.baseline = side[1].value2;
    }
    report.rows.push_back(row);
  }
  report.seconds = NowSeconds() - begin;

  Out("\n%s", FormatTable(report).c_str());
  Out("%s, %u processors, %.1f s\n", report.quick ? "quick run" : "full run", report.cpus,
      report.seconds);
  if (!jsonPath.empty()) {
    std::ofstream json(jsonPath, std::ios::binary | std::ios::trunc);
    json << FormatJson(report);
    if (!json) {
      Err("pelipc bench: cannot write %s\n", jsonPath.c_str());
      return kExitFailed;
    }
    Out("JSON written to %s\n", jsonPath.c_str());
  }
  for (const auto& row : report.rows) {
    if ((!row.libraryOk && only != 2) || (!row.baselineOk && only != 1)) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace pelipc
