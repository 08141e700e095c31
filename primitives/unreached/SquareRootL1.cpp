// Level builds of the in-place float square root and the floating-point
// members of the square-root kernel unit. One copy serves levels 1 to 3: the
// level-3 float kernel differs from the level-1/2 one only in its block step
// and needs nothing beyond this file's instruction set.
#include <emmintrin.h>
#include <xmmintrin.h>

#include <cmath>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/SquareRoot.h"

namespace {

constexpr uint32_t kDenormalsAreZero = 0x0040;
constexpr uint32_t kPrecisionFlag = 0x0020;
constexpr uint32_t kAllExceptionMasks = 0x1F80;
constexpr uint32_t kInvalidFlag = 0x0001;
constexpr uint32_t kDenormalFlag = 0x0002;
constexpr uint32_t kInvalidMask = 0x0080;
constexpr uint32_t kDenormalMask = 0x0100;

// The float kernels run with denormals-are-zero off, so that subnormal
// elements get their true roots, and hand back every exception flag they
// raised except the precision flag, which square roots raise all the time.
class FloatKernelEnvironment {
 public:
  FloatKernelEnvironment() : m_Word(_mm_getcsr() & ~kDenormalsAreZero) {
    if ((m_Word & kAllExceptionMasks) == kAllExceptionMasks && m_Word != _mm_getcsr()) _mm_setcsr(m_Word);
  }
  ~FloatKernelEnvironment() {
    if (((_mm_getcsr() ^ m_Word) & 0xFFFFu & ~(kPrecisionFlag | kDenormalsAreZero)) != 0) _mm_setcsr(m_Word);
  }
  FloatKernelEnvironment(const FloatKernelEnvironment&) = delete;
  FloatKernelEnvironment& operator=(const FloatKernelEnvironment&) = delete;

 private:
  uint32_t m_Word;
};

// The double kernel masks invalid and denormal exceptions while it runs and
// puts back the invalid and denormal flags and masks it found.
class DoubleKernelEnvironment {
 public:
  DoubleKernelEnvironment() {
    const uint32_t entry = _mm_getcsr();
    const uint32_t wanted = (entry & ~(kInvalidFlag | kDenormalsAreZero)) | kInvalidMask | kDenormalMask;
    if ((entry & ~kDenormalsAreZero) != wanted) {
      _mm_setcsr(wanted);
      m_Word = wanted;
    } else {
      m_Word = entry;
    }
  }
  ~DoubleKernelEnvironment() {
    if (((_mm_getcsr() ^ m_Word) & (kInvalidFlag | kDenormalFlag | kInvalidMask | kDenormalMask)) != 0)
      _mm_setcsr(m_Word);
  }
  DoubleKernelEnvironment(const DoubleKernelEnvironment&) = delete;
  DoubleKernelEnvironment& operator=(const DoubleKernelEnvironment&) = delete;

 private:
  uint32_t m_Word;
};

// Correctly rounded roots as the processor gives them: a negative operand
// gives the default NaN, a NaN its quiet form, -0.0 stays -0.0.
inline float RootF32(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
inline double RootF64(double x) { return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(x))); }
inline float RsqrtEstimate(float x) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x))); }

inline float Root(float x) { return RootF32(x); }
inline double Root(double x) { return RootF64(x); }

// Correctly rounded roots of [from, to); non-zero when one was below zero.
template <typename T>
inline int32_t ExactRoots(const T* src, T* dst, int64_t from, int64_t to) {
  int32_t negative = 0;
  for (int64_t i = from; i < to; ++i) {
    const T x = LoadAt(src, i);
    negative |= x < 0;
    StoreAt(dst, i, Root(x));
  }
  return negative;
}

// One Newton step from the estimate: y = (3 - e*(x*e)) * (0.5*(x*e)). The
// level-3 kernel writes it as (g - 3) * (-0.5*c), the same value.
// Also gives c = x*e and g = e*c, whose NaNs mark the values the step
// cannot serve.
template <bool kLevel3>
inline __m128 NewtonRoot(__m128 x, __m128* c, __m128* g) {
  const __m128 e = _mm_rsqrt_ps(x);
  *c = _mm_mul_ps(x, e);
  *g = _mm_mul_ps(e, *c);
  if (kLevel3) return _mm_mul_ps(_mm_sub_ps(*g, _mm_set1_ps(3.0f)), _mm_mul_ps(_mm_set1_ps(-0.5f), *c));
  return _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(3.0f), *g), _mm_mul_ps(_mm_set1_ps(0.5f), *c));
}

template <bool kLevel3>
int32_t FloatRootKernel(const float* src, float* dst, int32_t len) {
  FloatKernelEnvironment environment;
  const int64_t n = len;
  int64_t i = 0;
  while (i < n && (AddressOf(dst + i) & 12) != 0) ++i;
  int32_t negative = ExactRoots(src, dst, 0, i);
  for (; n - i >= 16; i += 16) {
    __m128 x[4], y[4];
    for (int q = 0; q < 4; ++q) x[q] = _mm_loadu_ps(src + i + 4 * q);
    __m128 special = _mm_setzero_ps();
    for (int q = 0; q < 4; ++q) {
      __m128 c, g;
      y[q] = NewtonRoot<kLevel3>(x[q], &c, &g);
      if (kLevel3) {
        // c is not finite for zeros, negatives, infinities and NaNs, and for
        // the subnormals whose estimate is infinite; c - c is then NaN.
        const __m128 d = _mm_sub_ps(c, c);
        special = _mm_or_ps(special, _mm_cmpunord_ps(d, d));
      } else {
        special = _mm_or_ps(special, _mm_cmpunord_ps(g, g));
      }
    }
    if (!kLevel3) {
      const __m128 smallest = _mm_min_ps(_mm_min_ps(x[0], x[1]), _mm_min_ps(x[2], x[3]));
      special = _mm_or_ps(special, _mm_cmplt_ps(smallest, _mm_set1_ps(0x1p-126f)));
    }
    if (_mm_movemask_ps(special) != 0) {
      for (int q = 0; q < 4; ++q) {
        negative |= _mm_movemask_ps(_mm_cmplt_ps(x[q], _mm_setzero_ps())) != 0;
        y[q] = _mm_sqrt_ps(x[q]);
      }
    }
    for (int q = 0; q < 4; ++q) _mm_storeu_ps(dst + i + 4 * q, y[q]);
  }
  negative |= ExactRoots(src, dst, i, n);
  return negative;
}

template <int32_t (*Kernel)(const float*, float*, int32_t)>
DspStatus InPlaceRoot(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  return Kernel(srcDst, srcDst, len) != 0 ? DSP_WARN_SQRT_NEGATIVE : DSP_STATUS_OK;
}

// x = A * 2^(2k) with A in [0.5, 2); sqrt(A) = (A e) / sqrt(s) for s = A e^2,
// and (s - 3)((s - 3)^2 s - 12) is 16 times a third-order fit of 1/sqrt(s)
// about 1. The power of two goes back on through the exponent field.
inline double FastRootF64(double x) {
  const uint64_t bits = BitsOf(x);
  const int64_t exponent = static_cast<int64_t>(bits >> 52);  // positive normal: 1..2046
  const int64_t aExponent = 1022 + (exponent & 1);
  const int64_t k = (exponent - aExponent) / 2;
  const double a = DoubleFromBits((bits & 0x000FFFFFFFFFFFFFull) | (static_cast<uint64_t>(aExponent) << 52));
  const double e = static_cast<double>(RsqrtEstimate(static_cast<float>(a)));
  const double ae = a * e;
  const double s = ae * e;
  const double sm3 = s - 3.0;
  const double p = (ae * sm3) * ((sm3 * sm3 * s) - 12.0);
  return DoubleFromBits(BitsOf(p) + (static_cast<uint64_t>(k - 4) << 52));
}

inline bool PositiveNormalF64(double x) { return BitsOf(x) - 0x0010000000000000ull < 0x7FE0000000000000ull; }

inline float SignedBy(float sigma, float v) { return sigma * v; }

ComplexF32 RootC32(ComplexF32 z) {
  const float a = 0.5f * z.re;
  const float b = 0.5f * z.im;
  const float sigma = (z.im < 0.0f || z.im != z.im) ? -1.0f : 1.0f;
  const float m2 = a * a + b * b;
  if (m2 == 0.0f) return {0.0f, SignedBy(sigma, 0.0f)};
  const float e = RsqrtEstimate(m2);
  const float c = m2 * e;
  const float m = (0.5f * c) * (3.0f - e * c);
  const float t = std::fabs(a) + m;
  const float e2 = RsqrtEstimate(t);
  const float r = (0.5f * e2) * (3.0f - (t * e2) * e2);
  const float p = t * r;
  const float q = std::fabs(b) * r;
  if (0.0f <= a) return {p, SignedBy(sigma, q)};
  return {q, SignedBy(sigma, p)};
}

struct RootParts {
  double s;  // sqrt(|a| + m)
  double d;  // s, or 1 when |a| + m is zero
  double absB;
  bool aBelowZero;
  bool bBelowZero;
};

inline RootParts RootPartsC64(ComplexF64 z) {
  const double a = 0.5 * z.re;
  const double b = 0.5 * z.im;
  const double m = RootF64(a * a + b * b);
  const double sum = std::fabs(a) + m;
  const double s = RootF64(sum);
  return {s, sum == 0.0 ? 1.0 : s, std::fabs(b), a < 0.0, b < 0.0};
}

inline ComplexF64 FinishC64(const RootParts& p, double reciprocal) {
  const double q = p.absB * reciprocal;
  const double sigma = p.bBelowZero ? -1.0 : 1.0;
  if (!p.aBelowZero) return {p.s, sigma * q};
  return {q, sigma * p.s};
}

}  // namespace

int32_t VecSqrtF32L1L2Kernel(const float* src, float* dst, int32_t len) {
  return FloatRootKernel<false>(src, dst, len);
}

int32_t VecSqrtF32L3Kernel(const float* src, float* dst, int32_t len) { return FloatRootKernel<true>(src, dst, len); }

DspStatus VecSqrtF32InPlaceL1(float* srcDst, int32_t len) { return InPlaceRoot<VecSqrtF32L1L2Kernel>(srcDst, len); }
DspStatus VecSqrtF32InPlaceL2(float* srcDst, int32_t len) { return InPlaceRoot<VecSqrtF32L1L2Kernel>(srcDst, len); }
DspStatus VecSqrtF32InPlaceL3(float* srcDst, int32_t len) { return InPlaceRoot<VecSqrtF32L3Kernel>(srcDst, len); }

int32_t VecSqrtF64Kernel(const double* src, double* dst, int32_t len) {
  DoubleKernelEnvironment environment;
  const int64_t n = len;
  int64_t i = (AddressOf(dst) & 8) != 0 ? 1 : 0;
  int32_t negative = ExactRoots(src, dst, 0, i);
  for (; n - i >= 4; i += 4) {
    double x[4];
    bool fast = true;
    for (int k = 0; k < 4; ++k) {
      x[k] = LoadAt(src, i + k);
      fast = fast && PositiveNormalF64(x[k]);
    }
    for (int k = 0; k < 4; ++k) {
      if (!fast) negative |= x[k] < 0.0;
      StoreAt(dst, i + k, fast ? FastRootF64(x[k]) : RootF64(x[k]));
    }
  }
  negative |= ExactRoots(src, dst, i, n);
  return negative;
}

void VecSqrtC32Kernel(const ComplexF32* src, ComplexF32* dst, int32_t len) {
  for (int64_t i = 0; i < len; ++i) StoreAt(dst, i, RootC32(LoadAt(src, i)));
}

void VecSqrtC64Kernel(const ComplexF64* src, ComplexF64* dst, int32_t len) {
  const int64_t n = len;
  int64_t i = 0;
  // Blocks of four: elements k and k + 2 share one division.
  for (; n - i >= 4; i += 4) {
    RootParts p[4];
    for (int k = 0; k < 4; ++k) p[k] = RootPartsC64(LoadAt(src, i + k));
    ComplexF64 out[4];
    for (int k = 0; k < 2; ++k) {
      const double w = 1.0 / (p[k].d * p[k + 2].d);
      out[k] = FinishC64(p[k], p[k + 2].d * w);
      out[k + 2] = FinishC64(p[k + 2], p[k].d * w);
    }
    for (int k = 0; k < 4; ++k) StoreAt(dst, i + k, out[k]);
  }
  for (; i < n; ++i) {
    const RootParts p = RootPartsC64(LoadAt(src, i));
    StoreAt(dst, i, FinishC64(p, 1.0 / p.d));
  }
}
