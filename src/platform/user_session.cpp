#include "platform/user_session.h"

#include <cstdarg>
#include <cstdio>

#include "platform/fault_injection.h"

namespace {

constexpr int kTraceBuffer = 256;
constexpr int kTraceMax = 254;

thread_local int t_quiet = 0;

int LastError() { return static_cast<int>(GetLastError()); }

BOOL TokenFailure(int line, const char* format, int error) {
  DebugTrace("PelTools::GetUserToken", line, format, error);
  return FALSE;
}

// The error of the call just made, kept across closing its handle.
int CloseKeepingError(HANDLE handle) {
  const int error = LastError();
  CloseHandle(handle);
  return error;
}

}  // namespace

QuietTrace::QuietTrace(bool quiet) noexcept : m_quiet(quiet ? 1 : 0) { t_quiet += m_quiet; }

QuietTrace::~QuietTrace() { t_quiet -= m_quiet; }

void DebugTrace(const char* function, int line, const char* format, ...) {
  if (t_quiet != 0) return;
  if (function == nullptr) function = "";
  char message[kTraceBuffer] = {};
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    // Some runtimes leave a cut result unterminated or fail it; the first 254 characters stand.
    std::vsnprintf(message, kTraceMax + 1, format, args);
    va_end(args);
  }
  message[kTraceMax] = '\0';

  char text[kTraceBuffer] = {};
  if (line < 1) {
    std::snprintf(text, kTraceMax + 1, "[%s] %s", function, message);
  } else {
    std::snprintf(text, kTraceMax + 1, "[%s][%d] >>>>%s<<<<\n", function, line, message);
  }
  text[kTraceMax] = '\0';

  OutputDebugStringA(text);
  std::puts(text);
  std::fflush(stdout);
}

namespace PelTools {

BOOL GetUserToken(HANDLE* token) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return TokenFailure(__LINE__, "CreateToolhelp32Snapshot() failed ,error:%d!!!", LastError());
  }
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  if (!Process32First(snapshot, &entry)) {
    return TokenFailure(__LINE__, "Process32First() failed ,error:%d!!!",
                        CloseKeepingError(snapshot));
  }
  // The first shell in snapshot order wins, whichever session it runs in.
  DWORD pid = 0;
  do {
    if (_stricmp(entry.szExeFile, "explorer.exe") == 0) {
      pid = entry.th32ProcessID;
      break;
    }
  } while (Process32Next(snapshot, &entry));
  CloseHandle(snapshot);
  if (pid == 0) return TokenFailure(__LINE__, "explorer not found!!!", 0);

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    return TokenFailure(__LINE__, "OpenProcess() failed!!!error:%d", LastError());
  }
  HANDLE shellToken = nullptr;
  const BOOL opened = OpenProcessToken(process, TOKEN_DUPLICATE, &shellToken);
  const int openError = CloseKeepingError(process);
  if (!opened) return TokenFailure(__LINE__, "OpenProcessToken() failed!!!error:%d", openError);
  const BOOL duplicated = DuplicateTokenEx(shellToken, MAXIMUM_ALLOWED, nullptr,
                                           SecurityIdentification, TokenPrimary, token);
  const int duplicateError = CloseKeepingError(shellToken);
  return duplicated
             ? TRUE
             : TokenFailure(__LINE__, "DuplicateTokenEx() failed!!!error:%d", duplicateError);
}

bool GetCurrentUserDocumentPath(char* path, uint32_t size) {
  BOOL ok = FALSE;
  int error = 0;
#ifdef PEL_FAULT_INJECTION
  // Test hosts seldom run a shell: the seam stands for a found token whose profile is refused.
  error = static_cast<int>(pel::fault::ProfileRefusal());
  if (error == 0)
#endif
  {
    HANDLE token = nullptr;
    // Without a shell there is no interactive user; the caller goes on without a profile folder.
    if (!GetUserToken(&token)) return true;
    DWORD length = size;
    ok = GetUserProfileDirectoryA(token, path, &length);
    error = LastError();
    CloseHandle(token);
  }
  if (!ok) {
    DebugTrace("PelTools::GetCurrentUserDocumentPath", __LINE__,
               "GetUserProfileDirectory() failed!!! error:%d", error);
    return false;
  }
  DebugTrace("PelTools::GetCurrentUserDocumentPath", -1, "Get user document path:%s", path);
  return true;
}

}  // namespace PelTools
