#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "primitives/CpuId.h"
#include "primitives/unreached/SquareRoot.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;
using u128 = unsigned __int128;

// floor(sqrt(X)) by bisection: slow, but shares nothing with the kernels.
uint64_t FloorRootByBisection(u128 X) {
  uint64_t lo = 0, hi = 0xB504F333F9DE6485ull;  // above sqrt(2^127)
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo + 1) / 2;
    if (u128{mid} * mid <= X) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

// The rule, in unbounded integers: sat(rne(sqrt(x) * 2^-s)), 0 for x <= 0.
uint64_t RuleRoot(int64_t x, int64_t s, uint64_t limit) {
  if (x <= 0) return 0;
  uint64_t r;
  if (s <= 0) {
    const int64_t k = -s;
    if (64 - __builtin_clzll(static_cast<uint64_t>(x)) + 2 * k > 126) return limit;
    const u128 X = u128(x) << (2 * k);
    r = FloorRootByBisection(X);
    if (X - u128{r} * r > r) ++r;
  } else {
    if (s >= 64) return 0;
    const uint64_t q = FloorRootByBisection(static_cast<uint64_t>(x)) >> s;
    const u128 mid = u128{2 * q + 1} << (s - 1);
    const u128 T = mid * mid;
    r = q + (u128(x) > T || (u128(x) == T && (q & 1)) ? 1 : 0);
  }
  return r < limit ? r : limit;
}

// For 16-bit inputs a long double root is far from every rounding boundary
// that is not an exact tie, and exact on the ties.
uint64_t RuleRootSmall(int64_t x, int64_t s, uint64_t limit) {
  if (x <= 0) return 0;
  if (s < -40) return limit;
  if (s > 40) return 0;
  const long double v = std::nearbyintl(std::ldexp(std::sqrt(static_cast<long double>(x)), static_cast<int>(-s)));
  return v >= static_cast<long double>(limit) ? limit : static_cast<uint64_t>(v);
}

class IntegerSquareRoot : public LevelKernelTest {};

TEST_F(IntegerSquareRoot, NamedCases) {
  struct Row {
    const char* name;
    int kind;  // 0 s16, 1 u16, 2 s32->s16, 3 s64->s16, 4 s64
    int32_t s;
    int64_t x;
    int64_t result;
  };
  const Row rows[] = {
      {"s16 s0 3", 0, 0, 3, 2},
      {"s16 s0 32767", 0, 0, 32767, 181},
      {"s16 s0 -5", 0, 0, -5, 0},
      {"s16 s1 1", 0, 1, 1, 0},
      {"s16 s1 25 ties to even", 0, 1, 25, 2},
      {"s16 s1 9", 0, 1, 9, 2},
      {"s16 s-1 32767", 0, -1, 32767, 362},
      {"s16 s-8 16383", 0, -8, 16383, 32767},
      {"s16 s-8 32767 saturates", 0, -8, 32767, 32767},
      {"s16 s9 32767", 0, 9, 32767, 0},
      {"s16 s-16 1", 0, -16, 1, 32767},
      {"s16 s-16 0", 0, -16, 0, 0},
      {"u16 s0 65535", 1, 0, 65535, 256},
      {"u16 s-8 1", 1, -8, 1, 256},
      {"u16 s-8 65535", 1, -8, 65535, 65535},
      {"u16 s8 16384 ties to even", 1, 8, 16384, 0},
      {"u16 s8 16385", 1, 8, 16385, 1},
      {"u16 s9 65535", 1, 9, 65535, 0},
      {"u16 s-16 1", 1, -16, 1, 65535},
      {"s32 s0 32767^2", 2, 0, 1073676289, 32767},
      {"s32 s0 2^30 saturates", 2, 0, 1 << 30, 32767},
      {"s32 s16 2^30 ties to even", 2, 16, 1 << 30, 0},
      {"s32 s16 2^30 + 1", 2, 16, (1 << 30) + 1, 1},
      {"s32 s17", 2, 17, 2147483647, 0},
      {"s32 s-14 1", 2, -14, 1, 16384},
      {"s32 s-15 1", 2, -15, 1, 32767},
      {"s64->s16 s32 2^62 ties to even", 3, 32, int64_t{1} << 62, 0},
      {"s64->s16 s32 2^62 + 1", 3, 32, (int64_t{1} << 62) + 1, 1},
      {"s64->s16 s33", 3, 33, INT64_MAX, 0},
      {"s64->s16 s0 2^62", 3, 0, int64_t{1} << 62, 32767},
      {"s64 s0 2^62", 4, 0, int64_t{1} << 62, int64_t{1} << 31},
      {"s64 s0 2^63 - 1", 4, 0, INT64_MAX, 3037000500},
      {"s64 s-32 1", 4, -32, 1, 4294967296},
      {"s64 s-32 2", 4, -32, 2, 6074001000},
      {"s64 s-63 1", 4, -63, 1, INT64_MAX},
      {"s64 s33", 4, 33, INT64_MAX, 0},
      {"s64 negative", 4, 0, -9, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int64_t result = 0;
    int32_t flag = 0;
    switch (row.kind) {
      case 0: {
        const int16_t x = static_cast<int16_t>(row.x);
        int16_t r;
        flag = VecSqrtS16ScaledKernel(&x, &r, 1, row.s);
        result = r;
        break;
      }
      case 1: {
        const uint16_t x = static_cast<uint16_t>(row.x);
        uint16_t r;
        VecSqrtU16ScaledKernel(&x, &r, 1, row.s);
        result = r;
        break;
      }
      case 2: {
        const int32_t x = static_cast<int32_t>(row.x);
        int16_t r;
        flag = VecSqrtS32S16ScaledKernel(&x, &r, 1, row.s);
        result = r;
        break;
      }
      case 3: {
        int16_t r;
        flag = VecSqrtS64S16ScaledKernel(&row.x, &r, 1, row.s);
        result = r;
        break;
      }
      default: {
        int64_t r;
        flag = VecSqrtS64ScaledKernel(&row.x, &r, 1, row.s);
        result = r;
        EXPECT_EQ(flag, row.x < 0 ? 1 : 0);
        break;
      }
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(flag != 0, row.x < 0);
  }
}

const int32_t kScaleFactors[] = {INT32_MIN, -64, -63, -40, -33, -32, -31, -22, -21, -17, -16,      -15,
                                 -9,        -8,  -7,  -4,  -3,  -2,  -1,  0,   1,   2,   3,        7,
                                 8,         9,   15,  16,  17,  31,  32,  33,  63,  64,  INT32_MAX};

// One scale factor from each range the narrow methods treat apart.
const int32_t kNarrowScaleFactors[] = {INT32_MIN, -16, -15, -9, -8, -7, -4, -3, -1, 0, 1, 2, 8, 9, INT32_MAX};

TEST_F(IntegerSquareRoot, SixteenBitKindsFollowTheRuleForEveryElement) {
  std::vector<int16_t> s16(65536), r16(65536);
  std::vector<uint16_t> u16(65536), ru16(65536);
  for (int i = 0; i < 65536; ++i) {
    s16[i] = static_cast<int16_t>(i - 32768);
    u16[i] = static_cast<uint16_t>(i);
  }
  for (int32_t s : kNarrowScaleFactors) {
    SCOPED_TRACE(s);
    EXPECT_NE(VecSqrtS16ScaledKernel(s16.data(), r16.data(), 65536, s), 0);
    EXPECT_EQ(VecSqrtS16ScaledKernel(s16.data() + 32768, r16.data() + 32768, 32768, s), 0) << "no negative element";
    VecSqrtU16ScaledKernel(u16.data(), ru16.data(), 65536, s);
    int wrong = 0;
    for (int i = 0; i < 65536; ++i) {
      wrong += static_cast<uint64_t>(r16[i]) != RuleRootSmall(s16[i], s, 32767);
      wrong += static_cast<uint64_t>(ru16[i]) != RuleRootSmall(u16[i], s, 65535);
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(IntegerSquareRoot, WideKindsFollowTheRule) {
  std::mt19937_64 random(9);
  std::vector<int64_t> x64;
  for (int bits = 1; bits <= 63; ++bits) {
    const int64_t top = int64_t{1} << (bits - 1);
    for (int j = 0; j < 4; ++j) x64.push_back(top + static_cast<int64_t>(random() % static_cast<uint64_t>(top)));
    // Squares and their neighbours sit on the rounding boundaries.
    const int64_t root = static_cast<int64_t>(std::sqrt(static_cast<double>(top)));
    for (int64_t d : {-1, 0, 1}) x64.push_back(root * root + d);
  }
  x64.push_back(INT64_MAX);
  x64.push_back(-1);
  x64.push_back(INT64_MIN);
  std::vector<int32_t> x32;
  for (int64_t v : x64)
    if (v >= INT32_MIN && v <= INT32_MAX) x32.push_back(static_cast<int32_t>(v));
  x32.push_back(INT32_MAX);
  const int32_t n64 = static_cast<int32_t>(x64.size()), n32 = static_cast<int32_t>(x32.size());
  std::vector<int64_t> r64(x64.size());
  std::vector<int16_t> r16(x64.size());
  for (int32_t s : kScaleFactors) {
    SCOPED_TRACE(s);
    EXPECT_EQ(VecSqrtS64ScaledKernel(x64.data(), r64.data(), n64, s), 1);
    for (int32_t i = 0; i < n64; ++i)
      EXPECT_EQ(static_cast<uint64_t>(r64[i]), RuleRoot(x64[i], s, INT64_MAX)) << x64[i];
    EXPECT_NE(VecSqrtS64S16ScaledKernel(x64.data(), r16.data(), n64, s), 0);
    for (int32_t i = 0; i < n64; ++i) EXPECT_EQ(static_cast<uint64_t>(r16[i]), RuleRoot(x64[i], s, 32767)) << x64[i];
    EXPECT_NE(VecSqrtS32S16ScaledKernel(x32.data(), r16.data(), n32, s), 0);
    for (int32_t i = 0; i < n32; ++i) EXPECT_EQ(static_cast<uint64_t>(r16[i]), RuleRoot(x32[i], s, 32767)) << x32[i];
  }
}

// The 64-bit kernel widens the x87 precision while it runs and gives the
// caller's control word back, and a caller's single-precision setting does
// not cost exactness.
TEST_F(IntegerSquareRoot, SixtyFourBitKindRestoresTheX87ControlWord) {
  const uint16_t saved = X87ControlWordRead();
  const uint16_t single = static_cast<uint16_t>((saved & ~0x0300) | 0x0000);
  X87ControlWordLoad(single);
  const int64_t x[3] = {INT64_MAX, 2, 999999999999};
  int64_t r[3];
  VecSqrtS64ScaledKernel(x, r, 3, -30);
  const uint16_t after = X87ControlWordRead();
  X87ControlWordLoad(saved);
  EXPECT_EQ(after, single);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<uint64_t>(r[i]), RuleRoot(x[i], -30, INT64_MAX));
}

TEST_F(IntegerSquareRoot, ComplexKindsGiveRoundedPrincipalRoots) {
  struct Row {
    const char* name;
    ComplexS16 z;
    int32_t s;
    ComplexS16 root;
    bool scaledOnly;
  };
  const Row rows[] = {
      {"(3, 4)", {3, 4}, 0, {2, 1}, false},
      {"(-4, 0)", {-4, 0}, 0, {0, 2}, false},
      {"(0, -2)", {0, -2}, 0, {1, -1}, false},
      {"(1, 1)", {1, 1}, 0, {1, 0}, false},
      {"(-32768, -32768)", {-32768, -32768}, 0, {82, -199}, false},
      {"(3, 4) s1: 0.5 to even", {3, 4}, 1, {1, 0}, true},
      {"(3, 4) s-1", {3, 4}, -1, {4, 2}, true},
      {"(32767, 0) s-8 saturates", {32767, 0}, -8, {32767, 0}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ComplexS16 a, b, c;
    VecSqrtSC16ScaledKernel(&row.z, &a, 1, row.s);
    VecSqrtSC16ScaledStableKernel(&row.z, &b, 1, row.s);
    EXPECT_EQ(a.re, row.root.re);
    EXPECT_EQ(a.im, row.root.im);
    EXPECT_EQ(b.re, row.root.re);
    EXPECT_EQ(b.im, row.root.im);
    if (!row.scaledOnly) {
      VecSqrtSC16Kernel(&row.z, &c, 1);
      EXPECT_EQ(c.re, row.root.re);
      EXPECT_EQ(c.im, row.root.im);
    }
  }

  // Away from exact ties a long double root decides the rounding.
  std::mt19937 random(4);
  std::uniform_int_distribution<int> part(-32768, 32767);
  std::vector<ComplexS16> z(3000), a(3000), b(3000), c(3000);
  for (ComplexS16& v : z) v = {static_cast<int16_t>(part(random)), static_cast<int16_t>(part(random))};
  for (int32_t s : {-8, -2, 0, 1, 3}) {
    SCOPED_TRACE(s);
    VecSqrtSC16ScaledKernel(z.data(), a.data(), 3000, s);
    VecSqrtSC16ScaledStableKernel(z.data(), b.data(), 3000, s);
    if (s == 0) VecSqrtSC16Kernel(z.data(), c.data(), 3000);
    for (size_t i = 0; i < z.size(); ++i) {
      const std::complex<long double> ref =
          std::sqrt(std::complex<long double>(z[i].re, z[i].im)) * std::ldexp(1.0L, -s);
      auto expected = [](long double v, bool* nearTie) {
        *nearTie = std::fabs(std::fabs(v - std::floor(v)) - 0.5L) < 1e-9L;
        return static_cast<int16_t>(std::max(-32768.0L, std::min(32767.0L, std::nearbyintl(v))));
      };
      bool tieRe, tieIm;
      const int16_t re = expected(ref.real(), &tieRe);
      const int16_t im = expected(z[i].im < 0 ? -std::fabs(ref.imag()) : std::fabs(ref.imag()), &tieIm);
      if (!tieRe) {
        EXPECT_EQ(a[i].re, re) << z[i].re << ", " << z[i].im;
      }
      if (!tieIm) {
        EXPECT_EQ(a[i].im, im) << z[i].re << ", " << z[i].im;
      }
      EXPECT_EQ(a[i].re, b[i].re);
      EXPECT_EQ(a[i].im, b[i].im);
      if (s == 0) {
        EXPECT_EQ(c[i].re, a[i].re);
        EXPECT_EQ(c[i].im, a[i].im);
      }
    }
  }
}

TEST_F(IntegerSquareRoot, LookupTakesEveryByteThroughTheTable) {
  uint8_t table[256], src[37], dst[40] = {};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(RuleRootSmall(i, -3, 255));
  for (int i = 0; i < 37; ++i) src[i] = static_cast<uint8_t>(i * 7);
  VecLookupU8Kernel(src, dst + 1, 37, table);
  for (int i = 0; i < 37; ++i) EXPECT_EQ(dst[i + 1], table[src[i]]);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[38], 0);
}

}  // namespace
