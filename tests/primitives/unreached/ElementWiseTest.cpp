#include <cmath>
#include <random>
#include <vector>

#include "primitives/unreached/ElementWise.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;
using primitives_test::GuardedBuffer;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Random floats with the values that trip vector code mixed in.
std::vector<float> Mixed(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-1e3f, 1e3f);
  const float specials[] = {0.0f, -0.0f, kInf, -kInf, F32(0x7FC01234u), F32(0xFFA00001u), 1e38f, F32(0x00000007u)};
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 ? specials[(i / 7) % 8] : value(random);
  return v;
}

// Bit patterns with every NaN as one: which operand's payload a NaN result
// carries is left to the compiler's operand order.
std::vector<uint32_t> BitsOf(const void* p, size_t n) {
  std::vector<uint32_t> out(n);
  std::memcpy(out.data(), p, 4 * n);
  for (uint32_t& u : out)
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) u = 0x7FC00000u;
  return out;
}

uint32_t Canon(float f) { return BitsOf(&f, 1)[0]; }

std::vector<uint32_t> RawBits(const float* p, size_t n) {
  std::vector<uint32_t> out(n);
  std::memcpy(out.data(), p, 4 * n);
  return out;
}

class ElementWiseLevels : public LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(ElementWiseLevels);

using BinaryFn = DspStatus (*)(const float*, const float*, float*, int32_t);
using InPlaceFn = DspStatus (*)(const float*, float*, int32_t);

// Every build agrees with the baseline bit for bit, at every length that
// reaches the scalar, peel, pass and tail steps and at every byte offset of
// the destination (offsets off the element boundary take the unaligned path).
TEST_P(ElementWiseLevels, EveryBuildMatchesTheBaselineAtEveryOffset) {
  primtest::MxcsrScope mxcsr;
  struct Binary {
    const char* name;
    BinaryFn stub, baseline;
  };
  const Binary binaries[] = {{"sub", VecSubF32, VecSubF32L0}, {"mul", VecMulF32, VecMulF32L0}};
  struct InPlace {
    const char* name;
    InPlaceFn stub, baseline;
  };
  const InPlace inPlaces[] = {
      {"mul in place", VecMulF32InPlace, VecMulF32InPlaceL0},
      {"element min", VecElementMinF32InPlace, VecElementMinF32InPlaceL0},
      {"element max", VecElementMaxF32InPlace, VecElementMaxF32InPlaceL0},
      {"multiply-add", [](const float* s, float* d, int32_t n) { return VecMulAddF32(s, s, d, n); },
       [](const float* s, float* d, int32_t n) { return VecMulAddF32L0(s, s, d, n); }}};
  const std::vector<float> x = Mixed(80, 1), y = Mixed(80, 2);
  for (int32_t len : {1, 2, 3, 4, 7, 8, 10, 11, 12, 19, 33, 70}) {
    for (size_t dstOffset = 0; dstOffset < 16; ++dstOffset) {
      for (size_t srcOffset : {0u, 4u, 6u}) {
        SCOPED_TRACE(testing::Message() << "len " << len << " dst +" << dstOffset << " src +" << srcOffset);
        GuardedBuffer a(4 * len, srcOffset), b(4 * len, 8), d(4 * len, dstOffset);
        std::memcpy(a.data(), x.data(), 4 * len);
        std::memcpy(b.data(), y.data(), 4 * len);
        auto* pa = static_cast<float*>(a.data());
        auto* pb = static_cast<float*>(b.data());
        auto* pd = static_cast<float*>(d.data());
        std::vector<float> expected(len);
        for (const Binary& f : binaries) {
          SCOPED_TRACE(f.name);
          ASSERT_EQ(f.baseline(pa, pb, expected.data(), len), DSP_STATUS_OK);
          ASSERT_EQ(f.stub(pa, pb, pd, len), DSP_STATUS_OK);
          EXPECT_EQ(BitsOf(pd, len), BitsOf(expected.data(), len));
        }
        for (const InPlace& f : inPlaces) {
          SCOPED_TRACE(f.name);
          std::memcpy(expected.data(), y.data(), 4 * len);
          std::memcpy(pd, y.data(), 4 * len);
          ASSERT_EQ(f.baseline(pa, expected.data(), len), DSP_STATUS_OK);
          ASSERT_EQ(f.stub(pa, pd, len), DSP_STATUS_OK);
          EXPECT_EQ(BitsOf(pd, len), BitsOf(expected.data(), len));
        }
        EXPECT_TRUE(d.GuardsIntact());
      }
    }
  }
}

TEST_P(ElementWiseLevels, OperandOrderAndInPlaceUse) {
  const float a[2] = {1, 2}, b[2] = {10, 20};
  float d[2];
  ASSERT_EQ(VecSubF32(a, b, d, 2), DSP_STATUS_OK);
  EXPECT_EQ(d[0], 9.0f) << "second operand minus the first";
  EXPECT_EQ(d[1], 18.0f);

  const std::vector<float> x = Mixed(37, 3), y = Mixed(37, 4);
  std::vector<float> expected(37), v;
  for (BinaryFn f : {VecSubF32, VecMulF32}) {
    ASSERT_EQ(f(x.data(), y.data(), expected.data(), 37), DSP_STATUS_OK);
    v = x;
    ASSERT_EQ(f(v.data(), y.data(), v.data(), 37), DSP_STATUS_OK);
    EXPECT_EQ(BitsOf(v.data(), 37), BitsOf(expected.data(), 37)) << "dst == a";
    v = y;
    ASSERT_EQ(f(x.data(), v.data(), v.data(), 37), DSP_STATUS_OK);
    EXPECT_EQ(BitsOf(v.data(), 37), BitsOf(expected.data(), 37)) << "dst == b";
  }
  // src == srcDst squares; min and max leave it as it is.
  v = x;
  ASSERT_EQ(VecMulF32InPlace(v.data(), v.data(), 37), DSP_STATUS_OK);
  for (int i = 0; i < 37; ++i) EXPECT_EQ(Canon(v[i]), Canon(x[i] * x[i]));
  v = x;
  ASSERT_EQ(VecElementMinF32InPlace(v.data(), v.data(), 37), DSP_STATUS_OK);
  ASSERT_EQ(VecElementMaxF32InPlace(v.data(), v.data(), 37), DSP_STATUS_OK);
  EXPECT_EQ(RawBits(v.data(), 37), RawBits(x.data(), 37));
}

TEST_P(ElementWiseLevels, MinimumAndMaximumKeepTheDestinationOnNaNAndEqualZeros) {
  const float minSrc[4] = {1, F32(0x7FC00000u), -0.0f, 5}, maxSrc[4] = {1, F32(0x7FC00000u), 0.0f, 5};
  float minDst[4] = {2, 3, 0.0f, F32(0x7FC00001u)}, maxDst[4] = {2, 3, -0.0f, F32(0x7FC00001u)};
  ASSERT_EQ(VecElementMinF32InPlace(minSrc, minDst, 4), DSP_STATUS_OK);
  ASSERT_EQ(VecElementMaxF32InPlace(maxSrc, maxDst, 4), DSP_STATUS_OK);
  EXPECT_EQ(RawBits(minDst, 4), (std::vector<uint32_t>{Bits(1.0f), Bits(3.0f), 0u, 0x7FC00001u}));
  EXPECT_EQ(RawBits(maxDst, 4), (std::vector<uint32_t>{Bits(2.0f), Bits(3.0f), 0x80000000u, 0x7FC00001u}));

  const float big[2] = {1e30f, -1e30f}, zero[2] = {0.0f, 0.0f};
  float p[2] = {1e30f, kInf}, z[2] = {kInf, 1.0f};
  ASSERT_EQ(VecMulF32InPlace(big, p, 2), DSP_STATUS_OK);
  EXPECT_EQ(p[0], kInf);
  EXPECT_EQ(p[1], -kInf);
  ASSERT_EQ(VecMulF32InPlace(zero, z, 2), DSP_STATUS_OK);
  EXPECT_TRUE(std::isnan(z[0])) << "0 x infinity";
}

// Long subtractions stream their results; the values are those of the
// baseline all the same.
TEST_P(ElementWiseLevels, LongSubtractionMatchesTheBaseline) {
  const int32_t n = 90001;
  std::vector<float> a(n), b(n), d(n + 1), expected(n);
  for (int32_t i = 0; i < n; ++i) {
    a[i] = static_cast<float>(i) * 0.25f;
    b[i] = static_cast<float>(n - i) * 1.5f;
  }
  ASSERT_EQ(VecSubF32L0(a.data(), b.data(), expected.data(), n), DSP_STATUS_OK);
  ASSERT_EQ(VecSubF32(a.data(), b.data(), d.data() + 1, n), DSP_STATUS_OK);
  EXPECT_EQ(std::memcmp(d.data() + 1, expected.data(), 4 * n), 0);
}

class MultiplyAdd : public testsupport::KernelTest {};

// Overlapping vectors go front to back, each element reading what its
// predecessor just stored; disjoint ones round the product, then the sum.
TEST_F(MultiplyAdd, OverlapRunsFrontToBackAndEveryPathRoundsTwice) {
  primtest::MxcsrScope mxcsr;
  const std::vector<float> x = Mixed(104, 5), y = Mixed(104, 6), z = Mixed(104, 7);
  auto forward = [](const float* a, const float* b, std::vector<float> acc, int n) {
    for (int i = 0; i < n; ++i) {
      const float product = a[i] * b[i];
      acc[i] = product + acc[i];
    }
    return acc;
  };

  alignas(16) float dst[100];
  std::memcpy(dst, z.data(), sizeof(dst));
  ASSERT_EQ(VecMulAddF32(x.data() + 1, y.data() + 3, dst, 100), DSP_STATUS_OK);
  EXPECT_EQ(BitsOf(dst, 100), BitsOf(forward(x.data() + 1, y.data() + 3, z, 100).data(), 100));

  std::vector<float> v = x;
  ASSERT_EQ(VecMulAddF32(v.data(), y.data(), v.data(), 100), DSP_STATUS_OK);
  for (int i = 0; i < 100; ++i) {
    const float product = x[i] * y[i];
    EXPECT_EQ(Canon(v[i]), Canon(product + x[i])) << "dst == a";
  }

  // dst = a + 1: a[i + 1] = a[i] b[i] + a[i + 1], a[i] already updated.
  v = x;
  ASSERT_EQ(VecMulAddF32(v.data(), y.data(), v.data() + 1, 100), DSP_STATUS_OK);
  std::vector<float> expected = x;
  for (int i = 0; i < 100; ++i) {
    const float product = expected[i] * y[i];
    expected[i + 1] = product + expected[i + 1];
  }
  EXPECT_EQ(BitsOf(v.data(), 101), BitsOf(expected.data(), 101));
}

}  // namespace
