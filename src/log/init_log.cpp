// Placeholder until log set-up lands: no logger, so every statement is skipped.
#include "log/init_log.h"

void InitLog(const char* name) { (void)name; }

namespace pellog {

std::string LogFolder() { return std::string(); }
std::string LogFilePrefix() { return std::string(); }

}  // namespace pellog
