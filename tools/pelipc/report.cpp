#include "report.h"

#include <cmath>
#include <cstdio>

namespace pelipc {

namespace {

std::string Number(double value) {
  char text[64];
  if (value >= 1000)
    std::snprintf(text, sizeof text, "%.0f", value);
  else if (value >= 10)
    std::snprintf(text, sizeof text, "%.1f", value);
  else
    std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

double BenchRow::Ratio() const {
  if (!ok() || library <= 0 || baseline <= 0) return NAN;
  return higherIsBetter ? library / baseline : baseline / library;
}

std::string FormatTable(const BenchReport& report) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "%-38s %-28s %10s %10s %7s\n", "measurement", "workload",
                "library", "raw pipe", "ratio");
  out += line;
  out += std::string(97, '-') + "\n";
  std::string notes;
  for (const auto& row : report.rows) {
    const std::string title = row.title + " (" + row.unit + ")";
    const std::string ratio = row.ok() ? Number(row.Ratio()) + "x" : "-";
    std::snprintf(line, sizeof line, "%-38s %-28s %10s %10s %7s\n", title.c_str(),
                  row.workload.c_str(), row.libraryOk ? Number(row.library).c_str() : "-",
                  row.baselineOk ? Number(row.baseline).c_str() : "-", ratio.c_str());
    out += line;
    if (!row.error.empty()) notes += "  " + row.id + ": " + row.error + "\n";
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
           ",\n     \"library\": " + (row.libraryOk ? JsonNumber(row.library) : "null") +
           ", \"baseline\": " + (row.baselineOk ? JsonNumber(row.baseline) : "null") +
           ", \"ratio\": " + JsonNumber(row.Ratio()) +
           ", \"library_count\": " + std::to_string(row.libraryDone) +
           ", \"baseline_count\": " + std::to_string(row.baselineDone);
    if (!row.error.empty()) out += ", \"error\": " + JsonString(row.error);
    out += i + 1 < report.rows.size() ? "},\n" : "}\n";
  }
  out += "  ]\n}\n";
  return out;
}

}  // namespace pelipc
