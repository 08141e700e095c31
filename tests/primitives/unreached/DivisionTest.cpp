#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "primitives/unreached/Division.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

constexpr float kInf = std::numeric_limits<float>::infinity();

// The levels' reciprocal method: r = (1 + eps)/a from the estimate, q0 = r b,
// e = 1 - a r, and q0 (1 + e + e^2) leaves eps^3 (under 2^-35) of the
// estimate's error. Rounding does the rest: q0 by half a unit, a r by 2^-24
// (under a unit of the quotient), the last sum by half a unit; within 2 units
// and a sliver of the exact quotient, so 2 of the correctly rounded one.
constexpr int64_t kReciprocalQuotientUnits = 2;

class DivisionLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(DivisionLevels);

TEST_P(DivisionLevels, ZeroDivisorsGiveSignedInfinityOrNaNAndTheWarning) {
  primtest::MxcsrScope mxcsr;
  struct Row {
    const char* name;
    float a, b;
    uint32_t baseline, levels;
    DspStatus status;
  };
  const Row rows[] = {
      {"+0 divisor", 0.0f, 1.0f, 0x7F800000u, 0x7F800000u, DSP_WARN_DIVIDE_BY_ZERO},
      {"-0 divisor: its sign is ignored", -0.0f, 1.0f, 0x7F800000u, 0x7F800000u, DSP_WARN_DIVIDE_BY_ZERO},
      {"negative dividend", 0.0f, -1.0f, 0xFF800000u, 0xFF800000u, DSP_WARN_DIVIDE_BY_ZERO},
      {"0 / 0", 0.0f, 0.0f, 0xFFC00000u, 0x7FC00000u, DSP_WARN_DIVIDE_BY_ZERO},
      {"NaN / 0", 0.0f, F32(0x7FC00123u), 0xFFC00000u, 0x7FC00000u, DSP_WARN_DIVIDE_BY_ZERO},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Alone, and amid ordinary elements in an eight-element pass.
    for (int at : {0, 5}) {
      alignas(16) float a[12], b[12], dst[12];
      for (int i = 0; i < 12; ++i) {
        a[i] = 2.0f;
        b[i] = 1.0f + i;
      }
      a[at] = row.a;
      b[at] = row.b;
      const int32_t len = at == 0 ? 1 : 12;
      EXPECT_EQ(VecDivF32(a, b, dst, len), row.status);
      EXPECT_EQ(Bits(dst[at]), level() == 0 ? row.baseline : row.levels);
      // The eight-element pass that holds the zero is divided exactly; the
      // four after it take the reciprocal method.
      for (int i = 0; i < len; ++i) {
        if (i == at) continue;
        if (level() == 0 || i < 8) {
          EXPECT_EQ(dst[i], b[i] / 2.0f) << i;
        } else {
          EXPECT_LE(UlpDistance(dst[i], b[i] / 2.0f), kReciprocalQuotientUnits) << i;
        }
      }
    }
  }
  // A NaN divisor is not a zero divisor.
  const float a[1] = {F32(0x7FC00000u)}, b[1] = {3.0f};
  float dst[1];
  EXPECT_EQ(VecDivF32(a, b, dst, 1), DSP_STATUS_OK);
  EXPECT_TRUE(std::isnan(dst[0]));
}

// The baseline divides exactly; the levels multiply by a refined reciprocal
// except inside groups that hold a zero divisor.
TEST_P(DivisionLevels, QuotientsStayWithinTwoUnitsAtEveryAlignment) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(17);
  std::uniform_int_distribution<uint32_t> bits(0x1F800000u, 0x5F7FFFFFu);  // 2^-64 .. 2^63
  std::uniform_int_distribution<int> sign(0, 1);
  const int32_t n = 203;
  struct Offsets {
    size_t a, b, dst;
  };
  for (const Offsets& o : {Offsets{0, 0, 0}, Offsets{4, 8, 12}, Offsets{0, 4, 4}, Offsets{2, 0, 0}, Offsets{0, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << "offsets " << o.a << "/" << o.b << "/" << o.dst);
    primitives_test::GuardedBuffer A(4 * n, o.a), B(4 * n, o.b), D(4 * n, o.dst);
    std::vector<float> a(n), b(n);
    for (int i = 0; i < n; ++i) {
      a[i] = F32(bits(random) | (sign(random) ? 0x80000000u : 0u));
      b[i] = F32(bits(random));
    }
    std::memcpy(A.data(), a.data(), 4 * n);
    std::memcpy(B.data(), b.data(), 4 * n);
    ASSERT_EQ(VecDivF32(static_cast<float*>(A.data()), static_cast<float*>(B.data()), static_cast<float*>(D.data()), n),
              DSP_STATUS_OK);
    std::vector<float> q(n);
    std::memcpy(q.data(), D.data(), 4 * n);
    int64_t worst = 0;
    for (int i = 0; i < n; ++i) worst = std::max(worst, UlpDistance(q[i], b[i] / a[i]));
    EXPECT_LE(worst, level() == 0 ? 0 : kReciprocalQuotientUnits);
    EXPECT_TRUE(D.GuardsIntact());
  }
}

// Every processor's estimate is 0 for an infinite divisor and for one above
// 1.0004 * 2^126 (as 1e38 is), and infinite for a subnormal one.
TEST_P(DivisionLevels, InfiniteSubnormalAndHugeDivisorsFollowTheReciprocal) {
  primtest::MxcsrScope mxcsr;
  struct Row {
    const char* name;
    float a;
    bool levelsNaN;  // else both give the same signed zero
  };
  const Row rows[] = {
      {"infinite divisor", kInf, true},
      {"subnormal divisor", F32(0x00000010u), true},
      {"reciprocal below the normal range", 1e38f, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const float a[4] = {row.a, 2.0f, 2.0f, 2.0f}, b[4] = {1e-5f, 1.0f, 1.0f, 1.0f};
    float dst[4];
    ASSERT_EQ(VecDivF32(a, b, dst, 4), DSP_STATUS_OK);
    if (level() > 0 && row.levelsNaN) {
      EXPECT_TRUE(std::isnan(dst[0]));
    } else if (level() > 0) {
      EXPECT_EQ(Bits(dst[0]), 0u);
    } else {
      EXPECT_EQ(dst[0], b[0] / row.a);
    }
  }
}

class DivisionKernels : public LevelKernelTest {};

// Finds a dividend whose reciprocal-method quotient over x differs from the
// correctly rounded one on this processor. For x = 3 every estimate the
// architecture allows has one among the first few dividends above 1.
float DividendWithInexactQuotient(float x) {
  for (float c = 1.0f; c < 2.0f; c = std::nextafter(c, 2.0f)) {
    alignas(16) float a[4] = {x, x, x, x}, q[4];
    VecConstOverF32Kernel(a, &c, q, 4);
    if (q[0] != c / x) return c;
  }
  return 0.0f;
}

TEST_F(DivisionKernels, AZeroInAPassMakesThePassOrItsGroupExact) {
  primtest::MxcsrScope mxcsr;
  const float x = 3.0f;
  const float c = DividendWithInexactQuotient(x);
  ASSERT_NE(c, 0.0f) << "no quotient shows the reciprocal method";
  alignas(16) float a[8] = {x, x, x, x, 0.0f, x, x, x}, b[8], q[8];
  for (float& v : b) v = c;
  EXPECT_EQ(VecDivF32Kernel(a, b, q, 8), 1);
  for (int i = 0; i < 8; ++i) {
    if (i != 4) {
      EXPECT_EQ(q[i], c / x) << "the vector kernel divides the whole pass exactly";
    }
  }
  EXPECT_EQ(VecConstOverF32Kernel(a, &c, q, 8), 1);
  EXPECT_NE(q[0], c / x) << "constant-over-vector keeps the reciprocal in the group without a zero";
  EXPECT_EQ(q[5], c / x);
  EXPECT_EQ(Bits(q[4]), 0x7F800000u);

  // In a pass without zeros every quotient takes the reciprocal method.
  a[4] = x;
  EXPECT_EQ(VecDivF32Kernel(a, b, q, 8), 0);
  for (int i = 0; i < 8; ++i) EXPECT_NE(q[i], c / x);
}

TEST_F(DivisionKernels, DoubleBlocksRoundToFourUnitsAndZeroDivisorsGiveNaN) {
  primtest::MxcsrScope mxcsr;
  alignas(16) double a[20], b[20], q[20];
  for (int i = 0; i < 20; ++i) {
    a[i] = 3.0;
    b[i] = 1.0 + 0.1 * i;
  }
  // Destination 8 modulo 16: one head element, two blocks of eight, one tail.
  EXPECT_EQ(VecDivF64Kernel(a + 1, b + 1, q + 1, 18), 0);
  EXPECT_EQ(Bits(q[1]), Bits(b[1] / 3.0)) << "head";
  EXPECT_EQ(Bits(q[18]), Bits(b[18] / 3.0)) << "tail";
  for (int i = 2; i < 18; ++i) {
    EXPECT_EQ(Bits(q[i]) % 4, 0u) << i;
    EXPECT_LE(UlpDistance(q[i], b[i] / 3.0), 4) << i;
  }

  struct Row {
    const char* name;
    int at;
    double neighbour;  // divisor beside it in the same lane product
  };
  const Row rows[] = {
      {"zero in the head", 0, 3.0},
      {"zero in a block", 3, 3.0},
      {"zero in the tail", 17, 3.0},
      {"zero sharing a product with an infinity", 3, std::numeric_limits<double>::infinity()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (int i = 0; i < 20; ++i) a[i] = 3.0;
    double* x = a + 1;
    x[row.at] = 0.0;
    if (row.at == 3) x[row.at + 2] = row.neighbour;  // elements 3 and 5 share a product
    EXPECT_EQ(VecDivF64Kernel(x, b + 1, q + 1, 18), 1);
    EXPECT_EQ(Bits(q[1 + row.at]), 0x7FF8000000000000ull);
  }
}

TEST_F(DivisionKernels, ComplexQuotients) {
  primtest::MxcsrScope mxcsr;
  const ComplexF32 a32[3] = {{3, 4}, {0, 0}, {1, -1}}, b32[3] = {{25, 0}, {1, 1}, {2, 0}};
  ComplexF32 q32[3];
  EXPECT_EQ(VecDivC32Kernel(a32, b32, q32, 3), 1);
  EXPECT_NEAR(q32[0].re, 3.0f, 1e-5f);
  EXPECT_NEAR(q32[0].im, -4.0f, 1e-5f);
  EXPECT_EQ(Bits(q32[1].re), 0x7FC00000u);
  EXPECT_EQ(Bits(q32[1].im), 0x7FC00000u);
  EXPECT_NEAR(q32[2].re, 1.0f, 1e-6f);
  EXPECT_NEAR(q32[2].im, 1.0f, 1e-6f);

  const ComplexF64 a64[3] = {{3, 4}, {1, -1}, {0, 0}}, b64[3] = {{25, 0}, {2, 0}, {1, 1}};
  ComplexF64 q64[3];
  EXPECT_EQ(VecDivC64Kernel(a64, b64, q64, 3), 1) << "the odd last element's zero divisor";
  EXPECT_EQ(q64[0].re, 3.0);
  EXPECT_EQ(q64[0].im, -4.0);
  EXPECT_EQ(q64[1].re, 1.0);
  EXPECT_EQ(q64[1].im, 1.0);
  EXPECT_EQ(Bits(q64[2].re), 0x7FF8000000000000ull);
  EXPECT_EQ(VecDivC64Kernel(a64, b64, q64, 2), 0);

  // The float form's reciprocal r (2 - d r) of d = |a|^2 is within eps^2 +
  // 3 * 2^-24 of 1/d; d carries two roundings, the numerators at most
  // 2 sqrt(2) * 2^-24 |a| |b|, the last product one: 11.1 * 2^-24 of |b/a|.
  constexpr long double kComplexFloatRelative = 12 * kFloatRoundoff;
  std::mt19937 random(8);
  std::uniform_real_distribution<double> part(-100.0, 100.0);
  std::vector<ComplexF32> x32(101), y32(101), r32(101);
  std::vector<ComplexF64> x64(101), y64(101), r64(101);
  for (int i = 0; i < 101; ++i) {
    x64[i] = {part(random), part(random)};
    y64[i] = {part(random), part(random)};
    x32[i] = {static_cast<float>(x64[i].re), static_cast<float>(x64[i].im)};
    y32[i] = {static_cast<float>(y64[i].re), static_cast<float>(y64[i].im)};
  }
  EXPECT_EQ(VecDivC32Kernel(x32.data(), y32.data(), r32.data(), 101), 0);
  EXPECT_EQ(VecDivC64Kernel(x64.data(), y64.data(), r64.data(), 101), 0);
  for (int i = 0; i < 101; ++i) {
    const std::complex<long double> ref32 =
        std::complex<long double>(y32[i].re, y32[i].im) / std::complex<long double>(x32[i].re, x32[i].im);
    const std::complex<long double> ref64 =
        std::complex<long double>(y64[i].re, y64[i].im) / std::complex<long double>(x64[i].re, x64[i].im);
    EXPECT_LE(std::abs(std::complex<long double>(r32[i].re, r32[i].im) - ref32) / std::abs(ref32),
              kComplexFloatRelative);
    EXPECT_LE(std::abs(std::complex<long double>(r64[i].re, r64[i].im) - ref64) / std::abs(ref64), 1e-14L);
  }
}

// round(num / den) to nearest even, in exact integers.
int64_t RoundedQuotient(__int128 num, __int128 den) {
  if (den < 0) {
    num = -num;
    den = -den;
  }
  __int128 q = num / den, r = num % den;
  if (r < 0) {
    q -= 1;
    r += den;
  }
  if (2 * r > den || (2 * r == den && (q & 1))) q += 1;
  return static_cast<int64_t>(q);
}

// The exact rule: sat(rne(b 2^-s / a)).
int64_t RuleQuotient(int64_t b, int64_t a, int32_t s, int64_t lo, int64_t hi) {
  const __int128 num = s < 0 ? (__int128(b) << -s) : __int128(b);
  const __int128 den = s > 0 ? (__int128(a) << s) : __int128(a);
  const int64_t q = RoundedQuotient(num, den);
  return q < lo ? lo : (q > hi ? hi : q);
}

TEST_F(DivisionKernels, IntegerNamedCases) {
  primtest::MxcsrScope mxcsr;
  {
    const int16_t a[4] = {2, 2, 0, 0}, b[4] = {3, 5, 5, -5};
    int16_t q[4];
    EXPECT_EQ(VecDivS16ScaledKernel(a, b, q, 4, 0), 1);
    EXPECT_EQ(std::vector<int16_t>(q, q + 4), (std::vector<int16_t>{2, 2, 32767, -32768}));
    const int16_t z[1] = {0}, zb[1] = {0};
    EXPECT_EQ(VecDivS16ScaledKernel(z, zb, q, 1, 0), 1);
    EXPECT_EQ(q[0], 0);
    const int16_t one[1] = {1}, big[1] = {5000}, three[1] = {3}, hundred[1] = {100};
    EXPECT_EQ(VecDivS16ScaledKernel(one, big, q, 1, -3), 0);
    EXPECT_EQ(q[0], 32767);
    EXPECT_EQ(VecDivS16ScaledKernel(three, hundred, q, 1, -6), 0);
    EXPECT_EQ(q[0], 2133);
  }
  {
    const int32_t a[2] = {1, 1}, b[2] = {7, 9};
    int32_t q[2];
    EXPECT_EQ(VecDivS32ScaledKernel(a, b, q, 2, 1), 0);
    EXPECT_EQ(q[0], 4);
    EXPECT_EQ(q[1], 4);
  }
  {
    const ComplexS16 a[2] = {{-32768, -32768}, {0, 0}}, b[2] = {{-32768, -32768}, {5, 5}};
    ComplexS16 q[2];
    EXPECT_EQ(VecDivSC16ScaledKernel(a, b, q, 2, 0), 1);
    EXPECT_EQ(q[0].re, 1);
    EXPECT_EQ(q[0].im, 0);
    EXPECT_EQ(q[1].re, 0);
    EXPECT_EQ(q[1].im, 0);
  }
  {
    const uint8_t a[3] = {0, 0, 3}, b[3] = {255, 0, 7};
    uint8_t q[3];
    EXPECT_EQ(VecDivU8ScaledKernel(a, b, q, 3, 0), 1);
    EXPECT_EQ(std::vector<int>(q, q + 3), (std::vector<int>{255, 0, 2}));
    const uint8_t one[1] = {1}, b200[1] = {200};
    EXPECT_EQ(VecDivU8ScaledKernel(one, b200, q, 1, -2), 0);
    EXPECT_EQ(q[0], 255);
  }
  {
    const uint16_t a[3] = {0, 1, 3};
    uint16_t q[3];
    EXPECT_NE(VecConstOverU16Kernel(a, 65535, q, 3), 0);
    EXPECT_EQ(std::vector<int>(q, q + 3), (std::vector<int>{65535, 65535, 21845}));
    const uint16_t two[1] = {2};
    EXPECT_EQ(VecConstOverU16Kernel(two, 65535, q, 1), 0);
    EXPECT_EQ(q[0], 32768);
  }
  {
    const int16_t a[1] = {3}, a2[1] = {2};
    const int32_t b[1] = {100000}, b2[1] = {-7};
    int16_t q[1];
    EXPECT_EQ(VecDivS32S16ScaledKernel(a, b, q, 1, 0), 0);
    EXPECT_EQ(q[0], 32767);
    EXPECT_EQ(VecDivS32S16ScaledKernel(a2, b2, q, 1, 0), 0);
    EXPECT_EQ(q[0], -4);
  }
}

TEST_F(DivisionKernels, IntegerQuotientsFollowTheRule) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(23);
  std::uniform_int_distribution<int> s16(-32768, 32767);
  std::uniform_int_distribution<int> small(-40, 40);
  const int n = 997;
  std::vector<int16_t> a(n), b(n), q(n);
  std::vector<int32_t> a32(n), b32(n), q32(n);
  std::vector<ComplexS16> ca(n), cb(n), cq(n);
  std::vector<uint8_t> ua(n), ub(n), uq(n);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<int16_t>(i % 5 == 0 ? small(random) : s16(random));
    b[i] = static_cast<int16_t>(s16(random));
    a32[i] = i % 7 == 0 ? small(random) : static_cast<int32_t>(random());
    b32[i] = static_cast<int32_t>(random());
    ca[i] = {static_cast<int16_t>(small(random)), static_cast<int16_t>(small(random))};
    cb[i] = {b[i], static_cast<int16_t>(s16(random))};
    ua[i] = static_cast<uint8_t>(random() % (i % 3 == 0 ? 4 : 256));
    ub[i] = static_cast<uint8_t>(random());
  }
  for (int32_t s : {-40, -20, -16, -8, -6, -5, -1, 0, 1, 3, 8, 15, 16, 17, 40}) {
    SCOPED_TRACE(s);
    VecDivS16ScaledKernel(a.data(), b.data(), q.data(), n, s);
    VecDivS32ScaledKernel(a32.data(), b32.data(), q32.data(), n, s);
    VecDivU8ScaledKernel(ua.data(), ub.data(), uq.data(), n, s);
    VecDivSC16ScaledKernel(ca.data(), cb.data(), cq.data(), n, s);
    for (int i = 0; i < n; ++i) {
      if (a[i] != 0) {
        EXPECT_EQ(q[i], RuleQuotient(b[i], a[i], s, -32768, 32767)) << b[i] << " / " << a[i];
      }
      if (a32[i] != 0 && std::abs(s) <= 16) {
        EXPECT_EQ(q32[i], RuleQuotient(b32[i], a32[i], s, INT32_MIN, INT32_MAX)) << b32[i] << " / " << a32[i];
      }
      if (ua[i] != 0) {
        EXPECT_EQ(uq[i], RuleQuotient(ub[i], ua[i], s, 0, 255)) << int{ub[i]} << " / " << int{ua[i]};
      }
      const std::complex<long double> ref = std::complex<long double>(cb[i].re, cb[i].im) /
                                            std::complex<long double>(ca[i].re, ca[i].im) * std::ldexp(1.0L, -s);
      if (ca[i].re != 0 || ca[i].im != 0) {
        EXPECT_LE(std::fabs(cq[i].re - std::clamp(ref.real(), -32768.0L, 32767.0L)), 0.5L + 1e-9L);
        EXPECT_LE(std::fabs(cq[i].im - std::clamp(ref.imag(), -32768.0L, 32767.0L)), 0.5L + 1e-9L);
      }
    }
  }
  // Dividing by one constant, and a constant over a vector.
  std::vector<uint16_t> u16(n), uq16(n);
  for (int i = 0; i < n; ++i) u16[i] = static_cast<uint16_t>(random());
  for (uint16_t c : {1, 2, 777, 32767, 32768, 65535}) {
    EXPECT_EQ(VecConstOverU16Kernel(u16.data(), c, uq16.data(), n), 0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(uq16[i], RuleQuotient(c, u16[i], 0, 0, 65535)) << c << " / " << u16[i];
  }
  for (int16_t c : {1, -3, 7, 1000}) {
    for (int32_t s : {-8, 0, 4}) {
      VecDivConstS16ScaledKernel(b.data(), c, q.data(), n, s);
      VecDivConstU8ScaledKernel(ub.data(), static_cast<uint8_t>(c), uq.data(), n, s);
      const float factor = std::ldexp(1.0f, -s) / static_cast<float>(c);
      const float factorU8 = std::ldexp(1.0f, -s) / static_cast<float>(static_cast<uint8_t>(c));
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(q[i], std::clamp<long>(std::lrint(static_cast<float>(b[i]) * factor), -32768, 32767));
        EXPECT_EQ(uq[i], std::clamp<long>(std::lrint(static_cast<float>(ub[i]) * factorU8), 0, 255));
      }
    }
  }
}

// Dividing by one complex constant: one double factor 2^-s / |c|^2, the
// numerators in exact integers; c = -32768 - 32768i gives the same quotient
// without forming 2^31.
TEST_F(DivisionKernels, ComplexConstantDivisor) {
  primtest::MxcsrScope mxcsr;
  const ComplexS16 b[4] = {{-32768, -32768}, {100, -200}, {7, 3}, {32767, 32767}};
  for (const ComplexS16 c : {ComplexS16{-32768, -32768}, ComplexS16{3, 4}, ComplexS16{0, -32768}, ComplexS16{-1, 0}}) {
    for (int32_t s : {-8, 0, 2}) {
      SCOPED_TRACE(testing::Message() << c.re << "+" << c.im << "i, s " << s);
      ComplexS16 q[4];
      VecDivConstSC16ScaledKernel(b, c, q, 4, s);
      for (int i = 0; i < 4; ++i) {
        const std::complex<long double> ref =
            std::complex<long double>(b[i].re, b[i].im) / std::complex<long double>(c.re, c.im) * std::ldexp(1.0L, -s);
        EXPECT_LE(std::fabs(q[i].re - std::clamp(ref.real(), -32768.0L, 32767.0L)), 0.5L + 1e-9L) << i;
        EXPECT_LE(std::fabs(q[i].im - std::clamp(ref.imag(), -32768.0L, 32767.0L)), 0.5L + 1e-9L) << i;
      }
    }
  }
}

// Blocks of four take two reciprocals from one division; away from halfway
// points every path gives the nearest integer, and zero divisors the
// saturated value by the dividend's sign.
TEST_F(DivisionKernels, WideOverNarrowQuotientsInEveryPath) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(29);
  const int n = 203;
  std::vector<int16_t> a(n), q(n + 1);
  std::vector<int32_t> b(n);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<int16_t>(i % 11 == 0 ? 0 : static_cast<int16_t>(random()));
    b[i] = static_cast<int32_t>(random()) >> (i % 16);
  }
  for (int32_t s : {-4, 0, 5}) {
    for (int offset : {0, 1}) {
      const int32_t flag = VecDivS32S16ScaledKernel(a.data(), b.data(), q.data() + offset, n, s);
      EXPECT_EQ(flag, 1);
      for (int i = 0; i < n; ++i) {
        const int16_t got = q[i + offset];
        if (a[i] == 0) {
          EXPECT_EQ(got, b[i] > 0 ? 32767 : (b[i] < 0 ? -32768 : 0));
          continue;
        }
        const long double exact = std::ldexp(static_cast<long double>(b[i]) / a[i], -s);
        const long double distance = std::fabs(std::fabs(exact - std::floor(exact)) - 0.5L);
        if (distance > 1e-9L) {
          EXPECT_EQ(got, RuleQuotient(b[i], a[i], s, -32768, 32767)) << b[i] << " / " << a[i];
        }
      }
    }
  }
}

}  // namespace
