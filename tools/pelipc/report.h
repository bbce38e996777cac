// The benchmark's results as a console table and as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelipc {

struct BenchRow {
  BenchRow(std::string id_, std::string title_, std::string unit_, bool higher, std::string load)
      : id(id_), title(title_), unit(unit_), higherIsBetter(higher), workload(load) {}

  std::string id;     // "sync_call_rtt_p50"
  std::string title;  // "sync call round trip, p50"
  std::string unit;   // "us", "MB/s", "msg/s", ...
  bool higherIsBetter = true;
  std::string workload;  // "10,000 calls of 64 bytes"
  double library = 0;
  double baseline = 0;
  uint64_t libraryDone = 0;  // messages, calls or connections behind the figure
  uint64_t baselineDone = 0;
  bool libraryOk = true;
  bool baselineOk = true;
  std::string error;  // why a side has no figure

  bool ok() const { return libraryOk && baselineOk; }

  // Library speed relative to the baseline: above 1 the library is faster.
  double Ratio() const;
};

struct BenchReport {
  bool quick = false;
  unsigned cpus = 0;
  double seconds = 0;
  std::vector<BenchRow> rows;
};

std::string FormatTable(const BenchReport& report);
std::string FormatJson(const BenchReport& report);

}  // namespace pelipc
