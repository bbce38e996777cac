// White-box counters of what the library holds alive. Tests compare them with their value before a
// scenario to find leaks; Wine's handle count is a stub, so open pipe handles are counted here too.
#pragma once

#include <atomic>
#include <cstdint>

namespace pel {
namespace diag {

struct Counters {
  std::atomic<int64_t> connections{0};  // live IpcConnection records
  std::atomic<int64_t> iocpKeys{0};     // live separately allocated IocpKeys
  std::atomic<int64_t> messages{0};     // live outgoing message buffers
  std::atomic<int64_t> pipeHandles{0};  // open pipe handles (both ends)
  std::atomic<int64_t> servers{0};      // live server objects
  std::atomic<int64_t> clients{0};      // live client objects
};

Counters& Live() noexcept;

}  // namespace diag
}  // namespace pel
