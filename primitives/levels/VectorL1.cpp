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
void VecAbsF32InPlaceL1Kernel(const float* src, float* dst, int32_t count) { vl::AbsKernel(src, dst, count); }
void VecMaxF32L1Kernel(const float* src, int64_t count, float* max) { vl::ExtremeKernel<true>(src, count, max); }
void VecMinF32L1Kernel(const float* src, int64_t count, float* min) { vl::ExtremeKernel<false>(src, count, min); }
DspStatus VecMulConstF32InPlaceL1(float val, float* srcDst, int32_t len) {
  return vl::MulConstF32InPlace<1>(val, srcDst, len);
}
DspStatus VecMulConstF32L1(const float* src, float val, float* dst, int32_t len) {
  return vl::MulConstF32<1>(src, val, dst, len);
}
DspStatus VecDivConstF32L1(const float* src, float val, float* dst, int32_t len) {
  return vl::DivConstF32<1>(src, val, dst, len);
}
DspStatus VecDivConstF32InPlaceL1(float val, float* srcDst, int32_t len) {
  return vl::DivConstF32InPlace<1>(val, srcDst, len);
}
DspStatus VecAbsF32InPlaceL1(float* srcDst, int32_t len) {
  return vl::AbsF32InPlace<VecAbsF32InPlaceL1Kernel>(srcDst, len);
}
DspStatus VecMaxF32L1(const float* src, int32_t len, float* max) {
  return vl::ExtremeF32<VecMaxF32L1Kernel>(src, len, max);
}
DspStatus VecMinF32L1(const float* src, int32_t len, float* min) {
  return vl::ExtremeF32<VecMinF32L1Kernel>(src, len, min);
}
