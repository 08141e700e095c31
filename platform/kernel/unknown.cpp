#include "kernel/unknown.h"

namespace {
void* ZeroedPool(size_t size, POOL_TYPE poolType, ULONG tag) {
  void* p = ExAllocatePoolWithTag(poolType, size, tag);
  if (p) std::memset(p, 0, size);
  return p;
}
}  // namespace

void* CUnknownBase::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
  return ZeroedPool(size, poolType, tag);
}
void CUnknownBase::operator delete(void* p) noexcept {
  if (p) ExFreePool(p);
}
void CUnknownBase::operator delete(void* p, POOL_TYPE, ULONG) noexcept {
  if (p) ExFreePool(p);
}

void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept { return ZeroedPool(size, poolType, tag); }
void* operator new[](size_t size, POOL_TYPE poolType, ULONG tag) noexcept { return ZeroedPool(size, poolType, tag); }
void operator delete(void* p, POOL_TYPE, ULONG) noexcept {
  if (p) ExFreePool(p);
}
void operator delete[](void* p, POOL_TYPE, ULONG) noexcept {
  if (p) ExFreePool(p);
}
