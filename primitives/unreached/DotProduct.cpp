#include "primitives/unreached/DotProduct.h"

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

// Products of a and b at i: each rounded to single precision on its own.
inline float Product(const float* a, const float* b, int64_t i) { return LoadAt(a, i) * LoadAt(b, i); }

}  // namespace

// With b at a 4-byte boundary and enough elements: the products up to b's
// 16-byte boundary into lane 0, then two four-lane accumulators eight
// products at a time, folded (A0 + A2) + (A1 + A3), then the rest one by
// one. Otherwise one running single-precision sum.
void VecDotProductF32L0Kernel(const float* a, const float* b, int64_t n, float* result) {
  const uintptr_t o = AddressOf(b) & 15;
  const int64_t k = o == 0 ? 0 : static_cast<int64_t>(16 - o) / 4;
  if ((o & 3) != 0 || n < k + 8) {
    float s = 0.0f;
    for (int64_t i = 0; i < n; ++i) s = s + Product(a, b, i);
    *result = s;
    return;
  }
  float A[4] = {0, 0, 0, 0}, B[4] = {0, 0, 0, 0};
  for (int64_t i = 0; i < k; ++i) A[0] += Product(a, b, i);
  const int64_t end = k + ((n - k) & ~int64_t{7});
  for (int64_t i = k; i < end; i += 8) {
    for (int l = 0; l < 4; ++l) {
      A[l] += Product(a, b, i + l);
      B[l] += Product(a, b, i + 4 + l);
    }
  }
  for (int l = 0; l < 4; ++l) A[l] += B[l];
  float s = (A[0] + A[2]) + (A[1] + A[3]);
  for (int64_t i = end; i < n; ++i) s += Product(a, b, i);
  *result = s;
}

DspStatus VecDotProductF32L0(const float* a, const float* b, int32_t len, float* result) {
  if (a == nullptr || b == nullptr || result == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  VecDotProductF32L0Kernel(a, b, len, result);
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecDotProductF32, VecDotProductF32L0, VecDotProductF32L1, VecDotProductF32L2, VecDotProductF32L3);
DspStatus VecDotProductF32(const float* a, const float* b, int32_t len, float* result) {
  return DspDispatch(VecDotProductF32Table, a, b, len, result);
}
