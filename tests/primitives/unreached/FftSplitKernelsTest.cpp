// Complex transforms on separate real and imaginary planes, and the column
// transforms and radix-8 combination that build one transform of 8n points.
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/unreached/fft_kernels/FftKernels.h"
#include "tests/primitives/unreached/FftTestSupport.h"

namespace {

using namespace fft_test;
using primitives_test::RandomSignal;

struct SplitApi {
  decltype(&FftButterflySplitForwardL1) forward;
  decltype(&FftButterflySplitInverseL1) inverse;
  decltype(&FftButterflySplitForwardInPlaceL1) forwardInPlace;
  decltype(&FftButterflySplitInverseInPlaceL1) inverseInPlace;
  // The interleaved counterparts and the level's table builders.
  decltype(&FftButterflyBlockForwardL1) interleavedForward;
  decltype(&FftButterflyBlockInverseL1) interleavedInverse;
  decltype(&BuildBitReverseIndexTableL1) buildIndexTable;
  decltype(&BuildButterflyTwiddlesL1) buildTwiddles;
  decltype(&BuildSineTableL1) buildSines;
};
const SplitApi kApis[4] = {
    {},
    {FftButterflySplitForwardL1, FftButterflySplitInverseL1, FftButterflySplitForwardInPlaceL1,
     FftButterflySplitInverseInPlaceL1, FftButterflyBlockForwardL1, FftButterflyBlockInverseL1,
     BuildBitReverseIndexTableL1, BuildButterflyTwiddlesL1, BuildSineTableL1},
    {FftButterflySplitForwardL2, FftButterflySplitInverseL2, FftButterflySplitForwardInPlaceL2,
     FftButterflySplitInverseInPlaceL2, FftButterflyBlockForwardL2, FftButterflyBlockInverseL2,
     BuildBitReverseIndexTableL2L3, BuildButterflyTwiddlesL2L3, BuildSineTableL2},
    {FftButterflySplitForwardL3, FftButterflySplitInverseL3, FftButterflySplitForwardInPlaceL3,
     FftButterflySplitInverseInPlaceL3, FftButterflyBlockForwardL3, FftButterflyBlockInverseL3,
     BuildBitReverseIndexTableL2L3, BuildButterflyTwiddlesL2L3, BuildSineTableL3},
};

// The index table and stage twiddles of one order as a level builds them.
class Tables {
 public:
  Tables(const SplitApi& api, int order)
      : m_Index(static_cast<size_t>((1 << order) / 4 + 8)), m_Twiddles(size_t{2} << order, 0) {
    const float* sines = QuarterSineTable1024;
    int sineOrder = 10;
    std::vector<float> ownSines;
    if (order > 10) {
      ownSines.resize(static_cast<size_t>((1 << order) / 4 + 16));
      float* aligned = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(ownSines.data()) + 31) & ~uintptr_t{31});
      api.buildSines(order, aligned);
      sines = aligned;
      sineOrder = order;
    }
    api.buildIndexTable(order, m_Index.data());
    api.buildTwiddles(order, sines, sineOrder, m_Twiddles.data());
  }
  const int32_t* index() const { return m_Index.data(); }
  float* twiddles() { return m_Twiddles.data(); }

 private:
  std::vector<int32_t> m_Index;
  FloatArena m_Twiddles;
};

class FftSplitKernels : public fft_test::LevelTest {
 protected:
  const SplitApi& api() const { return kApis[GetParam()]; }
};
INSTANTIATE_TEST_SUITE_P(Levels, FftSplitKernels, ::testing::Values(1, 2, 3), ::fft_test::LevelName);

// Planes of `points` floats at an offset in bytes from a 64-byte boundary.
struct Planes {
  Planes(size_t points, size_t offset) : re(points, offset), im(points, offset + 4) {}
  FloatArena re, im;
};

// Every order from 8 to 8192 points, forward and inverse, from planes at
// either alignment to planes at either alignment: the long double
// transform, and the bits of the interleaved kernel of the same level.
TEST_P(FftSplitKernels, WholeTransformMatchesTheReferenceAndTheInterleavedKernel) {
  for (int order = 3; order <= 13; ++order) {
    const size_t n = size_t{1} << order;
    Tables tables(api(), order);
    const std::vector<float> x = RandomSignal(2 * n, static_cast<unsigned>(order));
    for (bool inverse : {false, true}) {
      const int sign = inverse ? 1 : -1;
      const std::vector<LongComplex> reference = ReferenceDft(FromInterleaved(x.data(), n), sign);
      FloatArena interleaved(2 * n, 0), work(2 * n, 0);
      (inverse ? api().interleavedInverse : api().interleavedForward)(
          x.data(), interleaved.data(), static_cast<int32_t>(n), tables.index(), tables.twiddles(), work.data());
      for (size_t srcOffset : {size_t{0}, size_t{4}}) {
        for (size_t dstOffset : {size_t{0}, size_t{8}}) {
          SCOPED_TRACE(testing::Message()
                       << "order " << order << " inverse " << inverse << " offsets " << srcOffset << " " << dstOffset);
          Planes src(n, srcOffset), dst(n, dstOffset);
          for (size_t k = 0; k < n; ++k) {
            src.re.data()[k] = x[2 * k];
            src.im.data()[k] = x[2 * k + 1];
          }
          (inverse ? api().inverse : api().forward)(src.re.data(), src.im.data(), dst.re.data(), dst.im.data(),
                                                    static_cast<int32_t>(n), tables.twiddles(), tables.index(),
                                                    work.data());
          const std::vector<LongComplex> result = FromPlanes(dst.re.data(), dst.im.data(), n);
          EXPECT_LT(RelativeRmsError(result, reference), RmsLimit(order));
          bool same = true;
          for (size_t k = 0; k < n; ++k)
            same = same && std::memcmp(&dst.re.data()[k], &interleaved.data()[2 * k], 4) == 0 &&
                   std::memcmp(&dst.im.data()[k], &interleaved.data()[2 * k + 1], 4) == 0;
          EXPECT_TRUE(same) << "differs from the interleaved kernel";
        }
      }
    }
  }
}

// Output planes equal to the input planes; 8 points with no tables and no
// work; impulses; forward then inverse gives n times the input.
TEST_P(FftSplitKernels, InPlaceOutputImpulsesAndRoundTrip) {
  for (int order : {3, 4, 5, 9}) {
    const int32_t n = 1 << order;
    Tables tables(api(), order);
    FloatArena work(2 * static_cast<size_t>(n), 0);
    const float* tw = order == 3 ? nullptr : tables.twiddles();
    const int32_t* index = order == 3 ? nullptr : tables.index();
    float* workPtr = order == 3 ? nullptr : work.data();
    SCOPED_TRACE(testing::Message() << "order " << order);

    const std::vector<float> re = RandomSignal(n, 1), im = RandomSignal(n, 2);
    std::vector<float> outRe(n), outIm(n), sameRe = re, sameIm = im;
    api().forward(re.data(), im.data(), outRe.data(), outIm.data(), n, tw, index, workPtr);
    api().forward(sameRe.data(), sameIm.data(), sameRe.data(), sameIm.data(), n, tw, index, workPtr);
    EXPECT_TRUE(SameBits(sameRe.data(), outRe.data(), n));
    EXPECT_TRUE(SameBits(sameIm.data(), outIm.data(), n));

    std::vector<float> backRe(n), backIm(n);
    api().inverse(outRe.data(), outIm.data(), backRe.data(), backIm.data(), n, tw, index, workPtr);
    for (int32_t k = 0; k < n; ++k) {
      EXPECT_NEAR(backRe[k], n * re[k], 1e-5 * n) << k;
      EXPECT_NEAR(backIm[k], n * im[k], 1e-5 * n) << k;
    }

    // Impulse at 0: all ones; at 1: cos and -sin (forward) or +sin.
    for (int at : {0, 1}) {
      std::vector<float> pr(n, 0.0f), pi(n, 0.0f), fr(n), fi(n), ir(n), ii(n);
      pr[at] = 1.0f;
      api().forward(pr.data(), pi.data(), fr.data(), fi.data(), n, tw, index, workPtr);
      api().inverse(pr.data(), pi.data(), ir.data(), ii.data(), n, tw, index, workPtr);
      for (int32_t k = 0; k < n; ++k) {
        const double angle = 2.0 * std::numbers::pi * at * k / n;
        EXPECT_NEAR(fr[k], std::cos(angle), 1e-6) << "impulse " << at << " bin " << k;
        EXPECT_NEAR(fi[k], -std::sin(angle), 1e-6) << "impulse " << at << " bin " << k;
        EXPECT_NEAR(ir[k], std::cos(angle), 1e-6) << "impulse " << at << " bin " << k;
        EXPECT_NEAR(ii[k], std::sin(angle), 1e-6) << "impulse " << at << " bin " << k;
      }
    }
  }
}

// The in-place kernel on bit-reversed planes gives the bits of the whole-
// transform kernel on the natural-order points, which are the bits of the
// interleaved tile kernel.
TEST_P(FftSplitKernels, InPlaceKernelOnBitReversedPlanes) {
  for (int order : {4, 5, 6, 7, 10, 12}) {
    const int32_t n = 1 << order;
    Tables tables(api(), order);
    FloatArena work(2 * static_cast<size_t>(n), 0);
    const std::vector<float> re = RandomSignal(n, 3), im = RandomSignal(n, 4);
    for (bool inverse : {false, true}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " inverse " << inverse);
      std::vector<float> wholeRe(n), wholeIm(n);
      (inverse ? api().inverse : api().forward)(re.data(), im.data(), wholeRe.data(), wholeIm.data(), n,
                                                tables.twiddles(), tables.index(), work.data());
      for (size_t offset : {size_t{0}, size_t{4}}) {
        Planes p(static_cast<size_t>(n), offset);
        for (int32_t k = 0; k < n; ++k) {
          const uint64_t from = ReverseBits(static_cast<uint64_t>(k), order);
          p.re.data()[k] = re[from];
          p.im.data()[k] = im[from];
        }
        (inverse ? api().inverseInPlace : api().forwardInPlace)(p.re.data(), p.im.data(), n, tables.twiddles(),
                                                                work.data());
        EXPECT_TRUE(SameBits(p.re.data(), wholeRe.data(), n));
        EXPECT_TRUE(SameBits(p.im.data(), wholeIm.data(), n));
      }
    }
  }
}

// Levels 2 and 3 are one code: the same bits. Level 1 runs its own stage
// plan over its own tables and agrees to rounding.
TEST_P(FftSplitKernels, LevelsAgree) {
  if (level() == 1 || !fft_test::ProcessorRunsLevel(1)) GTEST_SKIP() << "compared from levels 2 and 3";
  for (int order : {7, 8, 10, 13}) {
    const int32_t n = 1 << order;
    Tables own(api(), order), levelOne(kApis[1], order);
    FloatArena work(2 * static_cast<size_t>(n), 0);
    const std::vector<float> re = RandomSignal(n, 5), im = RandomSignal(n, 6);
    std::vector<float> aRe(n), aIm(n), bRe(n), bIm(n);
    api().forward(re.data(), im.data(), aRe.data(), aIm.data(), n, own.twiddles(), own.index(), work.data());
    kApis[1].forward(re.data(), im.data(), bRe.data(), bIm.data(), n, levelOne.twiddles(), levelOne.index(),
                     work.data());
    EXPECT_LT(RelativeRmsError(FromPlanes(aRe.data(), aIm.data(), n), FromPlanes(bRe.data(), bIm.data(), n)),
              RmsLimit(order));
    if (level() == 3 && fft_test::ProcessorRunsLevel(2)) {
      std::vector<float> cRe(n), cIm(n);
      kApis[2].forward(re.data(), im.data(), cRe.data(), cIm.data(), n, own.twiddles(), own.index(), work.data());
      EXPECT_TRUE(SameBits(aRe.data(), cRe.data(), n)) << order;
      EXPECT_TRUE(SameBits(aIm.data(), cIm.data(), n)) << order;
    }
  }
}

// The largest orders the plane kernels serve; long for a sanitizer build.
TEST_P(FftSplitKernels, DISABLED_LargeOrders) {
  for (int order = 14; order <= 17; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int32_t n = 1 << order;
    Tables tables(api(), order);
    FloatArena work(2 * static_cast<size_t>(n), 0);
    const std::vector<float> re = RandomSignal(n, 7), im = RandomSignal(n, 8);
    std::vector<float> outRe(n), outIm(n);
    api().forward(re.data(), im.data(), outRe.data(), outIm.data(), n, tables.twiddles(), tables.index(), work.data());
    const std::vector<LongComplex> reference = ReferenceDft(FromPlanes(re.data(), im.data(), n), -1);
    EXPECT_LT(RelativeRmsError(FromPlanes(outRe.data(), outIm.data(), n), reference), RmsLimit(order));
    std::vector<float> pRe(n), pIm(n);
    for (int32_t k = 0; k < n; ++k) {
      const uint64_t from = ReverseBits(static_cast<uint64_t>(k), order);
      pRe[k] = re[from];
      pIm[k] = im[from];
    }
    api().forwardInPlace(pRe.data(), pIm.data(), n, tables.twiddles(), work.data());
    EXPECT_TRUE(SameBits(pRe.data(), outRe.data(), n));
    EXPECT_TRUE(SameBits(pIm.data(), outIm.data(), n));
  }
}

// ---------------------------------------------------------------------------
// Column transforms and the radix-8 combination (levels 2 and 3).

struct EightWayApi {
  decltype(&FftColumnsForwardL2) columnsForward;
  decltype(&FftColumnsInverseL2) columnsInverse;
  decltype(&FftColumnsSplitForwardL2) columnsSplitForward;
  decltype(&FftColumnsSplitInverseL2) columnsSplitInverse;
  decltype(&FftRadix8CombineForwardL2) combineForward;
  decltype(&FftRadix8CombineInverseL2) combineInverse;
  decltype(&FftRadix8CombineSplitForwardL2) combineSplitForward;
  decltype(&FftRadix8CombineSplitInverseL2) combineSplitInverse;
};
const EightWayApi kEightWay[4] = {
    {},
    {},
    {FftColumnsForwardL2, FftColumnsInverseL2, FftColumnsSplitForwardL2, FftColumnsSplitInverseL2,
     FftRadix8CombineForwardL2, FftRadix8CombineInverseL2, FftRadix8CombineSplitForwardL2,
     FftRadix8CombineSplitInverseL2},
    {FftColumnsForwardL3, FftColumnsInverseL3, FftColumnsSplitForwardL3, FftColumnsSplitInverseL3,
     FftRadix8CombineForwardL3, FftRadix8CombineInverseL3, FftRadix8CombineSplitForwardL3,
     FftRadix8CombineSplitInverseL3},
};

// The combination records are the last stage of the level-2 table of order
// log2 (8n): the level-2 plan of an order is the plan of three orders less
// followed by one radix-8 stage, so they follow the records of order log2 n.
size_t CombineRecordOffset(int wholeOrder) {
  size_t offset = 0, span = 4;
  for (int done = 2; done < wholeOrder - 3;) {
    const int radix = (wholeOrder - done) % 3 == 0 ? 8 : 4;
    offset += 2 * static_cast<size_t>(radix - 1) * span;
    span *= static_cast<size_t>(radix);
    done += radix == 8 ? 3 : 2;
  }
  return offset;
}

class FftEightWayKernels : public FftSplitKernels {
 protected:
  const EightWayApi& eight() const { return kEightWay[GetParam()]; }

  // Two column calls and the combination give the transform of 8n points,
  // interleaved or on planes with the same bits, and level 3 gives level 2's
  // bits.
  void ComposeAndCompare(int order) {
    const size_t n = size_t{1} << order, total = 8 * n;
    Tables columnTables(api(), order), wholeTables(api(), order + 3);
    const float* combineTwiddles = wholeTables.twiddles() + CombineRecordOffset(order + 3);
    const std::vector<float> x = RandomSignal(2 * total, static_cast<unsigned>(order));
    for (bool inverse : {false, true}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " inverse " << inverse);
      const auto columns = inverse ? eight().columnsInverse : eight().columnsForward;
      const auto combine = inverse ? eight().combineInverse : eight().combineForward;
      FloatArena area(2 * total, 0), work(8 * n, 0), result(2 * total, 4);
      columns(x.data(), area.data(), static_cast<int64_t>(n), columnTables.twiddles(), columnTables.index(),
              work.data());
      const std::vector<float> firstHalf(area.data(), area.data() + 8 * n);
      columns(x.data() + 8, area.data() + 8 * n, static_cast<int64_t>(n), columnTables.twiddles(), columnTables.index(),
              work.data());
      EXPECT_TRUE(SameBits(area.data(), firstHalf.data(), 8 * n)) << "the second call disturbed sections 0..3";
      const std::vector<float> spectra(area.data(), area.data() + 2 * total);
      combine(area.data(), result.data(), static_cast<int64_t>(n), static_cast<int64_t>(n), combineTwiddles);
      const std::vector<LongComplex> reference = ReferenceDft(FromInterleaved(x.data(), total), inverse ? 1 : -1);
      EXPECT_LT(RelativeRmsError(FromInterleaved(result.data(), total), reference), RmsLimit(order + 3));

      // Planes source, planes result: the same bits.
      Planes src(total, 4), out(total, 0);
      for (size_t k = 0; k < total; ++k) src.re.data()[k] = x[2 * k], src.im.data()[k] = x[2 * k + 1];
      FloatArena splitArea(2 * total, 0);
      const auto splitColumns = inverse ? eight().columnsSplitInverse : eight().columnsSplitForward;
      splitColumns(src.re.data(), src.im.data(), splitArea.data(), static_cast<int64_t>(n), columnTables.twiddles(),
                   columnTables.index());
      splitColumns(src.re.data() + 4, src.im.data() + 4, splitArea.data() + 8 * n, static_cast<int64_t>(n),
                   columnTables.twiddles(), columnTables.index());
      EXPECT_TRUE(SameBits(splitArea.data(), spectra.data(), 2 * total));
      (inverse ? eight().combineSplitInverse : eight().combineSplitForward)(splitArea.data(), out.re.data(),
                                                                            out.im.data(), static_cast<int64_t>(n),
                                                                            static_cast<int32_t>(n), combineTwiddles);
      bool same = true;
      for (size_t k = 0; k < total; ++k)
        same = same && std::memcmp(&out.re.data()[k], &result.data()[2 * k], 4) == 0 &&
               std::memcmp(&out.im.data()[k], &result.data()[2 * k + 1], 4) == 0;
      EXPECT_TRUE(same) << "planes differ from the interleaved result";

      // Level 3 is level 2's code: the same bits.
      if (level() == 3 && ProcessorRunsLevel(2)) {
        const EightWayApi& two = kEightWay[2];
        FloatArena area2(2 * total, 0), result2(2 * total, 0);
        const auto columns2 = inverse ? two.columnsInverse : two.columnsForward;
        columns2(x.data(), area2.data(), static_cast<int64_t>(n), columnTables.twiddles(), columnTables.index(),
                 work.data());
        columns2(x.data() + 8, area2.data() + 8 * n, static_cast<int64_t>(n), columnTables.twiddles(),
                 columnTables.index(), work.data());
        (inverse ? two.combineInverse : two.combineForward)(area2.data(), result2.data(), static_cast<int64_t>(n),
                                                            static_cast<int64_t>(n), combineTwiddles);
        EXPECT_TRUE(SameBits(result2.data(), result.data(), 2 * total));
      }

      // In place: the interleaved combination over its own source.
      combine(area.data(), area.data(), static_cast<int64_t>(n), static_cast<int64_t>(n), combineTwiddles);
      EXPECT_TRUE(SameBits(area.data(), result.data(), 2 * total));
    }
  }
};
INSTANTIATE_TEST_SUITE_P(Levels, FftEightWayKernels, ::testing::Values(2, 3), ::fft_test::LevelName);

// n = 64 ends the column stages with a radix-4 stage, n = 128 with a
// radix-8 stage; 256 is all radix 8.
TEST_P(FftEightWayKernels, ColumnsAndCombinationComposeTheLargeTransform) {
  for (int order : {6, 7, 8}) ComposeAndCompare(order);
}

// Up to the largest n the column kernels serve; long for a sanitizer build.
TEST_P(FftEightWayKernels, DISABLED_LargeOrdersCompose) {
  for (int order : {9, 12, 17}) ComposeAndCompare(order);
}

// Where the column kernel runs its stages does not change its bits: in an
// aligned destination, in the work buffer for an unaligned one or for a
// destination equal to the source.
TEST_P(FftEightWayKernels, ColumnsGiveTheSameSectionsWhereverTheyWork) {
  const int order = 7;
  const size_t n = size_t{1} << order;
  Tables tables(api(), order);
  const std::vector<float> x = RandomSignal(16 * n, 21);
  FloatArena aligned(8 * n, 0), unaligned(8 * n, 4), work(8 * n, 0);
  eight().columnsForward(x.data(), aligned.data(), static_cast<int64_t>(n), tables.twiddles(), tables.index(),
                         work.data());
  eight().columnsForward(x.data(), unaligned.data(), static_cast<int64_t>(n), tables.twiddles(), tables.index(),
                         work.data());
  EXPECT_TRUE(SameBits(aligned.data(), unaligned.data(), 8 * n));
  FloatArena same(16 * n, 0);
  std::memcpy(same.data(), x.data(), 16 * n * 4);
  eight().columnsForward(same.data(), same.data(), static_cast<int64_t>(n), tables.twiddles(), tables.index(),
                         work.data());
  EXPECT_TRUE(SameBits(aligned.data(), same.data(), 8 * n));
}

// A combination in two pieces equals one call; a count of 1 does exactly
// one block position.
TEST_P(FftEightWayKernels, CombinationInPieces) {
  const int order = 6;
  const size_t n = size_t{1} << order, total = 8 * n;
  Tables wholeTables(api(), order + 3);
  const float* tw = wholeTables.twiddles() + CombineRecordOffset(order + 3);
  FloatArena spectra(2 * total, 0), whole(2 * total, 0), pieces(2 * total, 0);
  const std::vector<float> s = RandomSignal(2 * total, 33);
  std::memcpy(spectra.data(), s.data(), s.size() * 4);
  eight().combineForward(spectra.data(), whole.data(), static_cast<int64_t>(n), static_cast<int64_t>(n), tw);
  const size_t k0 = n / 2;
  eight().combineForward(spectra.data(), pieces.data(), static_cast<int64_t>(n), static_cast<int64_t>(k0), tw);
  eight().combineForward(spectra.data() + 2 * k0, pieces.data() + 2 * k0, static_cast<int64_t>(n),
                         static_cast<int64_t>(n - k0), tw + 14 * k0);
  EXPECT_TRUE(SameBits(whole.data(), pieces.data(), 2 * total));

  FloatArena one(2 * total, 0);
  std::memset(one.data(), 0, 2 * total * 4);
  eight().combineForward(spectra.data(), one.data(), static_cast<int64_t>(n), 1, tw);
  for (size_t q = 0; q < 8; ++q) {
    for (size_t k = 0; k < n; ++k) {
      const size_t point = q * n + k;
      if (k < 4) {
        EXPECT_EQ(one.data()[2 * point], whole.data()[2 * point]) << point;
        EXPECT_EQ(one.data()[2 * point + 1], whole.data()[2 * point + 1]) << point;
      } else {
        ASSERT_EQ(one.data()[2 * point], 0.0f) << point;
        ASSERT_EQ(one.data()[2 * point + 1], 0.0f) << point;
      }
    }
  }
}

}  // namespace
