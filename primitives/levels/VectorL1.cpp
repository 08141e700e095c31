// Level 1 of the element-wise arithmetic and extremes.
#include "primitives/levels/VectorKernels.h"

namespace vl = vector_level;

void VecAddF32InPlaceL1Kernel(const float* src, float* srcDst, int64_t count) {
  vl::AddInPlaceKernel(src, srcDst, count);
}
void VecAddF32L1Kernel(const float* a, const float* b, float* dst, int64_t count) { vl::AddKernel(a, b, dst, count); }
void VecAddConstF32InPlaceLoop(float val, float* srcDst, int64_t count) { vl::AddConstInPlaceLoop(val, srcDst, count); }
void VecMulConstF32InPlaceL1Kernel(float val, float* srcDst, int64_t count) {
  vl::MulConstInPlaceKernel(val, srcDst, count);
}
void VecMulConstF32Loop(const float* src, float val, float* dst, int64_t count) {
  vl::MulConstLoop(src, val, dst, count);
}

DspStatus VecAddF32InPlaceL1(const float* src, float* srcDst, int32_t len) {
  return vl::AddF32InPlace<VecAddF32InPlaceL1Kernel>(src, srcDst, len);
}
DspStatus VecAddF32L1(const float* a, const float* b, float* dst, int32_t len) {
  return vl::AddF32<VecAddF32L1Kernel>(a, b, dst, len);
}
DspStatus VecAddConstF32InPlaceL1(float val, float* srcDst, int32_t len) {
  return vl::AddConstF32InPlace<VecAddConstF32InPlaceLoop>(val, srcDst, len);
}

// The builds of this level alone (levels 2 and 3 have their own of each).
#define VECTOR_LEVEL_NUMBER 1
#define VECTOR_LEVEL_SUFFIX L1
#include "primitives/levels/VectorLevelEntries.inc"
