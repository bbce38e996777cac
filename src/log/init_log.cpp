#include "log/init_log.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "log/week_rolling_file_appender.h"
#include "platform/lock.h"
#include "platform/user_session.h"
#include "platform/win.h"

namespace {

constexpr int kPathBuffer = pel::log::kLogPathBuffer;

// Held across set-up: a caller during someone's first set-up waits, then only leaves the notice.
pel::Mutex g_initLock;
int g_initialized GUARDED_BY(g_initLock) = 0;

void ChoosePrefix(const char* name, char* buffer) {
  if (GetModuleFileNameA(nullptr, buffer, kPathBuffer) == 0) return;
  // The whole path counts, case-sensitively: a folder named Morrow.exe makes its programs Morrows.
  const bool quillon = std::strstr(buffer, "quillon.exe") != nullptr;
  const bool morrow = std::strstr(buffer, "Morrow.exe") != nullptr;
  std::memset(buffer, 0, kPathBuffer);
  if (quillon)
    std::snprintf(buffer, kPathBuffer, "pel_ipc_quillon-");
  else
    std::snprintf(buffer, kPathBuffer, morrow ? "pel_ipc_morrow-%s-" : "pel_ipc-%s-", name);
}

// Built on first use; at unload the logger goes first, so later statements find no logger.
pel::log::WeekRollingFileAppender& Appender(const char* folder, const char* prefix) {
  static pel::log::WeekRollingFileAppender appender(folder, prefix);
  return appender;
}

pel::log::Logger& LibraryLogger() {
  static pel::log::Logger logger(pel::log::info);
  return logger;
}

}  // namespace

void InitLog(const char* name) {
  pel::LockGuard guard(g_initLock);
  if (g_initialized != 0) {
    OutputDebugStringA(">>>>>>>>Already initialized plog!\n");
    PEL_LOGW << ">>>>>>>>Already initialized plog!\n";
    return;
  }

  const pel::log::LogPlace place = pel::log::FindLogPlace(name, true);
  // The appender is built before the logger, so at unload the logger goes first.
  pel::log::WeekRollingFileAppender& appender = Appender(place.folder, place.prefix);
  LibraryLogger().addAppender(&appender);
  g_initialized = 1;

  PEL_LOGI << "InitLog success! Compile time:" << __DATE__ << ", " << __TIME__;
}

namespace pel::log {

LogPlace FindLogPlace(const char* name, bool trace) noexcept {
  if (name == nullptr) name = "0";
  const QuietTrace quiet(!trace);
  char profile[kPathBuffer] = {};
  LogPlace place{};

  DebugTrace("InitLog", -1, "Try to get log path...");
  if (!PelTools::GetCurrentUserDocumentPath(profile, kPathBuffer)) {
    DebugTrace("InitLog", __LINE__, "Get user log path failed!!!");
    // A host must not end over its log: go on as if no user were logged on.
    std::memset(profile, 0, sizeof profile);
  }

  ChoosePrefix(name, place.prefix);
  std::snprintf(place.folder, kPathBuffer, "%s\\Documents\\Morrow\\log", profile);
  place.folder[kPathBuffer - 1] = '\0';

  DebugTrace("InitLog", -1, "Get full pel_ipc log path:%s", place.folder);
  if (trace) OutputDebugStringA(place.folder);
  return place;
}

}  // namespace pel::log
