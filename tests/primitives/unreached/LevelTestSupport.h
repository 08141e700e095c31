// Helpers for the tests of primitives/unreached: which processor levels this
// machine runs, a fixture parameterised by level, bit views, ulp distances
// and long double references.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "primitives/CpuId.h"
#include "primitives/Dispatch.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/support/KernelTest.h"

namespace unreached_test {

// Level 1 needs SSE3, level 2 SSSE3, level 3 SSE4.1 and SSE4.2.
inline bool CpuRunsLevel(int level) {
  switch (level) {
    case 0:
      return true;
    case 1:
      return CpuHasSse3() != 0;
    case 2:
      return CpuHasSse3() != 0 && CpuHasSsse3() != 0;
    case 3:
      return CpuHasSse3() != 0 && CpuHasSsse3() != 0 && CpuHasSse41() != 0 && CpuHasSse42() != 0;
    default:
      return false;
  }
}

#define SKIP_UNLESS_CPU_RUNS_LEVEL(level) \
  if (!::unreached_test::CpuRunsLevel(level)) GTEST_SKIP() << "this processor lacks level " << (level)

// A test per dispatch level: GetParam() is the level, and the body runs with
// the dispatch index set to it, so the public names reach that level's build.
class LevelTest : public testsupport::KernelTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    testsupport::KernelTest::SetUp();
    SKIP_UNLESS_CPU_RUNS_LEVEL(GetParam());
    m_Previous = SetCpuDispatchIndexForTest(GetParam());
  }
  void TearDown() override {
    if (m_Previous >= 0) SetCpuDispatchIndexForTest(m_Previous);
    testsupport::KernelTest::TearDown();
  }
  int level() const { return GetParam(); }

 private:
  int32_t m_Previous = -1;
};

inline std::string LevelName(const ::testing::TestParamInfo<int>& info) { return "L" + std::to_string(info.param); }

#define INSTANTIATE_FOR_ALL_LEVELS(fixture) \
  INSTANTIATE_TEST_SUITE_P(Levels, fixture, ::testing::Values(0, 1, 2, 3), ::unreached_test::LevelName)

// A fixture for kernels of levels 1 to 3, which need the level-1 instruction
// set.
class LevelKernelTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    testsupport::KernelTest::SetUp();
    SKIP_UNLESS_CPU_RUNS_LEVEL(1);
  }
};

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

// The float nearest a long double reference.
inline float Nearest(long double v) { return static_cast<float>(v); }

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
