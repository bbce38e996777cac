// Non-throwing allocation for everything the library owns. Every allocation
// that can fail with a result code goes through here, so tests can make the
// Nth one fail (see fault_injection.h); the shipped DLL compiles the seam out.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace pel {

// size: the bytes asked for, so tests can also pick an allocation by its size.
#ifdef PEL_FAULT_INJECTION
bool AllocationAllowed(std::size_t size) noexcept;
#else
constexpr bool AllocationAllowed(std::size_t) noexcept { return true; }
#endif

// Default-initialises without arguments: 5 MiB record buffers must not be zero-filled each time.
template <class T, class... Args>
T* NewObject(Args&&... args) noexcept {
  if (!AllocationAllowed(sizeof(T))) return nullptr;
  if constexpr (sizeof...(Args) == 0)
    return new (std::nothrow) T;
  else
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

template <class T>
T* NewArray(std::size_t count) noexcept {
  return AllocationAllowed(count * sizeof(T)) ? new (std::nothrow) T[count] : nullptr;
}

// Raw bytes for messages and buffers; contents are left uninitialised.
inline unsigned char* NewBytes(std::size_t size) noexcept {
  return AllocationAllowed(size) ? new (std::nothrow) unsigned char[size] : nullptr;
}

inline void DeleteBytes(unsigned char* bytes) noexcept { delete[] bytes; }

}  // namespace pel
