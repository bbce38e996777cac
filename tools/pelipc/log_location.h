// Where the library's log file of this process lands today: folder, prefix
// and file name come from the library's own rules (its static core, since
// the DLL exports nothing but its fourteen functions).
#pragma once

#include <string>

namespace pelipc {

// Prints today's file of logName with its size, or where it was looked for.
void PrintLogLocation(const std::string& logName);

}  // namespace pelipc
