#include "common/event.h"

#include <atomic>

namespace pel::tools {

WaitResult WaitEventOrExit(HANDLE event, HANDLE process, uint32_t timeoutMs) {
  HANDLE both[2] = {event, process};
  DWORD r = WaitForMultipleObjects(process != nullptr ? 2 : 1, both, FALSE, timeoutMs);
  if (r == WAIT_OBJECT_0) return WaitResult::kSignalled;
  if (r == WAIT_OBJECT_0 + 1) return WaitResult::kProcessEnded;
  return WaitResult::kTimeout;
}

std::string UniqueName(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
  return stem + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter.fetch_add(1));
}

}  // namespace pel::tools
