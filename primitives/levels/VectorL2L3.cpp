// The element-wise arithmetic builds and kernels that levels 2 and 3 share.
#include "primitives/levels/VectorKernels.h"

namespace vl = vector_level;

void VecAddF32InPlaceL2L3Kernel(const float* src, float* srcDst, int64_t count) {
  vl::AddInPlaceKernel(src, srcDst, count);
}
void VecAddF32L2L3Kernel(const float* a, const float* b, float* dst, int64_t count) { vl::AddKernel(a, b, dst, count); }
void VecAddConstF32InPlaceLoopL2L3(float val, float* srcDst, int64_t count) {
  vl::AddConstInPlaceLoop(val, srcDst, count);
}
void VecMulConstF32InPlaceL2L3Kernel(float val, float* srcDst, int64_t count) {
  vl::MulConstInPlaceKernel(val, srcDst, count);
}
void VecMulConstF32LoopL2L3(const float* src, float val, float* dst, int64_t count) {
  vl::MulConstLoop(src, val, dst, count);
}

DspStatus VecAddF32InPlaceL2L3(const float* src, float* srcDst, int32_t len) {
  return vl::AddF32InPlace<VecAddF32InPlaceL2L3Kernel>(src, srcDst, len);
}
DspStatus VecAddF32L2L3(const float* a, const float* b, float* dst, int32_t len) {
  return vl::AddF32<VecAddF32L2L3Kernel>(a, b, dst, len);
}
DspStatus VecAddConstF32InPlaceL2L3(float val, float* srcDst, int32_t len) {
  return vl::AddConstF32InPlace<VecAddConstF32InPlaceLoopL2L3>(val, srcDst, len);
}
