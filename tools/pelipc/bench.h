// `pelipc bench`: the library against the raw-pipe baseline, row by row. The
// measuring end runs in this process, its peer in a child process of the same
// executable (the hidden `__bench-peer` command).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport.h"

namespace pel::pelipc {

// In the order of the count flags and of the rows. The log rows run in this process alone.
enum class Scenario {
  kRoundTrip,
  kUpload,
  kDownload,
  kSmall,
  kSetup,
  kFanIn,
  kProcesses,
  kLog,
  kLog16
};

// The peers are the clients in the upload rows and in the 16 processes' one,
// and serve in the others.
inline bool PeerIsClient(Scenario s) {
  return s == Scenario::kUpload || s == Scenario::kSmall || s == Scenario::kProcesses;
}

// What the peer process is told on its command line.
struct PeerPlan {
  Impl impl;
  Scenario scenario;
  // The pipe; with "-ready" and "-done" the events that pace the peer: set by the peer once it
  // listens or is connected, and by the bench when the peer may end.
  std::string name;
  uint32_t count;  // messages the peer streams
  uint32_t size;   // payload bytes of each
  uint32_t index;  // which of the row's peers, for its own log name
};

std::vector<std::string> PeerArgs(const PeerPlan& plan);

// One side's figure(s) of one run of a row; in the report, the median of
// the row's runs with their range.
struct Measure {
  bool ok = false;
  std::string error;
  double value = 0;
  double value2 = 0;   // p99 of the round trip
  uint64_t done = 0;   // messages, calls or connections measured
  double records = 0;  // log records both ends wrote per round trip
  double min = 0, max = 0;
};

inline Measure Fail(const std::string& error) { return {false, error, 0, 0, 0, 0, 0, 0}; }

struct RowPlan {
  Scenario scenario;
  uint32_t count;
  double cap;  // seconds after which a rate row stops (the round trip has none)
};

Measure RunOne(const RowPlan& plan, Impl impl);

constexpr uint32_t kSmallSize = 64;
constexpr uint32_t kFanInClients = 16;  // threads or processes, and log threads
// A row's peer processes: one per client in the 16 processes' row, else one.
inline uint32_t PeerCount(Scenario s) { return s == Scenario::kProcesses ? kFanInClients : 1; }
// The peers' log name; those of the 16 processes' row add their index.
constexpr char kPeerLogName[] = "pelipc_peer";
// The message that starts a timed stream.
constexpr char kGo[] = "go";

}  // namespace pel::pelipc
