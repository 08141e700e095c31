#include <xmmintrin.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "primitives/unreached/DotProduct.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;

class DotProductLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(DotProductLevels);

// The order of the single-precision additions is each build's own; these
// vectors show it.
TEST_P(DotProductLevels, AccumulationOrderOfEachBuild) {
  const float ones[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  // Three elements: the baseline's plain loop, the levels' two lanes with
  // the odd last product in the odd one, (p1 + p2) + p0.
  const float three[3] = {-16777216.0f, 16777216.0f, 1.0f};
  float r;
  ASSERT_EQ(VecDotProductF32(three, ones, 3, &r), DSP_STATUS_OK);
  EXPECT_EQ(r, level() == 0 ? 1.0f : 0.0f);

  const float cancel[3] = {1e8f, 1.0f, -1e8f};
  ASSERT_EQ(VecDotProductF32(cancel, ones, 3, &r), DSP_STATUS_OK);
  EXPECT_EQ(r, 0.0f) << "1e8 + 1 rounds back to 1e8, and so does 1 - 1e8 in the odd lane";

  // Nine elements with b 16-byte aligned: the baseline's two four-lane
  // accumulators keep what a running sum loses.
  alignas(16) float b[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  const float a[9] = {16777216.0f, 1, 1, 1, -16777216.0f, 1, 1, 1, 1};
  ASSERT_EQ(VecDotProductF32(a, b, 9, &r), DSP_STATUS_OK);
  if (level() == 0) {
    EXPECT_EQ(r, 7.0f);
  }
}

TEST_P(DotProductLevels, EveryAlignmentStaysWithinTheRoundingBound) {
  std::mt19937 random(79);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int32_t len : {1, 5, 15, 16, 17, 31, 47, 100, 1001}) {
    for (size_t oa : {0u, 4u, 8u, 2u}) {
      for (size_t ob : {0u, 12u, 1u}) {
        primitives_test::GuardedBuffer A(4 * len, oa), B(4 * len, ob);
        std::vector<float> x(len), y(len);
        long double exact = 0, magnitude = 0;
        for (int32_t i = 0; i < len; ++i) {
          x[i] = value(random);
          y[i] = value(random);
          exact += static_cast<long double>(x[i]) * y[i];
          magnitude += std::fabs(static_cast<long double>(x[i]) * y[i]);
        }
        std::memcpy(A.data(), x.data(), 4 * len);
        std::memcpy(B.data(), y.data(), 4 * len);
        float r = 123.0f;
        ASSERT_EQ(VecDotProductF32(static_cast<float*>(A.data()), static_cast<float*>(B.data()), len, &r),
                  DSP_STATUS_OK);
        EXPECT_LE(std::fabs(r - exact), magnitude * len * 0x1p-24L + 1e-30L)
            << "len " << len << " offsets " << oa << "/" << ob;
      }
    }
  }
}

class DotProductKernels : public LevelKernelTest {};

TEST_F(DotProductKernels, ExactIntegerKindsAndThePairSumThatOverflows32Bits) {
  alignas(16) int16_t a[16], b[16];
  for (int i = 0; i < 16; ++i) a[i] = b[i] = -32768;
  int64_t r, plain;
  VecDotProductS16ToS64Kernel(a, b, 16, &r);
  VecDotProductS16ToS64PlainKernel(a + 1, b + 1, 15, &plain);
  EXPECT_EQ(r, 17179869184);
  EXPECT_EQ(plain, 15 * (int64_t{1} << 30));

  const ComplexS16 c[3] = {{-32768, -32768}, {3, 4}, {1, -1}};
  const ComplexS16 d[3] = {{-32768, 32767}, {5, -6}, {7, 8}};
  const int16_t real[3] = {-32768, 2, 3};
  ComplexS64 cc, rc;
  VecDotProductSC16ToSC64Kernel(c, d, 3, &cc);
  VecDotProductS16SC16ToSC64Kernel(real, d, 3, &rc);
  int64_t re = 0, im = 0, rr = 0, ri = 0;
  for (int i = 0; i < 3; ++i) {
    re += int64_t{c[i].re} * d[i].re - int64_t{c[i].im} * d[i].im;
    im += int64_t{c[i].re} * d[i].im + int64_t{c[i].im} * d[i].re;
    rr += int64_t{real[i]} * d[i].re;
    ri += int64_t{real[i]} * d[i].im;
  }
  EXPECT_EQ(cc.re, re);
  EXPECT_EQ(cc.im, im);
  EXPECT_EQ(rc.re, rr);
  EXPECT_EQ(rc.im, ri);
}

// The scaled kinds round to nearest even whatever the caller's mode, and
// give the caller's mode back.
TEST_F(DotProductKernels, ScaledIntegerKindsRoundToNearestAndSaturate) {
  const uint32_t saved = _mm_getcsr();
  for (uint32_t mode : {0x2000u, 0x4000u, 0x6000u}) {
    SCOPED_TRACE(mode);
    _mm_setcsr((saved & ~0x6000u) | mode);
    const int32_t one[1] = {1}, five[1] = {5};
    const int16_t one16[1] = {1};
    const double half = 0.5;
    int32_t r, r16;
    VecDotProductS32ScaledKernel(one, five, 1, &r, &half);
    VecDotProductS16S32ScaledKernel(one16, five, 1, &r16, &half);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(r, 2) << "2.5 to even";
    EXPECT_EQ(r16, 2);
    EXPECT_EQ(after & 0x6000u, mode);
  }
  const int32_t big[2] = {INT32_MAX, INT32_MIN};
  const double unit = 1.0, nan = std::nan("");
  int32_t r;
  VecDotProductS32ScaledKernel(big, big, 2, &r, &unit);
  EXPECT_EQ(r, INT32_MAX);
  VecDotProductS32ScaledKernel(big, big + 1, 1, &r, &unit);
  EXPECT_EQ(r, INT32_MIN);
  VecDotProductS32ScaledKernel(big, big, 1, &r, &nan);
  EXPECT_EQ(r, INT32_MIN);

  // (3 + 4i)(5 + 6i) + (1 - 2i)(-7 + 8i) = (-9 + 38i) + (9 + 22i) = 60i.
  const ComplexS32 z[2] = {{3, 4}, {1, -2}}, w[2] = {{5, 6}, {-7, 8}};
  const int32_t x[2] = {2, -3};
  const double quarter = 0.25;
  ComplexS32 zz, xz;
  VecDotProductSC32ScaledKernel(z, w, 2, &zz, &quarter);
  VecDotProductS32SC32ScaledKernel(x, w, 2, &xz, &quarter);
  EXPECT_EQ(zz.re, 0);
  EXPECT_EQ(zz.im, 15);
  EXPECT_EQ(xz.re, 8) << "(10 + 21) / 4 = 7.75";
  EXPECT_EQ(xz.im, -3) << "(12 - 24) / 4";
}

TEST_F(DotProductKernels, FloatingPointKindsOfTheObject) {
  std::mt19937 random(83);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  const int n = 37;
  std::vector<float> a(n), b(n);
  std::vector<ComplexF32> ca(n), cb(n);
  std::vector<double> da(n), db(n);
  std::vector<ComplexF64> cda(n), cdb(n);
  for (int i = 0; i < n; ++i) {
    a[i] = value(random);
    b[i] = value(random);
    ca[i] = {value(random), value(random)};
    cb[i] = {value(random), value(random)};
    da[i] = a[i];
    db[i] = b[i];
    cda[i] = {ca[i].re, ca[i].im};
    cdb[i] = {cb[i].re, cb[i].im};
  }
  long double dot = 0;
  std::complex<long double> cc = 0, rc = 0;
  for (int i = 0; i < n; ++i) {
    dot += static_cast<long double>(a[i]) * b[i];
    cc += std::complex<long double>(ca[i].re, ca[i].im) * std::complex<long double>(cb[i].re, cb[i].im);
    rc += static_cast<long double>(a[i]) * std::complex<long double>(cb[i].re, cb[i].im);
  }
  double d64;
  VecDotProductF32ToF64Kernel(a.data(), b.data(), n, &d64);
  EXPECT_NEAR(d64, dot, 1e-14);
  VecDotProductF64Kernel(da.data(), db.data(), n, &d64);
  EXPECT_NEAR(d64, dot, 1e-14);
  ComplexF64 c64;
  VecDotProductC32ToC64Kernel(ca.data(), cb.data(), n, &c64);
  EXPECT_NEAR(c64.re, cc.real(), 1e-13);
  EXPECT_NEAR(c64.im, cc.imag(), 1e-13);
  VecDotProductC64Kernel(cda.data(), cdb.data(), n, &c64);
  EXPECT_NEAR(c64.re, cc.real(), 1e-13);
  EXPECT_NEAR(c64.im, cc.imag(), 1e-13);
  VecDotProductF32C32ToC64Kernel(a.data(), cb.data(), n, &c64);
  EXPECT_NEAR(c64.re, rc.real(), 1e-13);
  EXPECT_NEAR(c64.im, rc.imag(), 1e-13);
  VecDotProductF64C64Kernel(da.data(), cdb.data(), n, &c64);
  EXPECT_NEAR(c64.re, rc.real(), 1e-13);
  EXPECT_NEAR(c64.im, rc.imag(), 1e-13);
  ComplexF32 c32;
  VecDotProductC32Kernel(ca.data(), cb.data(), n, &c32);
  EXPECT_NEAR(c32.re, cc.real(), 1e-4);
  EXPECT_NEAR(c32.im, cc.imag(), 1e-4);
  VecDotProductF32C32Kernel(a.data(), cb.data(), n, &c32);
  EXPECT_NEAR(c32.re, rc.real(), 1e-4);
  EXPECT_NEAR(c32.im, rc.imag(), 1e-4);
}

}  // namespace
