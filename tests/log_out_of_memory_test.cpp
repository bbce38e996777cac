// A log statement when memory runs out: it must neither throw into the
// worker that logs nor lose the record, only the part of its text that could
// not be built. This program replaces the global allocator so that every
// allocation from the n-th on fails, and walks n over one statement.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "log/log.h"

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_left{0};  // allocations that still succeed while armed
std::atomic<long> g_refused{0};

void* Allocate(std::size_t size) {
  if (g_armed.load() && g_left.fetch_sub(1) <= 0) {
    g_refused.fetch_add(1);
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Copies what it is given into fixed storage: it runs while allocations fail.
class FixedAppender : public pellog::IAppender {
 public:
  void write(const pellog::Record& record) override {
    ++count;
    std::wcsncpy(message, record.message().c_str(), kLength - 1);
    std::strncpy(function, record.function().c_str(), kLength - 1);
  }
  static constexpr size_t kLength = 256;
  int count = 0;
  wchar_t message[kLength] = {};
  char function[kLength] = {};
};

}  // namespace

struct OomSubject {
  static void Log(const void* handle) {
    PEL_LOGE << "ReadFile failed! err:" << 109 << "! Connection[" << handle << "] "
             << std::string("is closing...") << L" \u00e9" << 4294967295u << -7LL << true;
  }
};

TEST(LogOutOfMemory, EveryAllocationOfAStatementMayFailWithoutLosingTheRecord) {
  pellog::Logger logger(pellog::info);
  FixedAppender appender;
  ASSERT_TRUE(logger.addAppender(&appender));
  const void* handle = reinterpret_cast<const void*>(static_cast<uintptr_t>(0x1F4));
  const wchar_t kFull[] =
      L"ReadFile failed! err:109! Connection[00000000000001F4] is closing... \u00e94294967295-71";

  bool complete = false;
  for (long n = 0; n < 200 && !complete; ++n) {
    appender.count = 0;
    g_refused = 0;
    g_left = n;
    g_armed = true;
    OomSubject::Log(handle);
    g_armed = false;
    ASSERT_EQ(appender.count, 1) << "allocation " << n << " failed and the record was lost";
    const std::wstring got(appender.message);
    complete = g_refused.load() == 0;
    if (complete) {
      EXPECT_EQ(got, kFull);
      EXPECT_STREQ(appender.function, "OomSubject::Log");
    }
  }
  EXPECT_TRUE(complete) << "the statement kept allocating";
}
