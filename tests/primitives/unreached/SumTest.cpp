#include <xmmintrin.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "primitives/unreached/Sum.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

class SumLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(SumLevels);

// 2^24 absorbs a single 1.0 in single precision: the baseline and the
// accurate kernel keep the ones, the fast kernel's float lane loses them.
TEST_P(SumLevels, HintChoosesTheAccumulationAtTheLevels) {
  alignas(16) float x[48] = {};
  x[0] = 16777216.0f;
  x[16] = 1.0f;
  x[32] = 1.0f;
  for (int32_t hint : {SUM_HINT_FAST, 0, 2}) {
    SCOPED_TRACE(hint);
    float sum = 0;
    ASSERT_EQ(VecSumF32(x, 48, &sum, hint), DSP_STATUS_OK);
    EXPECT_EQ(sum, level() > 0 && hint == SUM_HINT_FAST ? 16777216.0f : 16777218.0f);
  }
  // The baseline's double accumulators: (1e8 - 1e8) + 1 exactly.
  const float cancel[4] = {1e8f, 1.0f, -1e8f, 0.0f};
  float sum;
  ASSERT_EQ(VecSumF32(cancel, 4, &sum, 0), DSP_STATUS_OK);
  EXPECT_EQ(sum, 1.0f);
}

TEST_P(SumLevels, MeanDividesTheSumByTheLength) {
  const float x[5] = {1, 2, 3, 4, 5};
  float mean;
  ASSERT_EQ(VecMeanF32(x, 5, &mean, 0), DSP_STATUS_OK);
  EXPECT_EQ(mean, 3.0f);
  // The levels round the sum to float before dividing, the baseline does not.
  const float y[5] = {16777216.0f, 1, 0, 0, 0};
  ASSERT_EQ(VecMeanF32(y, 5, &mean, 0), DSP_STATUS_OK);
  EXPECT_EQ(mean, level() == 0 ? 3355443.5f : 3355443.25f);
}

TEST_P(SumLevels, EveryHintAndAlignmentSumsCloseToTheExactValue) {
  std::mt19937 random(73);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> x(70000);
  for (float& v : x) v = value(random);
  for (size_t start : {0u, 1u, 2u, 3u}) {
    for (int32_t len : {1, 2, 7, 8, 9, 17, 40, 33000, 69990}) {
      long double exact = 0;
      for (int32_t i = 0; i < len; ++i) exact += x[start + i];
      for (int32_t hint : {SUM_HINT_FAST, 0}) {
        float sum;
        ASSERT_EQ(VecSumF32(x.data() + start, len, &sum, hint), DSP_STATUS_OK);
        // Single-precision lanes lose about len / 16 roundings of 2^-24 x
        // the running magnitude; double lanes lose nothing visible.
        const bool fast = level() > 0 && hint == SUM_HINT_FAST;
        const long double tolerance = fast ? 1e-7L * len : 0.0L;
        EXPECT_LE(std::fabs(sum - exact), tolerance + std::fabs(exact) * 0x1p-24L + 1e-30L)
            << "start " << start << " len " << len << " hint " << hint;
      }
    }
  }
}

class SumKernels : public LevelKernelTest {};

TEST_F(SumKernels, OtherKindsAndTheScaledConversion) {
  alignas(16) double d[21];
  alignas(16) ComplexF64 c[11];
  alignas(16) ComplexF32 c32[11];
  alignas(16) int16_t s16[301];
  alignas(16) ComplexS16 sc16[11];
  for (int i = 0; i < 21; ++i) d[i] = 0.5 * i - 3.0;
  for (int i = 0; i < 11; ++i) {
    c[i] = {1.0 * i, -2.0 * i + 1};
    c32[i] = {0.25f * i, 3.0f - i};
    sc16[i] = {static_cast<int16_t>(-32768 + i), static_cast<int16_t>(32767 - i)};
  }
  for (int i = 0; i < 301; ++i) s16[i] = static_cast<int16_t>(i % 2 == 0 ? -32768 : 32767);
  for (int start : {0, 1}) {
    SCOPED_TRACE(start);
    double sum;
    VecSumF64Kernel(d + start, 20, &sum);
    EXPECT_EQ(sum, std::accumulate(d + start, d + start + 20, 0.0));
    ComplexF64 cs;
    VecSumC64Kernel(c + start, 10, &cs);
    double re = 0, im = 0;
    for (int i = 0; i < 10; ++i) {
      re += c[start + i].re;
      im += c[start + i].im;
    }
    EXPECT_EQ(cs.re, re);
    EXPECT_EQ(cs.im, im);
    // Complex floats at an odd prelude: the lanes come back in order.
    ComplexF64 fast, accurate;
    VecSumC32FastKernel(c32 + start, 10, &fast);
    VecSumC32AccurateKernel(c32 + start, 10, &accurate);
    float fre = 0, fim = 0;
    for (int i = 0; i < 10; ++i) {
      fre += c32[start + i].re;
      fim += c32[start + i].im;
    }
    EXPECT_EQ(fast.re, fre);
    EXPECT_EQ(fast.im, fim);
    EXPECT_EQ(accurate.re, fre);
    EXPECT_EQ(accurate.im, fim);
    VecSumS16Kernel(s16 + start, 300, &sum);
    EXPECT_EQ(sum, -150.0) << "exact";
  }
  // A complex double vector 8 modulo 16 swaps the lanes' roles inside.
  double raw[9];
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw);
  ComplexF64* odd = reinterpret_cast<ComplexF64*>(base % 16 == 8 ? raw : raw + 1);
  for (int i = 0; i < 3; ++i) odd[i] = {1.0 + i, 10.0 * (i + 1)};
  ComplexF64 cs;
  VecSumC64Kernel(odd, 3, &cs);
  EXPECT_EQ(cs.re, 6.0);
  EXPECT_EQ(cs.im, 60.0);

  ComplexF64 s;
  VecSumSC16Kernel(sc16, 11, &s);
  EXPECT_EQ(s.re, -32768.0 * 11 + 55);
  EXPECT_EQ(s.im, 32767.0 * 11 - 55);

  EXPECT_EQ(SumF64ToS32Scaled(5.0, 1), 2) << "2.5 to even";
  EXPECT_EQ(SumF64ToS32Scaled(5e9, 0), INT32_MAX);
  EXPECT_EQ(SumF64ToS32Scaled(-5e9, 0), INT32_MIN);
  EXPECT_EQ(SumF64ToS32Scaled(std::nan(""), 0), INT32_MIN);
  EXPECT_EQ(SumF64ToS32Scaled(3.0, 2000), 0) << "factor +0";
  EXPECT_EQ(SumF64ToS32Scaled(-3.0, -2000), INT32_MIN) << "factor +Inf";
  EXPECT_EQ(SumF64ToS32Scaled(0.0, -2000), 0);
  ComplexS32 out;
  SumC64ToSC32Scaled({7.0, -7.0}, 1, &out);
  EXPECT_EQ(out.re, 4);
  EXPECT_EQ(out.im, -4);
}

TEST_F(SumKernels, ConversionFollowsTheCallersRoundingMode) {
  const uint32_t saved = _mm_getcsr();
  _mm_setcsr((saved & ~0x6000u) | 0x6000u);  // toward zero
  const int32_t truncated = SumF64ToS32Scaled(7.0, 1);
  _mm_setcsr(saved);
  EXPECT_EQ(truncated, 3) << "3.5 toward zero";
  EXPECT_EQ(SumF64ToS32Scaled(7.0, 1), 4);
}

}  // namespace
