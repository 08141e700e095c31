#include "primitives/unreached/Sum.h"

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

// Two double accumulators over groups of four (even positions into A, odd
// into B), then the rest one by one.
double BaselineSum(const float* src, int64_t n) {
  double a = 0.0, b = 0.0;
  int64_t i = 0;
  for (; n - i >= 4; i += 4) {
    a += LoadAt(src, i);
    b += LoadAt(src, i + 1);
    a += LoadAt(src, i + 2);
    b += LoadAt(src, i + 3);
  }
  double s = b + a;
  for (; i < n; ++i) s += LoadAt(src, i);
  return s;
}

}  // namespace

DspStatus VecSumF32L0(const float* src, int32_t len, float* dst, int32_t) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  *dst = static_cast<float>(BaselineSum(src, len));
  return DSP_STATUS_OK;
}

DspStatus VecMeanF32L0(const float* src, int32_t len, float* dst, int32_t) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  *dst = static_cast<float>(BaselineSum(src, len) / static_cast<double>(len));
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecSumF32, VecSumF32L0, VecSumF32L1, VecSumF32L2, VecSumF32L3);
DSP_DISPATCH_TABLE(VecMeanF32, VecMeanF32L0, VecMeanF32L1, VecMeanF32L2, VecMeanF32L3);
DspStatus VecSumF32(const float* src, int32_t len, float* dst, int32_t hint) {
  return DspDispatch(VecSumF32Table, src, len, dst, hint);
}
DspStatus VecMeanF32(const float* src, int32_t len, float* dst, int32_t hint) {
  return DspDispatch(VecMeanF32Table, src, len, dst, hint);
}
