// Floating-point members of the division kernel set and the level builds of
// the float division (one copy serves levels 1 to 3).
#include <emmintrin.h>
#include <xmmintrin.h>

#include "primitives/unreached/Division.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

constexpr uint32_t kQuietNaNF32 = 0x7FC00000u;
constexpr uint64_t kQuietNaNF64 = 0x7FF8000000000000ull;

// One 128-bit group of four float lanes; lanes the caller does not fill
// carry 1.0, which is never a zero divisor.
struct Lanes {
  float v[4] = {1.0f, 1.0f, 1.0f, 1.0f};
};

// q0 (1 + e + e^2) from the packed reciprocal estimate: within two units of
// the correctly rounded quotient, without a division.
inline void ReciprocalQuotients(const Lanes& a, const Lanes& b, Lanes* q) {
  const __m128 va = _mm_loadu_ps(a.v);
  const __m128 r = _mm_rcp_ps(va);
  const __m128 q0 = _mm_mul_ps(r, _mm_loadu_ps(b.v));
  const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(va, r));
  __m128 t = _mm_mul_ps(e, q0);
  t = _mm_add_ps(t, q0);
  t = _mm_mul_ps(t, e);
  _mm_storeu_ps(q->v, _mm_add_ps(q0, t));
}

// Exact division lane by lane; zero and NaN divisors give the special value
// by the dividend's sign and set the flag.
inline int32_t ExactQuotients(const Lanes& a, const Lanes& b, Lanes* q) {
  int32_t flag = 0;
  for (int k = 0; k < 4; ++k) {
    const float divisor = a.v[k];
    const float dividend = b.v[k];
    if (divisor == 0.0f || divisor != divisor) {
      flag = 1;
      const bool nanDivisor = divisor != divisor;
      q->v[k] = FloatFromBits(nanDivisor || !(dividend > 0.0f || dividend < 0.0f)
                                  ? kQuietNaNF32
                                  : (dividend > 0.0f ? 0x7F800000u : 0xFF800000u));
    } else {
      q->v[k] = dividend / divisor;
    }
  }
  return flag;
}

inline bool AnyZero(const Lanes& a) { return _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(a.v), _mm_setzero_ps())) != 0; }

// The four-lane step: the reciprocal method unless a divisor lane is zero.
inline int32_t VecDivF32Group(const Lanes& a, const Lanes& b, Lanes* q) {
  if (AnyZero(a)) return ExactQuotients(a, b, q);
  ReciprocalQuotients(a, b, q);
  return 0;
}

// Dividends come from a vector or, for constant-over-vector, from one value.
struct Dividends {
  const float* vector;
  float constant;
  float at(int64_t i) const { return vector != nullptr ? LoadAt(vector, i) : constant; }
};

inline void LoadGroup(const float* a, const Dividends& b, int64_t i, int count, Lanes* la, Lanes* lb) {
  for (int k = 0; k < count; ++k) {
    la->v[k] = LoadAt(a, i + k);
    lb->v[k] = b.at(i + k);
  }
}

inline int32_t DivideCount(const float* a, const Dividends& b, float* dst, int64_t i, int count) {
  Lanes la, lb, q;
  LoadGroup(a, b, i, count, &la, &lb);
  const int32_t flag = VecDivF32Group(la, lb, &q);
  for (int k = 0; k < count; ++k) StoreAt(dst, i + k, q.v[k]);
  return flag;
}

// The layout both float kernels share: destination alignment with a single
// and a pair, eight-element passes, then four, two and one. A pass with a
// zero divisor among its eight is divided exactly as a whole by the vector
// kernel; constant-over-vector sends each half through the group step.
template <bool kConstantDividend>
int32_t FloatDivisionKernel(const float* a, const Dividends& b, float* dst, int32_t len) {
  const int64_t n = len;
  int64_t i = 0;
  int32_t flag = 0;
  const bool elementAligned =
      ((AddressOf(a) | AddressOf(dst) | (kConstantDividend ? 0 : AddressOf(b.vector))) & 3) == 0;
  if (!elementAligned) {
    for (; n - i >= 4; i += 4) flag |= DivideCount(a, b, dst, i, 4);
  } else {
    if ((AddressOf(dst) & 7) != 0) {
      flag |= DivideCount(a, b, dst, i, 1);
      ++i;
    }
    if ((AddressOf(dst + i) & 15) != 0 && n - i >= 2) {
      flag |= DivideCount(a, b, dst, i, 2);
      i += 2;
    }
    if ((AddressOf(dst + i) & 15) == 0) {
      for (; n - i >= 8; i += 8) {
        Lanes la[2], lb[2], q[2];
        LoadGroup(a, b, i, 4, &la[0], &lb[0]);
        LoadGroup(a, b, i + 4, 4, &la[1], &lb[1]);
        if (!AnyZero(la[0]) && !AnyZero(la[1])) {
          ReciprocalQuotients(la[0], lb[0], &q[0]);
          ReciprocalQuotients(la[1], lb[1], &q[1]);
        } else if (kConstantDividend) {
          flag |= VecDivF32Group(la[0], lb[0], &q[0]);
          flag |= VecDivF32Group(la[1], lb[1], &q[1]);
        } else {
          flag |= ExactQuotients(la[0], lb[0], &q[0]);
          flag |= ExactQuotients(la[1], lb[1], &q[1]);
        }
        for (int k = 0; k < 8; ++k) StoreAt(dst, i + k, q[k / 4].v[k % 4]);
      }
      if (n - i >= 4) {
        flag |= DivideCount(a, b, dst, i, 4);
        i += 4;
      }
    }
  }
  if (n - i >= 2) {
    flag |= DivideCount(a, b, dst, i, 2);
    i += 2;
  }
  if (n - i >= 1) flag |= DivideCount(a, b, dst, i, 1);
  return flag;
}

template <int32_t (*Kernel)(const float*, const float*, float*, int32_t)>
DspStatus DivisionEntry(const float* a, const float* b, float* dst, int32_t len) {
  if (a == nullptr || b == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  return Kernel(a, b, dst, len) != 0 ? DSP_WARN_DIVIDE_BY_ZERO : DSP_STATUS_OK;
}

// Complex float b / a: the conjugate product over the squared magnitude,
// whose reciprocal comes from the estimate and one Newton step. A zero
// magnitude gives NaN parts.
inline ComplexF32 ComplexQuotientF32(ComplexF32 a, ComplexF32 b, bool* zero) {
  const float d = a.re * a.re + a.im * a.im;
  const float nr = a.re * b.re + a.im * b.im;
  const float ni = a.re * b.im - a.im * b.re;
  *zero = d == 0.0f;
  const float estimated = *zero ? 2.0f : d;
  const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(estimated)));
  float r1 = r * (2.0f - estimated * r);
  if (*zero) r1 = r1 + FloatFromBits(kQuietNaNF32);
  return {nr * r1, ni * r1};
}

// b * NaN with b as the first operand, so that a NaN dividend keeps its own
// payload.
inline double TimesNaN(double b) {
  return _mm_cvtsd_f64(_mm_mul_sd(_mm_set_sd(b), _mm_set_sd(DoubleFromBits(kQuietNaNF64))));
}

inline double SingleQuotientF64(double a, double b, int32_t* flag) {
  if (a == 0.0) {
    *flag = 1;
    return TimesNaN(b);
  }
  return b / a;
}

// Rounds a quotient to a multiple of four units in the last place, halfway
// away from zero, on its bit pattern.
inline double RoundToFourUlps(double q) { return DoubleFromBits((BitsOf(q) + 2) & ~uint64_t{3}); }

inline bool ExponentField(double v, uint64_t field) { return ((BitsOf(v) >> 52) & 0x7FF) == field; }

inline ComplexF64 ComplexQuotientF64(ComplexF64 a, ComplexF64 b, double reciprocal) {
  return {(a.re * b.re + a.im * b.im) * reciprocal, (a.re * b.im - a.im * b.re) * reciprocal};
}

inline double SquaredMagnitude(ComplexF64 a) { return a.re * a.re + a.im * a.im; }

}  // namespace

int32_t VecDivF32Kernel(const float* a, const float* b, float* dst, int32_t len) {
  return FloatDivisionKernel<false>(a, Dividends{b, 0.0f}, dst, len);
}

int32_t VecConstOverF32Kernel(const float* a, const float* c, float* dst, int32_t len) {
  return FloatDivisionKernel<true>(a, Dividends{nullptr, *c}, dst, len);
}

DspStatus VecDivF32L1(const float* a, const float* b, float* dst, int32_t len) {
  return DivisionEntry<VecDivF32Kernel>(a, b, dst, len);
}
DspStatus VecDivF32L2(const float* a, const float* b, float* dst, int32_t len) {
  return DivisionEntry<VecDivF32Kernel>(a, b, dst, len);
}
DspStatus VecDivF32L3(const float* a, const float* b, float* dst, int32_t len) {
  return DivisionEntry<VecDivF32Kernel>(a, b, dst, len);
}

int32_t VecDivC32Kernel(const ComplexF32* a, const ComplexF32* b, ComplexF32* dst, int32_t len) {
  int32_t flag = 0;
  for (int64_t i = 0; i < len; ++i) {
    bool zero;
    StoreAt(dst, i, ComplexQuotientF32(LoadAt(a, i), LoadAt(b, i), &zero));
    flag |= zero ? 1 : 0;
  }
  return flag;
}

int32_t VecDivF64Kernel(const double* a, const double* b, double* dst, int32_t len) {
  const int64_t n = len;
  int64_t i = 0;
  int32_t flag = 0;
  if ((AddressOf(dst) & 15) == 8) {
    StoreAt(dst, 0, SingleQuotientF64(LoadAt(a, 0), LoadAt(b, 0), &flag));
    i = 1;
  }
  for (; n - i >= 8; i += 8) {
    double x[8], y[8], q[8];
    for (int k = 0; k < 8; ++k) {
      x[k] = LoadAt(a, i + k);
      y[k] = LoadAt(b, i + k);
    }
    // Elements 0, 2, 4, 6 share one product of their four divisors, 1, 3,
    // 5, 7 the other.
    double p[2], s[2], P[2];
    bool normal = true;
    for (int j = 0; j < 2; ++j) {
      p[j] = x[j] * x[j + 4];
      s[j] = x[j + 2] * x[j + 6];
      P[j] = p[j] * s[j];
      normal = normal && !ExponentField(P[j], 0) && !ExponentField(P[j], 0x7FF);
    }
    if (normal) {
      for (int j = 0; j < 2; ++j) {
        const double R = 1.0 / P[j];
        const double sR = s[j] * R;
        const double pR = p[j] * R;
        q[j] = RoundToFourUlps(y[j] * (x[j + 4] * sR));
        q[j + 4] = RoundToFourUlps(y[j + 4] * (x[j] * sR));
        q[j + 2] = RoundToFourUlps(y[j + 2] * (x[j + 6] * pR));
        q[j + 6] = RoundToFourUlps(y[j + 6] * (x[j + 2] * pR));
      }
    } else {
      // A zero, subnormal, infinite or NaN product: true division, and every
      // zero divisor gives NaN with the flag, also beside an infinite or NaN
      // divisor whose product would hide it.
      for (int k = 0; k < 8; ++k) q[k] = SingleQuotientF64(x[k], y[k], &flag);
    }
    for (int k = 0; k < 8; ++k) StoreAt(dst, i + k, q[k]);
  }
  for (; i < n; ++i) StoreAt(dst, i, SingleQuotientF64(LoadAt(a, i), LoadAt(b, i), &flag));
  return flag;
}

int32_t VecDivC64Kernel(const ComplexF64* a, const ComplexF64* b, ComplexF64* dst, int32_t len) {
  const int64_t n = len;
  int64_t i = 0;
  int32_t flag = 0;
  const double nan = DoubleFromBits(kQuietNaNF64);
  for (; n - i >= 2; i += 2) {
    const ComplexF64 a0 = LoadAt(a, i), a1 = LoadAt(a, i + 1);
    const double d0 = SquaredMagnitude(a0);
    const double d1 = SquaredMagnitude(a1);
    const double m = d0 * d1;
    double r0, r1;
    if (m != 0.0 && m == m) {
      // Two reciprocals from one division.
      const double R = 1.0 / m;
      r0 = d1 * R;
      r1 = d0 * R;
    } else {
      flag |= (d0 == 0.0 || d1 == 0.0) ? 1 : 0;
      r0 = 1.0 / (d0 == 0.0 ? nan : d0);
      r1 = 1.0 / (d1 == 0.0 ? nan : d1);
    }
    StoreAt(dst, i, ComplexQuotientF64(a0, LoadAt(b, i), r0));
    StoreAt(dst, i + 1, ComplexQuotientF64(a1, LoadAt(b, i + 1), r1));
  }
  if (i < n) {
    const ComplexF64 a0 = LoadAt(a, i);
    const double d = SquaredMagnitude(a0);
    if (d != 0.0 && d == d) {
      StoreAt(dst, i, ComplexQuotientF64(a0, LoadAt(b, i), 1.0 / d));
    } else {
      StoreAt(dst, i, ComplexF64{nan, nan});
      flag |= d == 0.0 ? 1 : 0;
    }
  }
  return flag;
}
