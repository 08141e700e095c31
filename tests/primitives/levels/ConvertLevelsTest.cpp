// The level builds of the sample-format conversions and the interleave pair:
// the baseline's bytes for every alignment, length and scale, the edge values
// of each conversion, the rows where the levels part from the baseline by
// design, and the caller's MXCSR coming back whole.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "primitives/Convert.h"
#include "primitives/levels/ConvertLevels.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using leveltest::Arena;
using primtest::Bits;
using primtest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

enum class Input { kBytes, kFiniteFloats, kFloats, kFloatsWithNaN };

// Samples for the float-to-integer conversions: small and full-scale values,
// exact ties, values beyond every output range, signed zeros, denormals and
// infinities (and NaN where the case allows it).
std::vector<unsigned char> InputBytes(Input kind, size_t elements, size_t elementBytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> bytes(elements * elementBytes);
  if (kind == Input::kBytes) {
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    return bytes;
  }
  const float specials[] = {0.0f,      -0.0f,         1e-40f,         -1e-42f,    kInf,       -kInf,
                            0.5f,      -0.5f,         1.5f,           2.5f,       -2.5f,      32767.5f,
                            -32768.5f, 2147483520.0f, -2147483648.0f, 8388607.5f, -8388608.5f};
  std::uniform_real_distribution<float> unit(-2.0f, 2.0f);
  std::uniform_real_distribution<float> wide(-70000.0f, 70000.0f);
  std::uniform_real_distribution<float> huge(-5e9f, 5e9f);
  for (size_t i = 0; i < elements; ++i) {
    float v;
    switch (rng() % 8) {
      case 0:
        v = specials[rng() % std::size(specials)];
        if (kind == Input::kFiniteFloats && std::isinf(v)) v = 1e30f;
        break;
      case 1:
        v = std::floor(wide(rng)) + 0.5f;
        break;
      case 2:
        v = huge(rng);
        break;
      case 3:
        v = wide(rng);
        break;
      case 4:
        v = kind == Input::kFloatsWithNaN ? FromBits(rng() % 2 ? 0x7FC01234u : 0xFFA00001u) : unit(rng);
        break;
      default:
        v = unit(rng);
    }
    std::memcpy(bytes.data() + 4 * i, &v, 4);
  }
  return bytes;
}

struct Case {
  std::string name;
  size_t inBytes, outBytes;  // per element
  Input input;
  std::function<DspStatus(const void* in, void* out, int32_t len)> call;
};

template <typename In, typename Out, typename Fn>
Case Make(std::string name, Input input, Fn fn) {
  return {std::move(name), sizeof(In), sizeof(Out), input, [fn](const void* in, void* out, int32_t len) {
            return fn(static_cast<const In*>(in), static_cast<Out*>(out), len);
          }};
}

// Every conversion with scales and rounding modes on which the levels and
// the baseline agree (scale exponents within -127 .. 149 for the rounding
// conversions; no NaN where the levels map it otherwise).
std::vector<Case> AgreeingCases() {
  std::vector<Case> cases;
  for (int32_t s : {0, 15, 3, -112, 126, 200, -1000})
    cases.push_back(
        Make<int16_t, float>("ConvS16ToF32Scaled s=" + std::to_string(s), Input::kBytes,
                             [s](auto in, auto out, int32_t n) { return ConvS16ToF32Scaled(in, out, n, s); }));
  for (int32_t s : {0, 31, -96, 126, 300, -300})
    cases.push_back(
        Make<int32_t, float>("ConvS32ToF32Scaled s=" + std::to_string(s), Input::kBytes,
                             [s](auto in, auto out, int32_t n) { return ConvS32ToF32Scaled(in, out, n, s); }));
  cases.push_back(Make<int32_t, float>("ConvS32ToF32", Input::kBytes,
                                       [](auto in, auto out, int32_t n) { return ConvS32ToF32(in, out, n); }));
  cases.push_back({"ConvS24ToF32", 3, 4, Input::kBytes, [](const void* in, void* out, int32_t n) {
                     return ConvS24ToF32(static_cast<const uint8_t*>(in), static_cast<float*>(out), n);
                   }});
  // From 127 on the factor is 0, and an infinite sample times 0 is a NaN,
  // which the levels map otherwise.
  for (int32_t s : {0, -23, -8, 127, -127, 500}) {
    cases.push_back({"ConvF32ToS24Scaled s=" + std::to_string(s), 4, 3,
                     s >= 127 ? Input::kFiniteFloats : Input::kFloats, [s](const void* in, void* out, int32_t n) {
                       return ConvF32ToS24Scaled(static_cast<const float*>(in), static_cast<uint8_t*>(out), n, s);
                     }});
  }
  for (RoundMode mode : {ROUND_TOWARD_ZERO, ROUND_NEAREST_EVEN, ROUND_NEAREST_AWAY, 7, -1}) {
    const bool away = mode != ROUND_TOWARD_ZERO && mode != ROUND_NEAREST_EVEN;
    const Input input = away ? Input::kFloats : Input::kFloatsWithNaN;
    for (int32_t s : {0, -15, -31, 4, -127, 140}) {
      const std::string suffix = " mode " + std::to_string(mode) + " s=" + std::to_string(s);
      cases.push_back(Make<float, int16_t>(
          "ConvF32ToS16Scaled" + suffix, input,
          [mode, s](auto in, auto out, int32_t n) { return ConvF32ToS16Scaled(in, out, n, mode, s); }));
      cases.push_back(Make<float, int32_t>(
          "ConvF32ToS32Scaled" + suffix, input,
          [mode, s](auto in, auto out, int32_t n) { return ConvF32ToS32Scaled(in, out, n, mode, s); }));
    }
  }
  return cases;
}

struct Prepared {
  std::vector<unsigned char> in, expected;
  DspStatus status;
};

Prepared Prepare(const Case& c, int32_t len, unsigned seed) {
  Prepared p{InputBytes(c.input, static_cast<size_t>(len), c.inBytes, seed),
             std::vector<unsigned char>(static_cast<size_t>(len) * c.outBytes), DSP_STATUS_OK};
  // The baseline on 16-byte aligned copies.
  Arena in(p.in.size() + 16), out(p.expected.size() + 16);
  std::memcpy(in.At(0), p.in.data(), p.in.size());
  {
    testsupport::ScopedDispatchLevel baseline(0);
    p.status = c.call(in.At(0), out.At(0), len);
  }
  std::memcpy(p.expected.data(), out.At(0), p.expected.size());
  return p;
}

class ConvertLevelsTest : public leveltest::LevelTest {
 protected:
  // Level 1 of ConvS32ToF32Scaled is the baseline build, written for arrays
  // on their element boundaries.
  bool Runs(const Case& c, size_t inOffset, size_t outOffset) const {
    return level() != 1 || c.name.rfind("ConvS32ToF32Scaled", 0) != 0 || (inOffset % 4 == 0 && outOffset % 4 == 0);
  }

  void ExpectBaselineBytes(const Case& c, const Prepared& p, size_t inOffset, size_t outOffset) {
    const int32_t len = static_cast<int32_t>(p.expected.size() / c.outBytes);
    const size_t room = std::max(p.in.size(), p.expected.size()) + 16;
    if (m_In == nullptr || m_Room < room) {
      m_Room = room;
      m_In = std::make_unique<Arena>(room);
      m_Out = std::make_unique<Arena>(room);
    }
    m_Out->Reset();
    std::memcpy(m_In->At(inOffset), p.in.data(), p.in.size());
    ASSERT_EQ(c.call(m_In->At(inOffset), m_Out->At(outOffset), len), p.status) << c.name;
    ASSERT_EQ(0, std::memcmp(m_Out->At(outOffset), p.expected.data(), p.expected.size()))
        << c.name << " len " << len << " in +" << inOffset << " out +" << outOffset;
    ASSERT_TRUE(m_Out->UntouchedOutside(m_Out->At(outOffset), p.expected.size()))
        << c.name << " len " << len << " in +" << inOffset << " out +" << outOffset;
    ASSERT_EQ(0, std::memcmp(m_In->At(inOffset), p.in.data(), p.in.size())) << c.name << ": the source was written";
  }

 private:
  size_t m_Room = 0;
  std::unique_ptr<Arena> m_In, m_Out;
};
INSTANTIATE_LEVELS(ConvertLevelsTest);

// Every source and destination misalignment for short lengths (heads, block
// edges, tails), a few for long ones, for every case.
TEST_P(ConvertLevelsTest, ConversionsGiveTheBaselineBytesForEveryAlignmentAndLength) {
  for (const Case& c : AgreeingCases()) {
    for (int32_t len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15, 16, 17, 23, 24, 25, 33, 40, 64, 100, 1001}) {
      const Prepared p = Prepare(c, len, static_cast<unsigned>(len * 31 + c.name.size()));
      const bool full =
          len <= 40 && (c.name.find("s=0") != std::string::npos || c.name.find("s=") == std::string::npos);
      for (size_t inOffset = 0; inOffset < 16; ++inOffset) {
        for (size_t outOffset = 0; outOffset < 16; ++outOffset) {
          if (!full && (inOffset % 5 != 0 || outOffset % 3 != 0)) continue;
          if (!Runs(c, inOffset, outOffset)) continue;
          ExpectBaselineBytes(c, p, inOffset, outOffset);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

// The caller's rounding field, flush-to-zero and denormals-are-zero: the
// results stay the baseline's and the word comes back.
TEST_P(ConvertLevelsTest, ConversionsAgreeUnderEveryCallerMxcsrAndRestoreIt) {
  for (uint32_t csr : {0x1F80u | 0x6000u, 0x1F80u | 0x2000u, 0x1F80u | 0x4000u | 0x40u, 0x1F80u | 0x8000u | 0x40u}) {
    for (const Case& c : AgreeingCases()) {
      // Under flush-to-zero a scale factor below 2^-126 is 0 at the levels.
      if ((csr & 0x8040u) != 0 && c.name.find("s=140") != std::string::npos) continue;
      primtest::MxcsrScope scope(csr);
      const Prepared p = Prepare(c, 37, 77);
      for (size_t offset : {0u, 4u, 6u})
        if (Runs(c, offset, (offset * 3) % 16)) ExpectBaselineBytes(c, p, offset, (offset * 3) % 16);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(ConvertLevelsTest, IntegerToFloatEdgeValues) {
  const int16_t s16[3] = {-32768, 16384, 1};
  float f[8];
  ASSERT_EQ(ConvS16ToF32Scaled(s16, f, 3, 15), DSP_STATUS_OK);
  EXPECT_EQ(f[0], -1.0f);
  EXPECT_EQ(f[1], 0.5f);
  ASSERT_EQ(ConvS16ToF32Scaled(s16 + 2, f, 1, 200), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, -126)) << "200 behaves as 126";
  ASSERT_EQ(ConvS16ToF32Scaled(s16 + 2, f, 1, -1000), DSP_STATUS_OK);
  EXPECT_EQ(f[0], std::ldexp(1.0f, 112)) << "-1000 behaves as -112";

  int32_t s32[8] = {INT32_MIN, 1 << 30, -1, 0, 16777217, 7, 9, 11};
  ASSERT_EQ(ConvS32ToF32Scaled(s32, f, 1, 31), DSP_STATUS_OK);
  EXPECT_EQ(f[0], -1.0f);
  // In place (the element loop) converts first, then scales: 16777217 rounds
  // to 16777216 before the factor.
  float* inPlace = reinterpret_cast<float*>(s32);
  ASSERT_EQ(ConvS32ToF32Scaled(s32, inPlace, 8, 1), DSP_STATUS_OK);
  EXPECT_EQ(inPlace[0], -1073741824.0f);
  EXPECT_EQ(inPlace[4], 8388608.0f);
  EXPECT_EQ(inPlace[7], 5.5f);

  const uint8_t s24[9] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF};
  alignas(16) unsigned char out[4 * 3 + 2];
  float* shifted = reinterpret_cast<float*>(out + 2);  // off its 4-byte boundary
  ASSERT_EQ(ConvS24ToF32(s24, shifted, 3), DSP_STATUS_OK);
  float got[3];
  std::memcpy(got, shifted, sizeof(got));
  EXPECT_EQ(got[0], 8388607.0f);
  EXPECT_EQ(got[1], -8388608.0f);
  EXPECT_EQ(got[2], -1.0f);
}

int32_t Sample24(const uint8_t* p) { return (p[0] | p[1] << 8 | p[2] << 16) << 8 >> 8; }

TEST_P(ConvertLevelsTest, FloatTo24BitRoundsToNearestEvenAndSaturates) {
  struct Row {
    float x;
    int32_t scaleExp;
    int32_t expected;
  };
  const Row rows[] = {{0.5f, 0, 0},         {1.5f, 0, 2},           {2.5f, 0, 2},          {-2.5f, 0, -2},
                      {1e9f, 0, 8388607},   {-1e9f, 0, -8388608},   {kInf, 0, 8388607},    {-kInf, 0, -8388608},
                      {1.0f, -23, 8388607}, {-1.0f, -23, -8388608}, {0.25f, -23, 2097152}, {3e38f, 127, 0},
                      {-3e38f, 127, 0},     {1.0f, 126, 0}};
  for (const Row& row : rows) {
    uint8_t out[3];
    ASSERT_EQ(ConvF32ToS24Scaled(&row.x, out, 1, row.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(Sample24(out), row.expected) << row.x << " s=" << row.scaleExp;
  }
  // A caller rounding toward zero still gets ties to even, and its MXCSR
  // back.
  primtest::MxcsrScope towardZero(0x1F80 | 0x6000);
  const float ties[2] = {2.5f, 3.5f};
  uint8_t out[6];
  ASSERT_EQ(ConvF32ToS24Scaled(ties, out, 2, 0), DSP_STATUS_OK);
  EXPECT_EQ(Sample24(out), 2);
  EXPECT_EQ(Sample24(out + 3), 4);
}

// The ninth-element rule: from an aligned source, nine samples write 27
// bytes and not one more (the sweep checks every other length and offset).
TEST_P(ConvertLevelsTest, FloatTo24BitWritesExactlyThreeBytesPerSample) {
  alignas(16) float src[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  uint8_t out[32];
  std::memset(out, 0xEE, sizeof(out));
  ASSERT_EQ(ConvF32ToS24Scaled(src, out, 9, 0), DSP_STATUS_OK);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Sample24(out + 3 * i), i + 1);
  for (size_t i = 27; i < sizeof(out); ++i) EXPECT_EQ(out[i], 0xEE) << i;
}

struct RoundRow {
  const char* name;
  float x;
  RoundMode mode;
  int32_t scaleExp;
  int32_t s16, s32;
};

TEST_P(ConvertLevelsTest, FloatToIntegerEdgeValuesInEveryMode) {
  const RoundRow rows[] = {
      {"even 0.5", 0.5f, ROUND_NEAREST_EVEN, 0, 0, 0},
      {"even -0.5", -0.5f, ROUND_NEAREST_EVEN, 0, 0, 0},
      {"even 1.5", 1.5f, ROUND_NEAREST_EVEN, 0, 2, 2},
      {"even 2.5", 2.5f, ROUND_NEAREST_EVEN, 0, 2, 2},
      {"even -2.5", -2.5f, ROUND_NEAREST_EVEN, 0, -2, -2},
      {"away 0.5", 0.5f, ROUND_NEAREST_AWAY, 0, 1, 1},
      {"away -0.5", -0.5f, ROUND_NEAREST_AWAY, 0, -1, -1},
      {"away 2.5", 2.5f, ROUND_NEAREST_AWAY, 0, 3, 3},
      {"away -2.5 (mode 7)", -2.5f, 7, 0, -3, -3},
      {"away -2.5 (mode -1)", -2.5f, -1, 0, -3, -3},
      {"zero 2.7", 2.7f, ROUND_TOWARD_ZERO, 0, 2, 2},
      {"zero -2.7", -2.7f, ROUND_TOWARD_ZERO, 0, -2, -2},
      {"driver 0.5", 0.5f, ROUND_TOWARD_ZERO, -15, 16384, 16384},
      {"driver 1.0", 1.0f, ROUND_TOWARD_ZERO, -15, 32767, 32768},
      {"driver -1.0", -1.0f, ROUND_TOWARD_ZERO, -15, -32768, -32768},
      {"driver32 0.5", 0.5f, ROUND_TOWARD_ZERO, -31, 32767, 1073741824},
      {"driver32 1.0", 1.0f, ROUND_TOWARD_ZERO, -31, 32767, 2147483647},
      {"driver32 -1.0", -1.0f, ROUND_TOWARD_ZERO, -31, -32768, INT32_MIN},
      {"32767.5 even", 32767.5f, ROUND_NEAREST_EVEN, 0, 32767, 32768},
      {"-32768.5 away", -32768.5f, ROUND_NEAREST_AWAY, 0, -32768, -32769},
      {"+inf zero", kInf, ROUND_TOWARD_ZERO, 0, 32767, INT32_MAX},
      {"-inf away", -kInf, ROUND_NEAREST_AWAY, 0, -32768, INT32_MIN},
      {"2147483520", 2147483520.0f, ROUND_NEAREST_EVEN, 0, 32767, 2147483520},
      {"2^31", 2147483648.0f, ROUND_TOWARD_ZERO, 0, 32767, INT32_MAX},
      {"-2^31", -2147483648.0f, ROUND_NEAREST_AWAY, 0, -32768, INT32_MIN},
      {"NaN zero", kNaN, ROUND_TOWARD_ZERO, 0, 0, 0},
      {"NaN even, scaled", -kNaN, ROUND_NEAREST_EVEN, -15, 0, 0},
      {"0.49999997 away (32-bit truncates its sum)", 0.49999997f, ROUND_NEAREST_AWAY, 0, 1, 0},
      {"-0.49999997 away", -0.49999997f, ROUND_NEAREST_AWAY, 0, -1, 0},
      {"odd 8388609 away", 8388609.0f, ROUND_NEAREST_AWAY, 0, 32767, 8388609},
  };
  for (const RoundRow& row : rows) {
    int16_t s16 = 0x5A5A;
    int32_t s32 = 0x5A5A5A5A;
    ASSERT_EQ(ConvF32ToS16Scaled(&row.x, &s16, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    ASSERT_EQ(ConvF32ToS32Scaled(&row.x, &s32, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(s16, row.s16) << row.name;
    EXPECT_EQ(s32, row.s32) << row.name;
  }
}

// The rows where the levels part from the baseline by design, each with
// both results.
TEST_P(ConvertLevelsTest, IntendedDifferencesFromTheBaseline) {
  struct Row {
    const char* name;
    float x;
    RoundMode mode;
    int32_t scaleExp;
    int32_t level16, level32, base16, base32;
  };
  const Row rows[] = {
      {"away NaN", kNaN, ROUND_NEAREST_AWAY, 0, 32767, INT32_MAX, 0, INT32_MIN},
      {"away -NaN", -kNaN, ROUND_NEAREST_AWAY, 0, 32767, INT32_MIN, 0, INT32_MIN},
      {"factor +inf (s <= -128): 0 x inf is a negative NaN", 0.0f, ROUND_TOWARD_ZERO, -128, 32767, INT32_MIN, 0, 0},
      {"factor +inf, even: the smallest denormal saturates", FromBits(0x80000001), ROUND_NEAREST_EVEN, -128, -32768,
       INT32_MIN, 0, 0},
      {"factor 0 (s >= 150): inf x 0 is a negative NaN", -kInf, ROUND_TOWARD_ZERO, 150, 32767, INT32_MIN, -32768,
       INT32_MIN},
      {"scaled 16-bit away adds its half in single precision", 0.99999994f, ROUND_NEAREST_AWAY, 1, 1, 0, 0, 0},
  };
  for (const Row& row : rows) {
    int16_t s16;
    int32_t s32;
    ASSERT_EQ(ConvF32ToS16Scaled(&row.x, &s16, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    ASSERT_EQ(ConvF32ToS32Scaled(&row.x, &s32, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(s16, row.level16) << row.name;
    EXPECT_EQ(s32, row.level32) << row.name;
    ASSERT_EQ(ConvF32ToS16ScaledL0(&row.x, &s16, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    ASSERT_EQ(ConvF32ToS32ScaledL0(&row.x, &s32, 1, row.mode, row.scaleExp), DSP_STATUS_OK);
    EXPECT_EQ(s16, row.base16) << row.name << " (baseline)";
    EXPECT_EQ(s32, row.base32) << row.name << " (baseline)";
  }
  uint8_t level[3], base[3];
  ASSERT_EQ(ConvF32ToS24Scaled(&kNaN, level, 1, 0), DSP_STATUS_OK);
  ASSERT_EQ(ConvF32ToS24ScaledL0(&kNaN, base, 1, 0), DSP_STATUS_OK);
  EXPECT_EQ(Sample24(level), -8388608) << "24-bit NaN at the levels";
  EXPECT_EQ(Sample24(base), 0) << "24-bit NaN in the baseline";
}

// Exponents far outside the float range form their factor in a bounded
// number of steps and saturate.
TEST_P(ConvertLevelsTest, ExtremeScaleExponentsFinishAndSaturate) {
  const float x[2] = {1.0f, -3.0f};
  int16_t s16[2];
  int32_t s32[2];
  ASSERT_EQ(ConvF32ToS16Scaled(x, s16, 2, ROUND_TOWARD_ZERO, INT32_MIN), DSP_STATUS_OK);
  EXPECT_EQ(s16[0], 32767);
  EXPECT_EQ(s16[1], -32768);
  ASSERT_EQ(ConvF32ToS32Scaled(x, s32, 2, ROUND_NEAREST_AWAY, INT32_MIN), DSP_STATUS_OK);
  EXPECT_EQ(s32[0], INT32_MAX);
  EXPECT_EQ(s32[1], INT32_MIN);
  ASSERT_EQ(ConvF32ToS32Scaled(x, s32, 2, ROUND_NEAREST_EVEN, INT32_MAX), DSP_STATUS_OK);
  EXPECT_EQ(s32[0], 0);
  EXPECT_EQ(s32[1], 0);
}

// Each kernel gives back the caller's rounding field and invalid flag;
// denormals-are-zero, which a kernel clears while it runs at another
// rounding field, comes back too.
TEST_P(ConvertLevelsTest, RoundingConversionsRestoreTheCallersMxcsr) {
  const float x[5] = {2.5f, kNaN, -3.5f, 1e10f, 0.5f};
  for (uint32_t csr : {0x1F80u, 0x1F80u | 0x6000u, 0x1F80u | 0x2000u | 0x40u, 0x1F80u | 0x6000u | 0x40u | 0x8000u}) {
    for (RoundMode mode : {ROUND_TOWARD_ZERO, ROUND_NEAREST_EVEN, ROUND_NEAREST_AWAY}) {
      _mm_setcsr(csr);
      int16_t s16[5];
      int32_t s32[5];
      ASSERT_EQ(ConvF32ToS16Scaled(x, s16, 5, mode, 0), DSP_STATUS_OK);
      EXPECT_EQ(_mm_getcsr() & 0xFFC1u, csr) << "16-bit mode " << mode << " csr " << std::hex << csr;
      ASSERT_EQ(ConvF32ToS32Scaled(x, s32, 5, mode, -1), DSP_STATUS_OK);
      EXPECT_EQ(_mm_getcsr() & 0xFFC1u, csr) << "32-bit mode " << mode << " csr " << std::hex << csr;
      if (mode == ROUND_NEAREST_EVEN) {
        EXPECT_EQ(s16[0], 2);
        EXPECT_EQ(s16[1], 0);
        EXPECT_EQ(s16[2], -4);
        EXPECT_EQ(s32[0], 5);
        EXPECT_EQ(s32[4], 1);
      }
    }
  }
  _mm_setcsr(primtest::kDefaultMxcsr);
}

// ---------------------------------------------------------------------------
// Interleave pair

TEST_P(ConvertLevelsTest, InterleavePairGivesTheBaselineWordsAndWarnings) {
  for (int32_t channels : {1, 2, 3, 5}) {
    for (int32_t len : {1, 2, 3, 4, 5, 7, 8, 9, 11, 16, 17, 64, 101}) {
      const size_t total = static_cast<size_t>(channels * len);
      std::vector<unsigned char> bytes = InputBytes(Input::kBytes, total, 4, static_cast<unsigned>(len));
      for (size_t offset : {0u, 4u, 8u, 1u, 6u}) {
        for (size_t channelOffset : {0u, 4u, 3u}) {
          // Channel c at (offset + c * channelOffset) past its own boundary.
          std::vector<std::unique_ptr<Arena>> channelArenas;
          std::vector<const float*> in;
          std::vector<float*> out;
          for (int32_t c = 0; c < channels; ++c) {
            channelArenas.push_back(std::make_unique<Arena>(4 * static_cast<size_t>(len) + 32));
            out.push_back(channelArenas.back()->As<float>((offset + c * channelOffset) % 16));
            in.push_back(out.back());
            for (int32_t i = 0; i < len; ++i)
              std::memcpy(out.back() + i, bytes.data() + 4 * (static_cast<size_t>(i) * channels + c), 4);
          }
          Arena interleaved(4 * total + 16), reference(4 * total + 16);
          float* dst = interleaved.As<float>((offset * 3) % 16);
          const DspStatus status = VecInterleaveF32(in.data(), channels, len, dst);
          EXPECT_EQ(0, std::memcmp(dst, bytes.data(), 4 * total)) << channels << "x" << len << " +" << offset;
          EXPECT_TRUE(interleaved.UntouchedOutside(dst, 4 * total));
          const bool aligned = std::all_of(in.begin(), in.end(),
                                           [](const float* p) { return reinterpret_cast<uintptr_t>(p) % 16 == 0; }) &&
                               reinterpret_cast<uintptr_t>(dst) % 16 == 0;
          EXPECT_EQ(status, aligned ? DSP_STATUS_OK : DSP_WARN_UNALIGNED);

          // And back: every channel gets its words.
          for (int32_t c = 0; c < channels; ++c) std::memset(out[static_cast<size_t>(c)], 0, 4 * size_t(len));
          EXPECT_EQ(VecDeinterleaveF32(dst, channels, len, out.data()), status);
          for (int32_t c = 0; c < channels; ++c) {
            for (int32_t i = 0; i < len; ++i)
              ASSERT_EQ(0, std::memcmp(out[static_cast<size_t>(c)] + i,
                                       bytes.data() + 4 * (static_cast<size_t>(i) * channels + c), 4));
            EXPECT_TRUE(channelArenas[static_cast<size_t>(c)]->UntouchedOutside(out[static_cast<size_t>(c)],
                                                                                4 * static_cast<size_t>(len)));
          }
        }
      }
    }
  }
}

TEST_P(ConvertLevelsTest, ArgumentChecksComeInOrderAndWriteNothing) {
  alignas(16) float a[8] = {}, b[8] = {}, d[16];
  std::memset(d, 0x5A, sizeof(d));
  const float* in[2] = {a, nullptr};
  float* out[2] = {b, nullptr};
  int16_t s16[4] = {};
  int32_t s32[4] = {};
  uint8_t s24[12] = {};
  const DspStatus kNull = DSP_STATUS_NULL_POINTER, kLength = DSP_STATUS_BAD_LENGTH;
  struct Row {
    const char* name;
    DspStatus got, expected;
  } rows[] = {
      {"S16 src", ConvS16ToF32Scaled(nullptr, d, 0, 15), kNull},
      {"S16 dst", ConvS16ToF32Scaled(s16, nullptr, 4, 15), kNull},
      {"S16 len", ConvS16ToF32Scaled(s16, d, 0, 15), kLength},
      {"S32 scaled src", ConvS32ToF32Scaled(nullptr, d, -1, 31), kNull},
      {"S32 scaled len", ConvS32ToF32Scaled(s32, d, 0, 31), kLength},
      {"S24 src", ConvS24ToF32(nullptr, d, 4), kNull},
      {"S24 len", ConvS24ToF32(s24, d, -4), kLength},
      {"S32 dst", ConvS32ToF32(s32, nullptr, 4), kNull},
      {"S32 len", ConvS32ToF32(s32, d, 0), kLength},
      {"to S24 dst", ConvF32ToS24Scaled(a, nullptr, 0, -23), kNull},
      {"to S24 len", ConvF32ToS24Scaled(a, s24, 0, -23), kLength},
      {"to S16 src", ConvF32ToS16Scaled(nullptr, s16, -1, 0, -15), kNull},
      {"to S16 len", ConvF32ToS16Scaled(a, s16, 0, 0, -15), kLength},
      {"to S32 dst", ConvF32ToS32Scaled(a, nullptr, 0, 1, -31), kNull},
      {"to S32 len", ConvF32ToS32Scaled(a, s32, -7, 1, -31), kLength},
      {"interleave channels 0 even with len 0", VecInterleaveF32(in, 0, 0, d), DSP_STATUS_BAD_CHANNEL_COUNT},
      {"interleave len before channel pointers", VecInterleaveF32(in, 2, 0, d), kLength},
      {"interleave null second channel", VecInterleaveF32(in, 2, 4, d), kNull},
      {"deinterleave null second channel", VecDeinterleaveF32(a, 2, 4, out), kNull},
      {"deinterleave channels -1", VecDeinterleaveF32(a, -1, 4, out), DSP_STATUS_BAD_CHANNEL_COUNT},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.expected) << row.name;
  for (float x : d) EXPECT_EQ(Bits(x), 0x5A5A5A5Au);
  for (float x : b) EXPECT_EQ(x, 0.0f) << "the first channel was written";
  for (int16_t v : s16) EXPECT_EQ(v, 0);
  for (int32_t v : s32) EXPECT_EQ(v, 0);
  for (uint8_t v : s24) EXPECT_EQ(v, 0);
}

}  // namespace
