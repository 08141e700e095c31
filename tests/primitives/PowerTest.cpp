#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/CpuId.h"
#include "primitives/Power.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/KernelTest.h"

namespace {

using primtest::Bits;
using primtest::FromBits;
using primtest::MxcsrScope;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint32_t kDefaultNaN = 0xFFC00000u;
constexpr uint32_t kMxcsrInvalidFlag = 0x01;

class PowerTest : public primitives_test::BaselineTest {};

// Distance in units in the last place between two non-NaN floats.
int64_t UlpDistance(float a, float b) {
  auto ordered = [](float f) {
    const int64_t bits = static_cast<int32_t>(Bits(f));
    return bits < 0 ? -(bits & 0x7FFFFFFF) : bits;
  };
  const int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

float ReferencePow(float a, float b) {
  return static_cast<float>(std::pow(static_cast<long double>(a), static_cast<long double>(b)));
}

struct PowCase {
  const char* name;
  float a;
  float b;
  uint32_t expected;
  DspStatus status;
};

TEST_F(PowerTest, SpecialValuesFollowTheElementRules) {
  const float qnan = FromBits(0x7FC0BEEF);
  const float otherNaN = FromBits(0xFFC0CAFE);
  const PowCase cases[] = {
      {"b = +0, a NaN", qnan, 0.0f, 0x3F800000, 0},
      {"b = -0", 5.0f, -0.0f, 0x3F800000, 0},
      {"a = 1, b NaN", 1.0f, qnan, 0x3F800000, 0},
      {"a = -1, b +inf", -1.0f, kInf, 0x3F800000, 0},
      {"a = -1, b -inf", -1.0f, -kInf, 0x3F800000, 0},
      {"a = -1, b NaN keeps b", -1.0f, otherNaN, 0xFFC0CAFE, 0},
      {"a NaN wins over b NaN", qnan, otherNaN, 0x7FC0BEEF, 0},
      {"b NaN", 2.0f, otherNaN, 0xFFC0CAFE, 0},
      {"+0, -inf", 0.0f, -kInf, 0x7F800000, DSP_WARN_DOMAIN},
      {"-0, -inf", -0.0f, -kInf, 0x7F800000, DSP_WARN_DOMAIN},
      {"|a| > 1, +inf", -2.0f, kInf, 0x7F800000, 0},
      {"|a| > 1, -inf", 3.0f, -kInf, 0x00000000, 0},
      {"|a| < 1, +inf", 0.5f, kInf, 0x00000000, 0},
      {"|a| < 1, -inf", 0.5f, -kInf, 0x7F800000, 0},
      {"+0, +inf", 0.0f, kInf, 0x00000000, 0},
      {"-0, +inf", -0.0f, kInf, 0x00000000, 0},
      {"+inf, 2", kInf, 2.0f, 0x7F800000, 0},
      {"+inf, -2", kInf, -2.0f, 0x00000000, 0},
      {"-inf, 3", -kInf, 3.0f, 0xFF800000, 0},
      {"-inf, 2", -kInf, 2.0f, 0x7F800000, 0},
      {"-inf, 0.5", -kInf, 0.5f, 0x7F800000, 0},
      {"-inf, -3", -kInf, -3.0f, 0x80000000, 0},
      {"-inf, -2", -kInf, -2.0f, 0x00000000, 0},
      {"+0, 3", 0.0f, 3.0f, 0x00000000, 0},
      {"+0, -1", 0.0f, -1.0f, 0x7F800000, DSP_WARN_DOMAIN},
      {"-0, 3", -0.0f, 3.0f, 0x80000000, 0},
      {"-0, 2", -0.0f, 2.0f, 0x00000000, 0},
      {"-0, -3", -0.0f, -3.0f, 0xFF800000, DSP_WARN_DOMAIN},
      {"-0, -1", -0.0f, -1.0f, 0xFF800000, DSP_WARN_DOMAIN},
      {"-0, -2", -0.0f, -2.0f, 0x7F800000, DSP_WARN_DOMAIN},
      {"-8, 1/3", -8.0f, 1.0f / 3.0f, kDefaultNaN, DSP_WARN_DOMAIN},
      {"-2, 0.5", -2.0f, 0.5f, kDefaultNaN, DSP_WARN_DOMAIN},
      {"-2, 3", -2.0f, 3.0f, Bits(-8.0f), 0},
      {"-2, 2", -2.0f, 2.0f, Bits(4.0f), 0},
      {"-1, 3", -1.0f, 3.0f, Bits(-1.0f), 0},
      {"-1, 2^25 is even", -1.0f, 33554432.0f, Bits(1.0f), 0},
      {"-3, 2^24 is even and huge", -3.0f, 16777216.0f, 0x7F800000, 0},
      {"2, 3", 2.0f, 3.0f, Bits(8.0f), 0},
      {"10, 2", 10.0f, 2.0f, Bits(100.0f), 0},
      {"10, -1", 10.0f, -1.0f, 0x3DCCCCCD, 0},
      {"2, 0.5", 2.0f, 0.5f, 0x3FB504F3, 0},
      {"2, 126 beyond the fast range", 2.0f, 126.0f, 0x7E800000, 0},
      {"2, 128", 2.0f, 128.0f, 0x7F800000, 0},
      {"2, 200", 2.0f, 200.0f, 0x7F800000, 0},
      {"2, -200", 2.0f, -200.0f, 0x00000000, 0},
      {"2, -149 smallest denormal", 2.0f, -149.0f, 0x00000001, 0},
      {"2, -150 ties to even zero", 2.0f, -150.0f, 0x00000000, 0},
      {"denormal base squared", 1e-40f, 2.0f, 0x00000000, 0},
      {"negative denormal base cubed", -1e-40f, 3.0f, 0x80000000, 0},
  };
  for (const PowCase& c : cases) {
    SCOPED_TRACE(c.name);
    MxcsrScope csr;
    float out[2] = {0.25f, 0.25f};
    EXPECT_EQ(VecPowF32(&c.a, &c.b, out, 1), c.status);
    EXPECT_EQ(Bits(out[0]), c.expected) << std::hex << Bits(out[0]);
    EXPECT_EQ(Bits(out[1]), Bits(0.25f));
  }

  MxcsrScope csr;
  const float a = 10.0f, b = 0.05f;
  float r;
  ASSERT_EQ(VecPowF32(&a, &b, &r, 1), DSP_STATUS_OK);
  EXPECT_LE(UlpDistance(r, 1.1220185f), 1);
}

TEST_F(PowerTest, RandomInputsStayWithinOneUlpOfLongDoublePow) {
  MxcsrScope csr;
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> logBase(-30.0f, 30.0f);
  std::uniform_real_distribution<float> exponent(-12.0f, 12.0f);
  constexpr int kCount = 20000;
  std::vector<float> a(kCount), b(kCount), out(kCount);
  for (int i = 0; i < kCount; ++i) {
    a[i] = std::exp2(logBase(rng) / 4);
    b[i] = exponent(rng);
    switch (i % 10) {
      case 7:  // negative base, integer exponent: the per-element routine
        a[i] = -a[i];
        b[i] = std::round(b[i]);
        break;
      case 8:  // large |b ln a|: beyond the fast range, results near the float limits
        b[i] = b[i] * 12;
        break;
      case 9:  // denormal bases
        a[i] = std::ldexp(a[i], -135);
        b[i] = 0.25f + std::fabs(b[i]) / 12;
        break;
    }
  }
  ASSERT_EQ(VecPowF32(a.data(), b.data(), out.data(), kCount), DSP_STATUS_OK);
  for (int i = 0; i < kCount; ++i) {
    const float want = ReferencePow(a[i], b[i]);
    ASSERT_LE(UlpDistance(out[i], want), 1) << "a=" << a[i] << " b=" << b[i] << " got " << out[i] << " want " << want;
  }
}

TEST_F(PowerTest, SpecialElementSendsOnlyItsGroupOfFourThroughTheElementRoutine) {
  MxcsrScope csr;
  // Find an ordinary pair whose fast result and element-routine result
  // differ in the last bit, so that the path an element took is visible.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> base(1.1f, 50.0f), exponent(-3.0f, 3.0f);
  float pa = 0, pb = 0, fast = 0, slow = 0;
  for (int tries = 0; tries < 100000 && fast == slow; ++tries) {
    pa = base(rng);
    pb = exponent(rng);
    ASSERT_EQ(VecPowF32(&pa, &pb, &fast, 1), DSP_STATUS_OK);
    int32_t status = 0;
    VecPowF32SpecialCase(&pa, &pb, &slow, 0, &status);
    ASSERT_EQ(status, 0);
  }
  ASSERT_NE(Bits(fast), Bits(slow)) << "no pair tells the paths apart";

  struct Layout {
    const char* name;
    int len;
    int special;
    std::vector<int> throughRoutine;
  };
  const Layout layouts[] = {
      {"special in the second group", 9, 5, {4, 6, 7}},
      {"special in the first group", 8, 0, {1, 2, 3}},
      {"single element after the groups", 9, 8, {}},
      {"groups stop below len rounded down to 8", 12, 9, {}},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::vector<float> a(layout.len, pa), b(layout.len, pb), out(layout.len);
    b[layout.special] = std::numeric_limits<float>::quiet_NaN();
    ASSERT_EQ(VecPowF32(a.data(), b.data(), out.data(), layout.len), DSP_STATUS_OK);
    for (int i = 0; i < layout.len; ++i) {
      if (i == layout.special) {
        EXPECT_TRUE(std::isnan(out[i]));
        continue;
      }
      const bool routine =
          std::find(layout.throughRoutine.begin(), layout.throughRoutine.end(), i) != layout.throughRoutine.end();
      EXPECT_EQ(Bits(out[i]), Bits(routine ? slow : fast)) << "element " << i;
    }
  }

  // The status stays 19 once an element set it, whatever follows.
  std::vector<float> a(10, pa), b(10, pb), out(10);
  a[1] = -8.0f;
  b[1] = 0.5f;
  EXPECT_EQ(VecPowF32(a.data(), b.data(), out.data(), 10), DSP_WARN_DOMAIN);
  EXPECT_EQ(Bits(out[1]), kDefaultNaN);
}

TEST_F(PowerTest, RunsWithNearestEvenAndDenormalsWhateverTheCallersMxcsr) {
  const std::vector<float> a = {2.0f, 2.0f, 0.0f, 3.0f, 1e-40f, 7.5f, 2.0f, 10.0f, 2.0f};
  const std::vector<float> b = {-140.0f, 0.3f, -1.0f, 1.7f, 0.5f, 2.2f, -149.0f, 0.05f, 0.5f};
  std::vector<float> reference(a.size()), out(a.size());
  {
    MxcsrScope csr;
    ASSERT_EQ(VecPowF32(a.data(), b.data(), reference.data(), 9), DSP_WARN_DOMAIN);
    EXPECT_NE(_mm_getcsr() & kMxcsrInvalidFlag, 0u) << "the domain case raises invalid";
  }
  // Flush-to-zero, denormals-are-zero (where the processor has it) and
  // round toward zero.
  const uint32_t caller = primtest::kDefaultMxcsr | 0x8000 | 0x6000 | (CpuSupportsDaz() ? 0x0040 : 0);
  {
    MxcsrScope csr(caller);
    ASSERT_EQ(VecPowF32(a.data(), b.data(), out.data(), 9), DSP_WARN_DOMAIN);
    EXPECT_EQ(_mm_getcsr(), caller) << "the saved MXCSR, flags included, comes back";
  }
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(Bits(out[i]), Bits(reference[i])) << i;
  EXPECT_NE(Bits(reference[0]), 0u) << "2^-140 is a denormal, not flushed";
}

TEST_F(PowerTest, RaiseFpExceptionSetsTheFlagOfEachCode) {
  struct Row {
    int32_t code;
    uint32_t flag;
  };
  const Row rows[] = {{19, 0x01}, {18, 0x04}, {12, 0x08}, {17, 0x10}, {5, 0x00}};
  for (const Row& row : rows) {
    MxcsrScope csr;
    RaiseFpException(row.code);
    const uint32_t flags = _mm_getcsr() & primtest::kMxcsrFlagBits & ~0x20u;  // ignore inexact
    EXPECT_EQ(flags, row.flag) << "code " << row.code;
  }
}

TEST_F(PowerTest, TablesHoldCorrectlyRoundedValues) {
  const VecPowF32TableSet& t = VecPowF32Tables;
  EXPECT_EQ(t.logPairs[0][0], 0.0);
  EXPECT_EQ(t.logPairs[0][1], 1.0);
  EXPECT_EQ(t.logPairs[1][0], 0.003898640415657323);
  EXPECT_EQ(t.logPairs[1][1], 0.9961089494163424);
  EXPECT_EQ(t.logPairs[128][0], 0.4054651081081644);
  EXPECT_EQ(t.logPairs[128][1], 0.6666666666666666);
  EXPECT_EQ(t.logPairs[256][0], 0.6931471805599453);
  EXPECT_EQ(t.logPairs[256][1], 0.5);
  EXPECT_EQ(t.expFractions[64], 0x6A09E667F3BCDull);
  EXPECT_EQ(t.expPairs[0][0], Bits(1.0f));
  EXPECT_EQ(t.expPairs[0][1], 0u);
  EXPECT_EQ(t.expPairs[1][0], 0x3F80B1EDu);
  EXPECT_EQ(t.expPairs[64][0], 0x3FB504F3u);
  EXPECT_FLOAT_EQ(FromBits(t.expPairs[1][1]), 3.698224659842708e-08f);
  EXPECT_FLOAT_EQ(FromBits(t.expPairs[64][1]), 1.7114270889351246e-08f);
  EXPECT_EQ(t.e23, 9744803446.248903);
  EXPECT_EQ(t.c2, -0.4999999999992423);
  EXPECT_EQ(t.c3, 0.33333333333238757);
  EXPECT_EQ(t.log2eTimes128, 184.6649652337873);
  EXPECT_EQ(t.ln2Over128, 0.0054152123481245725);
  uint64_t limitBits;
  std::memcpy(&limitBits, &t.exponentLimit, 8);
  EXPECT_EQ(limitBits >> 32, 0x4055D55Cu);

  // Every row against long double: within half a unit of the double (float)
  // it is stored in.
  auto withinHalfUlp = [](double stored, long double exact) {
    if (exact == 0) return stored == 0;
    const long double ulp = std::ldexp(1.0L, std::ilogb(stored) - 52);
    return std::fabs(static_cast<long double>(stored) - exact) <= ulp * 0.5001L;
  };
  for (int k = 0; k <= 256; ++k) {
    EXPECT_TRUE(withinHalfUlp(t.logPairs[k][0], std::log1p(static_cast<long double>(k) / 256))) << k;
    EXPECT_EQ(t.logPairs[k][1], 256.0 / (256 + k)) << k;
  }
  for (int j = 0; j < 128; ++j) {
    const long double exact = std::exp2(static_cast<long double>(j) / 128);
    const double full = std::ldexp(1.0 + std::ldexp(static_cast<double>(t.expFractions[j]), -52), 0);
    EXPECT_TRUE(withinHalfUlp(full, exact)) << j;
    const float hi = FromBits(t.expPairs[j][0]);
    EXPECT_LE(static_cast<long double>(hi), exact) << "hi rounds toward zero, j = " << j;
    EXPECT_GT(static_cast<long double>(std::nextafter(hi, 2.0f)), exact) << j;
    const long double lo = (exact - hi) / hi;
    const float storedLo = FromBits(t.expPairs[j][1]);
    if (j > 0) {
      EXPECT_LE(std::fabs(storedLo - lo), std::ldexp(1.0L, std::ilogb(storedLo) - 23) * 0.5001L) << j;
    }
  }
}

}  // namespace
