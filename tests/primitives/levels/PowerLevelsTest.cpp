// The level builds of the element-wise power: the baseline's bits wherever a
// block takes the fast path, the per-element routine for a whole block of
// eight around any special element, the special values, the status and the
// caller's MXCSR.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/Power.h"
#include "primitives/levels/PowerLevels.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using leveltest::Arena;
using primtest::Bits;
using primtest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();

class PowerLevelsTest : public leveltest::LevelTest {};
INSTANTIATE_LEVELS(PowerLevelsTest);

// Ordinary pairs only: positive normal bases and exponents that keep
// |b ln a| well inside the fast range.
void OrdinaryPairs(size_t n, unsigned seed, std::vector<float>& a, std::vector<float>& b) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> base(1e-3f, 1e3f), exponent(-8.0f, 8.0f);
  a.resize(n);
  b.resize(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = base(rng);
    b[i] = exponent(rng);
  }
}

float HandlerValue(float x, float y, int32_t* status) {
  float out;
  VecPowF32SpecialCase(&x, &y, &out, 0, status);
  return out;
}

TEST_P(PowerLevelsTest, FastPathGivesTheBaselineBitsForEveryAlignmentAndLength) {
  std::vector<int32_t> lengths;
  for (int32_t n = 1; n <= 40; ++n) lengths.push_back(n);
  lengths.push_back(1003);
  for (int32_t len : lengths) {
    std::vector<float> a, b;
    OrdinaryPairs(static_cast<size_t>(len), static_cast<unsigned>(len), a, b);
    std::vector<float> expected(static_cast<size_t>(len));
    ASSERT_EQ(VecPowF32L0(a.data(), b.data(), expected.data(), len), DSP_STATUS_OK);
    const size_t bytes = 4 * static_cast<size_t>(len);
    Arena inA(bytes + 16), inB(bytes + 16), out(bytes + 16);
    for (size_t offset = 0; offset < 16; ++offset) {
      out.Reset();
      float* pa = inA.As<float>(offset);
      float* pb = inB.As<float>((offset + 5) % 16);
      float* pd = out.As<float>((offset * 3) % 16);
      std::memcpy(pa, a.data(), bytes);
      std::memcpy(pb, b.data(), bytes);
      ASSERT_EQ(VecPowF32(pa, pb, pd, len), DSP_STATUS_OK);
      ASSERT_EQ(0, std::memcmp(pd, expected.data(), bytes)) << "len " << len << " offset " << offset;
      EXPECT_TRUE(out.UntouchedOutside(pd, bytes));
    }
  }
}

// One special element sends its block of eight through the per-element
// routine; the baseline sends only its block of four. Elements beyond the
// last whole block go one by one.
TEST_P(PowerLevelsTest, ASpecialElementSendsItsWholeBlockOfEightToTheElementRoutine) {
  std::vector<float> a, b;
  OrdinaryPairs(21, 3, a, b);
  a[5] = -2.0f;  // a negative base: special
  b[5] = 3.0f;
  std::vector<float> level(21), baseline(21), allFast(21);
  ASSERT_EQ(VecPowF32(a.data(), b.data(), level.data(), 21), DSP_STATUS_OK);
  ASSERT_EQ(VecPowF32L0(a.data(), b.data(), baseline.data(), 21), DSP_STATUS_OK);
  std::vector<float> ordinaryA(a), ordinaryB(b);
  ordinaryA[5] = 2.0f;
  ASSERT_EQ(VecPowF32(ordinaryA.data(), ordinaryB.data(), allFast.data(), 21), DSP_STATUS_OK);

  int32_t status = 0;
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Bits(level[i]), Bits(HandlerValue(a[i], b[i], &status))) << "level, element " << i;
  EXPECT_EQ(level[5], -8.0f);
  for (int i = 8; i < 21; ++i) EXPECT_EQ(Bits(level[i]), Bits(allFast[i])) << "outside the block, element " << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Bits(baseline[i]), Bits(allFast[i])) << "baseline fast block, element " << i;
  for (int i = 4; i < 8; ++i)
    EXPECT_EQ(Bits(baseline[i]), Bits(HandlerValue(a[i], b[i], &status))) << "baseline, element " << i;
  EXPECT_EQ(status, 0);
}

struct PowRow {
  const char* name;
  float a, b;
  uint32_t expected;
  DspStatus status;
};

TEST_P(PowerLevelsTest, SpecialValuesAndDomainCases) {
  const float nan = FromBits(0x7FC0ABCD);
  const PowRow rows[] = {
      {"2^3", 2.0f, 3.0f, Bits(8.0f), 0},
      {"10^-1", 10.0f, -1.0f, 0x3DCCCCCD, 0},
      {"2^0.5", 2.0f, 0.5f, 0x3FB504F3, 0},
      {"10^2", 10.0f, 2.0f, Bits(100.0f), 0},
      {"2^126 beyond the fast range", 2.0f, 126.0f, Bits(std::ldexp(1.0f, 126)), 0},
      {"2^128 overflows", 2.0f, 128.0f, Bits(kInf), 0},
      {"2^-149 the smallest subnormal", 2.0f, -149.0f, 0x00000001, 0},
      {"2^-150 rounds to +0", 2.0f, -150.0f, 0, 0},
      {"(-2)^3", -2.0f, 3.0f, Bits(-8.0f), 0},
      {"(-2)^2", -2.0f, 2.0f, Bits(4.0f), 0},
      {"(-8)^(1/3) domain", -8.0f, 1.0f / 3.0f, 0xFFC00000, DSP_WARN_DOMAIN},
      {"0^-1 domain", 0.0f, -1.0f, Bits(kInf), DSP_WARN_DOMAIN},
      {"(-0)^-1 domain", -0.0f, -1.0f, Bits(-kInf), DSP_WARN_DOMAIN},
      {"(-0)^3", -0.0f, 3.0f, Bits(-0.0f), 0},
      {"0^-inf domain", 0.0f, -kInf, Bits(kInf), DSP_WARN_DOMAIN},
      {"1^NaN", 1.0f, nan, Bits(1.0f), 0},
      {"NaN^0", nan, 0.0f, Bits(1.0f), 0},
      {"(-1)^inf", -1.0f, kInf, Bits(1.0f), 0},
      {"(-1)^NaN", -1.0f, nan, Bits(nan), 0},
      {"NaN^NaN: the base", nan, FromBits(0x7FC00001), Bits(nan), 0},
      {"(1e-40)^2", 1e-40f, 2.0f, 0, 0},
      {"(-1e-40)^3", -1e-40f, 3.0f, Bits(-0.0f), 0},
      {"2^inf", 2.0f, kInf, Bits(kInf), 0},
      {"0.5^-inf", 0.5f, -kInf, Bits(kInf), 0},
  };
  for (const PowRow& row : rows) {
    float out = 0.0f;
    EXPECT_EQ(VecPowF32(&row.a, &row.b, &out, 1), row.status) << row.name;
    EXPECT_EQ(Bits(out), row.expected) << row.name;
    // The same pair as element 5 of a block of eight ordinary ones.
    std::vector<float> a(8, 3.0f), b(8, 1.5f), d(8);
    a[5] = row.a;
    b[5] = row.b;
    EXPECT_EQ(VecPowF32(a.data(), b.data(), d.data(), 8), row.status) << row.name << " in a block";
    EXPECT_EQ(Bits(d[5]), row.expected) << row.name << " in a block";
  }
}

// The status is set once and stays however many ordinary elements follow.
TEST_P(PowerLevelsTest, DomainStatusSurvivesLaterOrdinaryElements) {
  std::vector<float> a, b;
  OrdinaryPairs(30, 8, a, b);
  a[2] = -8.0f;
  b[2] = 0.5f;
  std::vector<float> d(30);
  EXPECT_EQ(VecPowF32(a.data(), b.data(), d.data(), 30), DSP_WARN_DOMAIN);
  EXPECT_EQ(Bits(d[2]), 0xFFC00000u);
  for (int i = 8; i < 30; ++i) EXPECT_TRUE(std::isfinite(d[i])) << i;
}

// Flush-to-zero, round toward zero or denormals-are-zero in the caller's
// MXCSR do not reach the arithmetic, and the word comes back as it was.
TEST_P(PowerLevelsTest, CallersMxcsrModesDoNotReachTheResultAndComeBack) {
  std::vector<float> a, b;
  OrdinaryPairs(19, 4, a, b);
  a[3] = 2.0f;
  b[3] = -140.0f;  // a subnormal result
  a[11] = 1e-39f;  // a subnormal base
  b[11] = 0.5f;
  std::vector<float> expected(19), got(19);
  ASSERT_EQ(VecPowF32(a.data(), b.data(), expected.data(), 19), DSP_STATUS_OK);
  for (uint32_t csr : {0x1F80u | 0x8000u, 0x1F80u | 0x6000u, 0x1F80u | 0x40u, 0x1F80u | 0x2000u | 0x8040u}) {
    _mm_setcsr(csr);
    ASSERT_EQ(VecPowF32(a.data(), b.data(), got.data(), 19), DSP_STATUS_OK);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(primtest::kDefaultMxcsr);
    EXPECT_EQ(after, csr) << std::hex << csr;
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), 19 * 4)) << std::hex << csr;
  }
  EXPECT_EQ(Bits(expected[3]), Bits(std::ldexp(1.0f, -140)));
}

TEST_P(PowerLevelsTest, ChecksComeFirstAndWriteNothing) {
  float a[4] = {2, 2, 2, 2}, b[4] = {1, 1, 1, 1}, d[4] = {7, 7, 7, 7};
  EXPECT_EQ(VecPowF32(a, b, nullptr, 4), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(VecPowF32(a, nullptr, d, 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(VecPowF32(nullptr, b, d, 4), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(VecPowF32(a, b, d, 0), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(VecPowF32(a, b, d, -8), DSP_STATUS_BAD_LENGTH);
  for (float x : d) EXPECT_EQ(x, 7.0f);
}

}  // namespace
