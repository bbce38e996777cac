// The benchmark's results as a console table and as JSON.
#include <cmath>

#include "bench.h"
#include "util.h"

namespace pelipc {

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
  std::string out = Format("%-38s %-28s %10s %10s %7s\n", "measurement", "workload", "library",
                           "raw pipe", "ratio") +
                    std::string(97, '-') + "\n";
  std::string notes;
  for (const auto& row : report.rows) {
    const std::string title = row.title + " (" + row.unit + ")";
    const std::string ratio = row.ok() ? Number(row.Ratio()) + "x" : "-";
    out += Format("%-38s %-28s %10s %10s %7s\n", title.c_str(), row.workload.c_str(),
                  row.library.ok ? Number(row.library.value).c_str() : "-",
                  row.baseline.ok ? Number(row.baseline.value).c_str() : "-", ratio.c_str());
    if (!row.ok()) notes += "  " + row.id + ": " + row.Error() + "\n";
  }
  out +=
      "ratio: the library's speed relative to the raw pipe, above 1 the library is faster\n"
      "(raw/library for times, library/raw for rates)\n";
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
           ",\n     \"library\": " + (row.library.ok ? JsonNumber(row.library.value) : "null") +
           ", \"baseline\": " + (row.baseline.ok ? JsonNumber(row.baseline.value) : "null") +
           ", \"ratio\": " + JsonNumber(row.Ratio()) +
           ", \"library_count\": " + std::to_string(row.library.done) +
           ", \"baseline_count\": " + std::to_string(row.baseline.done);
    if (!row.ok()) out += ", \"error\": " + JsonString(row.Error());
    out += i + 1 < report.rows.size() ? "},\n" : "}\n";
  }
  out += "  ]\n}\n";
  return out;
}

}  // namespace pelipc
