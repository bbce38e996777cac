// Log set-up, once per process, from the first server or client Init.
#pragma once

#include <string>

// Sets up the library's log on the first call in the process; later calls
// only leave a notice. A null name counts as "0".
void InitLog(const char* name);

namespace pellog {

// What the first InitLog chose; empty before set-up.
std::string LogFolder();
std::string LogFilePrefix();

}  // namespace pellog
