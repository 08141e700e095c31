// Level 3 of the element-wise multiply, divide, absolute value and extremes
// (the add builds and the multiply kernels are shared with level 2:
// VectorL2L3.cpp).
#include "primitives/levels/VectorKernels.h"

namespace vl = vector_level;

void VecAbsF32InPlaceL3Kernel(const float* src, float* dst, int32_t count) { vl::AbsKernel(src, dst, count); }
void VecMaxF32L3Kernel(const float* src, int64_t count, float* max) { vl::ExtremeKernel<true>(src, count, max); }
void VecMinF32L3Kernel(const float* src, int64_t count, float* min) { vl::ExtremeKernel<false>(src, count, min); }
DspStatus VecMulConstF32InPlaceL3(float val, float* srcDst, int32_t len) {
  return vl::MulConstF32InPlace<3>(val, srcDst, len);
}
DspStatus VecMulConstF32L3(const float* src, float val, float* dst, int32_t len) {
  return vl::MulConstF32<3>(src, val, dst, len);
}
DspStatus VecDivConstF32L3(const float* src, float val, float* dst, int32_t len) {
  return vl::DivConstF32<3>(src, val, dst, len);
}
DspStatus VecDivConstF32InPlaceL3(float val, float* srcDst, int32_t len) {
  return vl::DivConstF32InPlace<3>(val, srcDst, len);
}
DspStatus VecAbsF32InPlaceL3(float* srcDst, int32_t len) {
  return vl::AbsF32InPlace<VecAbsF32InPlaceL3Kernel>(srcDst, len);
}
DspStatus VecMaxF32L3(const float* src, int32_t len, float* max) {
  return vl::ExtremeF32<VecMaxF32L3Kernel>(src, len, max);
}
DspStatus VecMinF32L3(const float* src, int32_t len, float* min) {
  return vl::ExtremeF32<VecMinF32L3Kernel>(src, len, min);
}
