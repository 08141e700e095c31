// The integer widening, 64-to-32-bit, double-precision and packed 24-bit
// conversion kernels: exact tables of edge values, and every level, length
// and alignment against the element rule.
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

class ConvIntegerKernels : public unreached_test::LevelKernelTest {};

template <typename S, typename D>
std::array<Call, 3> Plain(void (*l1)(const S*, D*, int32_t), void (*l2)(const S*, D*, int32_t),
                          void (*l3)(const S*, D*, int32_t)) {
  auto bind = [](void (*f)(const S*, D*, int32_t)) {
    return Call([f](const void* s, void* d, int32_t n) { f(static_cast<const S*>(s), static_cast<D*>(d), n); });
  };
  return {bind(l1), bind(l2), bind(l3)};
}

template <typename S, typename D, typename Extra>
std::array<Call, 3> WithArg(void (*l1)(const S*, D*, int32_t, Extra), void (*l2)(const S*, D*, int32_t, Extra),
                            void (*l3)(const S*, D*, int32_t, Extra), Extra extra) {
  auto bind = [extra](void (*f)(const S*, D*, int32_t, Extra)) {
    return Call(
        [f, extra](const void* s, void* d, int32_t n) { f(static_cast<const S*>(s), static_cast<D*>(d), n, extra); });
  };
  return {bind(l1), bind(l2), bind(l3)};
}

template <typename S, typename D, typename Rule>
void CheckRule(const std::array<Call, 3>& levels, const std::vector<S>& input, Rule rule, bool shortRuns = true) {
  std::vector<D> expected;
  for (const S& v : input) expected.push_back(rule(v));
  CheckLevels(levels, {sizeof(S), sizeof(D)}, BytesOf(input), BytesOf(expected), shortRuns);
}

template <typename T>
std::vector<T> EveryValueAndRandom(size_t randomCount) {
  std::vector<T> v;
  if constexpr (sizeof(T) <= 2) {
    for (int64_t i = std::numeric_limits<T>::min(); i <= std::numeric_limits<T>::max(); ++i)
      v.push_back(static_cast<T>(i));
  }
  std::mt19937_64 rng(sizeof(T));
  v.push_back(std::numeric_limits<T>::min());
  v.push_back(std::numeric_limits<T>::max());
  for (size_t i = 0; i < randomCount; ++i) v.push_back(static_cast<T>(rng()));
  return v;
}

TEST_F(ConvIntegerKernels, WideningIsExactForEveryValue) {
  CheckRule<int8_t, float>(Plain(ConvS8ToF32L1Kernel, ConvS8ToF32L2Kernel, ConvS8ToF32L3Kernel),
                           EveryValueAndRandom<int8_t>(100), [](int8_t v) { return static_cast<float>(v); });
  CheckRule<uint8_t, float>(Plain(ConvU8ToF32L1Kernel, ConvU8ToF32L2Kernel, ConvU8ToF32L3Kernel),
                            EveryValueAndRandom<uint8_t>(100), [](uint8_t v) { return static_cast<float>(v); });
  CheckRule<int16_t, float>(
      Plain(ConvS16ToF32L1Kernel, ConvS16ToF32L2Kernel, ConvS16ToF32L3Kernel), EveryValueAndRandom<int16_t>(100),
      [](int16_t v) { return static_cast<float>(v); }, false);
  CheckRule<uint16_t, float>(
      Plain(ConvU16ToF32L1Kernel, ConvU16ToF32L2Kernel, ConvU16ToF32L3Kernel), EveryValueAndRandom<uint16_t>(100),
      [](uint16_t v) { return static_cast<float>(v); }, false);
  CheckRule<int32_t, double>(Plain(ConvS32ToF64L1Kernel, ConvS32ToF64L2Kernel, ConvS32ToF64L3Kernel),
                             EveryValueAndRandom<int32_t>(200), [](int32_t v) { return static_cast<double>(v); });
  // The 16-bit kernels at every length and alignment too.
  const std::vector<int16_t> some16 = EveryValueAndRandom<int16_t>(0);
  CheckRule<int16_t, float>(Plain(ConvS16ToF32L1Kernel, ConvS16ToF32L2Kernel, ConvS16ToF32L3Kernel),
                            std::vector<int16_t>(some16.begin(), some16.begin() + 130),
                            [](int16_t v) { return static_cast<float>(v); });
  const std::vector<uint16_t> someU16 = EveryValueAndRandom<uint16_t>(0);
  CheckRule<uint16_t, float>(Plain(ConvU16ToF32L1Kernel, ConvU16ToF32L2Kernel, ConvU16ToF32L3Kernel),
                             std::vector<uint16_t>(someU16.end() - 130, someU16.end()),
                             [](uint16_t v) { return static_cast<float>(v); });
}

// x / 2^shift rounded half away from zero, saturated by the sign of x.
int32_t ExpectedS64ToS32(int64_t x, int32_t shift) {
  const __int128 scaled = static_cast<__int128>(x) * 2;
  const __int128 divisor = static_cast<__int128>(1) << shift;
  // round(x / 2^s) = sign(x) floor((|2x| + 2^s) / 2^(s+1))
  const __int128 magnitude = ((scaled < 0 ? -scaled : scaled) + divisor) / (2 * divisor);
  const __int128 r = x < 0 ? -magnitude : magnitude;
  return r > INT32_MAX ? INT32_MAX : (r < INT32_MIN ? INT32_MIN : static_cast<int32_t>(r));
}

TEST_F(ConvIntegerKernels, SixtyFourBitNarrowingRoundsAwayAndSaturates) {
  struct Row {
    int64_t x;
    int32_t shift;
    int32_t expected;
  };
  const Row rows[] = {
      {3, 1, 2},
      {-3, 1, -2},
      {1, 1, 1},
      {-1, 1, -1},
      {2, 1, 1},
      {-2, 1, -1},
      {0, 1, 0},
      {5LL * 4294967296LL + 2147483648LL, 32, 6},
      {-(5LL * 4294967296LL + 2147483648LL), 32, -6},
      {2147483647, 32, 0},
      {2147483648LL, 32, 1},
      {1LL << 40, 8, 2147483647},
      {-(1LL << 40), 8, -2147483647 - 1},
      {4294967295LL, 1, 2147483647},
      {4294967294LL, 1, 2147483647},
      {-4294967296LL, 1, -2147483647 - 1},
      {-4294967297LL, 1, -2147483647 - 1},
      {INT64_MAX, 32, 2147483647},
      {INT64_MIN, 32, -2147483647 - 1},
      {INT64_MIN, 1, -2147483647 - 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ExpectedS64ToS32(row.x, row.shift), row.expected) << row.x << " >> " << row.shift;
    for (auto* kernel :
         {ConvS64ToS32ScaledL1KernelAway, ConvS64ToS32ScaledL2KernelAway, ConvS64ToS32ScaledL3KernelAway}) {
      // Alone, and at each position of a block of four among in-range values.
      for (int at = 0; at < 5; ++at) {
        int64_t src[5] = {100, -300, 7, 9, 11};
        int32_t dst[5] = {};
        src[at] = row.x;
        kernel(src, dst, 5, row.shift);
        for (int i = 0; i < 5; ++i)
          EXPECT_EQ(dst[i], i == at ? row.expected : ExpectedS64ToS32(src[i], row.shift)) << row.x << " at " << at;
      }
    }
  }
  int32_t untouched = 77;
  const int64_t one = 1;
  ConvS64ToS32ScaledL1KernelAway(&one, &untouched, 0, 1);
  EXPECT_EQ(untouched, 77);
  std::mt19937_64 rng(5);
  std::vector<int64_t> x;
  for (int i = 0; i < 300; ++i) x.push_back(static_cast<int64_t>(rng()) >> (rng() % 40));
  for (int32_t shift : {1, 7, 16, 31, 32})
    CheckRule<int64_t, int32_t>(
        WithArg(ConvS64ToS32ScaledL1KernelAway, ConvS64ToS32ScaledL2KernelAway, ConvS64ToS32ScaledL3KernelAway, shift),
        x, [shift](int64_t v) { return ExpectedS64ToS32(v, shift); }, shift == 7);
}

TEST_F(ConvIntegerKernels, DoublePrecisionEdgeValues) {
  primtest::MxcsrScope mxcsr;
  const float nanF = std::numeric_limits<float>::quiet_NaN();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<float> floats = {
      0.1f, -0.0f, std::numeric_limits<float>::infinity(), -INFINITY, nanF, FLT_MAX, FLT_MIN, 1e-45f, -3.5f, 1.0f};
  CheckRule<float, double>(Plain(ConvF32ToF64L1Kernel, ConvF32ToF64L2Kernel, ConvF32ToF64L3Kernel), floats,
                           [](float v) { return static_cast<double>(v); });
  double widened;
  ConvF32ToF64L1Kernel(&floats[0], &widened, 1);
  EXPECT_EQ(widened, 0.100000001490116119384765625);

  struct Row {
    double x;
    float expected;
  };
  const Row rows[] = {{1e39, FLT_MAX},
                      {-1e39, -FLT_MAX},
                      {inf, FLT_MAX},
                      {-inf, -FLT_MAX},
                      {nan, FLT_MAX},
                      {-nan, FLT_MAX},
                      {3.4028234663852886e+38, FLT_MAX},
                      {0.1, 0.1f},
                      {-2.5, -2.5f},
                      {1e-50, 0.0f}};
  std::vector<double> x;
  for (const Row& row : rows) x.push_back(row.x);
  std::vector<float> expected;
  for (const Row& row : rows) expected.push_back(row.expected);
  CheckLevels(Plain(ConvF64ToF32L1Kernel, ConvF64ToF32L2Kernel, ConvF64ToF32L3Kernel), {8, 4}, BytesOf(x),
              BytesOf(expected));
  {
    // Toward zero the clamp bound narrows to the float below FLT_MAX.
    primtest::MxcsrScope towardZero(primtest::kDefaultMxcsr | 0x6000);
    float y;
    ConvF64ToF32L2Kernel(&rows[0].x, &y, 1);
    EXPECT_EQ(y, 3.4028232635611926e+38f);
  }

  const std::vector<int16_t> s16 = {-32768, 32767, 0, -1, 1, 12345};
  CheckRule<int16_t, double>(
      Plain(ConvS16ToF64ScaledL1KernelUnscaled, ConvS16ToF64ScaledL2KernelUnscaled, ConvS16ToF64ScaledL3KernelUnscaled),
      s16, [](int16_t v) { return static_cast<double>(v); });
  const double factor = std::ldexp(1.0, -15);
  CheckRule<int16_t, double>(WithArg(ConvS16ToF64ScaledL1KernelScaled, ConvS16ToF64ScaledL2KernelScaled,
                                     ConvS16ToF64ScaledL3KernelScaled, &factor),
                             s16, [factor](int16_t v) { return v * factor; });
  double scaled[2];
  ConvS16ToF64ScaledL3KernelScaled(s16.data(), scaled, 2, &factor);
  EXPECT_EQ(scaled[0], -1.0);
  EXPECT_EQ(scaled[1], 0.999969482421875);
}

// Around the streaming thresholds (level 1: 174762 elements for floats,
// 209715 for 16-bit samples; levels 2 and 3 twice that) the results stay the
// same.
TEST_F(ConvIntegerKernels, StreamingStoresGiveTheSameResults) {
  for (int64_t count : {174762 + 8, 174762 + 9, 349525 + 9}) {
    std::vector<float> x(count);
    for (int64_t i = 0; i < count; ++i) x[i] = static_cast<float>(i) * 0.5f - 1000.0f;
    std::vector<double> y(count + 1, 7.0);
    for (auto* kernel : {ConvF32ToF64L1Kernel, ConvF32ToF64L2Kernel, ConvF32ToF64L3Kernel}) {
      kernel(x.data(), y.data(), static_cast<int32_t>(count));
      for (int64_t i = 0; i < count; i += 997) ASSERT_EQ(y[i], static_cast<double>(x[i])) << i;
      ASSERT_EQ(y[count - 1], static_cast<double>(x[count - 1]));
      ASSERT_EQ(y[count], 7.0);
    }
  }
  std::vector<int16_t> s(209715 + 9 + 3);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(i * 7);
  std::vector<double> y(s.size());
  const double factor = 0.25;
  ConvS16ToF64ScaledL1KernelScaled(s.data(), y.data() + 1, static_cast<int32_t>(s.size() - 1), &factor);
  for (size_t i = 0; i + 1 < s.size(); i += 1009) ASSERT_EQ(y[i + 1], s[i] * 0.25);
}

// ---------------------------------------------------------------------------
// Packed 24-bit samples

std::vector<uint8_t> Packed(const std::vector<int32_t>& v) {
  std::vector<uint8_t> bytes;
  for (int32_t x : v) {
    bytes.push_back(static_cast<uint8_t>(x));
    bytes.push_back(static_cast<uint8_t>(x >> 8));
    bytes.push_back(static_cast<uint8_t>(x >> 16));
  }
  return bytes;
}

int32_t Clamp24(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, -8388608, 8388607)); }

// x / 2^s rounded half to even.
int32_t RightShiftEven(int32_t x, int32_t s) {
  const long double q = std::ldexp(static_cast<long double>(x), -s);
  return static_cast<int32_t>(std::nearbyint(q));
}

TEST_F(ConvIntegerKernels, PackedTwentyFourBitSamples) {
  const std::vector<uint8_t> edges = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
  int32_t wide[4];
  ConvS24ToS32L1Kernel(edges.data(), wide, 4);
  EXPECT_EQ(std::vector<int32_t>(wide, wide + 4), (std::vector<int32_t>{8388607, -8388608, -1, 1}));

  std::mt19937 rng(24);
  std::vector<int32_t> samples;
  for (int i = 0; i < 200; ++i) samples.push_back(static_cast<int32_t>(rng()) >> 8);
  const std::vector<uint8_t> packed = Packed(samples);
  CheckLevels(Plain(ConvS24ToS32L1Kernel, ConvS24ToS32L2Kernel, ConvS24ToS32L3Kernel), {3, 4}, packed,
              BytesOf(samples));

  std::vector<int32_t> wideValues = {8388608, -8388609, -1, 0, 8388607, -8388608, INT32_MAX, INT32_MIN};
  for (int i = 0; i < 200; ++i) wideValues.push_back(static_cast<int32_t>(rng()) >> (rng() % 12));
  auto packedRule = [&](auto rule) {
    std::vector<int32_t> out;
    for (int32_t v : wideValues) out.push_back(rule(v));
    return Packed(out);
  };
  CheckLevels(
      Plain(ConvS32ToS24ScaledL1KernelUnscaled, ConvS32ToS24ScaledL2KernelUnscaled, ConvS32ToS24ScaledL3KernelUnscaled),
      {4, 3}, BytesOf(wideValues), packedRule([](int32_t v) { return Clamp24(v); }));
  for (int32_t s : {1, 8, 13, 31, 32}) {
    SCOPED_TRACE(testing::Message() << "right shift " << s);
    CheckLevels(WithArg(ConvS32ToS24ScaledL1KernelRightShift, ConvS32ToS24ScaledL2KernelRightShift,
                        ConvS32ToS24ScaledL3KernelRightShift, s),
                {4, 3}, BytesOf(wideValues), packedRule([s](int32_t v) { return Clamp24(RightShiftEven(v, s)); }),
                s == 8);
  }
  for (int32_t s : {0, 1, 8, 23, 24, 31}) {
    SCOPED_TRACE(testing::Message() << "left shift " << s);
    CheckLevels(WithArg(ConvS32ToS24ScaledL1KernelLeftShift, ConvS32ToS24ScaledL2KernelLeftShift,
                        ConvS32ToS24ScaledL3KernelLeftShift, s),
                {4, 3}, BytesOf(wideValues),
                packedRule([s](int32_t v) { return Clamp24(static_cast<int64_t>(v) * (int64_t{1} << s)); }),
                s == 8 || s == 24);
  }

  struct Row {
    int32_t x, shift, expected;
  };
  auto value = [](const uint8_t* p) { return p[0] | p[1] << 8 | static_cast<int8_t>(p[2]) * 65536; };
  const Row right[] = {{384, 8, 2},
                       {640, 8, 2},
                       {-384, 8, -2},
                       {-640, 8, -2},
                       {INT32_MAX, 8, 8388607},
                       {INT32_MIN, 8, -8388608},
                       {INT32_MIN, 32, 0},
                       {INT32_MAX, 32, 0}};
  for (const Row& row : right) {
    uint8_t out[3];
    ConvS32ToS24ScaledL1KernelRightShift(&row.x, out, 1, row.shift);
    EXPECT_EQ(value(out), row.expected) << row.x << " >> " << row.shift;
  }
  const Row left[] = {
      {32767, 8, 8388352}, {32768, 8, 8388607}, {-32768, 8, -8388608}, {-32769, 8, -8388608}, {1, 24, 8388607},
      {-1, 24, -8388608},  {0, 24, 0}};
  for (const Row& row : left) {
    uint8_t out[3];
    ConvS32ToS24ScaledL2KernelLeftShift(&row.x, out, 1, row.shift);
    EXPECT_EQ(value(out), row.expected) << row.x << " << " << row.shift;
  }
  const int32_t saturating[3] = {8388608, -8388609, -1};
  uint8_t out[9];
  ConvS32ToS24ScaledL3KernelUnscaled(saturating, out, 3);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 9),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
