// `pelipc bench`: the library against the raw-pipe baseline, row by row. The
// measuring end runs in this process, its peer in a child process of the same
// executable (the hidden `__bench-peer` command).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport.h"

namespace pelipc {

enum class Scenario { kRoundTrip, kUpload, kDownload, kSmall, kSetup, kFanIn };

const char* ScenarioTag(Scenario s);
bool ParseScenario(const std::string& tag, Scenario* out);

// What the peer process is told on its command line.
struct PeerPlan {
  Impl impl = Impl::kLibrary;
  Scenario scenario = Scenario::kRoundTrip;
  std::string pipe;
  std::string readyEvent;  // set by a peer server once it listens
  std::string doneEvent;   // set by the bench when the peer may end
  uint32_t count = 0;      // messages the peer streams
  uint32_t size = 0;       // payload bytes of each
};

std::vector<std::string> PeerArgs(const PeerPlan& plan);
bool ParsePeerArgs(const std::vector<std::string>& args, PeerPlan* plan);

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
  std::string id, title, unit, workload;
  bool higherIsBetter;
  uint32_t count;
  double cap;
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
