// Manual-reset events with bounded waits, named when another process sets
// them, and names that no other run on the machine uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/win.h"

namespace pel::tools {

class Event {
 public:
  explicit Event(const char* name = nullptr) : m_handle(CreateEventA(nullptr, TRUE, FALSE, name)) {}
  ~Event() { Close(); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  // Opens an event that another process created; false when it does not exist.
  bool Open(const char* name) {
    Close();
    m_handle = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
    return m_handle != nullptr;
  }
  void Set() { SetEvent(m_handle); }
  void Reset() { ResetEvent(m_handle); }
  // True when set within the time.
  bool Wait(uint32_t timeoutMs) {
    return WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0;
  }
  HANDLE handle() const { return m_handle; }

 private:
  void Close() {
    if (m_handle != nullptr) CloseHandle(m_handle);
  }

  HANDLE m_handle = nullptr;
};

// stem-<process id>-<counter>: for pipes, events, files and folders.
inline std::string UniqueName(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
  return stem + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter.fetch_add(1));
}

}  // namespace pel::tools
