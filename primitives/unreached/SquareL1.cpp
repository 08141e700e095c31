// Level builds of the float square and the square kernel set (one copy
// serves levels 1 to 3).
#include <xmmintrin.h>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/Square.h"

namespace {

DspStatus SquareEntry(const float* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  VecSqrF32Kernel(src, dst, len);
  return DSP_STATUS_OK;
}

template <typename T>
inline void SquareRange(const T* src, T* dst, int64_t from, int64_t to) {
  for (int64_t i = from; i < to; ++i) {
    const T x = LoadAt(src, i);
    StoreAt(dst, i, x * x);
  }
}

// v 2^-s rounded to nearest even, for any signed v of at most 33 bits and
// any s; then clamped to [lo, hi]. A right shift is a floor, so the
// remainder decides the rounding for negative values too.
int64_t ScaleRounded(int64_t v, int32_t scaleFactor, int64_t lo, int64_t hi) {
  int64_t r;
  if (scaleFactor <= 0) {
    if (v == 0) return 0;
    const int64_t k = -static_cast<int64_t>(scaleFactor);
    if (k >= 30) return v > 0 ? hi : lo;  // |v| >= 1 reaches 2^30, past every range here
    r = v * (int64_t{1} << k);
  } else if (scaleFactor >= 40) {
    r = 0;  // |v| < 2^33: below one half
  } else {
    const int64_t q = v >> scaleFactor;
    const int64_t remainder = v - q * (int64_t{1} << scaleFactor);
    const int64_t half = int64_t{1} << (scaleFactor - 1);
    r = q + ((remainder > half || (remainder == half && (q & 1) != 0)) ? 1 : 0);
  }
  return r < lo ? lo : (r > hi ? hi : r);
}

template <typename T>
void ScaledSquares(const T* src, T* dst, int32_t len, int32_t scaleFactor, int64_t hi) {
  for (int64_t i = 0; i < len; ++i) {
    const int64_t x = LoadAt(src, i);
    StoreAt(dst, i, static_cast<T>(ScaleRounded(x * x, scaleFactor, 0, hi)));
  }
}

}  // namespace

// Destination aligned first, then eight elements per pass (all loaded
// before any store), then four, two and one.
void VecSqrF32Kernel(const float* src, float* dst, int32_t len) {
  const int64_t n = len;
  int64_t i = 0;
  while (i < n && i < 3 && (AddressOf(dst + i) & 12) != 0) ++i;
  SquareRange(src, dst, 0, i);
  const bool aligned = (AddressOf(dst + i) & 15) == 0;
  for (; n - i >= 8; i += 8) {
    const __m128 lo = _mm_loadu_ps(src + i);
    const __m128 hi = _mm_loadu_ps(src + i + 4);
    if (aligned) {
      _mm_store_ps(dst + i, _mm_mul_ps(lo, lo));
      _mm_store_ps(dst + i + 4, _mm_mul_ps(hi, hi));
    } else {
      _mm_storeu_ps(dst + i, _mm_mul_ps(lo, lo));
      _mm_storeu_ps(dst + i + 4, _mm_mul_ps(hi, hi));
    }
  }
  SquareRange(src, dst, i, n);
}

DspStatus VecSqrF32L1(const float* src, float* dst, int32_t len) { return SquareEntry(src, dst, len); }
DspStatus VecSqrF32L2(const float* src, float* dst, int32_t len) { return SquareEntry(src, dst, len); }
DspStatus VecSqrF32L3(const float* src, float* dst, int32_t len) { return SquareEntry(src, dst, len); }

void VecSqrF64Kernel(const double* src, double* dst, int32_t len) { SquareRange(src, dst, 0, len); }

void VecSqrC32Kernel(const ComplexF32* src, ComplexF32* dst, int32_t len) {
  for (int64_t i = 0; i < len; ++i) {
    const ComplexF32 z = LoadAt(src, i);
    const float cross = z.re * z.im;
    StoreAt(dst, i, ComplexF32{z.re * z.re - z.im * z.im, cross + cross});
  }
}

void VecSqrC64Kernel(const ComplexF64* src, ComplexF64* dst, int32_t len) {
  for (int64_t i = 0; i < len; ++i) {
    const ComplexF64 z = LoadAt(src, i);
    const double cross = z.re * z.im;
    StoreAt(dst, i, ComplexF64{z.re * z.re - z.im * z.im, cross + cross});
  }
}

void VecSqrU8ScaledKernel(const uint8_t* src, uint8_t* dst, int32_t len, int32_t scaleFactor) {
  ScaledSquares(src, dst, len, scaleFactor, 255);
}

void VecSqrS16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t scaleFactor) {
  ScaledSquares(src, dst, len, scaleFactor, 32767);
}

void VecSqrU16ScaledKernel(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scaleFactor) {
  ScaledSquares(src, dst, len, scaleFactor, 65535);
}

void VecSqrSC16ScaledKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor) {
  for (int64_t i = 0; i < len; ++i) {
    const ComplexS16 z = LoadAt(src, i);
    const int64_t re = z.re, im = z.im;
    StoreAt(dst, i,
            ComplexS16{static_cast<int16_t>(ScaleRounded(re * re - im * im, scaleFactor, -32768, 32767)),
                       static_cast<int16_t>(ScaleRounded(2 * re * im, scaleFactor, -32768, 32767))});
  }
}
