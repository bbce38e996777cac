// The benchmark's results as a console table and as JSON.
#include <cmath>

#include "bench.h"
#include "util.h"

namespace pel::pelipc {

namespace {

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

std::string JsonSide(const char* name, const Measure& m) {
  const std::string key = std::string(", \"") + name;
  return key + "\": " + (m.ok ? JsonNumber(m.value) : "null") + key +
         "_min\": " + (m.ok ? JsonNumber(m.min) : "null") + key +
         "_max\": " + (m.ok ? JsonNumber(m.max) : "null") + key +
         "_count\": " + std::to_string(m.done);
}

}  // namespace

double BenchRow::Ratio() const {
  if (!ok() || library.value <= 0 || baseline.value <= 0) return NAN;
  return higherIsBetter ? library.value / baseline.value : baseline.value / library.value;
}

std::string BenchRow::Error() const {
  std::string error = library.ok ? "" : "library: " + library.error;
  if (!baseline.ok) error += (error.empty() ? "" : "; ") + ("raw pipe: " + baseline.error);
  return error;
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
      std::to_string(report.rows.empty() ? 0 : report.rows[0].repetitions) + " runs each\n";
  if (!notes.empty()) out += "no figure:\n" + notes;
  return out;
}

std::string FormatJson(const BenchReport& report) {
  std::string out = "{\n  \"tool\": \"pelipc bench\",\n";
  out += "  \"quick\": " + std::string(report.quick ? "true" : "false") + ",\n";
  out += "  \"cpus\": " + std::to_string(report.cpus) + ",\n";
  out += "  \"seconds\": " + JsonNumber(report.seconds) + ",\n";
  out +=
      "  \"ratio\": \"library speed relative to the raw pipe; above 1 the library is faster\",\n";
  out += "  \"rows\": [\n";
  for (size_t i = 0; i < report.rows.size(); ++i) {
    const BenchRow& row = report.rows[i];
    out += "    {\"id\": " + JsonString(row.id) + ", \"title\": " + JsonString(row.title) +
           ", \"workload\": " + JsonString(row.workload) + ", \"unit\": " + JsonString(row.unit) +
           ", \"higher_is_better\": " + (row.higherIsBetter ? "true" : "false") +
           ",\n     \"repetitions\": " + std::to_string(row.repetitions) +
           ", \"ratio\": " + JsonNumber(row.Ratio()) + JsonSide("library", row.library) +
           JsonSide("baseline", row.baseline);
    if (!row.ok()) out += ", \"error\": " + JsonString(row.Error());
    out += i + 1 < report.rows.size() ? "},\n" : "}\n";
  }
  out += "  ]\n}\n";
  return out;
}

}  // namespace pel::pelipc
