// Reading the library's own log files back in tests.
#pragma once

#include <ctime>
#include <string>

namespace pel_test {

// The bytes of folder\prefix<tag>.log for the local dates of now and of the
// given start (they differ only when a run crosses midnight), concatenated.
std::string ReadLogFiles(const std::string& folder, const std::string& prefix, std::time_t start);

// Deletes those files.
void DeleteLogFiles(const std::string& folder, const std::string& prefix, std::time_t start);

// True when line has the layout of a record:
// "YYYY-MM-DD hh:mm:ss.mmm SEVER [tid] [Qualified::Name@line] message".
bool IsRecordLine(const std::string& line);

}  // namespace pel_test
