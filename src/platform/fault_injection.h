// Test-only control of the allocation seam in alloc.h. Exists only in the
// core variant built with PEL_FAULT_INJECTION.
#pragma once

#include <cstdint>

namespace pel {
namespace fault {

// Make the Nth allocation from now fail (1 = the next one); 0 disarms.
void FailAllocation(uint64_t nth) noexcept;
// Allocations seen through the seam since the process started.
uint64_t AllocationCount() noexcept;
// True once the armed failure has been delivered.
bool Fired() noexcept;

}  // namespace fault
}  // namespace pel
