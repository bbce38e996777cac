// What every export does around its forward: "Enter!", argument checks that
// log one refusal each, and "Leave!"; records carry the export's __func__.
#pragma once

#include <string>

#include "log/log.h"
#include "pel_ipc.h"
#include "platform/alloc.h"

namespace pel {

class ExportCall {
 public:
  ExportCall(const char* name, bool trace) noexcept : m_name(name), m_trace(trace) {
    if (m_trace) Log(pel::log::info, "Enter!");
  }

  // True, with text logged as an error, when bad: the export returns at once.
  bool Refuse(bool bad, const char* text) const {
    if (bad) Log(pel::log::error, text);
    return bad;
  }
  bool RefuseData(const uint8_t* data, int32_t size) const {
    return Refuse(data == nullptr, ">>>>data is NULL!<<<<") ||
           Refuse(size < 1, ">>>>data_size less than 1!<<<<");
  }
  // A new Object with a copy of the table, set up by init; null, the reason
  // logged, when the table is refused, memory is short or init fails
  // (initFailed, plus the code when showCode). Traced: leaves after init.
  template <class Object, class Init>
  Object* Create(const PelIpcCallback* callback, const char* allocFailed, const char* initFailed,
                 bool showCode, Init init) const {
    // Both ends call all four callbacks untested: a table with a gap is refused too.
    if (Refuse(callback == nullptr, ">>>>callback is NULL!<<<<") ||
        Refuse(callback->OnConnect == nullptr || callback->OnSend == nullptr ||
                   callback->OnRecv == nullptr || callback->OnClose == nullptr,
               ">>>>callback function is NULL!<<<<"))
      return nullptr;
    Object* object = NewObject<Object>(*callback);
    if (Refuse(object == nullptr, allocFailed)) return nullptr;
    const int result = init(object);
    if (result != PEL_OK) {
      PEL_LOG_AS(pel::log::error, m_name)
          << initFailed << (showCode ? " err:" + std::to_string(result) + "!" : "") << "<<<<";
      delete object;
    }
    if (m_trace) Log(pel::log::info, "Leave!");
    return result == PEL_OK ? object : nullptr;
  }
  // The object behind a handle; null, with nullText logged, for a null one.
  template <class Object, class Handle>
  Object* Open(Handle handle, const char* nullText) const {
    Object* object = reinterpret_cast<Object*>(handle);
    Refuse(object == nullptr, nullText);
    return object;
  }

  template <class Result>
  Result Leave(Result result) const {
    Log(pel::log::info, "Leave!");
    return result;
  }

 private:
  void Log(pel::log::Severity severity, const char* text) const {
    PEL_LOG_AS(severity, m_name) << text;
  }

  const char* const m_name;
  const bool m_trace;
};

}  // namespace pel
