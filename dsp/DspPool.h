// Signal-path objects that are not COM objects still live in nonpaged pool:
// their owners create them with new (NonPagedPool, tag) at PASSIVE_LEVEL and
// use them at DISPATCH_LEVEL. The block comes back zero-filled, as the owners
// expect; a failed allocation yields a null pointer, never an exception.
#pragma once

#include <cstddef>
#include <cstring>

#include "kernel/pool.h"

class CDspPoolObject {
 public:
  static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, POOL_TYPE, ULONG) noexcept;
};

// Zero-filled nonpaged arrays for the stages' states and buffers.
template <typename T>
T* DspAllocateArray(size_t count, ULONG tag) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, count * sizeof(T), tag);
  if (p) memset(p, 0, count * sizeof(T));
  return static_cast<T*>(p);
}

inline void DspFreeArray(void* p) {
  if (p) ExFreePool(p);
}
