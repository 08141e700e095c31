#include <xmmintrin.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "primitives/unreached/SquareRoot.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

constexpr uint32_t kDefaultNaN = 0xFFC00000u;
constexpr float kInf = std::numeric_limits<float>::infinity();

float CorrectRoot(float x) { return static_cast<float>(std::sqrt(static_cast<long double>(x))); }

// One Newton step from e = (1 + eps)/sqrt(x) gives sqrt(x) (1 - 1.5 eps^2 -
// 0.5 eps^3): 3.375 * 2^-24 for |eps| <= 1.5 * 2^-12. The step's roundings add
// at most 3 * 2^-24 (x e and e c count half, 3 - g and the last product in
// full), and a relative error r is under r / 2^-24 ulp: 6.375 ulp from the
// exact root, 6 units from the correctly rounded one.
constexpr double kNewtonRootUlps = 1.5 * kEstimateError * kEstimateError / kFloatRoundoff + 3.0;
constexpr int64_t kNewtonRootUnits = static_cast<int64_t>(kNewtonRootUlps + 0.5);

class SquareRootLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(SquareRootLevels);

TEST_P(SquareRootLevels, SpecialValuesAndTheNegativeWarning) {
  primtest::MxcsrScope mxcsr;
  const uint32_t quietNaN = 0x7FC01234u, signallingNaN = 0x7F801234u, negativeNaN = 0xFFC05678u;
  const uint32_t subnormal = 0x00000003u;
  float v[] = {4.0f,          -1.0f, 0.0f, -0.0f, F32(quietNaN), F32(signallingNaN), kInf, -kInf, F32(negativeNaN),
               F32(subnormal)};
  ASSERT_EQ(VecSqrtF32InPlace(v, 10), DSP_WARN_SQRT_NEGATIVE);
  const uint32_t nanKeptOrQuiet = level() == 0 ? signallingNaN : (signallingNaN | 0x00400000u);
  const std::vector<uint32_t> expected = {
      Bits(2.0f),     kDefaultNaN, 0u,          0x80000000u, quietNaN,
      nanKeptOrQuiet, Bits(kInf),  kDefaultNaN, negativeNaN, Bits(CorrectRoot(F32(subnormal)))};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Bits(v[i]), expected[i]) << "element " << i;
}

// The warning reports any negative element wherever it stands, the other
// elements still get their roots, and neither -0.0 nor a NaN with its sign
// bit set counts as negative.
TEST_P(SquareRootLevels, WarningWhereverTheNegativeStands) {
  struct Row {
    const char* name;
    int negativeAt;  // -1: none
    float special;
    DspStatus status;
  };
  const Row rows[] = {
      {"no negative", -1, 0, DSP_STATUS_OK},
      {"first element", 0, -2.0f, DSP_WARN_SQRT_NEGATIVE},
      {"inside a block of 16", 21, -2.0f, DSP_WARN_SQRT_NEGATIVE},
      {"last element", 47, -kInf, DSP_WARN_SQRT_NEGATIVE},
      {"-0.0", 30, -0.0f, DSP_STATUS_OK},
      {"NaN with the sign bit", 30, F32(0xFFC00001u), DSP_STATUS_OK},
  };
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(0.001f, 1000.0f);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    alignas(16) float v[48];
    for (float& x : v) x = value(random);
    if (row.negativeAt >= 0) v[row.negativeAt] = row.special;
    float before[48];
    std::memcpy(before, v, sizeof(v));
    EXPECT_EQ(VecSqrtF32InPlace(v, 48), row.status);
    for (int i = 0; i < 48; ++i) {
      if (i == row.negativeAt) continue;
      EXPECT_LE(UlpDistance(v[i], CorrectRoot(before[i])), level() == 0 ? 0 : kNewtonRootUnits) << "element " << i;
    }
    if (row.negativeAt >= 0 && row.special < 0) {
      EXPECT_EQ(Bits(v[row.negativeAt]), kDefaultNaN);
    }
  }
}

TEST_P(SquareRootLevels, RootsOfPositiveNormalsStayWithinTheirBounds) {
  primtest::MxcsrScope mxcsr;
  std::mt19937 random(11);
  std::uniform_int_distribution<uint32_t> bits(0x00800000u, 0x7F7FFFFFu);
  for (size_t offset : {0u, 4u, 8u, 12u}) {
    primitives_test::GuardedBuffer buffer(4 * 1000, offset);
    float* v = static_cast<float*>(buffer.data());
    std::vector<float> input(1000);
    for (float& x : input) x = F32(bits(random));
    std::memcpy(v, input.data(), 4 * input.size());
    ASSERT_EQ(VecSqrtF32InPlace(v, 1000), DSP_STATUS_OK);
    double worst = 0;
    for (size_t i = 0; i < input.size(); ++i)
      worst = std::max(worst, UlpError(v[i], std::sqrt(static_cast<long double>(input[i]))));
    // The baseline rounds correctly; the levels refine an estimate.
    EXPECT_LE(worst, level() == 0 ? 0.5 : kNewtonRootUlps) << "offset " << offset;
    EXPECT_TRUE(buffer.GuardsIntact());
  }
}

using KernelFn = int32_t (*)(const float*, float*, int32_t);

struct FloatKernel {
  const char* name;
  KernelFn kernel;
};
const FloatKernel kFloatKernels[] = {{"levels 1-2", VecSqrtF32L1L2Kernel}, {"level 3", VecSqrtF32L3Kernel}};

class SquareRootKernels : public LevelKernelTest {};

// Correct roots everywhere except in whole blocks of 16 positive normal
// numbers: the head aligns the destination, the tail finishes the rest.
// Whether a block's roots come out correctly rounded depends on the
// processor's estimates, so blocks are held to the bound only.
TEST_F(SquareRootKernels, RootsAreExactOutsideWholeBlocksOfPositiveNormals) {
  primtest::MxcsrScope mxcsr;
  auto exactly = [](const float* in, const float* out, int n) {
    for (int i = 0; i < n; ++i)
      if (Bits(out[i]) != Bits(CorrectRoot(in[i]))) return false;
    return true;
  };
  for (const FloatKernel& k : kFloatKernels) {
    SCOPED_TRACE(k.name);
    alignas(16) float in[40], out[40];
    for (int i = 0; i < 40; ++i) in[i] = 2.0f + 0.37f * static_cast<float>(i * i);

    ASSERT_EQ(k.kernel(in, out, 16), 0);
    for (int i = 0; i < 16; ++i) EXPECT_LE(UlpDistance(out[i], CorrectRoot(in[i])), kNewtonRootUnits);

    alignas(16) float withZero[16];
    std::memcpy(withZero, in, sizeof(withZero));
    withZero[9] = 0.0f;
    ASSERT_EQ(k.kernel(withZero, out, 16), 0);
    EXPECT_TRUE(exactly(withZero, out, 16)) << "a zero makes the whole block exact";

    ASSERT_EQ(k.kernel(in, out, 15), 0);
    EXPECT_TRUE(exactly(in, out, 15)) << "15 elements never fill a block";
    for (int n = 1; n < 19; ++n) {
      ASSERT_EQ(k.kernel(in, out + 1, n), 0);
      EXPECT_TRUE(exactly(in, out + 1, n)) << "length " << n << " with a three-element head";
    }
  }
}

TEST_F(SquareRootKernels, InPlaceEqualsOutOfPlaceAndSubnormalsAreExactInBlocks) {
  primtest::MxcsrScope mxcsr;
  for (const FloatKernel& k : kFloatKernels) {
    SCOPED_TRACE(k.name);
    alignas(16) float in[37], out[37], inPlace[37];
    for (int i = 0; i < 37; ++i) in[i] = 1.0f + static_cast<float>(i) * 3.25f;
    in[5] = F32(0x00000100u);  // positive subnormal inside the first block
    std::memcpy(inPlace, in, sizeof(in));
    EXPECT_EQ(k.kernel(in, out, 37), 0);
    EXPECT_EQ(k.kernel(inPlace, inPlace, 37), 0);
    EXPECT_EQ(std::memcmp(out, inPlace, sizeof(out)), 0);
    EXPECT_EQ(Bits(out[5]), Bits(CorrectRoot(in[5])));
    EXPECT_EQ(Bits(out[6]), Bits(CorrectRoot(in[6]))) << "its block is computed exactly";
  }
}

// On return denormals-are-zero is off and every exception flag but the
// precision flag is as the caller had it.
TEST_F(SquareRootKernels, FloatKernelsClearDenormalsAreZeroAndRestoreFlags) {
  for (const FloatKernel& k : kFloatKernels) {
    SCOPED_TRACE(k.name);
    const uint32_t saved = _mm_getcsr();
    const uint32_t entry = 0x1F80u | 0x0040u | 0x0010u;  // masks, DAZ, underflow flag
    _mm_setcsr(entry);
    alignas(16) float v[20];
    for (int i = 0; i < 20; ++i) v[i] = -1.0f;  // raises invalid
    v[0] = F32(0x00000100u);                    // subnormal, in a block with negatives: exact
    const int32_t flag = k.kernel(v, v, 20);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_NE(flag, 0);
    EXPECT_EQ(after & ~0x20u, entry & ~0x40u) << std::hex << after;
    EXPECT_EQ(Bits(v[0]), Bits(CorrectRoot(F32(0x00000100u)))) << "the subnormal was not taken as zero";
  }
}

// The double kernel refines the float estimate e of a, x scaled to [0.5, 2):
// s = a e^2 = 1 + d with |d| <= 2 eps + eps^2 + 2^-24 (the estimate's error,
// and a rounded to float). Its cubic in s is the series of 1/sqrt(s) up to d^3
// plus d^4/16 where the series has 35/128 d^4, and its roundings add under
// 8 * 2^-53: a relative error of at most 27/128 d^4 + 8 * 2^-53, about 6.2e-14
// (up to some 555 ulp).
constexpr double kFastRootDelta = 2 * kEstimateError + kEstimateError * kEstimateError + kFloatRoundoff;
constexpr double kFastRootRelative =
    27.0 / 128 * kFastRootDelta * kFastRootDelta * kFastRootDelta * kFastRootDelta + 8 * kDoubleRoundoff;

double RelativeError(double result, long double exact) {
  return static_cast<double>(std::fabs(static_cast<long double>(result) - exact) / exact);
}

TEST_F(SquareRootKernels, DoubleKernelBlocksStayCloseAndSpecialsAreExact) {
  primtest::MxcsrScope mxcsr;
  std::mt19937_64 random(3);
  std::uniform_int_distribution<uint64_t> bits(0x0010000000000000ull, 0x7FEFFFFFFFFFFFFFull);
  alignas(16) double in[203], out[203];
  for (double& x : in) x = F64(bits(random));
  EXPECT_EQ(VecSqrtF64Kernel(in, out + 1, 202), 0);  // a head of one, 50 blocks of four, a tail of one
  double worst = 0;
  for (int i = 0; i < 202; ++i)
    worst = std::max(worst, RelativeError(out[i + 1], std::sqrt(static_cast<long double>(in[i]))));
  EXPECT_LE(worst, kFastRootRelative);
  EXPECT_EQ(Bits(out[1]), Bits(std::sqrt(in[0]))) << "head";
  EXPECT_EQ(Bits(out[202]), Bits(std::sqrt(in[201]))) << "tail";

  // The invalid flag a negative element raises is taken back on return.
  {
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(0x1F80u);
    const double negative[3] = {4.0, -1.0, 9.0};
    double roots[3];
    EXPECT_EQ(VecSqrtF64Kernel(negative, roots, 3), 1);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after & 0x1u, 0u);
    EXPECT_EQ(Bits(roots[1]), 0xFFF8000000000000ull);
  }

  // Eleven elements from a destination 8 modulo 16: a head of one (0), two
  // blocks (1-4, 5-8) and a tail of two (9, 10). The head, the tail and a
  // block holding a special value are exact; the other block is refined.
  const auto blockOf = [](int k) { return k >= 1 && k <= 8 ? (k - 1) / 4 : -1; };
  const double subnormal = F64(0x0000000000012345ull);
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* name;
    int at;  // where the special value stands among 11
    double value;
    uint64_t result;
  };
  const Row rows[] = {
      {"subnormal in the head", 0, subnormal, Bits(std::sqrt(subnormal))},
      {"subnormal in a block", 3, subnormal, Bits(std::sqrt(subnormal))},
      {"subnormal in the tail", 10, subnormal, Bits(std::sqrt(subnormal))},
      {"+infinity in a block", 5, inf, Bits(inf)},
      {"-0.0", 2, -0.0, 0x8000000000000000ull},
      {"negative", 7, -4.0, 0xFFF8000000000000ull},
      {"signalling NaN becomes quiet", 4, F64(0x7FF0000000000123ull), 0x7FF8000000000123ull},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    alignas(16) double v[12];
    for (int i = 0; i < 12; ++i) v[i] = 4.0 + i;
    double* x = v + 1;
    x[row.at] = row.value;
    double before[11];
    std::memcpy(before, x, sizeof(before));
    EXPECT_EQ(VecSqrtF64Kernel(x, x, 11), row.value < 0 ? 1 : 0);
    EXPECT_EQ(Bits(x[row.at]), row.result);
    for (int k = 0; k < 11; ++k) {
      if (k == row.at) continue;
      if (blockOf(k) < 0 || blockOf(k) == blockOf(row.at)) {
        EXPECT_EQ(Bits(x[k]), Bits(std::sqrt(before[k]))) << "element " << k << " is on an exact path";
      } else {
        EXPECT_LE(RelativeError(x[k], std::sqrt(static_cast<long double>(before[k]))), kFastRootRelative) << k;
      }
    }
  }
}

TEST_F(SquareRootKernels, ComplexRootsArePrincipal) {
  primtest::MxcsrScope mxcsr;
  struct Row {
    ComplexF64 z;
    ComplexF64 root;
  };
  const Row rows[] = {
      {{3, 4}, {2, 1}}, {{-3, -4}, {1, -2}}, {{-4, 0}, {0, 2}},
      {{0, 0}, {0, 0}}, {{0, -0.0}, {0, 0}}, {{5, 12}, {3, 2}},
  };
  ComplexF64 in64[6], out64[6];
  ComplexF32 in32[6], out32[6];
  for (int i = 0; i < 6; ++i) {
    in64[i] = rows[i].z;
    in32[i] = {static_cast<float>(rows[i].z.re), static_cast<float>(rows[i].z.im)};
  }
  VecSqrtC64Kernel(in64, out64, 6);  // one block of four and a tail of two
  VecSqrtC32Kernel(in32, out32, 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Bits(out64[i].re), Bits(rows[i].root.re));
    EXPECT_EQ(Bits(out64[i].im), Bits(rows[i].root.im));
    EXPECT_NEAR(out32[i].re, rows[i].root.re, 1e-5);
    EXPECT_NEAR(out32[i].im, rows[i].root.im, 1e-5);
    if (rows[i].z.re == 0 && rows[i].z.im == 0) {
      EXPECT_EQ(Bits(out32[i].re), 0u);
      EXPECT_EQ(Bits(out32[i].im), 0u);
    }
  }

  // Anywhere inside the valid magnitude range the double form stays within
  // an ulp or two of each part. The float form refines two estimates: |z|/2
  // from a^2 + b^2 (two roundings) through one Newton step (kNewtonRootUlps
  // units of 2^-24) comes to 7.375 * 2^-24, t = |a| + |z|/2 to 8.375, and
  // sqrt(t) or |b|/sqrt(t) from t, its refined reciprocal root and one product
  // to half of t's error plus 7.375: each part within 11.6 * 2^-24 of |sqrt z|.
  constexpr long double kComplexFloatRelative =
      (0.5 * (kNewtonRootUlps + 2.0) + kNewtonRootUlps + 1.0) * kFloatRoundoff;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  for (int i = 0; i < 2000; ++i) {
    const double re = std::ldexp(mantissa(random), exponent(random));
    const double im = std::ldexp(mantissa(random), exponent(random));
    const std::complex<long double> ref = std::sqrt(std::complex<long double>(re, im));
    ComplexF64 z64{re, im}, r64;
    VecSqrtC64Kernel(&z64, &r64, 1);
    const long double scale = std::abs(ref);
    EXPECT_LE(std::fabs(r64.re - ref.real()) / scale, 1e-15L);
    EXPECT_LE(std::fabs(r64.im - ref.imag()) / scale, 1e-15L);
    ComplexF32 z32{static_cast<float>(re), static_cast<float>(im)}, r32;
    const std::complex<long double> ref32 = std::sqrt(std::complex<long double>(z32.re, z32.im));
    VecSqrtC32Kernel(&z32, &r32, 1);
    EXPECT_LE(std::fabs(r32.re - ref32.real()) / std::abs(ref32), kComplexFloatRelative);
    EXPECT_LE(std::fabs(r32.im - ref32.imag()) / std::abs(ref32), kComplexFloatRelative);
  }
}

}  // namespace
