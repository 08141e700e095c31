#include "dsp/DspPool.h"

void* CDspPoolObject::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
  void* p = ExAllocatePoolWithTag(poolType, size, tag);
  if (p) memset(p, 0, size);
  return p;
}

void CDspPoolObject::operator delete(void* p) noexcept {
  if (p) ExFreePool(p);
}

void CDspPoolObject::operator delete(void* p, POOL_TYPE, ULONG) noexcept {
  if (p) ExFreePool(p);
}
