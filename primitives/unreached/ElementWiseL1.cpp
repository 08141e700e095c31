// Level builds of the element-wise float arithmetic. The level-1 and the
// level-2/3 kernels of one primitive compute the same elements in the same
// way and differ only in instruction scheduling, so one implementation serves
// both; one copy serves all three levels.
#include <xmmintrin.h>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/ElementWise.h"

namespace {

struct Subtract {
  static float Scalar(float a, float b) { return b - a; }
  static __m128 Vector(__m128 a, __m128 b) { return _mm_sub_ps(b, a); }
};

struct Multiply {
  static float Scalar(float a, float b) { return a * b; }
  static __m128 Vector(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
};

// Past this many elements after the peel a subtraction streams its results
// around the caches.
constexpr int64_t kStreamingThreshold = 87383;

template <typename Op>
inline void ScalarRange(const float* a, const float* b, float* dst, int64_t from, int64_t to) {
  for (int64_t i = from; i < to; ++i) StoreAt(dst, i, Op::Scalar(LoadAt(a, i), LoadAt(b, i)));
}

// Short vectors stay scalar; longer ones align the destination by peeling
// and then take eight elements per pass, each pass reading all its operands
// before it stores.
template <typename Op, bool kMayStream>
void BinaryKernel(const float* a, const float* b, float* dst, int32_t len) {
  const int64_t n = len;
  if (n < 11) return ScalarRange<Op>(a, b, dst, 0, n);
  int64_t i = 0;
  const bool elementAligned = (AddressOf(dst) & 3) == 0;
  if (elementAligned) {
    i = static_cast<int64_t>((16 - (AddressOf(dst) & 15)) & 15) / 4;
    ScalarRange<Op>(a, b, dst, 0, i);
  }
  const bool stream = kMayStream && elementAligned && n - i > kStreamingThreshold;
  for (; n - i >= 8; i += 8) {
    const __m128 lo = Op::Vector(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    const __m128 hi = Op::Vector(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
    if (stream) {
      _mm_stream_ps(dst + i, lo);
      _mm_stream_ps(dst + i + 4, hi);
    } else if (elementAligned) {
      _mm_store_ps(dst + i, lo);
      _mm_store_ps(dst + i + 4, hi);
    } else {
      _mm_storeu_ps(dst + i, lo);
      _mm_storeu_ps(dst + i + 4, hi);
    }
  }
  if (stream) _mm_sfence();
  ScalarRange<Op>(a, b, dst, i, n);
}

// srcDst[i] = src[i] * srcDst[i] with the source prefetched a pass ahead.
void MultiplyInPlaceKernel(const float* src, float* srcDst, int32_t len) {
  const int64_t n = len;
  if (n <= 10) return ScalarRange<Multiply>(src, srcDst, srcDst, 0, n);
  int64_t i = 0;
  if ((AddressOf(srcDst) & 3) == 0) {
    i = static_cast<int64_t>((16 - (AddressOf(srcDst) & 15)) & 15) / 4;
    ScalarRange<Multiply>(src, srcDst, srcDst, 0, i);
  }
  for (; n - i >= 8; i += 8) {
    _mm_prefetch(reinterpret_cast<const char*>(src + i) + 64, _MM_HINT_T0);
    const __m128 lo = _mm_mul_ps(_mm_loadu_ps(src + i), _mm_loadu_ps(srcDst + i));
    const __m128 hi = _mm_mul_ps(_mm_loadu_ps(src + i + 4), _mm_loadu_ps(srcDst + i + 4));
    _mm_storeu_ps(srcDst + i, lo);
    _mm_storeu_ps(srcDst + i + 4, hi);
  }
  ScalarRange<Multiply>(src, srcDst, srcDst, i, n);
}

// MINPS/MAXPS with the source as first operand return the second operand
// whenever the comparison fails: a NaN on either side and equal values keep
// srcDst, which is the rule.
template <bool kMin>
void ElementExtremeKernel(const float* src, float* srcDst, int32_t len) {
  const int64_t n = len;
  auto scalar = [&](int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i) {
      const float s = LoadAt(src, i);
      if (kMin ? s < LoadAt(srcDst, i) : s > LoadAt(srcDst, i)) StoreAt(srcDst, i, s);
    }
  };
  if ((AddressOf(srcDst) & 3) != 0) return scalar(0, n);
  int64_t i = static_cast<int64_t>((16 - (AddressOf(srcDst) & 15)) & 15) / 4;
  if (i > n) i = 0;
  scalar(0, i);
  for (; n - i >= 4; i += 4) {
    const __m128 s = _mm_loadu_ps(src + i);
    const __m128 d = _mm_load_ps(srcDst + i);
    _mm_store_ps(srcDst + i, kMin ? _mm_min_ps(s, d) : _mm_max_ps(s, d));
  }
  scalar(i, n);
}

template <typename Kernel>
DspStatus CheckedBinary(const float* a, const float* b, float* dst, int32_t len, Kernel kernel) {
  if (a == nullptr || b == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kernel(a, b, dst, len);
  return DSP_STATUS_OK;
}

template <typename Kernel>
DspStatus CheckedInPlace(const float* src, float* srcDst, int32_t len, Kernel kernel) {
  if (src == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kernel(src, srcDst, len);
  return DSP_STATUS_OK;
}

}  // namespace

void VecSubF32L1Kernel(const float* a, const float* b, float* dst, int32_t len) {
  BinaryKernel<Subtract, true>(a, b, dst, len);
}
void VecSubF32L2L3Kernel(const float* a, const float* b, float* dst, int32_t len) {
  BinaryKernel<Subtract, true>(a, b, dst, len);
}
void VecMulF32L1Kernel(const float* a, const float* b, float* dst, int32_t len) {
  BinaryKernel<Multiply, false>(a, b, dst, len);
}
void VecMulF32L2L3Kernel(const float* a, const float* b, float* dst, int32_t len) {
  BinaryKernel<Multiply, false>(a, b, dst, len);
}
void VecMulF32InPlaceL1Kernel(const float* src, float* srcDst, int32_t len) { MultiplyInPlaceKernel(src, srcDst, len); }
void VecMulF32InPlaceL2L3Kernel(const float* src, float* srcDst, int32_t len) {
  MultiplyInPlaceKernel(src, srcDst, len);
}
void VecElementMinF32InPlaceKernel(const float* src, float* srcDst, int32_t len) {
  ElementExtremeKernel<true>(src, srcDst, len);
}
void VecElementMaxF32InPlaceKernel(const float* src, float* srcDst, int32_t len) {
  ElementExtremeKernel<false>(src, srcDst, len);
}

DspStatus VecSubF32L1(const float* a, const float* b, float* dst, int32_t len) {
  return CheckedBinary(a, b, dst, len, VecSubF32L1Kernel);
}
DspStatus VecSubF32L2L3(const float* a, const float* b, float* dst, int32_t len) {
  return CheckedBinary(a, b, dst, len, VecSubF32L2L3Kernel);
}
DspStatus VecMulF32L1(const float* a, const float* b, float* dst, int32_t len) {
  return CheckedBinary(a, b, dst, len, VecMulF32L1Kernel);
}
DspStatus VecMulF32L2L3(const float* a, const float* b, float* dst, int32_t len) {
  return CheckedBinary(a, b, dst, len, VecMulF32L2L3Kernel);
}
DspStatus VecMulF32InPlaceL1(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecMulF32InPlaceL1Kernel);
}
DspStatus VecMulF32InPlaceL2L3(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecMulF32InPlaceL2L3Kernel);
}
DspStatus VecElementMinF32InPlaceL1(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMinF32InPlaceKernel);
}
DspStatus VecElementMinF32InPlaceL2(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMinF32InPlaceKernel);
}
DspStatus VecElementMinF32InPlaceL3(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMinF32InPlaceKernel);
}
DspStatus VecElementMaxF32InPlaceL1(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMaxF32InPlaceKernel);
}
DspStatus VecElementMaxF32InPlaceL2(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMaxF32InPlaceKernel);
}
DspStatus VecElementMaxF32InPlaceL3(const float* src, float* srcDst, int32_t len) {
  return CheckedInPlace(src, srcDst, len, VecElementMaxF32InPlaceKernel);
}
