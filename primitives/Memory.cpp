#include "primitives/Memory.h"

#include <cstring>

#include "kernel/pool.h"
#include "primitives/Dispatch.h"

namespace {

constexpr ULONG kPrimitivesPoolTag = MakeTag("PRIM");

// Room for the stored raw pointer below the block plus the worst-case
// distance to the next 32-byte boundary.
constexpr uint64_t kBlockOverhead = 40;

void* AllocateAligned(uint64_t bytes) {
  const uint64_t total = bytes + kBlockOverhead;
  if (total > UINT32_MAX) return nullptr;
  void* raw = DspAllocHooks.allocate(static_cast<uint32_t>(total));
  if (raw == nullptr) return nullptr;
  const uintptr_t block = (reinterpret_cast<uintptr_t>(raw) + 39) & ~static_cast<uintptr_t>(31);
  std::memcpy(reinterpret_cast<void*>(block - sizeof(void*)), &raw, sizeof(void*));
  return reinterpret_cast<void*>(block);
}

}  // namespace

void* DspPoolAlloc(uint32_t bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, kPrimitivesPoolTag); }

void* DspPoolAllocArray(uint32_t count, uint32_t elementBytes) {
  const uint64_t bytes = static_cast<uint64_t>(count) * elementBytes;
  if (bytes > UINT32_MAX) return nullptr;
  return ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(bytes), kPrimitivesPoolTag);
}

uintptr_t DspPoolReserved(uintptr_t) { return 0; }

void DspPoolFree(void* raw) { ExFreePool(raw); }

DspAllocHookTable DspAllocHooks = {DspPoolAlloc, DspPoolAllocArray, DspPoolReserved, DspPoolFree};

void* DspMalloc(int32_t size) {
  if (size <= 0) return nullptr;
  return AllocateAligned(static_cast<uint64_t>(size));
}

void DspFree(void* block) {
  if (block == nullptr) return;
  void* raw;
  std::memcpy(&raw, static_cast<char*>(block) - sizeof(void*), sizeof(void*));
  DspAllocHooks.free(raw);
}

float* VecAllocF32L0(int32_t len) {
  if (len <= 0) return nullptr;
  return static_cast<float*>(AllocateAligned(4 * static_cast<uint64_t>(len)));
}

// One build serves every level.
DSP_DISPATCH_TABLE(VecAllocF32, VecAllocF32L0, VecAllocF32L0, VecAllocF32L0, VecAllocF32L0);
float* VecAllocF32(int32_t len) { return DspDispatch(VecAllocF32Table, len); }
