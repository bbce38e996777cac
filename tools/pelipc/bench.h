// `pelipc bench`: the library against the raw-pipe baseline, row by row. The
// measuring end runs in this process, its peer in a child process of the same
// executable (the hidden `__bench-peer` command).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"
#include "transport.h"

namespace pelipc {

// In the order of the count flags and of the rows.
enum class Scenario { kRoundTrip, kUpload, kDownload, kSmall, kSetup, kFanIn };

// The peer streams as the client in the upload rows and serves in the others.
inline bool PeerIsClient(Scenario s) { return s == Scenario::kUpload || s == Scenario::kSmall; }

// What the peer process is told on its command line.
struct PeerPlan {
  Impl impl;
  Scenario scenario;
  // The pipe; with "-ready" and "-done" the events that pace the peer: set
  // by the peer once it listens or is connected, and by the bench when the
  // peer may end.
  std::string name;
  uint32_t count;  // messages the peer streams
  uint32_t size;   // payload bytes of each
};

std::vector<std::string> PeerArgs(const PeerPlan& plan);

// One side's figure(s) of one row.
struct Measure {
  bool ok = false;
  std::string error;
  double value = 0;
  double value2 = 0;  // p99 of the round trip
  uint64_t done = 0;  // messages, calls or connections measured
};

inline Measure Fail(const std::string& error) {
  Measure m;
  m.error = error;
  return m;
}

struct RowPlan {
  Scenario scenario;
  uint32_t count;
  double cap;
  BenchRow row;  // what the report shows of the row, figures still empty
};

Measure RunOne(const RowPlan& plan, Impl impl);

constexpr uint32_t kSmallSize = 64;
constexpr uint32_t kFanInClients = 16;
// The peer's window of writes in flight while it streams.
constexpr uint64_t kStreamWindow = 8;
// The message that starts a timed stream.
constexpr char kGo[] = "go";

int BenchMain(const std::vector<std::string>& args);
int BenchPeerMain(const std::vector<std::string>& args);

}  // namespace pelipc
