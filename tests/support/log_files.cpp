#include "support/log_files.h"

#include <cstdio>
#include <regex>

#include "platform/win.h"
#include "support/files.h"

namespace pel_test {

namespace {

// YYYYMMDDWW of the local date of seconds, as the log file names carry it.
std::string LogDateTag(std::time_t seconds) {
  std::tm t{};
  localtime_s(&t, &seconds);
  char tag[32];
  std::snprintf(tag, sizeof tag, "%d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_wday);
  return tag;
}

std::vector<std::string> Tags(std::time_t start) {
  std::vector<std::string> tags{LogDateTag(start)};
  const std::string now = LogDateTag(std::time(nullptr));
  if (now != tags[0]) tags.push_back(now);
  return tags;
}

}  // namespace

std::string ReadLogFiles(const std::string& folder, const std::string& prefix, std::time_t start) {
  std::string bytes;
  for (const auto& tag : Tags(start)) bytes += ReadFileBytes(folder + "\\" + prefix + tag + ".log");
  return bytes;
}

void DeleteLogFiles(const std::string& folder, const std::string& prefix, std::time_t start) {
  for (const auto& tag : Tags(start)) DeleteFileA((folder + "\\" + prefix + tag + ".log").c_str());
}

bool IsRecordLine(const std::string& line) {
  static const std::regex layout(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (FATAL|ERROR|WARN |INFO |DEBUG|VERB |NONE ) \[\d+\] \[[A-Za-z_:]+@\d+\] .*$)");
  return std::regex_match(line, layout);
}

}  // namespace pel_test
