// The log rows of `pelipc bench`: records per second through the library's
// own logger and appender (from its static core, linked into this tool) into
// a folder of this process's own, against the way the appender wrote before
// it batched: one open, seek, write and close per line under one lock.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "bench.h"
#include "log/formatter.h"
#include "log/init_log.h"
#include "log/week_rolling_file_appender.h"
#include "util.h"

namespace pelipc {

namespace {

class LinePerOpenAppender : public pellog::IAppender {
 public:
  explicit LinePerOpenAppender(std::string path) : m_path(std::move(path)) {}

  void write(const pellog::Record& record) override {
    std::lock_guard<std::mutex> hold(m_lock);
    const std::string line = pellog::UTF8Converter::convert(pellog::TxtFormatter::format(record));
    HANDLE file = CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }

 private:
  std::mutex m_lock;
  const std::string m_path;
};

// Records as the library's own statements make them, from each thread until
// it wrote `count` or the cap passed.
Measure Records(pellog::IAppender* appender, const RowPlan& plan) {
  pellog::Logger logger(pellog::info);
  logger.addAppender(appender);
  const uint32_t threads = plan.scenario == Scenario::kLog16 ? kFanInClients : 1;
  std::atomic<uint64_t> records{0};
  std::vector<std::thread> writers;
  const double start = NowSeconds();
  for (uint32_t t = 0; t < threads; ++t) {
    writers.emplace_back([&] {
      for (uint32_t n = 0; n < plan.count && NowSeconds() - start < plan.cap; ++n) {
        PEL_LOGI << "conn " << n << " sent 64 bytes, " << (plan.count - n) << " to go";
        records++;
      }
    });
  }
  for (auto& w : writers) w.join();
  return {true, "", records / (NowSeconds() - start), 0, records, 0, 0, 0};
}

}  // namespace

Measure LogRate(const RowPlan& plan, Impl impl) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::temp_directory_path(error) / UniqueName("pelipc-bench-log");
  if (!fs::create_directories(folder, error)) return Fail("no folder: " + error.message());
  Measure m;
  if (impl == Impl::kLibrary) {
    pellog::WeekRollingFileAppender appender(folder.string().c_str(), "pelipc_bench");
    m = Records(&appender, plan);
  } else {
    LinePerOpenAppender appender((folder / "pelipc_bench.log").string());
    m = Records(&appender, plan);
  }
  fs::remove_all(folder, error);
  return m;
}

uint64_t LogLines(const std::string& logName) {
  const pellog::LogPlace place = pellog::FindLogPlace(logName.c_str(), false);
  std::ifstream file(
      std::string(place.folder) + "\\" + pellog::DayFileName(place.prefix, std::time(nullptr)),
      std::ios::binary);
  return std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n');
}

}  // namespace pelipc
