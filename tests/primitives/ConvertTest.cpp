#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/Convert.h"
#include "primitives/Vector.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/KernelTest.h"

namespace {

using primtest::Bits;
using primtest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kBelowHalf = 0.49999997f;  // the float just below 0.5

class ConvertTest : public primitives_test::BaselineTest {
 protected:
  primtest::MxcsrScope m_Mxcsr;
};

struct IntCase {
  const char* name;
  RoundMode mode;
  int32_t scaleExp;
  float input;
  int64_t expected;
};

TEST_F(ConvertTest, FloatTo16BitExactCases) {
  const IntCase cases[] = {
      {"full scale", ROUND_TOWARD_ZERO, -15, 1.0f, 32767},
      {"negative full scale", ROUND_TOWARD_ZERO, -15, -1.0f, -32768},
      {"truncates 32767.67", ROUND_TOWARD_ZERO, -15, 0.99999f, 32767},
      {"half step below zero", ROUND_TOWARD_ZERO, -15, -0.5f / 32768, 0},
      {"NaN", ROUND_TOWARD_ZERO, -15, kNaN, 0},
      {"+inf", ROUND_TOWARD_ZERO, -15, kInf, 32767},
      {"-inf", ROUND_TOWARD_ZERO, -15, -kInf, -32768},
      {"factor overflows: 0 x inf is NaN", ROUND_TOWARD_ZERO, -1100, 0.0f, 0},
      {"factor overflows", ROUND_TOWARD_ZERO, -1100, 1e-30f, 32767},
      {"factor underflows", ROUND_TOWARD_ZERO, 1100, 3e38f, 0},
      {"tie 2.5 to even", ROUND_NEAREST_EVEN, 0, 2.5f, 2},
      {"tie 3.5 to even", ROUND_NEAREST_EVEN, 0, 3.5f, 4},
      {"tie -2.5 to even", ROUND_NEAREST_EVEN, 0, -2.5f, -2},
      {"tie 0.5", ROUND_NEAREST_EVEN, 0, 0.5f, 0},
      {"tie -0.5", ROUND_NEAREST_EVEN, 0, -0.5f, 0},
      {"tie 32766.5", ROUND_NEAREST_EVEN, 0, 32766.5f, 32766},
      {"32767.4", ROUND_NEAREST_EVEN, 0, 32767.4f, 32767},
      {"32767.5 saturates, no wrap", ROUND_NEAREST_EVEN, 0, 32767.5f, 32767},
      {"32767.75 saturates", ROUND_NEAREST_EVEN, 0, 32767.75f, 32767},
      {"-32768.5 saturates", ROUND_NEAREST_EVEN, 0, -32768.5f, -32768},
      {"-1e6", ROUND_NEAREST_EVEN, 0, -1e6f, -32768},
      {"NaN nearest", ROUND_NEAREST_EVEN, 0, kNaN, 0},
      {"scaled tie 5 x 2^-1", ROUND_NEAREST_EVEN, 1, 5.0f, 2},
      {"away 2.5", ROUND_NEAREST_AWAY, 0, 2.5f, 3},
      {"away -2.5", ROUND_NEAREST_AWAY, 0, -2.5f, -3},
      {"any other mode is away", 7, 0, 2.5f, 3},
      {"negative mode is away", -1, 0, -1.5f, -2},
      {"away NaN", ROUND_NEAREST_AWAY, 0, kNaN, 0},
      {"away NaN scaled", ROUND_NEAREST_AWAY, -15, kNaN, 0},
      {"away saturates", ROUND_NEAREST_AWAY, 0, 40000.0f, 32767},
      {"away at MIN", ROUND_NEAREST_AWAY, 0, -32768.0f, -32768},
      // The unscaled path adds its half in single precision, where
      // 0.49999997 + 0.5 rounds to 1.0; the scaled path adds in double.
      {"single-precision half", ROUND_NEAREST_AWAY, 0, kBelowHalf, 1},
      {"double-precision half", ROUND_NEAREST_AWAY, -15, kBelowHalf / 32768, 0},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.name);
    int16_t out[2] = {0x5555, 0x5555};
    ASSERT_EQ(ConvF32ToS16Scaled(&c.input, out, 1, c.mode, c.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(out[0], c.expected);
    EXPECT_EQ(out[1], 0x5555) << "wrote past len";
  }
}

TEST_F(ConvertTest, FloatTo32BitExactCases) {
  const IntCase cases[] = {
      {"full scale", ROUND_TOWARD_ZERO, -31, 1.0f, INT32_MAX},
      {"negative full scale", ROUND_TOWARD_ZERO, -31, -1.0f, INT32_MIN},
      {"NaN", ROUND_TOWARD_ZERO, -31, kNaN, 0},
      {"half scale", ROUND_TOWARD_ZERO, -31, 0.5f, 1073741824},
      {"3e9", ROUND_TOWARD_ZERO, 0, 3e9f, INT32_MAX},
      {"-3e9", ROUND_TOWARD_ZERO, 0, -3e9f, INT32_MIN},
      {"largest below 2^31", ROUND_NEAREST_EVEN, 0, 2147483520.0f, 2147483520},
      {"2^31 saturates", ROUND_NEAREST_EVEN, 0, 2147483648.0f, INT32_MAX},
      {"-2^31 saturates", ROUND_NEAREST_EVEN, 0, -2147483648.0f, INT32_MIN},
      {"tie 2.5", ROUND_NEAREST_EVEN, 0, 2.5f, 2},
      {"tie -3.5", ROUND_NEAREST_EVEN, 0, -3.5f, -4},
      {"NaN nearest", ROUND_NEAREST_EVEN, -31, kNaN, 0},
      {"away 2.5", ROUND_NEAREST_AWAY, 0, 2.5f, 3},
      {"away in double even unscaled", ROUND_NEAREST_AWAY, 0, kBelowHalf, 0},
      {"away NaN is integer indefinite", ROUND_NEAREST_AWAY, 0, kNaN, INT32_MIN},
      {"away NaN scaled", ROUND_NEAREST_AWAY, -31, kNaN, INT32_MIN},
      {"away saturates", ROUND_NEAREST_AWAY, -31, 1.0f, INT32_MAX},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t out[2] = {0x5555, 0x5555};
    ASSERT_EQ(ConvF32ToS32Scaled(&c.input, out, 1, c.mode, c.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(out[0], c.expected);
    EXPECT_EQ(out[1], 0x5555);
  }
}

TEST_F(ConvertTest, FloatTo24BitPacksLittleEndianWithTiesToEven) {
  struct Case {
    const char* name;
    int32_t scaleExp;
    float input;
    uint8_t bytes[3];
  };
  const Case cases[] = {
      {"full scale", -23, 1.0f, {0xFF, 0xFF, 0x7F}},
      {"negative full scale", -23, -1.0f, {0x00, 0x00, 0x80}},
      {"half", -23, 0.5f, {0x00, 0x00, 0x40}},
      {"NaN", -23, kNaN, {0x00, 0x00, 0x00}},
      {"-inf", -23, -kInf, {0x00, 0x00, 0x80}},
      {"tie 2.5", 0, 2.5f, {0x02, 0x00, 0x00}},
      {"tie -2.5", 0, -2.5f, {0xFE, 0xFF, 0xFF}},
      {"tie below MAX", 0, 8388606.5f, {0xFE, 0xFF, 0x7F}},
      {"above MAX", 0, 8388607.5f, {0xFF, 0xFF, 0x7F}},
      {"below MIN", 0, -8388608.5f, {0x00, 0x00, 0x80}},
      {"exponent 127: factor +0.0", 127, 1.0f, {0, 0, 0}},
      {"exponent 127 on infinity", 127, kInf, {0, 0, 0}},
      {"exponent 200 clamps to 127", 200, 12345.0f, {0, 0, 0}},
      {"exponent -150 clamps to -127", -150, std::ldexp(1.0f, -127), {0x01, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(ConvF32ToS24Scaled(&c.input, out, 1, c.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(out[0], c.bytes[0]);
    EXPECT_EQ(out[1], c.bytes[1]);
    EXPECT_EQ(out[2], c.bytes[2]);
    EXPECT_EQ(out[3], 0xAA);
  }
}

TEST_F(ConvertTest, IntegerToFloatExactCases) {
  const int16_t s16[] = {-32768, 16384, 1};
  float f[3];
  ASSERT_EQ(ConvS16ToF32Scaled(s16, f, 3, 15), DSP_STATUS_OK);
  EXPECT_EQ(f[0], -1.0f);
  EXPECT_EQ(f[1], 0.5f);
  ASSERT_EQ(ConvS16ToF32Scaled(s16 + 2, f, 1, 200), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, -126)) << "200 behaves as 126";
  ASSERT_EQ(ConvS16ToF32Scaled(s16 + 2, f, 1, -200), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, 112)) << "-200 behaves as -112";
  ASSERT_EQ(ConvS16ToF32Scaled(s16, f, 1, 0), DSP_STATUS_OK);
  EXPECT_EQ(f[0], -32768.0f);

  const int32_t s32[] = {INT32_MIN, INT32_MAX, 16777217, 16777219, 1};
  ASSERT_EQ(ConvS32ToF32Scaled(s32, f, 2, 31), DSP_STATUS_OK);
  EXPECT_EQ(f[0], -1.0f);
  EXPECT_EQ(f[1], 1.0f) << "rounded to float before scaling";
  ASSERT_EQ(ConvS32ToF32Scaled(s32 + 4, f, 1, 300), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, -126));
  ASSERT_EQ(ConvS32ToF32Scaled(s32 + 4, f, 1, -300), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, 96));
  ASSERT_EQ(ConvS32ToF32(s32 + 2, f, 2), DSP_STATUS_OK);
  EXPECT_EQ(f[0], 16777216.0f) << "ties to even";
  EXPECT_EQ(f[1], 16777220.0f);

  const uint8_t s24[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00};
  float g[4];
  ASSERT_EQ(ConvS24ToF32(s24, g, 4), DSP_STATUS_OK);
  EXPECT_EQ(std::vector<float>(g, g + 4), (std::vector<float>{-8388608.0f, -1.0f, 8388607.0f, 1.0f}));
}

// Reference rounding in double, written independently of the library.
int64_t ReferenceFloatToInt(float x, RoundMode mode, int32_t scaleExp, bool wide) {
  const int64_t lo = wide ? INT32_MIN : -32768;
  const int64_t hi = wide ? INT32_MAX : 32767;
  const double v = static_cast<double>(x) * std::ldexp(1.0, -scaleExp);
  const bool away = mode != ROUND_TOWARD_ZERO && mode != ROUND_NEAREST_EVEN;
  if (std::isnan(v)) return away && wide ? INT32_MIN : 0;
  double r;
  if (mode == ROUND_TOWARD_ZERO)
    r = std::trunc(v);
  else if (mode == ROUND_NEAREST_EVEN)
    r = std::nearbyint(v);  // the default environment rounds ties to even
  else
    r = std::round(v);
  if (r > static_cast<double>(hi)) return hi;
  if (r < static_cast<double>(lo)) return lo;
  return static_cast<int64_t>(r);
}

std::vector<float> SweepInputs(int32_t scaleExp) {
  std::mt19937 rng(static_cast<uint32_t>(scaleExp + 1000));
  std::uniform_real_distribution<float> unit(-1.2f, 1.2f);
  const float grow = std::ldexp(1.0f, scaleExp);  // full scale in the float domain
  std::vector<float> in;
  for (int i = 0; i < 4000; ++i) in.push_back(unit(rng) * grow * 40000.0f);
  for (int i = 0; i < 2000; ++i) in.push_back(unit(rng) * grow * 3e9f);
  // Exact halves and their neighbours, where the modes part.
  for (int i = -3000; i < 3000; i += 7) {
    const float half = (static_cast<float>(i) + 0.5f) * grow;
    in.push_back(half);
    in.push_back(std::nextafter(half, kInf));
    in.push_back(std::nextafter(half, -kInf));
  }
  for (float edge : {32767.0f, 32767.5f, 32768.0f, -32768.0f, -32768.5f, -32769.0f, 2147483520.0f, 2147483648.0f,
                     -2147483648.0f, -2147483904.0f})
    in.push_back(edge * grow);
  for (float special : {0.0f, -0.0f, kInf, -kInf, kNaN, 1e-40f, -1e-45f}) in.push_back(special);
  return in;
}

TEST_F(ConvertTest, FloatToIntegerAgreesWithDoubleReferenceOverASweep) {
  for (int32_t scaleExp : {0, -15, -31, -23, 1, 4, -40}) {
    const std::vector<float> in = SweepInputs(-scaleExp);
    const int32_t n = static_cast<int32_t>(in.size());
    for (RoundMode mode : {ROUND_TOWARD_ZERO, ROUND_NEAREST_EVEN, ROUND_NEAREST_AWAY}) {
      std::vector<int16_t> out16(in.size());
      std::vector<int32_t> out32(in.size());
      ASSERT_EQ(ConvF32ToS16Scaled(in.data(), out16.data(), n, mode, scaleExp), DSP_STATUS_OK);
      ASSERT_EQ(ConvF32ToS32Scaled(in.data(), out32.data(), n, mode, scaleExp), DSP_STATUS_OK);
      for (int32_t i = 0; i < n; ++i) {
        // Below 0.5 the unscaled 16-bit away path rounds its single-precision
        // sum (pinned in the exact cases); from 0.5 on the sum is exact.
        const bool singleSum = mode == ROUND_NEAREST_AWAY && scaleExp == 0 && std::fabs(in[i]) < 0.5f;
        if (!singleSum) {
          ASSERT_EQ(out16[i], ReferenceFloatToInt(in[i], mode, scaleExp, false))
              << "x=" << in[i] << " mode " << mode << " scale " << scaleExp;
        }
        ASSERT_EQ(out32[i], ReferenceFloatToInt(in[i], mode, scaleExp, true))
            << "x=" << in[i] << " mode " << mode << " scale " << scaleExp;
      }
    }
  }
}

TEST_F(ConvertTest, FloatTo24BitAgreesWithReferenceOverASweep) {
  for (int32_t scaleExp : {-23, 0, 3}) {
    const std::vector<float> in = SweepInputs(-scaleExp);
    std::vector<uint8_t> out(3 * in.size());
    ASSERT_EQ(ConvF32ToS24Scaled(in.data(), out.data(), static_cast<int32_t>(in.size()), scaleExp), DSP_STATUS_OK);
    for (size_t i = 0; i < in.size(); ++i) {
      const double v = static_cast<double>(in[i] * std::ldexp(1.0f, -scaleExp));
      const int64_t want =
          std::isnan(v) ? 0 : static_cast<int64_t>(std::fmax(-8388608.0, std::fmin(8388607.0, std::nearbyint(v))));
      const uint32_t got = out[3 * i] | (out[3 * i + 1] << 8) | (out[3 * i + 2] << 16);
      ASSERT_EQ(got, static_cast<uint32_t>(want) & 0xFFFFFF) << "x=" << in[i] << " scale " << scaleExp;
    }
  }
}

TEST_F(ConvertTest, IntegerRoundTripsAreIdentity) {
  // Every 16-bit value through the driver's scales, both float-to-int modes
  // that the signal path could use.
  std::vector<int16_t> all16(65536);
  for (int i = 0; i < 65536; ++i) all16[i] = static_cast<int16_t>(i - 32768);
  std::vector<float> f(65536);
  std::vector<int16_t> back16(65536);
  ASSERT_EQ(ConvS16ToF32Scaled(all16.data(), f.data(), 65536, 15), DSP_STATUS_OK);
  for (RoundMode mode : {ROUND_TOWARD_ZERO, ROUND_NEAREST_EVEN, ROUND_NEAREST_AWAY}) {
    ASSERT_EQ(ConvF32ToS16Scaled(f.data(), back16.data(), 65536, mode, -15), DSP_STATUS_OK);
    ASSERT_EQ(back16, all16) << "mode " << mode;
  }

  // Every 24-bit value as the capture and render paths carry it: unscaled to
  // float, divided by 2^23, and back with -23.
  constexpr int32_t kChunk = 1 << 16;
  std::vector<uint8_t> in(3 * kChunk), out(3 * kChunk);
  std::vector<float> g(kChunk);
  for (int32_t base = 0; base < (1 << 24); base += kChunk) {
    for (int32_t i = 0; i < kChunk; ++i) {
      const uint32_t v = static_cast<uint32_t>(base + i);
      in[3 * i] = static_cast<uint8_t>(v);
      in[3 * i + 1] = static_cast<uint8_t>(v >> 8);
      in[3 * i + 2] = static_cast<uint8_t>(v >> 16);
    }
    ASSERT_EQ(ConvS24ToF32(in.data(), g.data(), kChunk), DSP_STATUS_OK);
    ASSERT_EQ(VecDivConstF32InPlace(8388608.0f, g.data(), kChunk), DSP_STATUS_OK);
    ASSERT_EQ(ConvF32ToS24Scaled(g.data(), out.data(), kChunk, -23), DSP_STATUS_OK);
    ASSERT_EQ(out, in) << "chunk " << base;
  }
}

TEST_F(ConvertTest, InterleaveWarnsOnUnalignedBuffersButDoesTheWork) {
  alignas(16) float ch0[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  alignas(16) float ch1[8] = {10, 11, 12, 13, 14, 15, 16, 17};
  alignas(16) float ch2[8] = {20, 21, 22, 23, 24, 25, 26, 27};
  alignas(16) float dst[32];
  const float* channels[3] = {ch0, ch1, ch2};
  ASSERT_EQ(VecInterleaveF32(channels, 3, 8, dst), DSP_STATUS_OK);
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(dst[3 * i + c], 10.0f * c + i);

  // Interleaved buffer 8 bytes off a 16-byte boundary.
  std::fill(dst, dst + 32, -1.0f);
  ASSERT_EQ(VecInterleaveF32(channels, 2, 4, dst + 2), DSP_WARN_UNALIGNED);
  EXPECT_EQ(std::vector<float>(dst + 2, dst + 10), (std::vector<float>{0, 10, 1, 11, 2, 12, 3, 13}));
  // One channel buffer off the boundary.
  const float* shifted[2] = {ch0, ch1 + 1};
  ASSERT_EQ(VecInterleaveF32(shifted, 2, 2, dst), DSP_WARN_UNALIGNED);
  EXPECT_EQ(std::vector<float>(dst, dst + 4), (std::vector<float>{0, 11, 1, 12}));

  // Two channels, one frame.
  alignas(16) const float frame[2] = {5.0f, 6.0f};
  alignas(16) float left[4] = {}, right[4] = {};
  float* pair[2] = {left, right};
  ASSERT_EQ(VecDeinterleaveF32(frame, 2, 1, pair), DSP_STATUS_OK);
  EXPECT_EQ(left[0], 5.0f);
  EXPECT_EQ(right[0], 6.0f);
  EXPECT_EQ(left[1], 0.0f);
  float* unalignedPair[2] = {left, right + 1};
  ASSERT_EQ(VecDeinterleaveF32(frame, 2, 1, unalignedPair), DSP_WARN_UNALIGNED);
  EXPECT_EQ(right[1], 6.0f);

  ASSERT_EQ(VecInterleaveF32(channels, 3, 8, dst), DSP_STATUS_OK);
  alignas(16) float d0[8], d1[8], d2[8];
  float* aligned[3] = {d0, d1, d2};
  ASSERT_EQ(VecDeinterleaveF32(dst, 3, 8, aligned), DSP_STATUS_OK);
  EXPECT_EQ(std::memcmp(d0, ch0, sizeof(ch0)), 0);
  EXPECT_EQ(std::memcmp(d1, ch1, sizeof(ch1)), 0);
  EXPECT_EQ(std::memcmp(d2, ch2, sizeof(ch2)), 0);
}

}  // namespace
