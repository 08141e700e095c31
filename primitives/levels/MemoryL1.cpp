// Level 1 of the memory primitives: lddqu for sources off a 16-byte boundary,
// streaming from 512 KiB against the cache share of one core.
#include "primitives/levels/MemoryKernels.h"
#include "primitives/levels/MemoryLevels.h"

namespace ml = memory_level;

void* ZeroBytesL1(void* dst, int64_t bytes) { return ml::ZeroBytes(dst, bytes); }
uint32_t* FillCacheAwareU32L1(const uint32_t* pattern, uint32_t* dst, int64_t count) {
  return ml::FillCacheAware(pattern, dst, count);
}
uint32_t* FillU32L1(uint32_t pattern, uint32_t* dst, int64_t count) {
  return FillCacheAwareU32L1(&pattern, dst, count);
}
void* CopyBytesL1(const void* src, void* dst, int64_t bytes) { return ml::CopyBytes<1>(src, dst, bytes); }
void VecMoveF32L1Kernel(const void* src, void* dst, int64_t bytes) { ml::VecMoveKernel<1>(src, dst, bytes); }

DspStatus VecZeroF32L1(float* dst, int32_t len) { return ml::VecZeroF32<1>(dst, len); }
DspStatus VecSetF32L1(float val, float* dst, int32_t len) { return ml::VecSet32<1>(val, dst, len); }
DspStatus VecSetS32L1(int32_t val, int32_t* dst, int32_t len) { return ml::VecSet32<1>(val, dst, len); }
DspStatus VecCopyF32L1(const float* src, float* dst, int32_t len) { return ml::VecCopyF32<1>(src, dst, len); }
DspStatus VecMoveF32L1(const float* src, float* dst, int32_t len) { return ml::VecMoveF32<1>(src, dst, len); }
DspStatus CopyBytesChecked(const void* src, void* dst, int32_t bytes) {
  return ml::CopyBytesChecked<1>(src, dst, bytes);
}
