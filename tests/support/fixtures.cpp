#include "support/fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "log/formatter.h"

namespace pel::test {

namespace {

std::map<std::string, HelperFn>& Helpers() {
  static std::map<std::string, HelperFn> helpers;
  return helpers;
}

}  // namespace

HelperRegistration::HelperRegistration(const char* name, HelperFn fn) { Helpers()[name] = fn; }

bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs) {
  for (const ULONGLONG end = GetTickCount64() + timeoutMs; !pred(); Sleep(1)) {
    if (GetTickCount64() >= end) return pred();
  }
  return true;
}

int32_t ServerWorkerCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int32_t>(info.dwNumberOfProcessors) + 2;
}

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

TempDir::TempDir(const std::string& tag)
    : m_path((std::filesystem::current_path() / pel::tools::UniqueName("tmp_" + tag)).string()) {
  std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  return out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush();
}

PelIpcCallback CallbackRecorder::Table(const std::string& logName) {
  PelIpcCallback table{};
  table.OnConnect = [](uint32_t id, void* self) {
    auto& r = static_cast<CallbackRecorder*>(self)->Record(Cb::Connect, id);
    return r.onConnect ? r.onConnect(id) : 0;
  };
  table.OnSend = [](uint32_t id, void* self) {
    auto& r = static_cast<CallbackRecorder*>(self)->Record(Cb::Send, id);
    return r.onSend ? r.onSend(id) : 0;
  };
  table.OnRecv = [](uint32_t id, const uint8_t* data, uint32_t size, void* self) {
    auto& r = static_cast<CallbackRecorder*>(self)->Record(Cb::Recv, id, 0, data, size);
    return r.onRecv ? r.onRecv(id, data, size) : 0;
  };
  table.OnClose = [](uint32_t id, int32_t code, void* self) {
    auto& r = static_cast<CallbackRecorder*>(self)->Record(Cb::Close, id, code);
    return r.onClose ? r.onClose(id, code) : 0;
  };
  table.UserContext = this;
  std::strncpy(table.LogName, logName.c_str(), sizeof table.LogName - 1);
  return table;
}

std::vector<std::vector<uint8_t>> CallbackRecorder::Payloads(uint32_t id) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::vector<uint8_t>> out;
  for (const auto& e : m_events)
    if (e.kind == Cb::Recv && e.id == id) out.push_back(e.payload);
  return out;
}

CallbackRecorder& CallbackRecorder::Record(Cb kind, uint32_t id, int32_t code, const uint8_t* data,
                                           uint32_t size) {
  CallbackEvent event{kind, id, code, {data, data + size}, GetCurrentThreadId()};
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.push_back(std::move(event));
  return *this;
}

LogCapture* LogCapture::Attach() {
  static std::mutex once;
  static LogCapture* capture = nullptr;  // never freed: the logger may call it until exit
  std::lock_guard<std::mutex> guard(once);
  pel::log::Logger* logger = pel::log::Logger::Get();
  if (capture == nullptr && logger != nullptr) logger->addAppender(capture = new LogCapture());
  return capture;
}

void LogCapture::write(const pel::log::Record& record) {
  CapturedRecord r{record.severity(), record.function(),
                   pel::log::UTF8Converter::convert(record.message()), record.threadId()};
  std::lock_guard<std::mutex> guard(m_lock);
  m_records.push_back(std::move(r));
}

}  // namespace pel::test

int main(int argc, char** argv) {
  // Wine's crash handler can end a crashed process with exit code 0: a crash must fail the run.
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* e) -> LONG {
    std::fprintf(stderr, "crashed: exception 0x%08lx\n", e->ExceptionRecord->ExceptionCode);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
  });
  if (argc >= 3 && std::strcmp(argv[1], "--helper") == 0) {
    const auto helper = pel::test::Helpers().find(argv[2]);
    return helper == pel::test::Helpers().end() ? 99 : helper->second({argv + 3, argv + argc});
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
