// Packets the library posts to its own completion ports.
#pragma once

namespace pel {

// Makes one thread waiting on the port leave its loop. No real completion
// can carry this byte count: a read or write moves at most a few MiB.
constexpr unsigned long kExitRequest = 0xFFFFFFFF;

}  // namespace pel
