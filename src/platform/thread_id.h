#pragma once

#include <cstdint>

#include "platform/win.h"

namespace pel {

// The id Windows gives the calling thread; logs print it as an unsigned number.
inline uint32_t CurrentThreadId() noexcept { return static_cast<uint32_t>(GetCurrentThreadId()); }

}  // namespace pel
