// `pelipc bench`: runs every row on the library and on the raw-pipe baseline
// and prints them side by side.
#include "bench.h"

#include <cstdio>
#include <fstream>

#include "flags.h"
#include "report.h"
#include "util.h"

namespace pelipc {

namespace {

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

// The count flags; 0 in the parsed counts leaves the run's default.
const struct {
  const char* flag;
  uint32_t Counts::*field;
} kCountFlags[] = {
    {"--calls", &Counts::calls}, {"--upload", &Counts::upload}, {"--download", &Counts::download},
    {"--small", &Counts::small}, {"--setups", &Counts::setups}, {"--fanin", &Counts::fanIn},
};
constexpr uint32_t kMaxCount = 100000000;
constexpr double kMaxSeconds = 600;

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

}  // namespace

int BenchMain(const std::vector<std::string>& args) {
  BenchReport report;
  std::string jsonPath;
  Counts given = {0, 0, 0, 0, 0, 0, 0};
  int only = 0;  // 1 library, 2 raw pipe: for looking at one side alone
  std::vector<Flag> flags = {
      Switch("--quick", [&] { report.quick = true; }),
      Text("--json", &jsonPath),
      Seconds("--seconds", &given.capSeconds, kMaxSeconds),
      {"--only", true,
       [&](const std::string& which) {
         only = which == "library" ? 1 : which == "raw" ? 2 : 0;
         return only != 0;
       }},
  };
  for (const auto& count : kCountFlags) {
    flags.push_back(Number(count.flag, &(given.*count.field), 1, kMaxCount));
  }
  std::vector<std::string> plain;
  if (!ParseFlags(args, flags, &plain) || !plain.empty()) return kExitUsage;
  Counts counts = report.quick ? QuickCounts() : Counts();
  for (const auto& count : kCountFlags) {
    if (given.*count.field != 0) counts.*count.field = given.*count.field;
  }
  if (given.capSeconds > 0) counts.capSeconds = given.capSeconds;

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
