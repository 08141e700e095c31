// The half-precision and the scaled float-to-integer conversion kernels:
// exhaustive sweeps of the 16-bit formats, references for every rounding
// family, the documented edge values, and the MXCSR the caller gets back.
#include <xmmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "primitives/unreached/conversion_kernels/ConvKernels.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/ConvKernelsTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace conv_test;
using unreached_test::Bits;
using unreached_test::F32;

class ConvFloatKernels : public unreached_test::LevelKernelTest {};

template <typename S, typename D, typename... Extra>
std::array<Call, 3> Bind(void (*l1)(const S*, D*, int32_t, Extra...), void (*l2)(const S*, D*, int32_t, Extra...),
                         void (*l3)(const S*, D*, int32_t, Extra...), Extra... extra) {
  auto bind = [extra...](void (*f)(const S*, D*, int32_t, Extra...)) {
    return Call([f, extra...](const void* s, void* d, int32_t n) {
      f(static_cast<const S*>(s), static_cast<D*>(d), n, extra...);
    });
  };
  return {bind(l1), bind(l2), bind(l3)};
}

template <typename S, typename D, typename Rule>
void CheckRule(const std::array<Call, 3>& levels, const std::vector<S>& input, Rule rule, bool shortRuns) {
  std::vector<D> expected;
  for (const S& v : input) expected.push_back(rule(v));
  CheckLevels(levels, {sizeof(S), sizeof(D)}, BytesOf(input), BytesOf(expected), shortRuns);
}

// ---------------------------------------------------------------------------
// Half precision

std::vector<uint16_t> EveryHalf() {
  std::vector<uint16_t> v(65536);
  for (uint32_t h = 0; h < 65536; ++h) v[h] = static_cast<uint16_t>(h);
  return v;
}

bool HalfIsNaN(uint16_t h) { return (h & 0x7FFF) > 0x7C00; }

long double HalfValue(uint16_t h) {
  const int e = (h >> 10) & 31, f = h & 1023;
  const long double sign = (h & 0x8000) ? -1.0L : 1.0L;
  if (e == 31) return sign * std::numeric_limits<long double>::infinity();
  return sign * (e == 0 ? std::ldexp(static_cast<long double>(f), -24) : std::ldexp(1024.0L + f, e - 25));
}

// The bits of a finite non-negative half value v (a multiple of 2^-24 below
// 65536, or 65536 itself for infinity).
uint16_t HalfBits(long double v) {
  if (v >= 65536.0L) return 0x7C00;
  if (v < std::ldexp(1.0L, -14)) return static_cast<uint16_t>(v * std::ldexp(1.0L, 24));
  const int e = std::ilogb(v);
  return static_cast<uint16_t>((e + 15) << 10 | static_cast<int>(std::ldexp(v, 10 - e) - 1024));
}

// |v| to the half grid: 2^-24 below 2^-14, else 11 significant bits.
long double ToHalfGrid(long double magnitude, bool nearest) {
  const int e = magnitude < std::ldexp(1.0L, -14) ? -14 : std::ilogb(magnitude);
  const long double units = std::ldexp(magnitude, 10 - e);
  return std::ldexp(nearest ? std::nearbyint(units) : std::trunc(units), e - 10);
}

TEST_F(ConvFloatKernels, HalfToFloatIsExactForEveryHalf) {
  primtest::MxcsrScope mxcsr;
  CheckRule<uint16_t, float>(
      Bind(ConvF16ToF32L1Kernel, ConvF16ToF32L2Kernel, ConvF16ToF32L3Kernel), EveryHalf(),
      [](uint16_t h) {
        if (!HalfIsNaN(h)) return static_cast<float>(HalfValue(h));
        return F32((h & 0x8000u) << 16 | 0x7FC00000u | (h & 0x3FFu) << 13);
      },
      false);
  struct Row {
    uint16_t h;
    uint32_t bits;
  };
  for (const Row row : {Row{0x0001, 0x33800000}, Row{0x8000, 0x80000000}, Row{0x7C00, 0x7F800000},
                        Row{0xFC00, 0xFF800000}, Row{0x7E00, 0x7FC00000}, Row{0x7D00, 0x7FE00000}}) {
    float f;
    ConvF16ToF32L2Kernel(&row.h, &f, 1);
    EXPECT_EQ(Bits(f), row.bits) << std::hex << row.h;
  }
}

TEST_F(ConvFloatKernels, SixteenBitIntegersToHalf) {
  primtest::MxcsrScope mxcsr;
  std::vector<int16_t> every(65536);
  for (int32_t i = 0; i < 65536; ++i) every[i] = static_cast<int16_t>(i - 32768);
  for (int32_t roundFlag : {0, 1}) {
    CheckRule<int16_t, uint16_t>(
        Bind(ConvS16ToF16L1KernelZeroOrEven, ConvS16ToF16L2KernelZeroOrEven, ConvS16ToF16L3KernelZeroOrEven, roundFlag),
        every,
        [roundFlag](int16_t i) {
          const uint16_t sign = i < 0 ? 0x8000 : 0;
          return static_cast<uint16_t>(sign | HalfBits(ToHalfGrid(std::abs(static_cast<long double>(i)), roundFlag)));
        },
        false);
  }
  struct Row {
    int16_t i;
    uint16_t nearest, truncated;
  };
  for (const Row row : {Row{4095, 0x6C00, 0x6BFF}, Row{32767, 0x7800, 0x77FF}, Row{-1, 0xBC00, 0xBC00},
                        Row{-32768, 0xF800, 0xF800}, Row{0, 0x0000, 0x0000}}) {
    uint16_t h[2];
    ConvS16ToF16L1KernelZeroOrEven(&row.i, h, 1, 1);
    ConvS16ToF16L3KernelZeroOrEven(&row.i, h + 1, 1, 0);
    EXPECT_EQ(h[0], row.nearest) << row.i;
    EXPECT_EQ(h[1], row.truncated) << row.i;
  }
}

TEST_F(ConvFloatKernels, HalfToSixteenBitIntegersScaled) {
  primtest::MxcsrScope mxcsr;
  for (int32_t scaleExp : {-13, -3, 0, 1, 2, 16, 17, 30}) {
    for (int32_t roundFlag : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "scaleExp " << scaleExp << ", roundFlag " << roundFlag);
      CheckRule<uint16_t, int16_t>(
          Bind(ConvF16ToS16ScaledL1KernelZeroOrEven, ConvF16ToS16ScaledL2KernelZeroOrEven,
               ConvF16ToS16ScaledL3KernelZeroOrEven, roundFlag, scaleExp),
          EveryHalf(),
          [&](uint16_t h) -> int16_t {
            if (HalfIsNaN(h)) return 0;
            const long double v = std::ldexp(HalfValue(h), -scaleExp);
            const long double r = roundFlag ? std::nearbyint(v) : std::trunc(v);
            return static_cast<int16_t>(std::clamp(r, -32768.0L, 32767.0L));
          },
          scaleExp == 2);
    }
  }
  struct Row {
    uint16_t h;
    int32_t scaleExp;
    int16_t nearest, truncated;
  };
  const Row rows[] = {{0x7E00, 0, 0, 0},         {0x7C00, 30, 32767, 32767}, {0xFC00, 17, -32768, -32768},
                      {0x7BFF, 0, 32767, 32767}, {0x7BFF, 2, 16376, 16376},  {0x3C00, -3, 8, 8},
                      {0x3800, 0, 0, 0},         {0x3E00, 0, 2, 1},          {0xBE00, 0, -2, -1},
                      {0x7BFF, 16, 1, 0},        {0x7BFF, 17, 0, 0}};
  for (const Row& row : rows) {
    int16_t y[2];
    ConvF16ToS16ScaledL1KernelZeroOrEven(&row.h, y, 1, 1, row.scaleExp);
    ConvF16ToS16ScaledL2KernelZeroOrEven(&row.h, y + 1, 1, 0, row.scaleExp);
    EXPECT_EQ(y[0], row.nearest) << std::hex << row.h << std::dec << " scaleExp " << row.scaleExp;
    EXPECT_EQ(y[1], row.truncated) << std::hex << row.h << std::dec << " scaleExp " << row.scaleExp;
  }
}

// Every half, the midpoints between neighbours and the floats next to them,
// specials and the subnormal corners.
std::vector<float> FloatsAroundHalves() {
  std::vector<float> v;
  for (uint32_t h = 0; h < 0x7C00; ++h) {
    const float value = static_cast<float>(HalfValue(static_cast<uint16_t>(h)));
    const float mid =
        static_cast<float>((HalfValue(static_cast<uint16_t>(h)) + HalfValue(static_cast<uint16_t>(h + 1))) / 2);
    for (float f : {value, mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1e30f)}) {
      v.push_back(f);
      v.push_back(-f);
    }
  }
  for (float f : {65504.0f, 65519.0f, 65520.0f, 65535.0f, 65536.0f, 1e10f, std::numeric_limits<float>::infinity(),
                  std::ldexp(1.0f, -25), std::ldexp(1.0f, -25) + std::ldexp(1.0f, -38),
                  std::ldexp(1.0f, -24) - std::ldexp(1.0f, -38), std::ldexp(1.0f, -24) - std::ldexp(1.0f, -37),
                  std::ldexp(1.0f, -149), FLT_MIN, FLT_MAX, F32(0x7FC00000), F32(0x7F800001), F32(0x7FFFFFFF)}) {
    v.push_back(f);
    v.push_back(-f);
  }
  return v;
}

uint16_t ExpectedF32ToHalf(float x, bool nearest) {
  const uint32_t bits = Bits(x);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
  if (std::isnan(x)) return sign | (nearest ? 0x7FFF : (((bits | 0x00400000u) >> 13) & 0x7FFF));
  const long double a = std::fabs(static_cast<long double>(x));
  if (a >= (nearest ? 65520.0L : 65536.0L)) return sign | 0x7C00;
  // Below 2^-14 the magnitude first goes to a multiple of 2^-37 (the
  // single-precision denormal grid of the rebiased product).
  const long double m = a < std::ldexp(1.0L, -14) ? std::ldexp(std::nearbyint(std::ldexp(a, 37)), -37) : a;
  return sign | HalfBits(ToHalfGrid(m, nearest));
}

TEST_F(ConvFloatKernels, FloatToHalfInBothModes) {
  primtest::MxcsrScope mxcsr;
  const std::vector<float> input = FloatsAroundHalves();
  for (int32_t roundFlag : {0, 1}) {
    SCOPED_TRACE(roundFlag);
    CheckRule<float, uint16_t>(
        Bind(ConvF32ToF16L1KernelZeroOrEven, ConvF32ToF16L2KernelZeroOrEven, ConvF32ToF16L3KernelZeroOrEven, roundFlag),
        input, [roundFlag](float x) { return ExpectedF32ToHalf(x, roundFlag != 0); }, false);
    CheckRule<float, uint16_t>(
        Bind(ConvF32ToF16L1KernelZeroOrEven, ConvF32ToF16L2KernelZeroOrEven, ConvF32ToF16L3KernelZeroOrEven, roundFlag),
        std::vector<float>(input.begin() + 2000, input.begin() + 2200),
        [roundFlag](float x) { return ExpectedF32ToHalf(x, roundFlag != 0); }, true);
  }
  struct Row {
    float x;
    uint16_t nearest, truncated;
  };
  const Row rows[] = {{65504.0f, 0x7BFF, 0x7BFF},
                      {65519.0f, 0x7BFF, 0x7BFF},
                      {65520.0f, 0x7C00, 0x7BFF},
                      {65535.0f, 0x7C00, 0x7BFF},
                      {65536.0f, 0x7C00, 0x7C00},
                      {1e10f, 0x7C00, 0x7C00},
                      {-0.0f, 0x8000, 0x8000},
                      {-2.0f, 0xC000, 0xC000},
                      {std::ldexp(1.0f, -24), 0x0001, 0x0001},
                      {std::ldexp(1.0f, -25), 0x0000, 0x0000},
                      {F32(0x7FC00000), 0x7FFF, 0x7E00},
                      {std::ldexp(1.0f, -25) + std::ldexp(1.0f, -38), 0x0000, 0x0000},
                      {std::ldexp(1.0f, -24) - std::ldexp(1.0f, -38), 0x0001, 0x0001},
                      {std::ldexp(1.0f, -24) - std::ldexp(1.0f, -37), 0x0001, 0x0000}};
  for (const Row& row : rows) {
    uint16_t h[2];
    ConvF32ToF16L3KernelZeroOrEven(&row.x, h, 1, 1);
    ConvF32ToF16L1KernelZeroOrEven(&row.x, h + 1, 1, 0);
    EXPECT_EQ(h[0], row.nearest) << row.x;
    EXPECT_EQ(h[1], row.truncated) << row.x;
  }
  // Flush-to-zero takes the half subnormals with it.
  primtest::MxcsrScope flush(primtest::kDefaultMxcsr | 0x8000);
  const float tiny = -std::ldexp(1.0f, -20);
  uint16_t h;
  ConvF32ToF16L2KernelZeroOrEven(&tiny, &h, 1, 1);
  EXPECT_EQ(h, 0x8000);
}

// ---------------------------------------------------------------------------
// Scaled float to integers

enum class Family { TowardZero, NearestEven, Away };

template <typename D>
D ExpectedFloatToInt(float x, int32_t scaleExp, Family family) {
  const float v = scaleExp != 0 ? x * std::ldexp(1.0f, -scaleExp) : x;
  constexpr bool kU16 = std::is_same_v<D, uint16_t>;
  const long double lo = std::numeric_limits<D>::min(), hi = std::numeric_limits<D>::max();
  if (std::isnan(v)) return family == Family::Away && !kU16 ? static_cast<D>(hi) : D{0};
  const float clamped = kU16 ? std::max(v, 0.0f) : std::min(v, static_cast<float>(hi));
  long double r;
  if (family == Family::Away) {
    const float half =
        kU16 || std::is_same_v<D, uint8_t> ? clamped + 0.5f : std::copysign(std::fabs(clamped) + 0.5f, clamped);
    r = std::trunc(static_cast<long double>(half));
  } else {
    r = family == Family::NearestEven ? std::nearbyint(static_cast<long double>(clamped))
                                      : std::trunc(static_cast<long double>(clamped));
  }
  return static_cast<D>(std::clamp(r, lo, hi));
}

int32_t ExpectedDoubleToInt(double x, int32_t scaleExp, Family family) {
  const double v = scaleExp != 0 ? x * std::ldexp(1.0, -scaleExp) : x;
  if (std::isnan(v)) return family == Family::Away ? INT32_MAX : 0;
  const double c = std::min(v, 2147483647.0);
  long double r;
  if (family == Family::Away)
    r = std::trunc(static_cast<long double>(std::copysign(std::fabs(c) + 0.5, c)));
  else
    r = family == Family::NearestEven ? std::nearbyint(static_cast<long double>(c))
                                      : std::trunc(static_cast<long double>(c));
  return static_cast<int32_t>(std::clamp(r, -2147483648.0L, 2147483647.0L));
}

std::vector<float> ScaledFloatInputs() {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v = {0.5f,   -0.5f,  1.5f,    2.5f,          -2.5f,         3.5f,  2.7f,        -2.7f,
                          126.6f, 127.5f, -128.5f, 254.5f,        255.5f,        -0.7f, 65534.5f,    65535.5f,
                          3e9f,   -1e10f, inf,     -inf,          nan,           -nan,  0.49999997f, -0.49999997f,
                          0.0f,   -0.0f,  1e-40f,  2147483520.0f, -2147483648.0f};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> wide(-70000.0f, 70000.0f), narrow(-300.0f, 300.0f);
  for (int i = 0; i < 150; ++i) {
    v.push_back(wide(rng));
    v.push_back(narrow(rng));
    v.push_back(std::round(narrow(rng)) + 0.5f);
  }
  return v;
}

template <typename D>
void CheckFloatFamily(const std::array<Call, 3>& levelsZero, const std::array<Call, 3>& levelsEven,
                      const std::array<Call, 3>& levelsAway, int32_t scaleExp, bool shortRuns) {
  const std::vector<float> input = ScaledFloatInputs();
  for (auto [family, levels] : {std::pair{Family::TowardZero, &levelsZero}, std::pair{Family::NearestEven, &levelsEven},
                                std::pair{Family::Away, &levelsAway}}) {
    SCOPED_TRACE(static_cast<int>(family));
    CheckRule<float, D>(
        *levels, input, [&](float x) { return ExpectedFloatToInt<D>(x, scaleExp, family); }, shortRuns);
  }
}

TEST_F(ConvFloatKernels, ScaledFloatToIntegersInEveryFamily) {
  primtest::MxcsrScope mxcsr;
  for (int32_t s : {0, 1, 2, -7, 20}) {
    SCOPED_TRACE(testing::Message() << "scaleExp " << s);
    const bool shortRuns = s == 2;
    CheckFloatFamily<int8_t>(
        Bind(ConvF32ToS8ScaledL1KernelZeroOrEven, ConvF32ToS8ScaledL2KernelZeroOrEven,
             ConvF32ToS8ScaledL3KernelZeroOrEven, 0, s),
        Bind(ConvF32ToS8ScaledL1KernelZeroOrEven, ConvF32ToS8ScaledL2KernelZeroOrEven,
             ConvF32ToS8ScaledL3KernelZeroOrEven, 1, s),
        Bind(ConvF32ToS8ScaledL1KernelAway, ConvF32ToS8ScaledL2KernelAway, ConvF32ToS8ScaledL3KernelAway, s), s,
        shortRuns);
    CheckFloatFamily<uint8_t>(
        Bind(ConvF32ToU8ScaledL1KernelZeroOrEven, ConvF32ToU8ScaledL2KernelZeroOrEven,
             ConvF32ToU8ScaledL3KernelZeroOrEven, 0, s),
        Bind(ConvF32ToU8ScaledL1KernelZeroOrEven, ConvF32ToU8ScaledL2KernelZeroOrEven,
             ConvF32ToU8ScaledL3KernelZeroOrEven, 1, s),
        Bind(ConvF32ToU8ScaledL1KernelAway, ConvF32ToU8ScaledL2KernelAway, ConvF32ToU8ScaledL3KernelAway, s), s,
        shortRuns);
    CheckFloatFamily<uint16_t>(
        Bind(ConvF32ToU16ScaledL1KernelZeroOrEven, ConvF32ToU16ScaledL2KernelZeroOrEven,
             ConvF32ToU16ScaledL3KernelZeroOrEven, 0, s),
        Bind(ConvF32ToU16ScaledL1KernelZeroOrEven, ConvF32ToU16ScaledL2KernelZeroOrEven,
             ConvF32ToU16ScaledL3KernelZeroOrEven, 1, s),
        Bind(ConvF32ToU16ScaledL1KernelAway, ConvF32ToU16ScaledL2KernelAway, ConvF32ToU16ScaledL3KernelAway, s), s,
        shortRuns);
    std::vector<double> doubles = {2147483647.4,
                                   -2147483648.7,
                                   2147483646.5,
                                   -2147483647.5,
                                   1e300,
                                   -1e300,
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   -std::numeric_limits<double>::quiet_NaN(),
                                   2.5,
                                   -2.5,
                                   3.5,
                                   0.5,
                                   -0.5};
    for (float f : ScaledFloatInputs()) doubles.push_back(static_cast<double>(f) * 1000.25);
    for (Family family : {Family::TowardZero, Family::NearestEven, Family::Away}) {
      const std::array<Call, 3> levels =
          family == Family::Away
              ? Bind(ConvF64ToS32ScaledL1KernelAway, ConvF64ToS32ScaledL2KernelAway, ConvF64ToS32ScaledL3KernelAway, s)
              : Bind(ConvF64ToS32ScaledL1KernelZeroOrEven, ConvF64ToS32ScaledL2KernelZeroOrEven,
                     ConvF64ToS32ScaledL3KernelZeroOrEven, family == Family::NearestEven ? 1 : 0, s);
      CheckRule<double, int32_t>(
          levels, doubles, [&](double x) { return ExpectedDoubleToInt(x, s, family); }, shortRuns);
    }
  }
  // The documented corners, each at a glance.
  int8_t s8;
  uint8_t u8;
  uint16_t u16;
  int32_t s32;
  const float one = 1.0f, ten = 10.0f, five = 5.0f;
  ConvF32ToS8ScaledL1KernelZeroOrEven(&one, &s8, 1, 1, -7);
  ConvF32ToU8ScaledL1KernelZeroOrEven(&one, &u8, 1, 1, -7);
  EXPECT_EQ(s8, 127);
  EXPECT_EQ(u8, 128);
  ConvF32ToS8ScaledL2KernelZeroOrEven(&ten, &s8, 1, 1, 2);
  EXPECT_EQ(s8, 2);
  ConvF32ToU16ScaledL3KernelAway(&five, &u16, 1, 1);
  EXPECT_EQ(u16, 3);
  const double big = 2147483647.4;
  ConvF64ToS32ScaledL1KernelZeroOrEven(&big, &s32, 1, 1, 0);
  EXPECT_EQ(s32, 2147483647);
}

// The nearest-even family selects its rounding for the call and gives the
// caller's rounding field, invalid flag and control bits back; the away
// family adds its half under the caller's rounding.
TEST_F(ConvFloatKernels, CallerMxcsrComesBack) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr uint32_t kInvalid = 0x1, kTowardZero = 0x6000, kDaz = 0x40;
  const float ties[4] = {2.5f, 3.5f, nan, -2.5f};
  int8_t out[4];
  for (uint32_t entry : {primtest::kDefaultMxcsr | kTowardZero, primtest::kDefaultMxcsr | kTowardZero | kDaz,
                         primtest::kDefaultMxcsr | kTowardZero | kInvalid}) {
    SCOPED_TRACE(testing::Message() << std::hex << entry);
    primtest::MxcsrScope scope(entry);
    ConvF32ToS8ScaledL2KernelZeroOrEven(ties, out, 4, 1, 0);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{2, 4, 0, -2}));
    const uint32_t exit = _mm_getcsr();
    EXPECT_EQ(exit & 0xFFC0, entry & 0xFFC0) << "rounding field and control bits";
    EXPECT_EQ(exit & kInvalid, entry & kInvalid);
  }
  {
    // Truncation never loads the register unless the invalid flag changed.
    primtest::MxcsrScope scope(primtest::kDefaultMxcsr);
    const float clean[2] = {2.7f, -2.7f};
    ConvF32ToU8ScaledL1KernelZeroOrEven(clean, reinterpret_cast<uint8_t*>(out), 2, 0, 0);
    EXPECT_EQ(static_cast<uint8_t>(out[0]), 2);
    EXPECT_EQ(_mm_getcsr() & kInvalid, 0u);
  }
  for (uint32_t rounding : {0u, kTowardZero}) {
    primtest::MxcsrScope scope(primtest::kDefaultMxcsr | rounding);
    const float almostHalf = 0.49999997f;
    uint8_t u8;
    uint16_t u16;
    ConvF32ToS8ScaledL3KernelAway(&almostHalf, out, 1, 0);
    ConvF32ToU8ScaledL3KernelAway(&almostHalf, &u8, 1, 0);
    ConvF32ToU16ScaledL3KernelAway(&almostHalf, &u16, 1, 0);
    const int expected = rounding == 0 ? 1 : 0;
    EXPECT_EQ(out[0], expected);
    EXPECT_EQ(u8, expected);
    EXPECT_EQ(u16, expected);
    // -infinity reaches the conversion and raises the invalid flag; it
    // comes back clear.
    const float minusInf = -std::numeric_limits<float>::infinity();
    ConvF32ToS8ScaledL1KernelAway(&minusInf, out, 1, 0);
    EXPECT_EQ(out[0], -128);
    EXPECT_EQ(_mm_getcsr() & (kInvalid | 0x6000), rounding);
  }
}

}  // namespace
