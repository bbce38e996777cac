#include "platform/thread_id.h"

#include "platform/win.h"

namespace pel {

uint32_t CurrentThreadId() noexcept { return static_cast<uint32_t>(GetCurrentThreadId()); }

}  // namespace pel
