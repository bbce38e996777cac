// `pelipc bench`: runs every row on the library and on the raw-pipe baseline
// and prints them side by side.
#include "bench.h"

#include <algorithm>
#include <fstream>

#include "flags.h"
#include "util.h"

namespace pel::pelipc {

namespace {

// The rows in the order of Scenario: the count flag with the full and the
// quick run's default, and the texts around the count in the workload. The
// full run's rates stop at the time cap, not at their counts.
const struct {
  const char* flag;
  uint32_t full, quick;
  const char *id, *title, *unit;
  bool higherIsBetter;
  const char *before, *after;
} kRows[] = {
    {"--calls", 10000, 2000, "sync_call_rtt", "sync call round trip", "us", false, "",
     " calls of 64 B"},
    {"--upload", 100000, 20, "throughput_client_to_server", "client->server throughput", "MB/s",
     true, "<=", " x 716,800 B"},
    {"--download", 100000, 6, "throughput_server_to_client", "server->client throughput", "MB/s",
     true, "<=", " x 5,242,848 B"},
    {"--small", 100000000, 5000, "small_message_rate", "64-byte async messages c->s", "msg/s", true,
     "<=", " msgs"},
    {"--setups", 1000000, 50, "connection_setup_rate", "connect+handshake+disconnect", "conn/s",
     true, "<=", " conns"},
    // Calls per client, records per thread.
    {"--fanin", 1000000, 100, "aggregate_16_clients", "16 clients, 64 B sync calls", "call/s", true,
     "<=16 x ", ""},
    {"--fanin-processes", 1000000, 100, "aggregate_16_processes", "16 processes, 64 B sync calls",
     "call/s", true, "<=16 x ", ""},
    {"--records", 100000000, 2000, "log_record_rate_1_thread", "log records, 1 thread", "rec/s",
     true, "<=", " records"},
    {"--records-16", 10000000, 200, "log_record_rate_16_threads", "log records, 16 threads",
     "rec/s", true, "<=16 x ", ""},
};
constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
constexpr uint32_t kMaxCount = 100000000;
constexpr double kMaxSeconds = 600;
// Rate rows stop after this long even when not every message went: the
// library's cost per message varies with its log, and the defaults must
// stay well under a minute per row.
constexpr double kCapSeconds = 2.0, kQuickCapSeconds = 0.5;
constexpr uint32_t kRepetitions = 3;

// The median of a side's runs with their range (of the p99s with second),
// or the first failure.
Measure Summary(std::vector<Measure> runs, bool second) {
  if (runs.empty()) return Fail("not measured (--only)");
  Measure out = runs[0];
  out.done = 0;
  out.records = 0;
  std::vector<double> values;
  for (const auto& m : runs) {
    if (!m.ok) return m;
    values.push_back(second ? m.value2 : m.value);
    out.done += m.done;
    out.records += m.records / runs.size();
  }
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  out.value = (values[(n - 1) / 2] + values[n / 2]) / 2;
  out.min = values.front();
  out.max = values.back();
  return out;
}

std::string Shown(const RowPlan& plan, const Measure& m) {
  return plan.scenario == Scenario::kRoundTrip
             ? Format("p50 %.1f us, p99 %.1f us", m.value, m.value2)
             : Format("%.1f %s over %s", m.value, plan.row.unit.c_str(), Grouped(m.done).c_str());
}

}  // namespace

int BenchMain(const std::vector<std::string>& args) {
  BenchReport report;
  std::string jsonPath;
  uint32_t counts[kRowCount] = {};  // 0: the run's default
  double cap = 0;
  uint32_t repetitions = kRepetitions;
  int only = 0;  // 1 library, 2 raw pipe: for looking at one side alone
  std::vector<Flag> flags = {
      Switch("--quick", [&] { report.quick = true; }),
      Text("--json", &jsonPath),
      Seconds("--seconds", &cap, kMaxSeconds),
      Number("--repetitions", &repetitions, kRepetitions, 1000),
      {"--only", true,
       [&](const std::string& which) {
         only = which == "library" ? 1 : which == "raw" ? 2 : 0;
         return only != 0;
       }},
  };
  for (size_t i = 0; i < kRowCount; ++i) {
    flags.push_back(Number(kRows[i].flag, &counts[i], 1, kMaxCount));
  }
  std::vector<std::string> plain;
  if (!ParseFlags(args, flags, &plain) || !plain.empty()) return kExitUsage;
  if (cap == 0) cap = report.quick ? kQuickCapSeconds : kCapSeconds;
  std::vector<RowPlan> plans;
  for (size_t i = 0; i < kRowCount; ++i) {
    const auto& r = kRows[i];
    const uint32_t n = counts[i] != 0 ? counts[i] : report.quick ? r.quick : r.full;
    const bool capped = i != static_cast<size_t>(Scenario::kRoundTrip);
    plans.push_back(
        {static_cast<Scenario>(i), n, capped ? cap : 0,
         BenchRow(r.id, r.title, r.unit, r.higherIsBetter,
                  r.before + Grouped(n) + r.after + (capped ? Format(", <=%g s", cap) : ""))});
  }

  if (only != 2) {
    // The library sets up its log (and traces that on stdout) with its first
    // object in the process; done here, it stays out of the progress lines.
    TransportEvents quiet;
    MakeClient(Impl::kLibrary, &quiet);
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  report.cpus = info.dwNumberOfProcessors;
  const double begin = NowSeconds();
  const size_t steps = plans.size() * repetitions * (only != 0 ? 1 : 2);
  size_t step = 0;
  for (const auto& plan : plans) {
    // The sides take turns, so a drift of the machine's speed hits both.
    std::vector<Measure> runs[2];
    for (uint32_t rep = 0; rep < repetitions; ++rep) {
      for (Impl impl : {Impl::kLibrary, Impl::kRaw}) {
        if ((only == 1 && impl == Impl::kRaw) || (only == 2 && impl == Impl::kLibrary)) continue;
        Err("[%2u/%u] %-8s %s, %s ... ", static_cast<unsigned>(++step),
            static_cast<unsigned>(steps), ImplName(impl), plan.row.title.c_str(),
            plan.row.workload.c_str());
        const double t0 = NowSeconds();
        runs[static_cast<int>(impl)].push_back(RunOne(plan, impl));
        const Measure& m = runs[static_cast<int>(impl)].back();
        if (m.ok)
          Err("%s (%.1f s)\n", Shown(plan, m).c_str(), NowSeconds() - t0);
        else
          Err("FAILED: %s\n", m.error.c_str());
      }
    }
    BenchRow row = plan.row;
    row.repetitions = repetitions;
    const bool p99 = plan.scenario == Scenario::kRoundTrip;
    for (bool second : {false, true}) {
      if (second && !p99) break;
      row.library = Summary(runs[0], second);
      row.baseline = Summary(runs[1], second);
      if (p99) {
        row.id = plan.row.id + (second ? "_p99" : "_p50");
        row.title = plan.row.title + (second ? " p99" : " p50");
      }
      report.rows.push_back(row);
    }
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
    if ((!row.library.ok && only != 2) || (!row.baseline.ok && only != 1)) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace pel::pelipc
