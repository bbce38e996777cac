#pragma once

#include <cstdint>

namespace pel {

// The id Windows gives the calling thread; logs print it as an unsigned number.
uint32_t CurrentThreadId() noexcept;

}  // namespace pel
