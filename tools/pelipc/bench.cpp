// `pelipc bench`: runs every row on the library and on the raw-pipe baseline
// and prints them side by side, as a console table and as JSON.
#include "bench.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

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
// Rate rows stop after this long even when not every message went: the library's cost per message
// varies with its log, and the defaults must stay well under a minute per row.
constexpr double kCapSeconds = 2.0, kQuickCapSeconds = 0.5;
constexpr uint32_t kRepetitions = 3;

// One row of the results, as the console table and the JSON show it.
struct BenchRow {
  std::string id;     // "sync_call_rtt_p50"
  std::string title;  // "sync call round trip p50"
  std::string unit;   // "us", "MB/s", "msg/s", ...
  bool higherIsBetter;
  std::string workload;  // "10,000 calls of 64 B"
  Measure library, baseline;

  bool ok() const { return library.ok && baseline.ok; }
  // Why a side has no figure; empty when both have one.
  std::string Error() const {
    std::string error = library.ok ? "" : "library: " + library.error;
    if (!baseline.ok) error += (error.empty() ? "" : "; ") + ("raw pipe: " + baseline.error);
    return error;
  }
  // Library speed relative to the baseline: above 1 the library is faster.
  double Ratio() const {
    if (!ok() || library.value <= 0 || baseline.value <= 0) return NAN;
    return higherIsBetter ? library.value / baseline.value : baseline.value / library.value;
  }
};

struct BenchReport {
  bool quick = false;
  unsigned cpus = 0;
  uint32_t repetitions = kRepetitions;
  double seconds = 0;
  std::vector<BenchRow> rows;
};

// The median of a side's runs with their range (of the p99s with second), or the first failure.
Measure Summary(const std::vector<Measure>& runs, bool second) {
  if (runs.empty()) return Fail("not measured (--only)");
  std::vector<double> values;
  uint64_t done = 0;
  double records = 0;
  for (const auto& m : runs) {
    if (!m.ok) return m;
    values.push_back(second ? m.value2 : m.value);
    done += m.done;
    records += m.records / runs.size();
  }
  std::sort(values.begin(), values.end());
  const double median = (values[(values.size() - 1) / 2] + values[values.size() / 2]) / 2;
  return {true, "", median, 0, done, records, values.front(), values.back()};
}

std::string Number(double value) {
  return Format(value >= 1000 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value);
}

std::string JsonNumber(double value) {
  return std::isfinite(value) ? Format("%.6g", value) : "null";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += static_cast<unsigned char>(c) < 0x20 ? Format("\\u%04x", c) : std::string(1, c);
  }
  return out + "\"";
}

// "12.3 (11.9-13.0)": the median and the range of the runs.
std::string Spread(const Measure& m) {
  return m.ok ? Number(m.value) + " (" + Number(m.min) + "-" + Number(m.max) + ")" : "-";
}

// The library's sync call p50 as the raw round trip, the records its ends
// log on the way at the cost the 1-thread log row measured, and the rest.
std::string Split(const BenchReport& report) {
  const BenchRow *call = nullptr, *log = nullptr;
  for (const auto& row : report.rows) {
    if (row.id == "sync_call_rtt_p50") call = &row;
    if (row.id == "log_record_rate_1_thread") log = &row;
  }
  if (call == nullptr || log == nullptr || !call->ok() || !log->library.ok) return "";
  const double p50 = call->library.value, raw = call->baseline.value;
  const double cost = 1e6 / log->library.value, logged = call->library.records * cost;
  return Format("  library p50 %.1f us = raw round trip %.1f + %.2f records x %.1f us + own %.1f\n",
                p50, raw, call->library.records, cost, p50 - raw - logged);
}

std::string FormatTable(const BenchReport& report) {
  std::string out = Format("%-38s %-28s %22s %22s %7s\n", "measurement", "workload",
                           "library (min-max)", "raw pipe (min-max)", "ratio") +
                    std::string(121, '-') + "\n";
  std::string notes;
  for (const auto& row : report.rows) {
    const std::string title = row.title + " (" + row.unit + ")";
    const std::string ratio = row.ok() ? Number(row.Ratio()) + "x" : "-";
    out += Format("%-38s %-28s %22s %22s %7s\n", title.c_str(), row.workload.c_str(),
                  Spread(row.library).c_str(), Spread(row.baseline).c_str(), ratio.c_str());
    if (row.id == "sync_call_rtt_p99") out += Split(report);
    if (!row.ok()) notes += "  " + row.id + ": " + row.Error() + "\n";
  }
  out +=
      "ratio: the library's speed relative to the raw pipe, above 1 the library is faster\n"
      "(raw/library for times, library/raw for rates), of the medians of " +
      std::to_string(report.repetitions) + " runs each\n";
  if (!notes.empty()) out += "no figure:\n" + notes;
  return out;
}

std::string JsonSide(const char* name, const Measure& m) {
  const std::string key = std::string(", \"") + name;
  return key + "\": " + (m.ok ? JsonNumber(m.value) : "null") + key +
         "_min\": " + (m.ok ? JsonNumber(m.min) : "null") + key +
         "_max\": " + (m.ok ? JsonNumber(m.max) : "null") + key +
         "_count\": " + std::to_string(m.done);
}

std::string FormatJson(const BenchReport& report) {
  std::string out = Format(
      "{\n  \"tool\": \"pelipc bench\",\n  \"quick\": %s,\n  \"cpus\": %u,\n  \"seconds\": %s,\n"
      "  \"ratio\": \"library speed relative to the raw pipe; above 1 the library is faster\",\n"
      "  \"rows\": [\n",
      report.quick ? "true" : "false", report.cpus, JsonNumber(report.seconds).c_str());
  for (const BenchRow& row : report.rows) {
    out += "    {\"id\": " + JsonString(row.id) + ", \"title\": " + JsonString(row.title) +
           ", \"workload\": " + JsonString(row.workload) + ", \"unit\": " + JsonString(row.unit) +
           ", \"higher_is_better\": " + (row.higherIsBetter ? "true" : "false") +
           ",\n     \"repetitions\": " + std::to_string(report.repetitions) +
           ", \"ratio\": " + JsonNumber(row.Ratio()) + JsonSide("library", row.library) +
           JsonSide("baseline", row.baseline);
    if (!row.ok()) out += ", \"error\": " + JsonString(row.Error());
    out += &row != &report.rows.back() ? "},\n" : "}\n";
  }
  return out + "  ]\n}\n";
}

}  // namespace

int BenchMain(const std::vector<std::string>& args) {
  BenchReport report;
  std::string jsonPath;
  uint32_t counts[kRowCount] = {};  // 0: the run's default
  double cap = 0;
  bool sides[2] = {true, true};  // library, raw pipe; --only looks at one alone
  std::vector<Flag> flags = {
      Switch("--quick", [&] { report.quick = true; }),
      Text("--json", &jsonPath),
      {"--seconds", true,
       [&](const std::string& value) {
         char* end = nullptr;
         cap = std::strtod(value.c_str(), &end);
         return end != value.c_str() && *end == '\0' && cap > 0 && cap <= kMaxSeconds;
       }},
      Number("--repetitions", &report.repetitions, kRepetitions, 1000),
      {"--only", true,
       [&](const std::string& which) {
         sides[0] = which == "library";
         sides[1] = which == "raw";
         return sides[0] || sides[1];
       }},
  };
  for (size_t i = 0; i < kRowCount; ++i) {
    flags.push_back(Number(kRows[i].flag, &counts[i], 1, kMaxCount));
  }
  std::vector<std::string> plain;
  if (!ParseFlags(args, flags, &plain) || !plain.empty()) return kExitUsage;
  if (cap == 0) cap = report.quick ? kQuickCapSeconds : kCapSeconds;
  if (sides[0]) {
    // The library sets up its log (and traces that on stdout) with its first
    // object in the process; done here, it stays out of the progress lines.
    TransportEvents quiet;
    MakeClient(Impl::kLibrary, &quiet);
  }
  // Every logical processor, as the library counts them for its workers, whatever the affinity.
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  report.cpus = info.dwNumberOfProcessors;
  const double begin = NowSeconds();
  const unsigned steps = kRowCount * report.repetitions * (sides[0] + sides[1]);
  unsigned step = 0;
  for (size_t i = 0; i < kRowCount; ++i) {
    const auto& r = kRows[i];
    const uint32_t n = counts[i] != 0 ? counts[i] : report.quick ? r.quick : r.full;
    // The round trip has no cap, and a p99 row after its p50 one.
    const bool p99 = i == static_cast<size_t>(Scenario::kRoundTrip);
    const RowPlan plan = {static_cast<Scenario>(i), n, p99 ? 0 : cap};
    const std::string workload =
        r.before + Grouped(n) + r.after + (p99 ? "" : Format(", <=%g s", cap));
    BenchRow row = {r.id, r.title, r.unit, r.higherIsBetter, workload, {}, {}};
    // The sides take turns, so a drift of the machine's speed hits both.
    std::vector<Measure> runs[2];
    for (uint32_t rep = 0; rep < report.repetitions; ++rep) {
      for (Impl impl : {Impl::kLibrary, Impl::kRaw}) {
        if (!sides[static_cast<int>(impl)]) continue;
        Err("[%2u/%u] %-8s %s, %s ... ", ++step, steps, ImplName(impl), row.title.c_str(),
            row.workload.c_str());
        const double t0 = NowSeconds();
        const Measure m = RunOne(plan, impl);
        runs[static_cast<int>(impl)].push_back(m);
        if (!m.ok) {
          Err("FAILED: %s\n", m.error.c_str());
        } else if (p99) {
          Err("p50 %.1f us, p99 %.1f us (%.1f s)\n", m.value, m.value2, NowSeconds() - t0);
        } else {
          Err("%.1f %s over %s (%.1f s)\n", m.value, row.unit.c_str(), Grouped(m.done).c_str(),
              NowSeconds() - t0);
        }
      }
    }
    for (bool second : {false, true}) {
      if (second && !p99) break;
      BenchRow side = row;
      side.library = Summary(runs[0], second);
      side.baseline = Summary(runs[1], second);
      if (p99) {
        side.id += second ? "_p99" : "_p50";
        side.title += second ? " p99" : " p50";
      }
      report.rows.push_back(side);
    }
  }
  report.seconds = NowSeconds() - begin;

  Out("\n%s", FormatTable(report).c_str());
  Out("%s, %u processors, %.1f s\n", report.quick ? "quick run" : "full run", report.cpus,
      report.seconds);
  if (!jsonPath.empty()) {
    std::ofstream json(jsonPath, std::ios::binary | std::ios::trunc);
    json << FormatJson(report);
    if (!json) return Failed(kExitFailed, "pelipc bench: cannot write %s\n", jsonPath.c_str());
    Out("JSON written to %s\n", jsonPath.c_str());
  }
  for (const auto& row : report.rows) {
    if ((!row.library.ok && sides[0]) || (!row.baseline.ok && sides[1])) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace pel::pelipc
