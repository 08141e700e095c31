// Level 2 of the memory primitives: the level-2/3 design (palignr for
// sources 4, 8 or 12 bytes off a boundary, streaming from 1 MiB).
#include "primitives/levels/MemoryKernels.h"
#include "primitives/levels/MemoryLevels.h"

namespace ml = memory_level;

void* ZeroBytesL2(void* dst, int64_t bytes) { return ml::ZeroBytes(dst, bytes); }
uint32_t* FillCacheAwareU32L2(const uint32_t* pattern, uint32_t* dst, int64_t count) {
  return ml::FillCacheAware(pattern, dst, count);
}
uint32_t* FillU32L2(uint32_t pattern, uint32_t* dst, int64_t count) {
  return FillCacheAwareU32L2(&pattern, dst, count);
}
void* CopyBytesL2(const void* src, void* dst, int64_t bytes) { return ml::CopyBytes<2>(src, dst, bytes); }
void VecMoveF32L2Kernel(const void* src, void* dst, int64_t bytes) { ml::VecMoveKernel<2>(src, dst, bytes); }

DspStatus VecZeroF32L2(float* dst, int32_t len) { return ml::VecZeroF32<2>(dst, len); }
DspStatus VecSetF32L2(float val, float* dst, int32_t len) { return ml::VecSet32<2>(val, dst, len); }
DspStatus VecSetS32L2(int32_t val, int32_t* dst, int32_t len) { return ml::VecSet32<2>(val, dst, len); }
DspStatus VecCopyF32L2(const float* src, float* dst, int32_t len) { return ml::VecCopyF32<2>(src, dst, len); }
DspStatus VecMoveF32L2(const float* src, float* dst, int32_t len) { return ml::VecMoveF32<2>(src, dst, len); }
DspStatus CopyBytesCheckedL2(const void* src, void* dst, int32_t bytes) {
  return ml::CopyBytesChecked<2>(src, dst, bytes);
}
