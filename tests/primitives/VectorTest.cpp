#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/Vector.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/KernelTest.h"

namespace {

using primtest::Bits;
using primtest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint32_t kQuietPayload = 0x7FC12345;
constexpr uint32_t kSignallingPayload = 0xFFA54321;

class VectorTest : public primitives_test::BaselineTest {};

std::vector<uint32_t> BitsOf(const float* v, size_t n) {
  std::vector<uint32_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = Bits(v[i]);
  return out;
}

TEST_F(VectorTest, MultiplyByOneKeepsEveryBitAndByZeroWritesPositiveZero) {
  const float src[5] = {FromBits(kQuietPayload), FromBits(kSignallingPayload), -0.0f, -kInf, 3.5f};
  float dst[5];
  ASSERT_EQ(VecMulConstF32(src, 1.0f, dst, 5), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(dst, 5), BitsOf(src, 5));

  float inPlace[5];
  std::memcpy(inPlace, src, sizeof(src));
  ASSERT_EQ(VecMulConstF32InPlace(1.0f, inPlace, 5), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(inPlace, 5), BitsOf(src, 5));
  ASSERT_EQ(VecMulConstF32(inPlace, 1.0f, inPlace, 5), DSP_STATUS_OK) << "src == dst copies onto itself";
  EXPECT_EQ(BitsOf(inPlace, 5), BitsOf(src, 5));

  // A zero constant fills with +0.0 instead of multiplying: NaN x 0 and
  // inf x 0 would be NaN, -x x 0 would be -0.0.
  for (float zero : {0.0f, -0.0f}) {
    std::memcpy(inPlace, src, sizeof(src));
    ASSERT_EQ(VecMulConstF32InPlace(zero, inPlace, 5), DSP_STATUS_OK);
    EXPECT_EQ(BitsOf(inPlace, 5), std::vector<uint32_t>(5, 0u));
    ASSERT_EQ(VecMulConstF32(src, zero, dst, 5), DSP_STATUS_OK);
    EXPECT_EQ(BitsOf(dst, 5), std::vector<uint32_t>(5, 0u));
  }

  // A NaN constant is neither 0 nor 1: it multiplies.
  std::memcpy(inPlace, src, sizeof(src));
  ASSERT_EQ(VecMulConstF32InPlace(std::numeric_limits<float>::quiet_NaN(), inPlace, 5), DSP_STATUS_OK);
  for (float v : inPlace) EXPECT_TRUE(std::isnan(v));
}

TEST_F(VectorTest, DivideMultipliesBySinglePrecisionReciprocal) {
  float v[4] = {1.0f, -3.0f, 5.5f, FromBits(kQuietPayload)};
  const std::vector<uint32_t> before = BitsOf(v, 4);
  EXPECT_EQ(VecDivConstF32InPlace(0.0f, v, 4), DSP_STATUS_DIVIDE_BY_ZERO);
  EXPECT_EQ(VecDivConstF32InPlace(-0.0f, v, 4), DSP_STATUS_DIVIDE_BY_ZERO);
  EXPECT_EQ(BitsOf(v, 4), before) << "nothing written on failure";

  ASSERT_EQ(VecDivConstF32InPlace(kInf, v, 4), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(v, 4), std::vector<uint32_t>(4, 0u)) << "1/inf = 0 zero-fills, even -3 and NaN";

  // 8388608 has the exact reciprocal 2^-23.
  float w[3] = {8388607.0f, -1.0f, 3.0f};
  ASSERT_EQ(VecDivConstF32InPlace(8388608.0f, w, 3), DSP_STATUS_OK);
  EXPECT_EQ(w[0], std::ldexp(8388607.0f, -23));
  EXPECT_EQ(w[1], -std::ldexp(1.0f, -23));
  EXPECT_EQ(w[2], std::ldexp(3.0f, -23));

  // Dividing by 3 is x * (1.0f / 3.0f), which is not always x / 3.0f.
  std::vector<float> x(1000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 1.0f + static_cast<float>(i) * 0.37f;
  std::vector<float> y = x;
  ASSERT_EQ(VecDivConstF32InPlace(3.0f, y.data(), static_cast<int32_t>(y.size())), DSP_STATUS_OK);
  const float third = 1.0f / 3.0f;
  int differsFromDivision = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(Bits(y[i]), Bits(x[i] * third));
    differsFromDivision += y[i] != x[i] / 3.0f;
  }
  EXPECT_GT(differsFromDivision, 0) << "the sample should show a reciprocal multiply";
}

TEST_F(VectorTest, AddSetAbsKeepBitPatterns) {
  float v[3] = {-0.0f, 1.0f, FromBits(kSignallingPayload)};
  ASSERT_EQ(VecAddConstF32InPlace(0.0f, v, 3), DSP_STATUS_OK);
  ASSERT_EQ(VecAddConstF32InPlace(-0.0f, v, 3), DSP_STATUS_OK);
  EXPECT_EQ(Bits(v[0]), 0x80000000u) << "adding zero leaves -0.0 alone";
  EXPECT_EQ(Bits(v[2]), kSignallingPayload);
  ASSERT_EQ(VecAddConstF32InPlace(0.5f, v, 2), DSP_STATUS_OK);
  EXPECT_EQ(v[0], 0.5f);
  EXPECT_EQ(v[1], 1.5f);

  float filled[6];
  ASSERT_EQ(VecSetF32(FromBits(kSignallingPayload), filled, 6), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(filled, 6), std::vector<uint32_t>(6, kSignallingPayload));

  float a[5] = {-0.0f, -kInf, FromBits(kSignallingPayload), -2.5f, 7.0f};
  ASSERT_EQ(VecAbsF32InPlace(a, 5), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(a, 5),
            (std::vector<uint32_t>{0u, 0x7F800000u, kSignallingPayload & 0x7FFFFFFFu, Bits(2.5f), Bits(7.0f)}));

  const float p[4] = {1, 2, 3, 4};
  const float q[4] = {0.5f, -2, kInf, 1e38f};
  float sum[4];
  ASSERT_EQ(VecAddF32(p, q, sum, 4), DSP_STATUS_OK);
  EXPECT_EQ(std::vector<float>(sum, sum + 4), (std::vector<float>{1.5f, 0.0f, kInf, 1e38f}));
  float acc[4] = {1, 1, 1, 1};
  ASSERT_EQ(VecAddF32InPlace(p, acc, 4), DSP_STATUS_OK);
  EXPECT_EQ(std::vector<float>(acc, acc + 4), (std::vector<float>{2, 3, 4, 5}));
}

// The adopted rule: start at src[0], take an element only when it is
// strictly better. Equal values and NaN elements never replace.
float ReferenceExtreme(const float* src, int n, bool max) {
  float best = src[0];
  for (int i = 1; i < n; ++i)
    if (max ? src[i] > best : src[i] < best) best = src[i];
  return best;
}

TEST_F(VectorTest, MaxMinFollowTheStrictRunningRule) {
  struct Row {
    const char* name;
    std::vector<float> values;
    float max;
    float min;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Row> rows = {
      {"three negatives", {-3, -1, -2}, -1, -3},
      {"single element", {4.25f}, 4.25f, 4.25f},
      {"NaN elements are skipped", {1, nan, 5, nan, -2}, 5, -2},
      {"infinities", {0, -kInf, kInf}, kInf, -kInf},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    float max = 0, min = 0;
    ASSERT_EQ(VecMaxF32(row.values.data(), static_cast<int32_t>(row.values.size()), &max), DSP_STATUS_OK);
    ASSERT_EQ(VecMinF32(row.values.data(), static_cast<int32_t>(row.values.size()), &min), DSP_STATUS_OK);
    EXPECT_EQ(max, row.max);
    EXPECT_EQ(min, row.min);
  }

  // A NaN in src[0] is never replaced, on the element path and on the
  // blocked path alike.
  alignas(16) float block[40];
  for (int n : {5, 40}) {
    for (int i = 0; i < n; ++i) block[i] = static_cast<float>(i);
    block[0] = nan;
    float max = 0;
    ASSERT_EQ(VecMaxF32(block, n, &max), DSP_STATUS_OK);
    EXPECT_TRUE(std::isnan(max)) << n;
  }
}

TEST_F(VectorTest, MaxMinBlockedPathMatchesTheRuleAtEveryAlignment) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  alignas(16) float storage[80];
  for (int offset = 0; offset < 4; ++offset) {
    for (int len = 1; len <= 70; ++len) {
      float* src = storage + offset;
      for (int i = 0; i < len; ++i) src[i] = dist(rng);
      if (len > 12) src[len / 2] = std::numeric_limits<float>::quiet_NaN();
      float max = 0, min = 0;
      ASSERT_EQ(VecMaxF32(src, len, &max), DSP_STATUS_OK);
      ASSERT_EQ(VecMinF32(src, len, &min), DSP_STATUS_OK);
      EXPECT_EQ(Bits(max), Bits(ReferenceExtreme(src, len, true))) << offset << " " << len;
      EXPECT_EQ(Bits(min), Bits(ReferenceExtreme(src, len, false))) << offset << " " << len;
    }
  }

  // Zeros of both signs tie. The lane fold keeps the higher-numbered lane:
  // +0.0 in lane 0 (element 4) and -0.0 in lane 1 (element 9) give -0.0.
  alignas(16) float zeros[16];
  std::fill(zeros, zeros + 16, -1.0f);
  zeros[4] = 0.0f;
  zeros[9] = -0.0f;
  float max = 1;
  ASSERT_EQ(VecMaxF32(zeros, 16, &max), DSP_STATUS_OK);
  EXPECT_EQ(Bits(max), 0x80000000u);
}

TEST_F(VectorTest, MoveIsCorrectForEveryOverlapAndByteOffset) {
  std::mt19937 rng(11);
  alignas(16) unsigned char arena[900];
  alignas(16) unsigned char expected[900];
  std::vector<int> shifts = {4, -4, 12, -12, 1, 2, 3, -1, -2, -3, 0, 256, -256};
  for (int i = 0; i < 20; ++i) shifts.push_back(static_cast<int>(rng() % 201) - 100);
  for (int shift : shifts) {
    for (int trial = 0; trial < 4; ++trial) {
      const int len = 1 + static_cast<int>(rng() % 60);
      const int srcOffset = 300 + static_cast<int>(rng() % 32);
      for (auto& b : arena) b = static_cast<unsigned char>(rng());
      std::memcpy(expected, arena, sizeof(arena));
      std::memmove(expected + srcOffset + shift, expected + srcOffset, 4 * len);
      // Byte-misaligned float pointers are legal for the byte kernels.
      auto* src = reinterpret_cast<const float*>(arena + srcOffset);
      auto* dst = reinterpret_cast<float*>(arena + srcOffset + shift);
      ASSERT_EQ(VecMoveF32(src, dst, len), DSP_STATUS_OK);
      ASSERT_EQ(std::memcmp(arena, expected, sizeof(arena)), 0) << "shift " << shift << " len " << len;
    }
  }
}

TEST_F(VectorTest, CopyRunsFrontToBackAndServesADestinationBelowTheSource) {
  std::vector<float> v(110);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
  ASSERT_EQ(VecCopyF32(v.data() + 3, v.data(), 100), DSP_STATUS_OK);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(v[i], static_cast<float>(i + 3)) << i;
  for (int i = 100; i < 110; ++i) EXPECT_EQ(v[i], static_cast<float>(i));

  // Disjoint copies at every byte alignment and length around the 32- and
  // 16-byte steps.
  std::mt19937 rng(3);
  alignas(16) unsigned char from[200], to[200], expected[200];
  for (int srcOff = 0; srcOff < 4; ++srcOff)
    for (int dstOff = 0; dstOff < 16; ++dstOff)
      for (int bytes : {1, 6, 7, 15, 16, 31, 32, 33, 63, 64, 100, 150}) {
        for (auto& b : from) b = static_cast<unsigned char>(rng());
        for (auto& b : to) b = static_cast<unsigned char>(rng());
        std::memcpy(expected, to, sizeof(to));
        std::memcpy(expected + dstOff, from + srcOff, bytes);
        EXPECT_EQ(CopyBytes(from + srcOff, to + dstOff, bytes), to + dstOff);
        ASSERT_EQ(std::memcmp(to, expected, sizeof(to)), 0) << srcOff << " " << dstOff << " " << bytes;
      }
}

TEST_F(VectorTest, ZeroAndFillTouchExactlyTheirRange) {
  alignas(16) unsigned char arena[160];
  for (int offset = 0; offset < 20; ++offset)
    for (int bytes : {1, 3, 4, 17, 31, 32, 33, 48, 63, 100}) {
      std::memset(arena, 0xEE, sizeof(arena));
      ZeroBytes(arena + offset, bytes);
      for (int i = 0; i < 160; ++i)
        ASSERT_EQ(arena[i], (i >= offset && i < offset + bytes) ? 0 : 0xEE) << offset << " " << bytes << " " << i;
    }
  for (int offset = 0; offset < 20; ++offset)
    for (int count : {0, 1, 3, 4, 7, 8, 9, 20, 33}) {
      std::memset(arena, 0xEE, sizeof(arena));
      FillU32(0x11223344u, arena + offset, count);
      for (int i = 0; i < 160; ++i) {
        const bool inside = i >= offset && i < offset + 4 * count;
        const unsigned char want = inside ? static_cast<unsigned char>(0x11223344u >> (8 * ((i - offset) % 4))) : 0xEE;
        ASSERT_EQ(arena[i], want) << offset << " " << count << " " << i;
      }
    }

  float z[3] = {-0.0f, 1, 2};
  ASSERT_EQ(VecZeroF32(z, 3), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(z, 3), std::vector<uint32_t>(3, 0u));
  int32_t s[4] = {};
  ASSERT_EQ(VecSetS32(-1, s, 4), DSP_STATUS_OK);
  EXPECT_EQ(std::vector<int32_t>(s, s + 4), std::vector<int32_t>(4, -1));
}

}  // namespace
