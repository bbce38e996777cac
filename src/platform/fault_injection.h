// Test-only control of alloc.h's seam and the profile look-up (PEL_FAULT_INJECTION builds only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pel {
namespace fault {

// Make the Nth allocation from now fail (1 = the next one); 0 disarms.
void FailAllocation(uint64_t nth) noexcept;
// Make the Nth allocation of exactly size bytes from now fail. Allocations
// of one size that follow each other causally (a HELLO, then the answer to
// it) keep their order whatever other threads allocate meanwhile.
void FailAllocationOfSize(std::size_t size, uint64_t nth) noexcept;
// True once the armed failure has been delivered.
bool Fired() noexcept;
// Sizes of the allocations since the seam was last (dis)armed, in order (the first few hundred).
std::vector<std::size_t> AllocationSizes();

// Make every look-up of the user's profile folder fail as if Windows refused
// it with this error for a token that was found; 0 disarms.
void RefuseProfileDirectory(uint32_t error) noexcept;
uint32_t ProfileRefusal() noexcept;  // the error armed above, 0 when disarmed

}  // namespace fault
}  // namespace pel
