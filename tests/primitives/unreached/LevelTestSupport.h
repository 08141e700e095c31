// Helpers for the tests of primitives/unreached: the level fixtures of the
// processor-level tests extended to the baseline, bit views and ulp
// distances against long double references.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "tests/primitives/levels/LevelTestSupport.h"
#include "tests/support/KernelTest.h"

namespace unreached_test {

inline bool CpuRunsLevel(int level) { return leveltest::ProcessorRunsLevel(level); }

// A test per dispatch level 0 to 3: GetParam() is the level, and the body
// runs with the dispatch index set to it, so that the public names reach
// that level's build.
using LevelTest = leveltest::LevelTest;

#define INSTANTIATE_FOR_ALL_LEVELS(fixture) \
  INSTANTIATE_TEST_SUITE_P(Levels, fixture, ::testing::Values(0, 1, 2, 3), ::leveltest::LevelName)

// A fixture for kernels of levels 1 to 3, which need the level-1
// instruction set.
class LevelKernelTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    testsupport::KernelTest::SetUp();
    if (!CpuRunsLevel(1)) GTEST_SKIP() << "this processor lacks the instructions of level 1";
  }
};

// The most an SSE reciprocal or reciprocal-square-root estimate (rcpps,
// rsqrtps and their scalar forms) may differ from the exact value, relative
// to it, on any processor. The estimate bits differ between processor
// generations, so the tests of kernels that refine an estimate derive their
// bounds from this and from the unit roundoff below, never from the bits of
// the processor they run on.
inline constexpr double kEstimateError = 1.5 * 0x1p-12;
inline constexpr double kFloatRoundoff = 0x1p-24;
inline constexpr double kDoubleRoundoff = 0x1p-53;

inline uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }
inline float F32(uint32_t u) { return std::bit_cast<float>(u); }
inline double F64(uint64_t u) { return std::bit_cast<double>(u); }

// Distance in units in the last place between two finite values, counted
// across zero.
inline int64_t UlpDistance(float a, float b) {
  auto ordered = [](float f) {
    const int32_t i = std::bit_cast<int32_t>(f);
    return i < 0 ? -static_cast<int64_t>(i & 0x7FFFFFFF) : static_cast<int64_t>(i);
  };
  const int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

inline int64_t UlpDistance(double a, double b) {
  auto ordered = [](double f) {
    const int64_t i = std::bit_cast<int64_t>(f);
    return i < 0 ? -(i & 0x7FFFFFFFFFFFFFFF) : i;
  };
  const int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

// Units in the last place of float ref between result and a long double
// reference, with fractions: |result - ref| / ulp(ref).
inline double UlpError(float result, long double ref) {
  const long double magnitude = std::fabs(ref);
  int exponent;
  std::frexp(static_cast<double>(magnitude), &exponent);
  const long double ulp = std::ldexp(1.0L, std::max(exponent - 24, -149));
  return static_cast<double>(std::fabs(static_cast<long double>(result) - ref) / ulp);
}

inline double UlpError(double result, long double ref) {
  const long double magnitude = std::fabs(ref);
  int exponent;
  std::frexp(static_cast<double>(magnitude), &exponent);
  const long double ulp = std::ldexp(1.0L, std::max(exponent - 53, -1074));
  return static_cast<double>(std::fabs(static_cast<long double>(result) - ref) / ulp);
}

}  // namespace unreached_test
