#include "primitives/unreached/ElementWise.h"

#include <xmmintrin.h>

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

inline bool AnyNull(const void* a, const void* b, const void* c) {
  return a == nullptr || b == nullptr || c == nullptr;
}

template <typename Op>
DspStatus ForwardLoop(const float* a, const float* b, float* dst, int32_t len, Op op) {
  if (AnyNull(a, b, dst)) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  for (int64_t i = 0; i < len; ++i) StoreAt(dst, i, op(LoadAt(a, i), LoadAt(b, i)));
  return DSP_STATUS_OK;
}

// Two arrays of n bytes starting at least n + 1 bytes apart share no byte;
// touching end to start already counts as overlap.
inline bool FarApart(const void* x, const void* y, int64_t n) {
  const int64_t d = static_cast<int64_t>(AddressOf(x) - AddressOf(y));
  return d > n || -d > n;
}

template <bool kMin>
DspStatus ElementExtremeL0(const float* src, float* srcDst, int32_t len) {
  if (src == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  for (int64_t i = 0; i < len; ++i) {
    const float s = LoadAt(src, i);
    const float d = LoadAt(srcDst, i);
    if (kMin ? s < d : s > d) StoreAt(srcDst, i, s);
  }
  return DSP_STATUS_OK;
}

}  // namespace

DspStatus VecSubF32L0(const float* a, const float* b, float* dst, int32_t len) {
  return ForwardLoop(a, b, dst, len, [](float x, float y) { return y - x; });
}

DspStatus VecMulF32L0(const float* a, const float* b, float* dst, int32_t len) {
  return ForwardLoop(a, b, dst, len, [](float x, float y) { return x * y; });
}

DspStatus VecMulF32InPlaceL0(const float* src, float* srcDst, int32_t len) {
  return ForwardLoop(src, srcDst, srcDst, len, [](float x, float y) { return x * y; });
}

DspStatus VecMulAddF32L0(const float* a, const float* b, float* srcDst, int32_t len) {
  if (AnyNull(a, b, srcDst)) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const int64_t n = len;
  int64_t i = 0;
  const bool disjoint = FarApart(srcDst, a, 4 * n) && FarApart(srcDst, b, 4 * n);
  if (disjoint && (AddressOf(srcDst) & 3) == 0) {
    const int64_t peel = static_cast<int64_t>((16 - (AddressOf(srcDst) & 15)) & 15) / 4;
    if (n >= peel + 8) {
      for (; i < peel; ++i) StoreAt(srcDst, i, LoadAt(a, i) * LoadAt(b, i) + LoadAt(srcDst, i));
      for (; n - i >= 8; i += 8) {
        for (int h = 0; h < 8; h += 4) {
          const __m128 product = _mm_mul_ps(_mm_loadu_ps(a + i + h), _mm_loadu_ps(b + i + h));
          _mm_store_ps(srcDst + i + h, _mm_add_ps(product, _mm_load_ps(srcDst + i + h)));
        }
      }
    }
  }
  // The rest, or all of it for overlapping vectors, front to back: each
  // element reads a, b and srcDst after every lower element was stored.
  for (; i < n; ++i) StoreAt(srcDst, i, LoadAt(a, i) * LoadAt(b, i) + LoadAt(srcDst, i));
  return DSP_STATUS_OK;
}

DspStatus VecElementMinF32InPlaceL0(const float* src, float* srcDst, int32_t len) {
  return ElementExtremeL0<true>(src, srcDst, len);
}

DspStatus VecElementMaxF32InPlaceL0(const float* src, float* srcDst, int32_t len) {
  return ElementExtremeL0<false>(src, srcDst, len);
}

DSP_DISPATCH_TABLE(VecSubF32, VecSubF32L0, VecSubF32L1, VecSubF32L2L3, VecSubF32L2L3);
DSP_DISPATCH_TABLE(VecMulF32, VecMulF32L0, VecMulF32L1, VecMulF32L2L3, VecMulF32L2L3);
DSP_DISPATCH_TABLE(VecMulAddF32, VecMulAddF32L0, VecMulAddF32L0, VecMulAddF32L0, VecMulAddF32L0);
DSP_DISPATCH_TABLE(VecMulF32InPlace, VecMulF32InPlaceL0, VecMulF32InPlaceL1, VecMulF32InPlaceL2L3,
                   VecMulF32InPlaceL2L3);
DSP_DISPATCH_TABLE(VecElementMinF32InPlace, VecElementMinF32InPlaceL0, VecElementMinF32InPlaceL1,
                   VecElementMinF32InPlaceL2, VecElementMinF32InPlaceL3);
DSP_DISPATCH_TABLE(VecElementMaxF32InPlace, VecElementMaxF32InPlaceL0, VecElementMaxF32InPlaceL1,
                   VecElementMaxF32InPlaceL2, VecElementMaxF32InPlaceL3);

DspStatus VecSubF32(const float* a, const float* b, float* dst, int32_t len) {
  return DspDispatch(VecSubF32Table, a, b, dst, len);
}
DspStatus VecMulF32(const float* a, const float* b, float* dst, int32_t len) {
  return DspDispatch(VecMulF32Table, a, b, dst, len);
}
DspStatus VecMulAddF32(const float* a, const float* b, float* srcDst, int32_t len) {
  return DspDispatch(VecMulAddF32Table, a, b, srcDst, len);
}
DspStatus VecMulF32InPlace(const float* src, float* srcDst, int32_t len) {
  return DspDispatch(VecMulF32InPlaceTable, src, srcDst, len);
}
DspStatus VecElementMinF32InPlace(const float* src, float* srcDst, int32_t len) {
  return DspDispatch(VecElementMinF32InPlaceTable, src, srcDst, len);
}
DspStatus VecElementMaxF32InPlace(const float* src, float* srcDst, int32_t len) {
  return DspDispatch(VecElementMaxF32InPlaceTable, src, srcDst, len);
}
