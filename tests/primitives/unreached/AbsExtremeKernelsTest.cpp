#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "primitives/unreached/AbsExtremeKernels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;
using primitives_test::GuardedBuffer;

class AbsExtremeKernels : public LevelKernelTest {};

template <typename T, typename Kernel, typename Reference>
void CheckAbs(const char* name, Kernel kernel, const std::vector<T>& values, Reference reference) {
  SCOPED_TRACE(name);
  for (int32_t len = 1; len <= 17; ++len) {
    for (size_t offset = 0; offset<16; offset += sizeof(T) / 2> 0 ? sizeof(T) / 2 : 1) {
      GuardedBuffer out(sizeof(T) * len, offset), inPlace(sizeof(T) * len, offset);
      std::memcpy(inPlace.data(), values.data(), sizeof(T) * len);
      kernel(values.data(), static_cast<T*>(out.data()), len);
      kernel(static_cast<const T*>(inPlace.data()), static_cast<T*>(inPlace.data()), len);
      for (int32_t i = 0; i < len; ++i) {
        T got, again;
        std::memcpy(&got, static_cast<char*>(out.data()) + sizeof(T) * i, sizeof(T));
        std::memcpy(&again, static_cast<char*>(inPlace.data()) + sizeof(T) * i, sizeof(T));
        ASSERT_EQ(std::memcmp(&got, &again, sizeof(T)), 0) << "len " << len << " offset " << offset;
        const T expected = reference(values[i]);
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof(T)), 0) << "len " << len << " offset " << offset << " i " << i;
      }
      EXPECT_TRUE(out.GuardsIntact());
    }
  }
}

TEST_F(AbsExtremeKernels, AbsoluteValuesSaturateTheMostNegativeValue) {
  const std::vector<double> f64 = {-0.0,
                                   -1.5,
                                   F64(0xFFF8000000000123ull),
                                   -std::numeric_limits<double>::infinity(),
                                   2.0,
                                   -3.0,
                                   0.0,
                                   4.0,
                                   -5.0,
                                   6.0,
                                   -7.0,
                                   8.0,
                                   -9.0,
                                   10.0,
                                   -11.0,
                                   12.0,
                                   -13.0};
  CheckAbs<double>("f64", VecAbsF64Kernel, f64, [](double x) { return F64(Bits(x) & 0x7FFFFFFFFFFFFFFFull); });

  std::vector<int16_t> s16 = {-32768, -32767, -1, 0, 1, 32767};
  std::vector<int32_t> s32 = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX};
  std::mt19937 random(41);
  while (s16.size() < 17) s16.push_back(static_cast<int16_t>(random()));
  while (s32.size() < 17) s32.push_back(static_cast<int32_t>(random()));
  auto abs16 = [](int16_t x) { return static_cast<int16_t>(x == -32768 ? 32767 : (x < 0 ? -x : x)); };
  auto abs32 = [](int32_t x) { return x == INT32_MIN ? INT32_MAX : (x < 0 ? -x : x); };
  CheckAbs<int16_t>("s16 level 1", VecAbsS16L1Kernel, s16, abs16);
  CheckAbs<int32_t>("s32 level 1", VecAbsS32L1Kernel, s32, abs32);
  if (CpuRunsLevel(2)) {
    CheckAbs<int16_t>("s16 levels 2-3", VecAbsS16L2L3Kernel, s16, abs16);
    CheckAbs<int32_t>("s32 levels 2-3", VecAbsS32L2L3Kernel, s32, abs32);
  }
}

// The lane layout decides what a NaN or a pair of signed zeros gives: src[0]
// 16-byte aligned, or with bit 3 of its address set.
TEST_F(AbsExtremeKernels, DoubleExtremesFollowTheLaneLayout) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char* name;
    std::vector<double> values;
    double maxAligned, maxOdd, minAligned, minOdd;
  };
  const Row rows[] = {
      {"[1, NaN, 2]", {1.0, nan, 2.0}, 2.0, nan, 1.0, nan},
      {"[-0.0]", {-0.0}, -0.0, -0.0, -0.0, -0.0},
      {"[+0.0, -0.0]", {0.0, -0.0}, 0.0, -0.0, 0.0, -0.0},
  };
  alignas(16) double storage[64];
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (bool odd : {false, true}) {
      double* src = storage + (odd ? 1 : 0);
      std::copy(row.values.begin(), row.values.end(), src);
      double max, min;
      VecMaxF64Kernel(src, static_cast<int64_t>(row.values.size()), &max);
      VecMinF64Kernel(src, static_cast<int64_t>(row.values.size()), &min);
      const double wantMax = odd ? row.maxOdd : row.maxAligned, wantMin = odd ? row.minOdd : row.minAligned;
      EXPECT_EQ(Bits(max), Bits(wantMax)) << (odd ? "bit 3 set" : "aligned");
      EXPECT_EQ(Bits(min), Bits(wantMin)) << (odd ? "bit 3 set" : "aligned");
    }
  }
  // Without NaNs or zeros every length and both alignments give the extremes.
  std::mt19937 random(43);
  std::uniform_real_distribution<double> value(-1e6, 1e6);
  for (double& v : storage) v = value(random);
  for (int64_t len = 1; len <= 40; ++len) {
    for (int start : {0, 1}) {
      double max, min;
      VecMaxF64Kernel(storage + start, len, &max);
      VecMinF64Kernel(storage + start, len, &min);
      EXPECT_EQ(max, *std::max_element(storage + start, storage + start + len)) << len;
      EXPECT_EQ(min, *std::min_element(storage + start, storage + start + len)) << len;
    }
  }
}

TEST_F(AbsExtremeKernels, Int16ExtremesAreExactAtEveryOffset) {
  std::mt19937 random(47);
  std::vector<int16_t> values(40);
  for (int16_t& v : values) v = static_cast<int16_t>(random());
  for (int64_t len = 1; len <= 40; ++len) {
    for (size_t offset = 0; offset < 16; ++offset) {
      GuardedBuffer buffer(2 * len, offset);
      std::memcpy(buffer.data(), values.data(), 2 * len);
      int16_t max, min;
      VecMaxS16Kernel(static_cast<const int16_t*>(buffer.data()), len, &max);
      VecMinS16Kernel(static_cast<const int16_t*>(buffer.data()), len, &min);
      EXPECT_EQ(max, *std::max_element(values.begin(), values.begin() + len)) << len << " +" << offset;
      EXPECT_EQ(min, *std::min_element(values.begin(), values.begin() + len)) << len << " +" << offset;
    }
  }
  const int16_t lowest[1] = {-32768};
  int16_t max;
  VecMaxS16Kernel(lowest, 1, &max);
  EXPECT_EQ(max, -32768);
}

}  // namespace
