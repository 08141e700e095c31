#include <cmath>
#include <random>
#include <vector>

#include "primitives/unreached/Logarithm.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint32_t kDefaultNaN = 0xFFC00000u;

long double LnRef(long double x) { return std::log(x); }

class LogarithmLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(LogarithmLevels);

TEST_P(LogarithmLevels, ZeroAndNegativeElementsAreWrittenAndTheFirstOneIsReported) {
  struct Row {
    const char* name;
    std::vector<float> x;
    DspStatus status;
    std::vector<uint32_t> result;  // 1: ln of the input
  };
  const Row rows[] = {
      {"zero first", {0.0f, -1.0f, 5.0f}, DSP_WARN_LOG_ZERO, {0xFF800000u, kDefaultNaN, 1u}},
      {"negative first", {-1.0f, 0.0f}, DSP_WARN_LOG_NEGATIVE, {kDefaultNaN, 0xFF800000u}},
      {"-0.0 is negative", {-0.0f}, DSP_WARN_LOG_NEGATIVE, {kDefaultNaN}},
      {"NaN with the sign bit is negative", {F32(0xFFC00000u)}, DSP_WARN_LOG_NEGATIVE, {kDefaultNaN}},
      {"+Inf", {kInf, 1.0f}, DSP_STATUS_OK, {0x7F800000u, 0u}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<float> v = row.x;
    EXPECT_EQ(VecLnF32InPlace(v.data(), static_cast<int32_t>(v.size())), row.status);
    for (size_t i = 0; i < v.size(); ++i) {
      if (row.result[i] == 1u) {
        EXPECT_LE(UlpError(v[i], LnRef(row.x[i])), 1.0);
      } else {
        EXPECT_EQ(Bits(v[i]), row.result[i]) << i;
      }
    }
  }
  // A positive quiet NaN: the default NaN from the baseline, unchanged from
  // the levels' kernels; never a warning.
  float nan[1] = {F32(0x7FC01234u)};
  EXPECT_EQ(VecLnF32InPlace(nan, 1), DSP_STATUS_OK);
  EXPECT_EQ(Bits(nan[0]), level() == 0 ? kDefaultNaN : 0x7FC01234u);
}

// 300 elements run as chunks of 256 and 44 at the levels; the first special
// element in index order decides the status wherever the chunks split.
TEST_P(LogarithmLevels, TheFirstSpecialElementDecidesAcrossChunks) {
  for (bool negativeFirst : {true, false}) {
    std::vector<float> v(300, 2.0f);
    v[negativeFirst ? 10 : 280] = -3.0f;
    v[negativeFirst ? 280 : 10] = 0.0f;
    EXPECT_EQ(VecLnF32InPlace(v.data(), 300), negativeFirst ? DSP_WARN_LOG_NEGATIVE : DSP_WARN_LOG_ZERO);
    EXPECT_EQ(Bits(v[negativeFirst ? 280 : 10]), 0xFF800000u);
    EXPECT_EQ(Bits(v[negativeFirst ? 10 : 280]), kDefaultNaN);
    EXPECT_EQ(v[299], std::log(2.0f));
  }
}

// Positive normals and subnormals anywhere in the range, at every alignment
// (the head, the blocks of eight and the tail of each chunk).
TEST_P(LogarithmLevels, PositiveElementsAreAccurate) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(59);
  std::uniform_int_distribution<uint32_t> bits(1u, 0x7F7FFFFFu);
  std::vector<float> x(700);
  for (float& v : x) v = F32(bits(random));
  x[0] = F32(0x00000001u);
  x[100] = 1.0f;
  x[101] = std::nextafter(1.0f, 2.0f);
  x[102] = std::nextafter(1.0f, 0.0f);
  for (size_t offset : {0u, 4u, 12u}) {
    primitives_test::GuardedBuffer buffer(4 * x.size(), offset);
    float* v = static_cast<float*>(buffer.data());
    std::memcpy(v, x.data(), 4 * x.size());
    ASSERT_EQ(VecLnF32InPlace(v, static_cast<int32_t>(x.size())), DSP_STATUS_OK);
    double worst = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      const long double ref = LnRef(x[i]);
      // Near ln = 0 the absolute error of the series counts, not the units
      // of a tiny result.
      worst = std::max(
          worst, std::fabs(ref) < 0.5L ? static_cast<double>(std::fabs(v[i] - ref) / 0x1p-24L) : UlpError(v[i], ref));
    }
    EXPECT_LE(worst, level() == 0 ? 1.0 : 3.0) << "offset " << offset;
    EXPECT_TRUE(buffer.GuardsIntact());
  }
}

class LogarithmKernels : public LevelKernelTest {};

TEST_F(LogarithmKernels, InPlaceAndOutOfPlaceAgreeAndShortVectorsStayClose) {
  primtest::MxcsrScope mxcsr;
  alignas(16) unsigned char scratch[2048];
  std::mt19937 random(61);
  std::uniform_real_distribution<float> value(0.01f, 1e6f);
  alignas(16) float x[100], outOfPlace[100], inPlace[100];
  for (float& v : x) v = value(random);
  std::memcpy(inPlace, x, sizeof(x));
  EXPECT_EQ(VecLnF32Kernel(x + 1, outOfPlace + 1, 99, scratch), LN_EVENT_NONE);
  EXPECT_EQ(VecLnF32InPlaceKernel(inPlace + 1, 99, scratch), LN_EVENT_NONE);
  EXPECT_EQ(std::memcmp(outOfPlace + 1, inPlace + 1, 4 * 99), 0);
  // Below 32 elements every element divides on its own; the block path may
  // differ from it in the last bit only.
  for (int i = 1; i < 100; i += 7) {
    float single;
    VecLnF32Kernel(x + i, &single, 1, scratch);
    EXPECT_LE(UlpDistance(single, inPlace[i]), 1) << i;
  }
  // Kernel event codes: the first special element decides.
  alignas(16) float specials[40];
  for (float& v : specials) v = 3.0f;
  specials[20] = 0.0f;
  specials[33] = -1.0f;
  EXPECT_EQ(VecLnF32InPlaceKernel(specials, 40, scratch), LN_EVENT_ZERO);
  specials[5] = -2.0f;
  EXPECT_EQ(VecLnF32InPlaceKernel(specials, 40, scratch), LN_EVENT_NEGATIVE);
}

TEST_F(LogarithmKernels, DoubleKernelSpecialsAndAccuracy) {
  struct Row {
    const char* name;
    double x;
    uint64_t bits;  // 1: accurate ln of x
    int64_t event;
  };
  const Row rows[] = {
      {"+0.0", 0.0, 0xFFF0000000000000ull, LN_EVENT_ZERO},
      {"negative", -2.0, 0xFFF8000000000000ull, LN_EVENT_NEGATIVE},
      {"-0.0", -0.0, 0xFFF8000000000000ull, LN_EVENT_NEGATIVE},
      {"+Inf", std::numeric_limits<double>::infinity(), 0x7FF0000000000000ull, LN_EVENT_NONE},
      {"a NaN stays a NaN", F64(0x7FF8000000000123ull), 0x7FF8000000000123ull, LN_EVENT_NONE},
      {"1.0 gives exactly 0", 1.0, 0u, LN_EVENT_NONE},
      {"smallest subnormal: its own logarithm", F64(1), 1u, LN_EVENT_NONE},
      {"subnormal with high bits", F64(0x0000000123456789ull), 1u, LN_EVENT_NONE},
      {"just below 1 (j = 64, k = -1)", std::nextafter(1.0, 0.0), 1u, LN_EVENT_NONE},
      {"just above 1", std::nextafter(1.0, 2.0), 1u, LN_EVENT_NONE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    double r;
    float r32;
    EXPECT_EQ(VecLnF64Kernel(&row.x, &r, 1), row.event);
    EXPECT_EQ(VecLnF64ToF32Kernel(&row.x, &r32, 1), row.event);
    if (row.bits == 1u) {
      EXPECT_LE(UlpError(r, LnRef(row.x)), 1.0);
    } else {
      EXPECT_EQ(Bits(r), row.bits);
    }
    EXPECT_EQ(Bits(r32), Bits(static_cast<float>(r)));
  }
  std::mt19937_64 random(67);
  std::uniform_int_distribution<uint64_t> bits(0x0010000000000000ull, 0x7FEFFFFFFFFFFFFFull);
  std::vector<double> x(501), r(501);
  for (double& v : x) v = F64(bits(random));
  EXPECT_EQ(VecLnF64Kernel(x.data(), r.data(), 501), LN_EVENT_NONE);
  double worst = 0;
  for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, UlpError(r[i], LnRef(x[i])));
  EXPECT_LE(worst, 1.0);
}

TEST_F(LogarithmKernels, FloatKernelGivesSubnormalsTheirOwnLogarithm) {
  alignas(16) unsigned char scratch[2048];
  alignas(16) float v[40];
  for (int i = 0; i < 40; ++i) v[i] = F32(static_cast<uint32_t>(1 + 12345 * i));  // subnormals, block path
  alignas(16) float x[40];
  std::memcpy(x, v, sizeof(v));
  EXPECT_EQ(VecLnF32InPlaceKernel(v, 40, scratch), LN_EVENT_NONE);
  for (int i = 0; i < 40; ++i) EXPECT_LE(UlpError(v[i], LnRef(x[i])), 2.0) << i;
}

TEST_F(LogarithmKernels, ScaledIntegerKinds) {
  primtest::MxcsrScope mxcsr;
  alignas(16) unsigned char scratch[2048];
  const int16_t s16[4] = {1, 0, 32767, -5};
  int16_t r16[4];
  EXPECT_EQ(VecLnS16ScaledKernel(s16, r16, 4, 0, scratch), LN_EVENT_ZERO);
  EXPECT_EQ(std::vector<int>(r16, r16 + 4), (std::vector<int>{0, -32768, 10, -32768}));
  int16_t inPlace[4] = {-5, 0, 1, 2};
  EXPECT_EQ(VecLnS16ScaledInPlaceKernel(inPlace, 4, -10, scratch), LN_EVENT_NEGATIVE);
  EXPECT_EQ(inPlace[3], static_cast<int16_t>(std::lrint(std::log(2.0) * 1024)));

  int32_t half;
  LnScaleFactorToF32(1, &half);
  EXPECT_EQ(static_cast<uint32_t>(half), Bits(0.5f));

  std::mt19937 random(71);
  std::vector<int32_t> x(257), r(257);
  std::vector<int16_t> r16s(257);
  for (int32_t& v : x) v = static_cast<int32_t>(random() >> 1) + 1;
  const float multiplier = 1000.0f;
  EXPECT_EQ(VecLnS32ScaledKernel(x.data(), r.data(), 257, &multiplier, scratch), LN_EVENT_NONE);
  EXPECT_EQ(VecLnS32S16ScaledKernel(x.data(), r16s.data(), 257, -10, scratch), LN_EVENT_NONE);
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_LE(std::fabs(r[i] - LnRef(x[i]) * 1000.0L), 0.5L + 0.01L) << x[i];
    EXPECT_LE(std::fabs(r16s[i] - std::min(LnRef(x[i]) * 1024.0L, 32767.0L)), 0.5L + 0.01L) << x[i];
  }
  std::vector<int32_t> same = x;
  EXPECT_EQ(VecLnS32ScaledInPlaceKernel(same.data(), 257, &multiplier, scratch), LN_EVENT_NONE);
  EXPECT_EQ(same, r);
  const int32_t extremes[2] = {0, INT32_MIN};
  int32_t er[2];
  EXPECT_EQ(VecLnS32ScaledKernel(extremes, er, 2, &multiplier, scratch), LN_EVENT_ZERO);
  EXPECT_EQ(er[0], INT32_MIN);
  EXPECT_EQ(er[1], INT32_MIN);
}

}  // namespace
