// The rows of `pelipc bench`: each scenario measured from this process against a peer process, over
// whichever transport the row runs on. The log rows measure records per second through the
// library's own logger and appender (from its static core, linked into this tool) into a folder of
// this process's own, against the way the appender wrote before it batched: one open, seek, write
// and close per line under one lock.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "bench.h"
#include "log/formatter.h"
#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"
#include "util.h"

namespace pel::pelipc {

namespace {

constexpr uint32_t kUploadSize = 716800;
constexpr uint32_t kDownloadSize = 5242848;  // the largest a client takes in one read
constexpr uint32_t kStartMs = 20000;
constexpr uint32_t kRowMs = 60000;
// The round trip's first calls, not timed.
constexpr uint32_t kWarmUpCalls = 100;

struct LinePerOpenAppender : pel::log::IAppender {
  explicit LinePerOpenAppender(std::string path_) : path(std::move(path_)) {}

  void write(const pel::log::Record& record) override {
    std::lock_guard<std::mutex> hold(lock);
    const std::string line =
        pel::log::UTF8Converter::convert(pel::log::TxtFormatter::format(record));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }

  std::mutex lock;
  const std::string path;
};

// Records as the library's own statements make them, from each thread until
// it wrote `count` or the cap passed.
Measure Records(pel::log::IAppender* appender, const RowPlan& plan) {
  pel::log::Logger logger(pel::log::info);
  logger.addAppender(appender);
  const uint32_t threads = plan.scenario == Scenario::kLog16 ? kFanInClients : 1;
  std::atomic<uint64_t> records{0};
  std::vector<std::thread> writers;
  const double start = NowSeconds();
  for (uint32_t t = 0; t < threads; ++t) {
    writers.emplace_back([&] {
      for (uint32_t n = 0; n < plan.count && NowSeconds() - start < plan.cap; ++n) {
        PEL_LOGI << "conn " << n << " sent 64 bytes, " << (plan.count - n) << " to go";
        records++;
      }
    });
  }
  for (auto& w : writers) w.join();
  return {true, "", records / (NowSeconds() - start), 0, records, 0, 0, 0};
}

Measure LogRate(const RowPlan& plan, Impl impl) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::temp_directory_path(error) / UniqueName("pelipc-bench-log");
  if (!fs::create_directories(folder, error)) return Fail("no folder: " + error.message());
  Measure m;
  if (impl == Impl::kLibrary) {
    pel::log::WeekRollingFileAppender appender(folder.string().c_str(), "pelipc_bench");
    m = Records(&appender, plan);
  } else {
    LinePerOpenAppender appender((folder / "pelipc_bench.log").string());
    m = Records(&appender, plan);
  }
  fs::remove_all(folder, error);
  return m;
}

// Lines in today's log file of a library host of this executable and logName.
uint64_t LogLines(const std::string& logName) {
  const pel::log::LogPlace place = pel::log::FindLogPlace(logName.c_str(), false);
  std::ifstream file(
      std::string(place.folder) + "\\" + pel::log::DayFileName(place.prefix, std::time(nullptr)),
      std::ios::binary);
  return std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n');
}

// Counts what arrives at the measuring end and stamps the latest message,
// all under one lock; a server that echoes answers each as a call.
struct Sink : TransportEvents {
  Counter connects, messages;
  std::mutex lock;
  std::vector<uint32_t> conns;
  std::atomic<ServerEnd*> echo{nullptr};
  uint64_t bytes = 0;
  double at = 0;

  void OnConnect(uint32_t id) override {
    std::lock_guard<std::mutex> hold(lock);
    conns.push_back(id);
    connects.Add();
  }
  void OnRecv(uint32_t conn, const uint8_t* data, uint32_t size) override {
    if (ServerEnd* server = echo) server->Send(conn, true, data, size);
    std::lock_guard<std::mutex> hold(lock);
    bytes += size;
    at = NowSeconds();
    messages.Add();
  }
};

// One row's two ends: the peer processes with the two events that pace them,
// and this process's server (when the peer is the client) or client ends.
class Rig {
 public:
  Rig(const RowPlan& plan, Impl impl, uint32_t size)
      : m_plan{impl, plan.scenario, UniqueName("pelipc-bench"), plan.count, size, 0},
        m_ready((m_plan.name + "-ready").c_str()),
        m_done((m_plan.name + "-done").c_str()) {}
  ~Rig() { m_done.Set(); }

  // First, so that it goes last: the ends call back into it until they are gone.
  Sink sink;
  std::vector<std::unique_ptr<ClientEnd>> clients;
  std::unique_ptr<ServerEnd> server;

  const std::string& name() const { return m_plan.name; }

  // The prologue of every row: this process's server listening, the peers started and ready, then
  // `count` client ends, connected when `connect`. Empty, or why not.
  std::string Open(uint32_t count, bool connect) {
    const bool serve = PeerIsClient(m_plan.scenario);
    if (serve && !(server = MakeServer(m_plan.impl, &sink))) return "server not created";
    int32_t r = serve ? server->Start(m_plan.name) : PEL_OK;
    if (r != PEL_OK) return "listen: " + DescribeResult(r);
    const uint32_t peers = PeerCount(m_plan.scenario);
    for (m_plan.index = 0; m_plan.index < peers; ++m_plan.index) {
      m_children.push_back(StartSelf(PeerArgs(m_plan)));
      if (!m_children.back()->started()) return "peer not started";
    }
    // Given up early when the last peer ends first.
    const HANDLE waits[2] = {m_ready.handle(), m_children.back()->handle()};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, kStartMs);
    if (serve && (waited != WAIT_OBJECT_0 || !sink.connects.WaitAtLeast(peers, kStartMs))) {
      return "peer did not connect";
    }
    if (waited != WAIT_OBJECT_0) {
      return waited == WAIT_OBJECT_0 + 1 ? "peer ended before listening"
                                         : "peer did not listen within 20 s";
    }
    for (uint32_t i = 0; i < count; ++i) {
      clients.push_back(MakeClient(m_plan.impl, &sink));
      if (!clients.back()) return "client not created";
      r = connect ? clients.back()->Connect(m_plan.name) : PEL_OK;
      if (r != PEL_OK) {
        return (count == 1 ? std::string("connect") : "connect " + std::to_string(i)) + ": " +
               DescribeResult(r);
      }
    }
    return "";
  }

  // A row's figure, good when every peer ended well.
  Measure Figure(double value, uint64_t done, double value2 = 0, double records = 0) {
    m_done.Set();
    for (auto& child : m_children) {
      const int code = child->Wait(kStartMs);
      if (code < 0) return Fail("peer did not end");
      if (code != 0) return Fail("peer exited with " + std::to_string(code));
    }
    return {true, "", value, value2, done, records, 0, 0};
  }

 private:
  PeerPlan m_plan;
  Event m_ready;
  Event m_done;
  std::vector<std::unique_ptr<pel::tools::Process>> m_children;
};

// Empty when the answer is the request sent back, else what went wrong.
std::string OneCall(ClientEnd& client, const std::vector<uint8_t>& request) {
  uint8_t answer[kSmallSize * 2];
  uint32_t size = sizeof answer;
  int32_t r = client.Call(request.data(), static_cast<uint32_t>(request.size()), answer, &size);
  if (r != PEL_OK) return "call: " + DescribeResult(r);
  return size == request.size() ? "" : "answer of " + std::to_string(size) + " bytes";
}

double Percentile(const std::vector<double>& sorted, double p) {
  return sorted[static_cast<size_t>(p * (sorted.size() - 1) + 0.5)];
}

Measure RoundTrip(Rig& rig, const RowPlan& plan) {
  std::vector<uint8_t> request(kSmallSize, 'r');
  std::vector<double> micros;
  // What both ends' logs gained over the warm-up: the records a call costs.
  // Short, so that a day's file seldom restarts at its size limit meanwhile.
  const std::string logs[] = {kLogName, kPeerLogName};
  const uint64_t lines[] = {LogLines(logs[0]), LogLines(logs[1])};
  double records = 0;
  for (uint32_t i = 0; i < kWarmUpCalls + plan.count; ++i) {
    for (size_t k = 0; k < 2 && i == kWarmUpCalls; ++k) {
      const uint64_t now = LogLines(logs[k]);
      records += static_cast<double>(now >= lines[k] ? now - lines[k] : now) / kWarmUpCalls;
    }
    const double t0 = NowSeconds();
    const std::string error = OneCall(*rig.clients[0], request);
    if (!error.empty()) return Fail(error);
    if (i >= kWarmUpCalls) micros.push_back((NowSeconds() - t0) * 1e6);
  }
  std::sort(micros.begin(), micros.end());
  return rig.Figure(Percentile(micros, 0.50), plan.count, Percentile(micros, 0.99), records);
}

Measure Setup(Rig& rig, const RowPlan& plan) {
  const double start = NowSeconds();
  uint32_t i = 0;
  for (; i < plan.count && NowSeconds() - start < plan.cap; ++i) {
    // One try: a server that loses a client racing its connect request shows here as a failed row.
    const int32_t r = rig.clients[0]->Connect(rig.name());
    if (r != 0) return Fail("connect " + std::to_string(i) + ": " + DescribeResult(r));
    rig.clients[0]->Disconnect();
  }
  return rig.Figure(i / (NowSeconds() - start), i);
}

Measure FanIn(Rig& rig, const RowPlan& plan) {
  Event go;
  std::vector<std::string> failures(kFanInClients);
  std::atomic<uint64_t> calls{0};
  double start = 0;
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < kFanInClients; ++i) {
    threads.emplace_back([&, i] {
      const std::vector<uint8_t> request(kSmallSize, static_cast<uint8_t>('a' + i));
      std::string& failure = failures[i];
      if (!go.Wait(kRowMs)) failure = "never started";
      for (uint32_t n = 0; failure.empty() && n < plan.count && NowSeconds() - start < plan.cap;
           ++n) {
        failure = OneCall(*rig.clients[i], request);
        if (failure.empty()) calls++;
      }
    });
  }
  start = NowSeconds();
  go.Set();
  for (auto& t : threads) t.join();
  const double seconds = NowSeconds() - start;
  for (auto& c : rig.clients) c->Disconnect();
  for (uint32_t i = 0; i < kFanInClients; ++i) {
    if (!failures[i].empty()) return Fail("client " + std::to_string(i) + ": " + failures[i]);
  }
  return rig.Figure(calls / seconds, calls);
}

}  // namespace

Measure RunOne(const RowPlan& plan, Impl impl) {
  const Scenario s = plan.scenario;
  if (s == Scenario::kLog || s == Scenario::kLog16) return LogRate(plan, impl);
  const uint32_t size = s == Scenario::kUpload                               ? kUploadSize
                        : s == Scenario::kDownload                           ? kDownloadSize
                        : s == Scenario::kSmall || s == Scenario::kProcesses ? kSmallSize
                                                                             : 0;
  Rig rig(plan, impl, size);
  const uint32_t clients = PeerIsClient(s) ? 0 : s == Scenario::kFanIn ? kFanInClients : 1;
  const std::string error = rig.Open(clients, s != Scenario::kSetup);
  if (!error.empty()) return Fail(error);
  if (s == Scenario::kRoundTrip) return RoundTrip(rig, plan);
  if (s == Scenario::kSetup) return Setup(rig, plan);
  if (s == Scenario::kFanIn) return FanIn(rig, plan);
  // The rate rows: the peers stream from "go" on, and stop before the pipe goes away under them.
  if (s == Scenario::kProcesses) rig.sink.echo = rig.server.get();
  const double start = NowSeconds();
  int32_t r = PEL_OK;
  if (s == Scenario::kDownload) r = rig.clients[0]->Send(Bytes(kGo), Size(kGo));
  for (size_t i = 0; rig.server && r == PEL_OK && i < rig.sink.conns.size(); ++i) {
    r = rig.server->Send(rig.sink.conns[i], false, Bytes(kGo), Size(kGo));
  }
  if (r != PEL_OK) return Fail("start message: " + DescribeResult(r));
  // The rate from "go" to the latest message that arrived within the cap.
  rig.sink.messages.WaitAtLeast(uint64_t{plan.count} * PeerCount(s),
                                static_cast<uint32_t>(plan.cap * 1000));
  std::unique_lock<std::mutex> hold(rig.sink.lock);
  const uint64_t count = rig.sink.messages.Get(), bytes = rig.sink.bytes;
  const double seconds = rig.sink.at - start;
  hold.unlock();
  if (count == 0) return Fail("nothing arrived within the time cap");
  const bool perByte = s == Scenario::kUpload || s == Scenario::kDownload;
  return rig.Figure(perByte ? bytes / seconds / 1e6 : count / seconds, count);
}

}  // namespace pel::pelipc
