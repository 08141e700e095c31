// The four-lane radix-2 pass, the gather from and scatter to planes and the
// out-of-place complex multiply, at levels 1 to 3.
#include <cstring>
#include <vector>

#include "primitives/levels/FftLevels.h"
#include "primitives/unreached/fft_kernels/FftKernels.h"
#include "tests/primitives/unreached/FftTestSupport.h"

namespace {

using fft_test::FloatArena;
using fft_test::SameBits;
using primitives_test::RandomSignal;

struct LaneApi {
  decltype(&FftRadix2PassForwardL1) forward;
  decltype(&FftRadix2PassInverseL1) inverse;
  decltype(&FftGatherFromPlanesL1) gather;
  decltype(&FftScatterToPlanesL1) scatter;
  decltype(&ComplexMulLoopL1) multiply;
  decltype(&ComplexMulInPlaceLoopL1) multiplyInPlace;
};
const LaneApi kApis[4] = {
    {},
    {FftRadix2PassForwardL1, FftRadix2PassInverseL1, FftGatherFromPlanesL1, FftScatterToPlanesL1, ComplexMulLoopL1,
     ComplexMulInPlaceLoopL1},
    {FftRadix2PassForwardL2, FftRadix2PassInverseL2, FftGatherFromPlanesL2, FftScatterToPlanesL2, ComplexMulLoopL2,
     ComplexMulInPlaceLoopL2},
    {FftRadix2PassForwardL3, FftRadix2PassInverseL3, FftGatherFromPlanesL3, FftScatterToPlanesL3, ComplexMulLoopL3,
     ComplexMulInPlaceLoopL3},
};

class FftLaneKernels : public fft_test::LevelTest {
 protected:
  const LaneApi& api() const { return kApis[GetParam()]; }
};
INSTANTIATE_TEST_SUITE_P(Levels, FftLaneKernels, ::testing::Values(1, 2, 3), ::fft_test::LevelName);

// Point p of four-lane split data: real part and imaginary part.
float& Re(float* data, int64_t p) { return data[8 * (p / 4) + p % 4]; }
float& Im(float* data, int64_t p) { return data[8 * (p / 4) + p % 4 + 4]; }

// The pass point by point in the operation order it promises.
std::vector<float> ReferencePass(const std::vector<float>& x, const std::vector<float>& w, int64_t half, int64_t groups,
                                 bool inverse) {
  std::vector<float> in = x, y(x.size()), tw = w;
  for (int64_t g = 0; g < groups; ++g) {
    float* src = in.data() + 4 * half * g;
    float* dst = y.data() + 4 * half * g;
    for (int64_t j = 0; j < half; ++j) {
      const float ar = Re(src, j), ai = Im(src, j), br = Re(src, j + half), bi = Im(src, j + half);
      const float wr = Re(tw.data(), j), wi = Im(tw.data(), j);
      const float tr = inverse ? wr * br + wi * bi : wr * br - wi * bi;
      const float ti = inverse ? bi * wr - br * wi : bi * wr + br * wi;
      Re(dst, j) = tr + ar;
      Im(dst, j) = ti + ai;
      Re(dst, j + half) = ar - tr;
      Im(dst, j + half) = ai - ti;
    }
  }
  return y;
}

TEST_P(FftLaneKernels, Radix2PassCombinesEveryGroupWithTheSharedTwiddles) {
  for (int64_t half : {4, 8, 32}) {
    for (int64_t groups : {1, 3}) {
      const size_t floats = static_cast<size_t>(4 * half * groups);
      const std::vector<float> x = RandomSignal(floats, static_cast<unsigned>(half + groups));
      const std::vector<float> w = RandomSignal(static_cast<size_t>(2 * half), 9);
      FloatArena src(floats, 0), dst(floats, 16), tw(w.size(), 32);
      std::memcpy(tw.data(), w.data(), w.size() * 4);
      for (bool inverse : {false, true}) {
        SCOPED_TRACE(testing::Message() << "half " << half << " groups " << groups << " inverse " << inverse);
        const auto pass = inverse ? api().inverse : api().forward;
        std::memcpy(src.data(), x.data(), floats * 4);
        pass(src.data(), dst.data(), half, groups, tw.data());
        const std::vector<float> expected = ReferencePass(x, w, half, groups, inverse);
        EXPECT_TRUE(SameBits(dst.data(), expected.data(), floats));
        pass(src.data(), src.data(), half, groups, tw.data());  // in place
        EXPECT_TRUE(SameBits(src.data(), expected.data(), floats));
      }
    }
  }
}

TEST_P(FftLaneKernels, Radix2PassTwiddleCases) {
  alignas(16) float x[16], y[16], w[8];
  for (int p = 0; p < 8; ++p) {
    Re(x, p) = static_cast<float>(p + 1);
    Im(x, p) = static_cast<float>(-3 * p);
  }
  // All twiddles 1: sums and differences, forward and inverse alike.
  for (int p = 0; p < 4; ++p) {
    Re(w, p) = 1.0f;
    Im(w, p) = 0.0f;
  }
  for (auto pass : {api().forward, api().inverse}) {
    pass(x, y, 4, 1, w);
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(Re(y, j), Re(x, j) + Re(x, j + 4));
      EXPECT_EQ(Im(y, j), Im(x, j) + Im(x, j + 4));
      EXPECT_EQ(Re(y, j + 4), Re(x, j) - Re(x, j + 4));
      EXPECT_EQ(Im(y, j + 4), Im(x, j) - Im(x, j + 4));
    }
  }
  // w = -i: the forward pass adds -i b, the inverse i b.
  for (int p = 0; p < 4; ++p) {
    Re(w, p) = 0.0f;
    Im(w, p) = -1.0f;
  }
  api().forward(x, y, 4, 1, w);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(Re(y, j), Re(x, j) + Im(x, j + 4));
    EXPECT_EQ(Im(y, j), Im(x, j) - Re(x, j + 4));
  }
  api().inverse(x, y, 4, 1, w);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(Re(y, j), Re(x, j) - Im(x, j + 4));
    EXPECT_EQ(Im(y, j), Im(x, j) + Re(x, j + 4));
  }
}

TEST_P(FftLaneKernels, GatherAndScatterWalkRowsOfPlanes) {
  // len 8, 2 rows, stride 16: row 0's reals and imaginaries by fours, then
  // row 1's.
  float re[32], im[32];
  for (int i = 0; i < 32; ++i) {
    re[i] = static_cast<float>(i);
    im[i] = static_cast<float>(100 + i);
  }
  FloatArena split(32, 0);
  api().gather(re, im, split.data(), 16, 2, 8);
  const float* d = split.data();
  for (int row = 0; row < 2; ++row) {
    for (int half = 0; half < 2; ++half) {
      for (int l = 0; l < 4; ++l) {
        const int k = 16 * row + 4 * half + l;
        EXPECT_EQ(d[16 * row + 8 * half + l], re[k]);
        EXPECT_EQ(d[16 * row + 8 * half + 4 + l], im[k]);
      }
    }
  }

  // Scatter with the same arguments restores both planes, at any plane
  // alignment and any stride.
  for (size_t offset : {size_t{0}, size_t{4}, size_t{12}}) {
    for (int64_t stride : {int64_t{24}, int64_t{27}}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " stride " << stride);
      const int32_t rows = 3, len = 16;
      const size_t planeFloats = static_cast<size_t>(stride * (rows - 1) + len);
      FloatArena reIn(planeFloats, offset), imIn(planeFloats, offset + 4), reOut(planeFloats, offset),
          imOut(planeFloats, offset);
      const std::vector<float> a = RandomSignal(planeFloats, 1), b = RandomSignal(planeFloats, 2);
      std::memcpy(reIn.data(), a.data(), planeFloats * 4);
      std::memcpy(imIn.data(), b.data(), planeFloats * 4);
      std::memset(reOut.data(), 0, planeFloats * 4);
      std::memset(imOut.data(), 0, planeFloats * 4);
      FloatArena buffer(2 * rows * len, 0);
      api().gather(reIn.data(), imIn.data(), buffer.data(), stride, rows, len);
      api().scatter(reOut.data(), imOut.data(), buffer.data(), stride, rows, len);
      for (int32_t r = 0; r < rows; ++r) {
        for (int32_t k = 0; k < len; ++k) {
          const size_t i = static_cast<size_t>(r * stride + k);
          ASSERT_EQ(reOut.data()[i], a[i]);
          ASSERT_EQ(imOut.data()[i], b[i]);
        }
      }
      // Between the rows nothing is written.
      EXPECT_EQ(reOut.data()[len], 0.0f);
      EXPECT_EQ(imOut.data()[len], 0.0f);
    }
  }
}

// Vector steps and scalar tail give the products of the scalar formula,
// for every alignment of the three arrays, in place on either operand, and
// the bits the in-place multiply leaves in b.
TEST_P(FftLaneKernels, ComplexMulLoopMatchesTheScalarProduct) {
  for (uint32_t count : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 13u}) {
    const std::vector<float> a = RandomSignal(2 * count + 2, count), b = RandomSignal(2 * count + 2, 50 + count);
    std::vector<float> expected(2 * count);
    for (uint32_t k = 0; k < count; ++k) {
      expected[2 * k] = a[2 * k] * b[2 * k] - a[2 * k + 1] * b[2 * k + 1];
      expected[2 * k + 1] = a[2 * k + 1] * b[2 * k] + a[2 * k] * b[2 * k + 1];
    }
    for (size_t offsetA : {0, 4}) {
      for (size_t offsetB : {0, 8}) {
        for (size_t offsetDst : {0, 4}) {
          SCOPED_TRACE(testing::Message()
                       << "count " << count << " offsets " << offsetA << " " << offsetB << " " << offsetDst);
          FloatArena pa(2 * count + 2, offsetA), pb(2 * count + 2, offsetB), pd(2 * count + 2, offsetDst);
          std::memcpy(pa.data(), a.data(), a.size() * 4);
          std::memcpy(pb.data(), b.data(), b.size() * 4);
          pd.data()[2 * count] = 42.0f;
          api().multiply(pa.data(), pb.data(), pd.data(), count);
          EXPECT_TRUE(SameBits(pd.data(), expected.data(), 2 * count));
          EXPECT_EQ(pd.data()[2 * count], 42.0f);  // nothing past the last point
        }
      }
    }
    std::vector<float> onA = a, onB = b, inPlace = b;
    api().multiply(onA.data(), b.data(), onA.data(), count);
    api().multiply(a.data(), onB.data(), onB.data(), count);
    api().multiplyInPlace(a.data(), inPlace.data(), count);
    EXPECT_TRUE(SameBits(onA.data(), expected.data(), 2 * count));
    EXPECT_TRUE(SameBits(onB.data(), expected.data(), 2 * count));
    EXPECT_TRUE(SameBits(inPlace.data(), expected.data(), 2 * count));
  }
}

}  // namespace
