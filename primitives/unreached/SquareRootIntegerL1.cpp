// Integer members of the square-root kernel unit (one copy for levels 1 to
// 3). Every real kind computes sat(rne(sqrt(x) * 2^-s)): a root estimate is
// truncated and then settled by exact integer tests, so the result is the
// rule's for every element and every scale factor, whatever the estimate's
// last bits. The complex kinds follow their own rounding steps.
#include <emmintrin.h>

#include <cmath>

#include "primitives/CpuId.h"
#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/SquareRoot.h"

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kS16Max = 32767;
constexpr uint64_t kU16Max = 65535;
constexpr uint64_t kS64Max = 0x7FFFFFFFFFFFFFFFull;

inline int BitLength(uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

// floor(sqrt(X)) for X < 2^126. The estimate is within a unit or two: double
// precision while the root fits its mantissa, the x87 unit's wider one beyond.
inline uint64_t FloorRoot(u128 X) {
  uint64_t r = X < (u128{1} << 104) ? static_cast<uint64_t>(std::sqrt(static_cast<double>(X)))
                                    : static_cast<uint64_t>(sqrtl(static_cast<long double>(X)));
  while (r > 0 && u128{r} * r > X) --r;
  while (u128{r + 1} * (r + 1) <= X) ++r;
  return r;
}

// rne(sqrt(x) * 2^-s), saturated at limit, for 0 <= x < 2^63.
uint64_t ScaledRoot(uint64_t x, int32_t scaleFactor, uint64_t limit) {
  if (x == 0) return 0;
  const int64_t s = scaleFactor;
  uint64_t result;
  if (s >= 1) {
    if (s >= 64) return 0;  // sqrt(x) < 2^32
    // q = floor(sqrt(x) * 2^-s); the midpoint above q is (2q + 1) 2^(s-1),
    // whose square T decides: above rounds up, equal is the tie (to even).
    const uint64_t q = FloorRoot(x) >> s;
    const u128 mid = u128{2 * q + 1} << (s - 1);
    const u128 T = mid * mid;
    result = q + (x > T ? 1 : 0) + (x == T ? (q & 1) : 0);
  } else {
    const int64_t k = -s;
    // sqrt(x) 2^k >= 2^((bits(x) - 1) / 2 + k): past the limit already.
    if ((BitLength(x) - 1) / 2 + k >= BitLength(limit)) return limit;
    const u128 X = u128{x} << (2 * k);
    const uint64_t r = FloorRoot(X);
    // sqrt(X) > r + 1/2 exactly when X > r^2 + r; an integer X never ties.
    result = r + (X - u128{r} * r > r ? 1 : 0);
  }
  return result < limit ? result : limit;
}

inline uint64_t NonNegative(int64_t x) { return x < 0 ? 0 : static_cast<uint64_t>(x); }

template <typename Src, typename Dst>
int32_t SignedRoots(const Src* src, Dst* dst, int32_t len, int32_t scaleFactor, uint64_t limit) {
  int32_t negative = 0;
  for (int64_t i = 0; i < len; ++i) {
    const int64_t x = LoadAt(src, i);
    negative |= x < 0;
    StoreAt(dst, i, static_cast<Dst>(ScaledRoot(NonNegative(x), scaleFactor, limit)));
  }
  return negative;
}

// The x87 precision the 64-bit kernel asks for: at least 53 bits while the
// scaled operand stays below 2^105, the full 64 bits beyond.
class X87PrecisionScope {
 public:
  explicit X87PrecisionScope(int32_t scaleFactor) : m_Entry(X87ControlWordRead()) {
    uint16_t wanted = m_Entry;
    if (scaleFactor >= -21) {
      wanted |= 0x0200;
    } else if (scaleFactor >= -62) {
      wanted |= 0x0300;
    }
    if (wanted != m_Entry) X87ControlWordLoad(wanted);
  }
  ~X87PrecisionScope() {
    if (X87ControlWordRead() != m_Entry) X87ControlWordLoad(m_Entry);
  }
  X87PrecisionScope(const X87PrecisionScope&) = delete;
  X87PrecisionScope& operator=(const X87PrecisionScope&) = delete;

 private:
  uint16_t m_Entry;
};

// Processor conversion under the caller's rounding mode, saturating at the
// 32-bit range first, then at the 16-bit range.
inline int16_t ConvertToS16(double v) {
  if (v > 2147483647.0) v = 2147483647.0;
  if (v < -2147483648.0) v = -2147483648.0;
  const int32_t i = _mm_cvtsd_si32(_mm_set_sd(v));
  return static_cast<int16_t>(i > 32767 ? 32767 : (i < -32768 ? -32768 : i));
}

// k = 0.5 * 4^-s. Beyond |s| of 500 every part is 0 or saturated anyway; the
// clamp keeps k finite and non-zero there, so that a zero part stays 0.
inline double HalfQuarterPower(int32_t scaleFactor) {
  int64_t exponent = -2 * static_cast<int64_t>(scaleFactor);
  if (exponent > 1000) exponent = 1000;
  if (exponent < -1000) exponent = -1000;
  return std::ldexp(0.5, static_cast<int>(exponent));
}

// Principal roots of complex 16-bit elements in double precision: |z| = m
// exactly rounded, k = 0.5 * 4^-s; the form gives the two magnitudes, the
// imaginary part takes the sign of y.
template <typename Form>
void ScaledComplexRoots(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor, Form form) {
  const double k = HalfQuarterPower(scaleFactor);
  for (int64_t i = 0; i < len; ++i) {
    const ComplexS16 z = LoadAt(src, i);
    const double x = z.re;
    const double y = z.im;
    double re, im;
    form(x, y, std::sqrt(x * x + y * y), k, &re, &im);
    StoreAt(dst, i, ComplexS16{ConvertToS16(re), ConvertToS16(z.im < 0 ? -im : im)});
  }
}

}  // namespace

int32_t VecSqrtS16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t scaleFactor) {
  return SignedRoots(src, dst, len, scaleFactor, kS16Max);
}

void VecSqrtU16ScaledKernel(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scaleFactor) {
  for (int64_t i = 0; i < len; ++i)
    StoreAt(dst, i, static_cast<uint16_t>(ScaledRoot(LoadAt(src, i), scaleFactor, kU16Max)));
}

int32_t VecSqrtS32S16ScaledKernel(const int32_t* src, int16_t* dst, int32_t len, int32_t scaleFactor) {
  return SignedRoots(src, dst, len, scaleFactor, kS16Max);
}

int32_t VecSqrtS64S16ScaledKernel(const int64_t* src, int16_t* dst, int32_t len, int32_t scaleFactor) {
  return SignedRoots(src, dst, len, scaleFactor, kS16Max);
}

int32_t VecSqrtS64ScaledKernel(const int64_t* src, int64_t* dst, int32_t len, int32_t scaleFactor) {
  X87PrecisionScope precision(scaleFactor);
  return SignedRoots(src, dst, len, scaleFactor, kS64Max) != 0 ? 1 : 0;
}

// |z| rounded to an integer, then the rounded-up halves (|z| + x) / 2 and
// (|z| - x) / 2, whose nearest-integer roots are the parts: the integer
// steps never carry a root across a rounding boundary.
void VecSqrtSC16Kernel(const ComplexS16* src, ComplexS16* dst, int32_t len) {
  for (int64_t i = 0; i < len; ++i) {
    const ComplexS16 z = LoadAt(src, i);
    const int64_t x = z.re;
    const int64_t y = z.im;
    const int64_t magnitude = static_cast<int64_t>(ScaledRoot(static_cast<uint64_t>(x * x + y * y), 0, kS64Max));
    const int64_t a = magnitude + x;
    const int64_t b = magnitude - x;
    const int64_t re = static_cast<int64_t>(ScaledRoot(static_cast<uint64_t>((a >> 1) + (a & 1)), 0, kS64Max));
    const int64_t im = static_cast<int64_t>(ScaledRoot(static_cast<uint64_t>((b >> 1) + (b & 1)), 0, kS64Max));
    StoreAt(dst, i, ComplexS16{static_cast<int16_t>(re), static_cast<int16_t>(y < 0 ? -im : im)});
  }
}

// m + x and m - x give the parts directly.
void VecSqrtSC16ScaledKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor) {
  ScaledComplexRoots(src, dst, len, scaleFactor, [](double x, double, double m, double k, double* re, double* im) {
    *re = std::sqrt((m + x) * k);
    *im = std::sqrt((m - x) * k);
  });
}

// The same roots without the cancellation of m - x: the larger part comes
// from m + |x|, the other from |y| k divided by it.
void VecSqrtSC16ScaledStableKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor) {
  ScaledComplexRoots(src, dst, len, scaleFactor, [](double x, double y, double m, double k, double* re, double* im) {
    const double t = std::sqrt((m + std::fabs(x)) * k);
    const double u = (std::fabs(y) * k) / (t == 0.0 ? k : t);
    *re = x >= 0 ? t : u;
    *im = x >= 0 ? u : t;
  });
}

void VecLookupU8Kernel(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table) {
  for (int64_t i = 0; i < len; ++i) dst[i] = table[src[i]];
}
