// Level builds of the float dot product and the dot-product kernel object
// (one copy serves levels 1 to 3; the level-2/3 float kernel is one code for
// both levels). Products are single-precision values added in the orders
// below, which decide the rounding of every result.
#include <emmintrin.h>
#include <xmmintrin.h>

#include "primitives/CpuId.h"
#include "primitives/unreached/DotProduct.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

inline float Product(const float* a, const float* b, int64_t i) { return LoadAt(a, i) * LoadAt(b, i); }

struct Quad {
  float v[4] = {0, 0, 0, 0};
  void AddProducts(const float* a, const float* b, int64_t i) {
    for (int l = 0; l < 4; ++l) v[l] += Product(a, b, i + l);
  }
  void Add(const Quad& o) {
    for (int l = 0; l < 4; ++l) v[l] += o.v[l];
  }
};

// Short vectors: even positions into one lane, odd ones into another, an odd
// last product into the odd lane.
float ShortDot(const float* a, const float* b, int64_t n) {
  float p0 = 0.0f, p1 = 0.0f;
  int64_t i = 0;
  for (; n - i >= 2; i += 2) {
    p0 += Product(a, b, i);
    p1 += Product(a, b, i + 1);
  }
  if (i < n) p1 += Product(a, b, i);
  return p1 + p0;
}

// Pairs into lanes 0 and 1 of A, a last single product into lane 0, then
// A = (A + B) + (C + D) and (A1 + A3) + (A0 + A2).
float PairsAndFold(const float* a, const float* b, int64_t i, int64_t n, Quad A, const Quad& B, const Quad& C,
                   const Quad& D) {
  for (; n - i >= 2; i += 2) {
    A.v[0] += Product(a, b, i);
    A.v[1] += Product(a, b, i + 1);
  }
  if (i < n) A.v[0] += Product(a, b, i);
  A.Add(B);
  Quad cd = C;
  cd.Add(D);
  A.Add(cd);
  return (A.v[1] + A.v[3]) + (A.v[0] + A.v[2]);
}

inline bool Aligned16(const void* p) { return (AddressOf(p) & 15) == 0; }
inline bool Aligned4(const void* p) { return (AddressOf(p) & 3) == 0; }

// Rounds of sixteen into four accumulators, from element i on.
float RoundsOfSixteen(const float* a, const float* b, int64_t i, int64_t n, Quad A) {
  Quad B, C, D;
  for (; n - i >= 16; i += 16) {
    A.AddProducts(a, b, i);
    B.AddProducts(a, b, i + 4);
    C.AddProducts(a, b, i + 8);
    D.AddProducts(a, b, i + 12);
  }
  return PairsAndFold(a, b, i, n, A, B, C, D);
}

// Single products into lane 0 of A until b reaches a 16-byte boundary.
int64_t AlignSecond(const float* a, const float* b, int64_t n, Quad* A) {
  int64_t i = 0;
  for (; i < n && !Aligned16(b + i); ++i) A->v[0] += Product(a, b, i);
  return i;
}

template <void (*Kernel)(const float*, const float*, int64_t, float*)>
DspStatus DotEntry(const float* a, const float* b, int32_t len, float* result) {
  if (a == nullptr || b == nullptr || result == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  Kernel(a, b, len, result);
  return DSP_STATUS_OK;
}

// Scaled integer kinds run under round-to-nearest for the whole call.
class NearestRounding {
 public:
  NearestRounding() : m_Saved(MxcsrSetRounding(0)) {}
  ~NearestRounding() {
    if ((MxcsrRead() & 0x6000u) != (m_Saved & 0x6000u)) MxcsrSetRounding(m_Saved & 0x6000u);
  }
  NearestRounding(const NearestRounding&) = delete;
  NearestRounding& operator=(const NearestRounding&) = delete;

 private:
  uint32_t m_Saved;
};

inline int32_t ScaledToS32(double sum, double factor) {
  const double x = sum * factor;
  if (x > 2147483647.0) return INT32_MAX;
  if (!(x >= -2147483648.0)) return INT32_MIN;  // also NaN
  return _mm_cvtsd_si32(_mm_set_sd(x));
}

// Partial products of complex-by-complex: ar (br, bi) and ai (br, bi),
// combined at the end into (re, im) = (P.re - Q.im, P.im + Q.re).
template <typename T>
struct Parts {
  T re;
  T im;
};

template <typename T, typename C>
Parts<T> ComplexDot(const C* a, const C* b, int64_t n) {
  T pr = 0, pi = 0, qr = 0, qi = 0;
  for (int64_t i = 0; i < n; ++i) {
    const C x = LoadAt(a, i), y = LoadAt(b, i);
    pr += static_cast<T>(x.re) * static_cast<T>(y.re);
    pi += static_cast<T>(x.re) * static_cast<T>(y.im);
    qr += static_cast<T>(x.im) * static_cast<T>(y.re);
    qi += static_cast<T>(x.im) * static_cast<T>(y.im);
  }
  return {pr - qi, pi + qr};
}

// Sum of a[i] b[i], products and sums in T.
template <typename T, typename X, typename Y>
T RealDot(const X* a, const Y* b, int64_t n) {
  T sum = 0;
  for (int64_t i = 0; i < n; ++i) sum += static_cast<T>(LoadAt(a, i)) * static_cast<T>(LoadAt(b, i));
  return sum;
}

template <typename T, typename R, typename C>
void RealByComplex(const R* a, const C* b, int64_t n, T* re, T* im) {
  T sr = 0, si = 0;
  for (int64_t i = 0; i < n; ++i) {
    const T x = static_cast<T>(LoadAt(a, i));
    const C y = LoadAt(b, i);
    sr += x * static_cast<T>(y.re);
    si += x * static_cast<T>(y.im);
  }
  *re = sr;
  *im = si;
}

}  // namespace

void VecDotProductF32L1Kernel(const float* a, const float* b, int64_t n, float* result) {
  if (n <= 15) {
    *result = ShortDot(a, b, n);
    return;
  }
  Quad A;
  int64_t i = 0;
  if (!(Aligned16(a) && Aligned16(b))) {
    if (!Aligned4(b) && Aligned4(a)) {
      const float* t = a;
      a = b;
      b = t;
    }
    i = AlignSecond(a, b, n, &A);
  }
  *result = RoundsOfSixteen(a, b, i, n, A);
}

void VecDotProductF32L2L3Kernel(const float* a, const float* b, int64_t n, float* result) {
  if (n <= 15) {
    *result = ShortDot(a, b, n);
    return;
  }
  if (Aligned16(a) && Aligned16(b)) {
    *result = RoundsOfSixteen(a, b, 0, n, Quad{});
    return;
  }
  const Quad none;
  if (!Aligned4(a) || !Aligned4(b)) {
    *result = PairsAndFold(a, b, 0, n, Quad{}, none, none, none);
    return;
  }
  Quad A, B, C;
  int64_t i = 0;
  if (Aligned16(a)) {
    const float* t = a;
    a = b;
    b = t;
  } else {
    i = AlignSecond(a, b, n, &A);
  }
  A.AddProducts(a, b, i);
  i += 4;
  for (; n - i >= 16; i += 12) {
    A.AddProducts(a, b, i);
    B.AddProducts(a, b, i + 4);
    C.AddProducts(a, b, i + 8);
  }
  *result = PairsAndFold(a, b, i, n, A, B, C, none);
}

DspStatus VecDotProductF32L1(const float* a, const float* b, int32_t len, float* result) {
  return DotEntry<VecDotProductF32L1Kernel>(a, b, len, result);
}
DspStatus VecDotProductF32L2(const float* a, const float* b, int32_t len, float* result) {
  return DotEntry<VecDotProductF32L2L3Kernel>(a, b, len, result);
}
DspStatus VecDotProductF32L3(const float* a, const float* b, int32_t len, float* result) {
  return DotEntry<VecDotProductF32L2L3Kernel>(a, b, len, result);
}

// Exact products in double: rounds of six, products 0-1 and 4-5 into A and
// 2-3 into B; the rest into lane 0 of B.
void VecDotProductF32ToF64Kernel(const float* a, const float* b, int64_t n, double* result) {
  double A[2] = {0, 0}, B[2] = {0, 0};
  auto p = [&](int64_t i) { return static_cast<double>(LoadAt(a, i)) * static_cast<double>(LoadAt(b, i)); };
  int64_t i = 0;
  for (; n - i >= 6; i += 6) {
    A[0] += p(i);
    A[1] += p(i + 1);
    B[0] += p(i + 2);
    B[1] += p(i + 3);
    A[0] += p(i + 4);
    A[1] += p(i + 5);
  }
  for (; i < n; ++i) B[0] += p(i);
  *result = (A[0] + B[0]) + (A[1] + B[1]);
}

void VecDotProductF32C32ToC64Kernel(const float* a, const ComplexF32* b, int64_t n, ComplexF64* result) {
  RealByComplex<double>(a, b, n, &result->re, &result->im);
}

void VecDotProductC32ToC64Kernel(const ComplexF32* a, const ComplexF32* b, int64_t n, ComplexF64* result) {
  const Parts<double> sum = ComplexDot<double>(a, b, n);
  *result = {sum.re, sum.im};
}

void VecDotProductF32C32Kernel(const float* a, const ComplexF32* b, int64_t n, ComplexF32* result) {
  RealByComplex<float>(a, b, n, &result->re, &result->im);
}

void VecDotProductC32Kernel(const ComplexF32* a, const ComplexF32* b, int64_t n, ComplexF32* result) {
  const Parts<float> sum = ComplexDot<float>(a, b, n);
  *result = {sum.re, sum.im};
}

void VecDotProductF64Kernel(const double* a, const double* b, int64_t n, double* result) {
  double A[2] = {0, 0};
  int64_t i = 0;
  for (; n - i >= 2; i += 2) {
    A[0] += LoadAt(a, i) * LoadAt(b, i);
    A[1] += LoadAt(a, i + 1) * LoadAt(b, i + 1);
  }
  if (i < n) A[0] += LoadAt(a, i) * LoadAt(b, i);
  *result = A[0] + A[1];
}

void VecDotProductF64C64Kernel(const double* a, const ComplexF64* b, int64_t n, ComplexF64* result) {
  RealByComplex<double>(a, b, n, &result->re, &result->im);
}

void VecDotProductC64Kernel(const ComplexF64* a, const ComplexF64* b, int64_t n, ComplexF64* result) {
  const Parts<double> sum = ComplexDot<double>(a, b, n);
  *result = {sum.re, sum.im};
}

void VecDotProductS32ScaledKernel(const int32_t* a, const int32_t* b, int64_t n, int32_t* result,
                                  const double* factor) {
  NearestRounding nearest;
  *result = ScaledToS32(RealDot<double>(a, b, n), *factor);
}

void VecDotProductS32SC32ScaledKernel(const int32_t* a, const ComplexS32* b, int64_t n, ComplexS32* result,
                                      const double* factor) {
  NearestRounding nearest;
  double re, im;
  RealByComplex<double>(a, b, n, &re, &im);
  *result = {ScaledToS32(re, *factor), ScaledToS32(im, *factor)};
}

void VecDotProductSC32ScaledKernel(const ComplexS32* a, const ComplexS32* b, int64_t n, ComplexS32* result,
                                   const double* factor) {
  NearestRounding nearest;
  const Parts<double> sum = ComplexDot<double>(a, b, n);
  *result = {ScaledToS32(sum.re, *factor), ScaledToS32(sum.im, *factor)};
}

void VecDotProductS16S32ScaledKernel(const int16_t* a, const int32_t* b, int64_t n, int32_t* result,
                                     const double* factor) {
  NearestRounding nearest;
  *result = ScaledToS32(RealDot<double>(a, b, n), *factor);
}

void VecDotProductS16ToS64Kernel(const int16_t* a, const int16_t* b, int64_t n, int64_t* result) {
  *result = RealDot<int64_t>(a, b, n);
}

void VecDotProductS16ToS64PlainKernel(const int16_t* a, const int16_t* b, int64_t n, int64_t* result) {
  VecDotProductS16ToS64Kernel(a, b, n, result);
}

void VecDotProductS16SC16ToSC64Kernel(const int16_t* a, const ComplexS16* b, int64_t n, ComplexS64* result) {
  RealByComplex<int64_t>(a, b, n, &result->re, &result->im);
}

void VecDotProductSC16ToSC64Kernel(const ComplexS16* a, const ComplexS16* b, int64_t n, ComplexS64* result) {
  const Parts<int64_t> sum = ComplexDot<int64_t>(a, b, n);
  *result = {sum.re, sum.im};
}
