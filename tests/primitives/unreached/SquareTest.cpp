#include <cmath>
#include <random>
#include <vector>

#include "primitives/unreached/Square.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

constexpr float kInf = std::numeric_limits<float>::infinity();

class SquareLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(SquareLevels);

TEST_P(SquareLevels, SpecialValuesSquareAsIEEESays) {
  const float in[6] = {-0.0f, 0.0f, -kInf, F32(0x7FC01234u), 0x1p64f, -3.0f};
  float out[6];
  ASSERT_EQ(VecSqrF32(in, out, 6), DSP_STATUS_OK);
  EXPECT_EQ(Bits(out[0]), 0u);
  EXPECT_EQ(Bits(out[1]), 0u);
  EXPECT_EQ(out[2], kInf);
  EXPECT_TRUE(std::isnan(out[3]));
  EXPECT_EQ(out[4], kInf) << "2^128 overflows";
  EXPECT_EQ(out[5], 9.0f);
}

// Every step of the skeleton (alignment, passes of eight, tail) at every
// element offset of the destination, in place and out of place.
TEST_P(SquareLevels, EveryLengthAndOffsetMatchesTheBaseline) {
  std::mt19937 random(31);
  std::uniform_real_distribution<float> value(-1e20f, 1e20f);
  std::vector<float> x(40);
  for (float& v : x) v = value(random);
  for (int32_t len : {1, 2, 3, 4, 7, 8, 9, 17, 40}) {
    for (size_t offset : {0u, 4u, 8u, 12u, 2u}) {
      SCOPED_TRACE(testing::Message() << "len " << len << " offset " << offset);
      std::vector<float> expected(len);
      ASSERT_EQ(VecSqrF32L0(x.data(), expected.data(), len), DSP_STATUS_OK);
      primitives_test::GuardedBuffer d(4 * len, offset);
      ASSERT_EQ(VecSqrF32(x.data(), static_cast<float*>(d.data()), len), DSP_STATUS_OK);
      EXPECT_EQ(std::memcmp(d.data(), expected.data(), 4 * len), 0);
      std::memcpy(d.data(), x.data(), 4 * len);
      ASSERT_EQ(VecSqrF32(static_cast<float*>(d.data()), static_cast<float*>(d.data()), len), DSP_STATUS_OK);
      EXPECT_EQ(std::memcmp(d.data(), expected.data(), 4 * len), 0) << "in place";
      EXPECT_TRUE(d.GuardsIntact());
    }
  }
}

class SquareKernels : public LevelKernelTest {};

TEST_F(SquareKernels, ComplexAndDoubleSquares) {
  const ComplexF64 z[4] = {{1, 1}, {0, 1}, {3, -2}, {-0.0, 0}};
  const ComplexF64 expected[4] = {{0, 2}, {-1, 0}, {5, -12}, {0, -0.0}};
  ComplexF64 r64[4];
  ComplexF32 z32[4], r32[4];
  for (int i = 0; i < 4; ++i) z32[i] = {static_cast<float>(z[i].re), static_cast<float>(z[i].im)};
  VecSqrC64Kernel(z, r64, 4);
  VecSqrC32Kernel(z32, r32, 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Bits(r64[i].re), Bits(expected[i].re)) << i;
    EXPECT_EQ(Bits(r64[i].im), Bits(expected[i].im)) << i;
    EXPECT_EQ(Bits(r32[i].re), Bits(static_cast<float>(expected[i].re))) << i;
    EXPECT_EQ(Bits(r32[i].im), Bits(static_cast<float>(expected[i].im))) << i;
  }
  // The imaginary part is the rounded product doubled, not a fused 2 re im.
  const ComplexF32 odd{1.0f + 0x1p-23f, 3.0f};
  VecSqrC32Kernel(&odd, r32, 1);
  const float cross = odd.re * odd.im;
  EXPECT_EQ(r32[0].im, cross + cross);

  const double d[3] = {-3.0, 1e200, -0.0};
  double sq[3];
  VecSqrF64Kernel(d, sq, 3);
  EXPECT_EQ(sq[0], 9.0);
  EXPECT_EQ(sq[1], std::numeric_limits<double>::infinity());
  EXPECT_EQ(Bits(sq[2]), 0u);
}

// The rule in long double: exact square times 2^-s, rounded to nearest even,
// saturated.
int64_t RuleSquare(int64_t v, int32_t s, int64_t lo, int64_t hi) {
  const long double scaled = std::ldexp(static_cast<long double>(v), -std::clamp(s, -100, 100));
  const long double r = std::nearbyintl(scaled);
  return r < lo ? lo : (r > hi ? hi : static_cast<int64_t>(r));
}

TEST_F(SquareKernels, ScaledIntegerNamedCases) {
  struct Row {
    const char* name;
    int kind;  // 0 u8, 1 s16, 2 u16
    int32_t s;
    int32_t x;
    int32_t result;
  };
  const Row rows[] = {
      {"u8 s0 15", 0, 0, 15, 225},
      {"u8 s0 16", 0, 0, 16, 255},
      {"u8 s0 255", 0, 0, 255, 255},
      {"u8 s3 2: tie to even", 0, 3, 2, 0},
      {"u8 s3 6: 4.5 to even", 0, 3, 6, 4},
      {"u8 s4 3", 0, 4, 3, 1},
      {"u8 s16 181", 0, 16, 181, 0},
      {"u8 s16 182", 0, 16, 182, 1},
      {"u8 s17", 0, 17, 255, 0},
      {"u8 s-7 1", 0, -7, 1, 128},
      {"u8 s-7 2", 0, -7, 2, 255},
      {"u8 s-8 1", 0, -8, 1, 255},
      {"u8 s-8 0", 0, -8, 0, 0},
      {"u8 s INT32_MIN", 0, INT32_MIN, 1, 255},
      {"s16 s0 -32768", 1, 0, -32768, 32767},
      {"s16 s30 -32768", 1, 30, -32768, 1},
      {"s16 s31 -32768: one half", 1, 31, -32768, 0},
      {"s16 s1 3", 1, 1, 3, 4},
      {"s16 s1 5", 1, 1, 5, 12},
      {"s16 s32", 1, 32, -32768, 0},
      {"s16 s-1 127", 1, -1, 127, 32258},
      {"s16 s-1 128", 1, -1, 128, 32767},
      {"u16 s0 255", 2, 0, 255, 65025},
      {"u16 s0 256", 2, 0, 256, 65535},
      {"u16 s16 65535", 2, 16, 65535, 65534},
      {"u16 s32 46340", 2, 32, 46340, 0},
      {"u16 s32 46341", 2, 32, 46341, 1},
      {"u16 s33", 2, 33, 65535, 0},
      {"u16 s-1 181", 2, -1, 181, 65522},
      {"u16 s-1 182", 2, -1, 182, 65535},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int32_t result;
    if (row.kind == 0) {
      const uint8_t x = static_cast<uint8_t>(row.x);
      uint8_t r;
      VecSqrU8ScaledKernel(&x, &r, 1, row.s);
      result = r;
    } else if (row.kind == 1) {
      const int16_t x = static_cast<int16_t>(row.x);
      int16_t r;
      VecSqrS16ScaledKernel(&x, &r, 1, row.s);
      result = r;
    } else {
      const uint16_t x = static_cast<uint16_t>(row.x);
      uint16_t r;
      VecSqrU16ScaledKernel(&x, &r, 1, row.s);
      result = r;
    }
    EXPECT_EQ(result, row.result);
  }

  const ComplexS16 z[4] = {{-32768, -32768}, {1, 1}, {3, 4}, {5, 0}};
  ComplexS16 r[4];
  auto squares = [&](int32_t s) {
    VecSqrSC16ScaledKernel(z, r, 4, s);
    return std::vector<int>{r[0].re, r[0].im, r[1].re, r[1].im, r[2].re, r[2].im, r[3].re, r[3].im};
  };
  EXPECT_EQ(squares(0), (std::vector<int>{0, 32767, 0, 2, -7, 24, 25, 0}));
  EXPECT_EQ(squares(1), (std::vector<int>{0, 32767, 0, 1, -4, 12, 12, 0})) << "-3.5 goes to the even -4";
  EXPECT_EQ(squares(40), (std::vector<int>(8, 0)));
  EXPECT_EQ(squares(-20), (std::vector<int>{0, 32767, 0, 32767, -32768, 32767, 32767, 0}));
}

TEST_F(SquareKernels, ScaledIntegerKindsFollowTheRuleForEveryElement) {
  std::vector<uint8_t> u8(256), r8(256);
  std::vector<int16_t> s16(65536), rs16(65536);
  std::vector<uint16_t> u16(65536), ru16(65536);
  for (int i = 0; i < 65536; ++i) {
    if (i < 256) u8[i] = static_cast<uint8_t>(i);
    s16[i] = static_cast<int16_t>(i - 32768);
    u16[i] = static_cast<uint16_t>(i);
  }
  std::mt19937 random(37);
  std::vector<ComplexS16> c(2000), rc(2000);
  for (ComplexS16& v : c) v = {static_cast<int16_t>(random()), static_cast<int16_t>(random())};
  for (int32_t s : {INT32_MIN, -17, -16, -8, -7, -1, 0, 1, 3, 4, 10, 16, 17, 19, 31, 32, 33}) {
    SCOPED_TRACE(s);
    VecSqrU8ScaledKernel(u8.data(), r8.data(), 256, s);
    VecSqrS16ScaledKernel(s16.data(), rs16.data(), 65536, s);
    VecSqrU16ScaledKernel(u16.data(), ru16.data(), 65536, s);
    VecSqrSC16ScaledKernel(c.data(), rc.data(), 2000, s);
    int wrong = 0;
    for (int i = 0; i < 65536; ++i) {
      const int64_t x = s16[i], y = u16[i];
      wrong += rs16[i] != RuleSquare(x * x, s, 0, 32767);
      wrong += ru16[i] != RuleSquare(y * y, s, 0, 65535);
      if (i < 256) wrong += r8[i] != RuleSquare(y * y, s, 0, 255);
    }
    for (int i = 0; i < 2000; ++i) {
      const int64_t re = c[i].re, im = c[i].im;
      wrong += rc[i].re != RuleSquare(re * re - im * im, s, -32768, 32767);
      wrong += rc[i].im != RuleSquare(2 * re * im, s, -32768, 32767);
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
