#include <xmmintrin.h>

#include <cmath>
#include <random>
#include <vector>

#include "primitives/unreached/Exponential.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

constexpr float kInf = std::numeric_limits<float>::infinity();

long double ExpRef(float x) { return std::exp(static_cast<long double>(x)); }

// The levels take e^x = 2^k P/Q with 1/Q refined from the estimate by one
// Newton step, e (2 - Q e): (1 - eps^2)/Q, 2.25 * 2^-24 short for |eps| <=
// 1.5 * 2^-12, and its three roundings add 3 * 2^-24. P/Q itself (reduction
// and rational form, plain IEEE arithmetic, the same everywhere) is within
// 2.2 * 2^-24 of e^x over the whole range, and the product with P adds one
// rounding: 8.45 * 2^-24, so 8.45 ulp at most. Where P = Q (x = 0 and
// subnormals) only the reciprocal's 6.25 * 2^-24 remains: 6 units below 1.0,
// 3 above.
constexpr double kRefinedReciprocal = kEstimateError * kEstimateError / kFloatRoundoff + 3.0;
constexpr double kLevelExpUlps = 2.2 + kRefinedReciprocal + 1.0;
constexpr int64_t kLevelExpUnitsFromOne = static_cast<int64_t>(kRefinedReciprocal + 1.0);

class ExponentialLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(ExponentialLevels);

// Within its range the baseline stays within two units of the exact value;
// the levels within kLevelExpUlps.
TEST_P(ExponentialLevels, RegularElementsAreAccurate) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(53);
  std::uniform_real_distribution<float> value(-87.0f, 87.0f);
  std::vector<float> x(1001);
  for (float& v : x) v = value(random);
  x[7] = 1e-3f;
  x[8] = -1e-3f;
  std::vector<float> v = x;
  ASSERT_EQ(VecExpF32InPlace(v.data(), static_cast<int32_t>(v.size())), DSP_STATUS_OK);
  double worst = 0;
  for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, UlpError(v[i], ExpRef(x[i])));
  EXPECT_LE(worst, level() == 0 ? 2.0 : kLevelExpUlps);
}

TEST_P(ExponentialLevels, SpecialValues) {
  struct Row {
    const char* name;
    uint32_t x;
    uint32_t baseline;
    uint32_t levels;  // 0xFFFFFFFF: about 1.0
  };
  const Row rows[] = {
      {"+0", 0x00000000u, 0x3F800000u, 0xFFFFFFFFu},
      {"-0", 0x80000000u, 0x3F800000u, 0xFFFFFFFFu},
      {"subnormal", 0x00000123u, 0x3F800000u, 0xFFFFFFFFu},
      {"-Inf", 0xFF800000u, 0x00000000u, 0x00000000u},
      {"+Inf", 0x7F800000u, 0x7F800000u, 0x7F800000u},
      {"positive quiet NaN", 0x7FC00000u, 0xFFC00000u, 0x7FC00000u},
      {"positive signalling NaN", 0x7FA00000u, 0x7F800000u, 0x7F800000u},
      {"88.72283935546875", 0x42B17218u, 0x7F800000u, 0x7F800000u},
      {"-87.3365478515625", 0xC2AEAC50u, 0x00000000u, 0x00000000u},
      {"87.5: the levels saturate from 87.1", 0x42AF0000u, 0x7E96A0B2u, 0x7F800000u},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Among four regular elements, so that the baseline takes its group path.
    float v[5] = {1.0f, 2.0f, F32(row.x), 3.0f, 4.0f};
    ASSERT_EQ(VecExpF32InPlace(v, 5), DSP_STATUS_OK);
    const uint32_t expected = level() == 0 ? row.baseline : row.levels;
    if (expected == 0xFFFFFFFFu) {
      EXPECT_LE(UlpDistance(v[2], 1.0f), kLevelExpUnitsFromOne);
    } else if (expected == 0x7E96A0B2u) {
      EXPECT_LE(UlpError(v[2], ExpRef(87.5f)), 2.0);
    } else {
      EXPECT_EQ(Bits(v[2]), expected);
    }
  }
  // A negative quiet NaN: the baseline sorts it with the low values and gives
  // the default NaN, the levels propagate it.
  float n[4] = {F32(0xFFC00001u), 1, 1, 1};
  ASSERT_EQ(VecExpF32InPlace(n, 4), DSP_STATUS_OK);
  EXPECT_TRUE(std::isnan(n[0]));
}

class ExponentialBaseline : public testsupport::KernelTest {};

// Short vectors, and the one to three regular elements nearest the start,
// take the platform exponential; the rest go four at a time through the
// rational approximation.
TEST_F(ExponentialBaseline, PlatformExponentialForShortVectorsAndTheFirstElements) {
  primtest::MxcsrScope mxcsr;
  float shortVector[3] = {88.72284698486328f, 88.72283935546875f, -100.0f};
  ASSERT_EQ(VecExpF32InPlaceL0(shortVector, 3), DSP_STATUS_OK);
  EXPECT_EQ(shortVector[0], kInf) << "above the limit";
  EXPECT_EQ(shortVector[1], kInf) << "overflows in the final rounding";
  EXPECT_EQ(shortVector[2], static_cast<float>(std::exp(-100.0))) << "a subnormal result stays";
  EXPECT_GT(shortVector[2], 0.0f);

  const float x[5] = {0.3f, -1.7f, 2.9f, 10.25f, -33.3f};
  float v[5];
  std::memcpy(v, x, sizeof(v));
  ASSERT_EQ(VecExpF32InPlaceL0(v, 5), DSP_STATUS_OK);
  EXPECT_EQ(Bits(v[0]), Bits(static_cast<float>(std::exp(static_cast<double>(x[0])))));
  // The group path: y = float(1/Q) float(P), rescaled on the exponent field.
  for (int i = 1; i < 5; ++i) EXPECT_LE(UlpError(v[i], ExpRef(x[i])), 2.0) << i;
}

class ExponentialKernel : public LevelKernelTest {};

TEST_F(ExponentialKernel, ShortGroupsAndTheExceptionFlags) {
  // Five elements: a full group and a group of one; each element alone
  // gives the same value.
  const float x[5] = {0.5f, -2.0f, 7.0f, 30.0f, -60.0f};
  float whole[5];
  VecExpF32Kernel(x, whole, 5);
  for (int i = 0; i < 5; ++i) {
    float one;
    VecExpF32Kernel(x + i, &one, 1);
    EXPECT_EQ(Bits(one), Bits(whole[i])) << i;
  }
  // The IEEE flags it finds set, or raises, are clear on return; the control
  // bits stay.
  const uint32_t saved = _mm_getcsr();
  _mm_setcsr(0x1F80u | 0x20u | 0x01u);
  float v[3] = {100.0f, -100.0f, 1.0f};
  VecExpF32Kernel(v, v, 3);
  const uint32_t after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & 0xFFFFu & ~0x02u, 0x1F80u);
}

}  // namespace
