// Level builds of the sum and the mean, and the summation kernel object (one
// copy serves levels 1 to 3). The accumulation orders below decide the
// rounding of every result and are kept exactly.
#include <emmintrin.h>

#include <cmath>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/Sum.h"

namespace {

constexpr int64_t kFastBlock = 32768;

// A pair of double lanes.
struct Lanes2 {
  double v[2] = {0.0, 0.0};
  void Add(double x0, double x1) {
    v[0] += x0;
    v[1] += x1;
  }
  void Add(const Lanes2& o) { Add(o.v[0], o.v[1]); }
};

// Four float lanes.
struct Lanes4 {
  float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  void Add(const float* x) {
    for (int k = 0; k < 4; ++k) v[k] += x[k];
  }
  void Add(const Lanes4& o) { Add(o.v); }
};

// The fast scheme over a stream of floats: a prelude of single values up to
// a 16-byte boundary, each into lane 0 of D (and, for interleaved complex
// data, swapping D's lanes after each), then blocks through SumBlockF32.
Lanes2 FastStream(const float* src, int64_t n, bool swapAfterPrelude, int64_t* preludeCount) {
  Lanes2 d;
  int64_t i = 0;
  while (i < n && (AddressOf(src + i) & 12) != 0) {
    d.v[0] += LoadAt(src, i);
    if (swapAfterPrelude) {
      const double t = d.v[0];
      d.v[0] = d.v[1];
      d.v[1] = t;
    }
    ++i;
  }
  *preludeCount = i;
  if (i == n) return d;
  for (;;) {
    const int64_t count = n - i < kFastBlock ? n - i : kFastBlock;
    float p0, p1;
    SumBlockF32(src + i, count, &p0, &p1);
    d.Add(p0, p1);
    i += count;
    // The last block holds the remainder; after whole blocks it is empty.
    if (count < kFastBlock) break;
  }
  return d;
}

double AccurateSum(const float* src, int64_t n) {
  Lanes2 a, b, c, d;
  int64_t i = 0;
  if ((AddressOf(src) & 4) != 0) {
    a.v[0] += LoadAt(src, 0);
    i = 1;
  }
  auto x = [src](int64_t k) { return static_cast<double>(LoadAt(src, k)); };
  if (n - i >= 8) {
    for (; n - i >= 8; i += 8) {
      a.Add(x(i), x(i + 1));
      b.Add(x(i + 2), x(i + 3));
      c.Add(x(i + 4), x(i + 5));
      d.Add(x(i + 6), x(i + 7));
    }
    a.Add(c);
    b.Add(d);
  }
  if (n - i >= 4) {
    a.Add(x(i), x(i + 1));
    b.Add(x(i + 2), x(i + 3));
    i += 4;
  }
  if (n - i >= 2) {
    a.Add(x(i), x(i + 1));
    i += 2;
  }
  if (n - i >= 1) a.v[0] += x(i);
  a.Add(b);
  return a.v[0] + a.v[1];
}

inline double PowerOfTwoClamped(int32_t scaleFactor) {
  int64_t field = 1023 - static_cast<int64_t>(scaleFactor);
  if (field < 0) field = 0;
  if (field > 2047) field = 2047;
  return DoubleFromBits(static_cast<uint64_t>(field) << 52);
}

template <bool kMean>
DspStatus LevelEntry(const float* src, int32_t len, float* dst, int32_t hint) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  *dst = kMean ? VecMeanF32ByHint(src, len, hint) : static_cast<float>(VecSumF32ByHint(src, len, hint));
  return DSP_STATUS_OK;
}

}  // namespace

void SumBlockF32(const float* src, int64_t n, float* p0, float* p1) {
  Lanes4 f[4];
  int64_t i = 0;
  float x[4];
  auto load = [&](int64_t at) {
    for (int k = 0; k < 4; ++k) x[k] = LoadAt(src, at + k);
    return x;
  };
  for (; n - i >= 16; i += 16)
    for (int q = 0; q < 4; ++q) f[q].Add(load(i + 4 * q));
  Lanes4 g = f[0];
  g.Add(f[2]);
  Lanes4 h = f[1];
  h.Add(f[3]);
  g.Add(h);
  for (; n - i >= 4; i += 4) g.Add(load(i));
  if (n - i >= 2) {
    g.v[0] += LoadAt(src, i);
    g.v[1] += LoadAt(src, i + 1);
    i += 2;
  }
  if (n - i >= 1) g.v[0] += LoadAt(src, i);
  *p0 = g.v[0] + g.v[2];
  *p1 = g.v[1] + g.v[3];
}

void VecSumF32FastKernel(const float* src, int64_t n, double* sum) {
  int64_t prelude;
  const Lanes2 d = FastStream(src, n, false, &prelude);
  *sum = d.v[0] + d.v[1];
}

void VecSumF32AccurateKernel(const float* src, int64_t n, double* sum) { *sum = AccurateSum(src, n); }

// Real parts fall in the even lanes, imaginary parts in the odd ones; an odd
// prelude leaves D swapped, which one more swap undoes.
void VecSumC32FastKernel(const ComplexF32* src, int64_t n, ComplexF64* sum) {
  int64_t prelude;
  const Lanes2 d = FastStream(reinterpret_cast<const float*>(src), 2 * n, true, &prelude);
  if ((prelude & 1) != 0) {
    *sum = {d.v[1], d.v[0]};
  } else {
    *sum = {d.v[0], d.v[1]};
  }
}

void VecSumC32AccurateKernel(const ComplexF32* src, int64_t n, ComplexF64* sum) {
  Lanes2 acc[4];
  int64_t i = 0;
  auto add = [&](Lanes2& to, int64_t k) {
    const ComplexF32 z = LoadAt(src, k);
    to.Add(z.re, z.im);
  };
  for (; n - i >= 4; i += 4)
    for (int k = 0; k < 4; ++k) add(acc[k], i + k);
  acc[0].Add(acc[2]);
  acc[1].Add(acc[3]);
  if (n - i >= 2) {
    add(acc[0], i);
    add(acc[1], i + 1);
    i += 2;
  }
  if (n - i >= 1) add(acc[0], i);
  acc[0].Add(acc[1]);
  *sum = {acc[0].v[0], acc[0].v[1]};
}

void VecSumF64Kernel(const double* src, int64_t n, double* sum) {
  Lanes2 a, b, c, d;
  int64_t i = 0;
  if ((AddressOf(src) & 8) != 0) {
    a.v[0] += LoadAt(src, 0);
    i = 1;
  }
  for (; n - i >= 8; i += 8) {
    a.Add(LoadAt(src, i), LoadAt(src, i + 1));
    b.Add(LoadAt(src, i + 2), LoadAt(src, i + 3));
    c.Add(LoadAt(src, i + 4), LoadAt(src, i + 5));
    d.Add(LoadAt(src, i + 6), LoadAt(src, i + 7));
  }
  a.Add(b);
  c.Add(d);
  a.Add(c);
  for (; n - i >= 2; i += 2) a.Add(LoadAt(src, i), LoadAt(src, i + 1));
  if (n - i >= 1) a.v[0] += LoadAt(src, i);
  *sum = a.v[1] + a.v[0];
}

// Pairs of doubles into A..D four at a time, folded (A + C) + (B + D), then
// two and one into A. At an address 8 modulo 16 the pairs are read one
// double later, so that the lanes swap roles (imaginary, next real), with the
// first real part put in lane 1 first and the last imaginary part added last.
void VecSumC64Kernel(const ComplexF64* src, int64_t n, ComplexF64* sum) {
  const double* v = reinterpret_cast<const double*>(src);
  const uintptr_t address = AddressOf(src);
  if ((address & 7) != 0) {
    Lanes2 a;
    for (int64_t i = 0; i < n; ++i) a.Add(LoadAt(v, 2 * i), LoadAt(v, 2 * i + 1));
    *sum = {a.v[0], a.v[1]};
    return;
  }
  const bool shifted = (address & 15) == 8;
  const double* pairs = shifted ? v + 1 : v;
  const int64_t count = shifted ? n - 1 : n;
  Lanes2 acc[4];
  if (shifted) acc[0].v[1] = LoadAt(v, 0);
  int64_t i = 0;
  auto add = [&](Lanes2& to, int64_t k) { to.Add(LoadAt(pairs, 2 * k), LoadAt(pairs, 2 * k + 1)); };
  for (; count - i >= 4; i += 4)
    for (int k = 0; k < 4; ++k) add(acc[k], i + k);
  acc[0].Add(acc[2]);
  acc[1].Add(acc[3]);
  acc[0].Add(acc[1]);
  for (; count - i >= 1; ++i) add(acc[0], i);
  if (shifted) {
    acc[0].v[0] += LoadAt(v, 2 * n - 1);
    *sum = {acc[0].v[1], acc[0].v[0]};
  } else {
    *sum = {acc[0].v[0], acc[0].v[1]};
  }
}

void VecSumS16Kernel(const int16_t* src, int64_t n, double* sum) {
  int64_t total = 0;
  for (int64_t i = 0; i < n; ++i) total += LoadAt(src, i);
  *sum = static_cast<double>(total);
}

void VecSumSC16Kernel(const ComplexS16* src, int64_t n, ComplexF64* sum) {
  int64_t re = 0, im = 0;
  for (int64_t i = 0; i < n; ++i) {
    const ComplexS16 z = LoadAt(src, i);
    re += z.re;
    im += z.im;
  }
  *sum = {static_cast<double>(re), static_cast<double>(im)};
}

int32_t SumF64ToS32Scaled(double sum, int32_t scaleFactor) {
  // A zero sum stays 0 whatever the factor (0 x infinity would be NaN).
  if (sum == 0.0) return 0;
  double x = PowerOfTwoClamped(scaleFactor) * sum;
  if (x != x) return INT32_MIN;
  if (x < -2147483648.0) x = -2147483648.0;
  if (x > 2147483647.0) x = 2147483647.0;
  return _mm_cvtsd_si32(_mm_set_sd(x));
}

void SumC64ToSC32Scaled(ComplexF64 sum, int32_t scaleFactor, ComplexS32* out) {
  *out = {SumF64ToS32Scaled(sum.re, scaleFactor), SumF64ToS32Scaled(sum.im, scaleFactor)};
}

double VecSumF32ByHint(const float* src, int64_t n, int32_t hint) {
  double sum;
  if (hint == SUM_HINT_FAST) {
    VecSumF32FastKernel(src, n, &sum);
  } else {
    VecSumF32AccurateKernel(src, n, &sum);
  }
  return static_cast<double>(static_cast<float>(sum));
}

float VecMeanF32ByHint(const float* src, int64_t n, int32_t hint) {
  return static_cast<float>(VecSumF32ByHint(src, n, hint) / static_cast<double>(n));
}

DspStatus VecSumF32L1(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<false>(src, len, dst, hint);
}
DspStatus VecSumF32L2(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<false>(src, len, dst, hint);
}
DspStatus VecSumF32L3(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<false>(src, len, dst, hint);
}
DspStatus VecMeanF32L1(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<true>(src, len, dst, hint);
}
DspStatus VecMeanF32L2(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<true>(src, len, dst, hint);
}
DspStatus VecMeanF32L3(const float* src, int32_t len, float* dst, int32_t hint) {
  return LevelEntry<true>(src, len, dst, hint);
}
