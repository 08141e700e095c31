// The level 1-3 builds of the real FFT entries: sizes, statuses, accuracy
// against long-double references, and where levels agree bit for bit.
#include <algorithm>
#include <cstring>
#include <vector>

#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "tests/primitives/levels/FftLevelTestSupport.h"
#include "tests/support/DispatchLevel.h"

namespace fft_level_test {
namespace {

using primitives_test::CountingAllocHooks;

constexpr int32_t kAllFlags[] = {FFT_SCALE_FORWARD, FFT_SCALE_INVERSE, FFT_SCALE_SQRT_BOTH, FFT_SCALE_NONE};

class FftLevelsTest : public FftLevelTest {};
INSTANTIATE_FOR_FFT_LEVELS(FftLevelsTest);

// One transform in place on a fresh setup of the level.
std::vector<float> Transform(const LevelApi& api, bool inverse, int32_t order, const std::vector<float>& x,
                             int32_t flags) {
  LevelSpec spec(api, order, flags);
  EXPECT_EQ(spec.status(), DSP_STATUS_OK);
  std::vector<float> y = x;
  EXPECT_EQ((inverse ? api.inverse : api.forward)(y.data(), y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
  EXPECT_TRUE(spec.GuardsIntact()) << "order " << order;
  return y;
}
std::vector<float> Forward(const LevelApi& api, int32_t order, const std::vector<float>& x,
                           int32_t flags = FFT_SCALE_NONE) {
  return Transform(api, false, order, x, flags);
}
std::vector<float> Inverse(const LevelApi& api, int32_t order, const std::vector<float>& packed,
                           int32_t flags = FFT_SCALE_NONE) {
  return Transform(api, true, order, packed, flags);
}

// Real orders that reach each path of a level: whole-transform kernel, bit
// reversal plus tile, and the four-step core.
struct PathOrders {
  int32_t whole, tile, core;
};
PathOrders OrdersOfPaths(const LevelApi& api) { return {9, api.directThreshold + 1, api.directThreshold + 2}; }

// ---------------------------------------------------------------------------
// Sizes and records

TEST_P(FftLevelsTest, SizeQueryReportsTheLevelLayoutSizes) {
  struct Row {
    const char* name;
    int32_t order;
    int32_t spec[2], init, work[2];  // [level 1, levels 2 and 3]
  };
  const Row rows[] = {
      {"order 3: written-out kernel, header only", 3, {168, 168}, 0, {0, 0}},
      {"order 4: 8-point kernel, work reported", 4, {384, 384}, 0, {96, 96}},
      {"order 10: last order on the quarter-wave table", 10, {8960, 8960}, 0, {4128, 4128}},
      {"order 11: sine table built at init", 11, {17664, 17664}, 2112, {8224, 8224}},
      {"order 17: direct at every level", 17, {1114368, 1114368}, 131136, {524320, 524320}},
      {"order 18: four-step at level 1 only", 18, {2359552, 2228480}, 262208, {131104, 1048608}},
      {"order 26: level 1 recurses once more", 26, {571605248, 571474176}, 67108928, {262176, 1048608}},
  };
  const int column = api().level == 1 ? 0 : 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int32_t spec = -1, init = -1, work = -1;
    ASSERT_EQ(api().getSize(row.order, FFT_SCALE_INVERSE, 0, &spec, &init, &work), DSP_STATUS_OK);
    EXPECT_EQ(spec, row.spec[column]);
    EXPECT_EQ(init, row.init);
    EXPECT_EQ(work, row.work[column]);
  }
}

TEST_P(FftLevelsTest, SizeQueryChecksInOrderAndRefusesSizesBeyond32Bits) {
  int32_t spec = 7, init = 7, work = 7;
  EXPECT_EQ(api().getSize(31, 3, 0, nullptr, nullptr, nullptr), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().getSize(-1, FFT_SCALE_NONE, 0, &spec, &init, &work), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().getSize(8, 3, 0, &spec, nullptr, &work), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().getSize(8, 3, 0, &spec, &init, &work), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(api().getSize(8, 0, 0, &spec, &init, &work), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(spec, 7);
  EXPECT_EQ(api().getSize(27, FFT_SCALE_NONE, 0, &spec, &init, &work), DSP_STATUS_OK);
  // From order 28 a 32-bit count would wrap and lay tables past the memory
  // it sizes: refused as the baseline refuses it, nothing written.
  spec = init = work = 7;
  for (int32_t order : {28, 29, 30}) {
    EXPECT_EQ(api().getSize(order, FFT_SCALE_NONE, 0, &spec, &init, &work), DSP_STATUS_BAD_ORDER) << order;
    EXPECT_EQ(spec, 7);
  }
}

TEST_P(FftLevelsTest, InitAndTransformsStayInsideTheReportedMemory) {
  for (int32_t order = 0; order <= api().directThreshold + 3; ++order) {
    for (int32_t flags : kAllFlags) {
      if (order > 12 && flags != kAllFlags[order % 4]) continue;  // large orders once each
      SCOPED_TRACE(testing::Message() << "order " << order << " flags " << flags);
      LevelSpec spec(api(), order, flags, 4 + order % 28);
      ASSERT_EQ(spec.status(), DSP_STATUS_OK);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(spec.get()) % 32, 0u);
      EXPECT_EQ(spec.get()->kind, REAL_FFT_SPEC_ID);
      EXPECT_EQ(spec.get()->order, order);
      EXPECT_EQ(spec.get()->allocated, 0);
      EXPECT_EQ(spec.get()->forwardScaled, flags == FFT_SCALE_FORWARD || flags == FFT_SCALE_SQRT_BOTH);
      EXPECT_EQ(spec.get()->inverseScaled, flags == FFT_SCALE_INVERSE || flags == FFT_SCALE_SQRT_BOTH);
      std::vector<float> x = RandomSignal(size_t{1} << order, order);
      EXPECT_EQ(api().forward(x.data(), x.data(), spec.get(), spec.work()), DSP_STATUS_OK);
      EXPECT_EQ(api().inverse(x.data(), x.data(), spec.get(), spec.work()), DSP_STATUS_OK);
      EXPECT_TRUE(spec.GuardsIntact());
    }
  }
}

TEST_P(FftLevelsTest, InitRefusesArgumentsInOrderAndNeverLeavesAHalfRecord) {
  std::vector<unsigned char> memory(4096);
  RealFftSpec* spec = nullptr;
  EXPECT_EQ(api().init(nullptr, 31, FFT_SCALE_INVERSE, 0, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().init(&spec, 31, FFT_SCALE_INVERSE, 0, nullptr, nullptr), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().init(&spec, -1, 3, 0, memory.data(), nullptr), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().init(&spec, 8, 3, 0, nullptr, nullptr), DSP_STATUS_NULL_POINTER);

  auto* header = reinterpret_cast<RealFftSpec*>((reinterpret_cast<uintptr_t>(memory.data()) + 31) & ~uintptr_t{31});
  std::fill(memory.begin(), memory.end(), 0xFF);
  EXPECT_EQ(api().init(&spec, 8, 3, 0, memory.data(), nullptr), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(header->kind, 0) << "a rejected flag leaves a record that reads as invalid";

  // Above order 10 the init buffer holds the sine table; without it the
  // memory stays as it was rather than claiming a valid record.
  std::fill(memory.begin(), memory.end(), 0xFF);
  EXPECT_EQ(api().init(&spec, 11, FFT_SCALE_INVERSE, 0, memory.data(), nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(header->kind, -1);
  EXPECT_EQ(spec, nullptr);
}

TEST_P(FftLevelsTest, CreateReportsEachFailureAndFreesWhatItTook) {
  CountingAllocHooks hooks;
  RealFftSpec* spec = nullptr;
  EXPECT_EQ(api().create(nullptr, 31, 0, 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().create(&spec, 31, FFT_SCALE_INVERSE, 0), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().create(&spec, -1, FFT_SCALE_INVERSE, 0), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(api().create(&spec, 8, 0, 0), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(api().create(&spec, 8, 3, 0), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(hooks.allocations(), 0);

  hooks.FailNth(1);  // the record
  EXPECT_EQ(api().create(&spec, 8, FFT_SCALE_INVERSE, 0), DSP_STATUS_NO_MEMORY);
  hooks.FailNth(2);  // the init buffer, after the record
  EXPECT_EQ(api().create(&spec, 12, FFT_SCALE_INVERSE, 0), DSP_STATUS_NO_MEMORY);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(hooks.frees(), 1);

  for (int32_t order : {0, 3, 12}) {
    ASSERT_EQ(api().create(&spec, order, FFT_SCALE_INVERSE, 0), DSP_STATUS_OK);
    EXPECT_EQ(spec->allocated, 1);
    EXPECT_EQ(spec->workBytes, order <= 3 ? 0 : 8 << (order - 1));
    EXPECT_EQ(RealFftDestroy(spec), DSP_STATUS_OK);
  }
  EXPECT_EQ(hooks.allocations(), hooks.frees() + 2) << "the two failed allocations";
}

TEST_P(FftLevelsTest, ZeroBytesCheckedTestsPointerBeforeLength) {
  unsigned char bytes[40];
  std::fill(std::begin(bytes), std::end(bytes), 0xEE);
  EXPECT_EQ(api().zeroBytesChecked(nullptr, 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().zeroBytesChecked(bytes, 0), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(api().zeroBytesChecked(bytes, -4), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(bytes[0], 0xEE);
  EXPECT_EQ(api().zeroBytesChecked(bytes + 1, 37), DSP_STATUS_OK);
  EXPECT_EQ(bytes[0], 0xEE);
  EXPECT_TRUE(std::all_of(bytes + 1, bytes + 38, [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(bytes[38], 0xEE);
}

// ---------------------------------------------------------------------------
// Statuses of the transforms

TEST_P(FftLevelsTest, TransformsCheckInOrderAndWriteNothingOnFailure) {
  LevelSpec spec(api(), 12, FFT_SCALE_INVERSE);
  RealFftSpec otherKind = *spec.get();
  otherKind.kind = COMPLEX_FFT_SPEC_ID;
  const std::vector<float> x = RandomSignal(4096, 3);
  std::vector<float> y(4096, 5.0f);
  const std::vector<float> untouched = y;
  using Transform = DspStatus (*)(const float*, float*, const RealFftSpec*, void*);
  for (Transform transform : {api().forward, api().inverse}) {
    EXPECT_EQ(transform(nullptr, nullptr, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
    EXPECT_EQ(transform(x.data(), y.data(), &otherKind, nullptr), DSP_STATUS_WRONG_KIND);
    EXPECT_EQ(transform(nullptr, y.data(), spec.get(), nullptr), DSP_STATUS_NULL_POINTER);
    EXPECT_EQ(transform(x.data(), nullptr, spec.get(), nullptr), DSP_STATUS_NULL_POINTER);
    {
      CountingAllocHooks hooks;
      hooks.FailNth(1);  // the work buffer a call without one takes for itself
      EXPECT_EQ(transform(x.data(), y.data(), spec.get(), nullptr), DSP_STATUS_NO_MEMORY);
    }
    EXPECT_EQ(y, untouched);
  }
  EXPECT_EQ(api().forwardInPlace(nullptr, spec.get(), nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().forwardInPlace(y.data(), nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().inverseInPlace(y.data(), &otherKind, nullptr), DSP_STATUS_WRONG_KIND);
  EXPECT_EQ(y, untouched);
}

TEST_P(FftLevelsTest, ACallWithoutWorkBufferFreesTheOneItTook) {
  LevelSpec spec(api(), 10, FFT_SCALE_NONE);
  std::vector<float> x = RandomSignal(1024, 4);
  CountingAllocHooks hooks;
  EXPECT_EQ(api().forwardInPlace(x.data(), spec.get(), nullptr), DSP_STATUS_OK);
  EXPECT_EQ(api().inverseInPlace(x.data(), spec.get(), nullptr), DSP_STATUS_OK);
  EXPECT_EQ(hooks.allocations(), 2);
  EXPECT_EQ(hooks.frees(), 2);
}

// ---------------------------------------------------------------------------
// Accuracy

// Orders 0 to 17 cover the small kernels, every whole-transform pass plan,
// the tile path of every level and level 1's four-step split.
TEST_P(FftLevelsTest, ForwardMatchesTheLongDoubleDft) {
  for (int32_t order = 0; order <= 17; ++order) {
    const std::vector<float> x = RandomSignal(size_t{1} << order, 100 + order);
    const std::vector<float> y = Forward(api(), order, x);
    EXPECT_LT(RelativeRmsError(y.data(), ReferencePackedSpectrum(x)), Tolerance(order)) << "order " << order;
  }
}

TEST_P(FftLevelsTest, InverseMatchesTheLongDoubleInverseDft) {
  for (int32_t order = 0; order <= 17; ++order) {
    const std::vector<float> packed = RandomSignal(size_t{1} << order, 200 + order);
    const std::vector<float> y = Inverse(api(), order, packed);
    EXPECT_LT(RelativeRmsError(y.data(), ReferenceInversePacked(packed)), Tolerance(order)) << "order " << order;
  }
}

TEST_P(FftLevelsTest, RoundTripRestoresTheSignal) {
  const PathOrders paths = OrdersOfPaths(api());
  const int32_t rows[][2] = {{1, FFT_SCALE_SQRT_BOTH}, {4, FFT_SCALE_FORWARD}, {paths.whole, FFT_SCALE_INVERSE},
                             {paths.tile, FFT_SCALE_SQRT_BOTH}, {paths.core, FFT_SCALE_INVERSE}};
  for (const auto& [order, flags] : rows) {
    const std::vector<float> x = RandomSignal(size_t{1} << order, order);
    LevelSpec spec(api(), order, flags);
    std::vector<float> y = x;
    ASSERT_EQ(api().forwardInPlace(y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    ASSERT_EQ(api().inverseInPlace(y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    const std::vector<long double> expected(x.begin(), x.end());
    EXPECT_LT(RelativeRmsError(y.data(), expected), 2 * Tolerance(order)) << "order " << order << " flags " << flags;
  }
}

// 1/N is a power of two, so scaling commutes with rounding: wherever a path
// applies the factor (after a direct transform, or in the four-step rows),
// the scaled result is the unscaled one times 1/N bit for bit, and only in
// the direction the flag names.
TEST_P(FftLevelsTest, ScaleFlagsScaleTheirDirectionOnce) {
  const PathOrders paths = OrdersOfPaths(api());
  for (int32_t order : {2, 3, 5, paths.tile, paths.core}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const std::vector<float> x = RandomSignal(size_t{1} << order, 300 + order);
    auto both = [&](int32_t flags) {
      LevelSpec spec(api(), order, flags);
      std::vector<float> forward(x.size()), inverse(x.size());
      EXPECT_EQ(api().forward(x.data(), forward.data(), spec.get(), spec.work()), DSP_STATUS_OK);
      EXPECT_EQ(api().inverse(x.data(), inverse.data(), spec.get(), spec.work()), DSP_STATUS_OK);
      return std::pair{forward, inverse};
    };
    const auto [forward, inverse] = both(FFT_SCALE_NONE);
    const float factor = 1.0f / static_cast<float>(x.size());
    std::vector<float> forwardScaled = forward, inverseScaled = inverse;
    for (float& v : forwardScaled) v *= factor;
    for (float& v : inverseScaled) v *= factor;
    EXPECT_EQ(both(FFT_SCALE_FORWARD), std::pair(forwardScaled, inverse));
    EXPECT_EQ(both(FFT_SCALE_INVERSE), std::pair(forward, inverseScaled));
    // 1/sqrt(N) is no power of two, so it is compared within tolerance; the
    // large orders meet it in the round trip.
    if (order >= paths.tile) continue;
    const auto [forwardRoot, inverseRoot] = both(FFT_SCALE_SQRT_BOTH);
    const long double root = 1.0L / std::sqrt(static_cast<long double>(x.size()));
    EXPECT_LT(RelativeRmsError(forwardRoot.data(), std::vector<long double>(forward.begin(), forward.end()), root),
              Tolerance(order));
    EXPECT_LT(RelativeRmsError(inverseRoot.data(), std::vector<long double>(inverse.begin(), inverse.end()), root),
              Tolerance(order));
  }
}

// ---------------------------------------------------------------------------
// Where results must not change

// The buffers only decide where the kernels work, never what they compute.
// (The core's own out-of-place paths are checked with the kernels.)
TEST_P(FftLevelsTest, OutOfPlaceUnalignedAndCallerWorkGiveTheInPlaceBits) {
  const PathOrders paths = OrdersOfPaths(api());
  for (int32_t order : {4, 5, paths.whole, 14, paths.tile}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomSignal(n, 400 + order);
    LevelSpec spec(api(), order, FFT_SCALE_SQRT_BOTH, 12);
    for (bool inverse : {false, true}) {
      auto transform = inverse ? api().inverse : api().forward;
      std::vector<float> expected = x;
      ASSERT_EQ(transform(expected.data(), expected.data(), spec.get(), nullptr), DSP_STATUS_OK);
      // Every misalignment on the kernel orders, the two kinds above.
      for (size_t misalign : {0, 4, 8, 12}) {
        if (order >= paths.tile && misalign != 0 && misalign != 12) continue;
        FloatArray src(x, (misalign * 3) % 16), dst(n, misalign);
        ASSERT_EQ(transform(src.data(), dst.data(), spec.get(), spec.work()), DSP_STATUS_OK);
        EXPECT_EQ(dst.ToVector(), expected) << "out of place, dst misaligned by " << misalign;
        EXPECT_EQ(src.ToVector(), x) << "the source is only read";
        FloatArray both(x, misalign);
        ASSERT_EQ(transform(both.data(), both.data(), spec.get(), spec.work()), DSP_STATUS_OK);
        EXPECT_EQ(both.ToVector(), expected) << "in place, misaligned by " << misalign;
      }
    }
  }
}

// The spectra of every path of a level, pinned bit for bit: a faster schedule
// of the same operations keeps every hash, while a changed operation or a
// changed order of operations moves one. Levels 2 and 3 give the same bits;
// level 1 differs where its pass plan does.
TEST_P(FftLevelsTest, SpectraKeepTheirBits) {
  struct Row {
    const char* name;
    int32_t order, flags;
    uint64_t forward[2], inverse[2];  // [level 1, levels 2 and 3]
  };
  const Row rows[] = {
      {"8 points: one radix-8 butterfly", 4, FFT_SCALE_INVERSE, {0xc8a43b46d9d85ff9u, 0xc8a43b46d9d85ff9u},
       {0x24e4fd6b8b482d95u, 0x24e4fd6b8b482d95u}},
      {"16 points: fixed-length kernel", 5, FFT_SCALE_INVERSE, {0x4fb6b20f38ca9463u, 0x4fb6b20f38ca9463u},
       {0x10ebb48bc425c738u, 0x10ebb48bc425c738u}},
      {"32 points: fixed-length kernel", 6, FFT_SCALE_INVERSE, {0x5cae05b01a22fa11u, 0x5cae05b01a22fa11u},
       {0xacf7e7440d3c452au, 0xacf7e7440d3c452au}},
      {"64 points, the forward scaled", 7, FFT_SCALE_FORWARD, {0x99d70d3cfb1e5595u, 0x99d70d3cfb1e5595u},
       {0x13e46aecf0472d12u, 0x13e46aecf0472d12u}},
      {"128 points", 8, FFT_SCALE_INVERSE, {0x7d0619040e6f1970u, 0xd011856efd0c597fu},
       {0x6c331c96a1130933u, 0x9687a4662c23a146u}},
      {"256 points: the largest fixed-length kernel", 9, FFT_SCALE_INVERSE, {0x05abc49783cad3cdu, 0x8fe05ee853d64d1au},
       {0xe5a175ad59cf1db0u, 0xf188061d44e4a17cu}},
      {"512 points: the general kernel", 10, FFT_SCALE_INVERSE, {0x2e044b0a2f24bb2fu, 0x7223500750d37f08u},
       {0x295204adf3d6fac6u, 0x47210b6661a458c8u}},
      {"1024 points, both directions scaled", 11, FFT_SCALE_SQRT_BOTH, {0xe883cee828b85749u, 0xac4eb64c582604a3u},
       {0x22d2e455f7801a24u, 0x768628a6a2e6b172u}},
      {"2048 points: radix-8 passes", 12, FFT_SCALE_INVERSE, {0x6b68b60acc8aeec3u, 0x6b68b60acc8aeec3u},
       {0x48170d252b9f19f8u, 0x48170d252b9f19f8u}},
      {"32768 points", 16, FFT_SCALE_INVERSE, {0x4adaddb3e22642a5u, 0x19007678f0d620e6u},
       {0xaaadd8bfd667ea0du, 0xcadbf8e26cf791cau}},
      {"level 1's tile, the others' whole kernel", 17, FFT_SCALE_INVERSE, {0xe7af9fda0fdad57cu, 0xe7af9fda0fdad57cu},
       {0x50a47207c08d0e17u, 0x50a47207c08d0e17u}},
      {"level 1's four-step, the others' tile", 18, FFT_SCALE_INVERSE, {0x75fdb39b4fffb07fu, 0x75fdb39b4fffb07fu},
       {0x9670e280c454f19au, 0x9670e280c454f19au}},
      {"four-step at every level", 19, FFT_SCALE_INVERSE, {0x445b31c15b1a4d09u, 0x445b31c15b1a4d09u},
       {0x421e175ba2074c77u, 0x421e175ba2074c77u}},
  };
  const int column = api().level == 1 ? 0 : 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LevelSpec spec(api(), row.order, row.flags);
    const std::vector<float> x = primitives_test::PinnedSignal(size_t{1} << row.order, 1000 + row.order);
    std::vector<float> forward(x.size()), inverse(x.size());
    ASSERT_EQ(api().forward(x.data(), forward.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    ASSERT_EQ(api().inverse(x.data(), inverse.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_EQ(primitives_test::BitsHash(forward.data(), x.size()), row.forward[column]);
    EXPECT_EQ(primitives_test::BitsHash(inverse.data(), x.size()), row.inverse[column]);
  }
}

// Orders 0 to 3 run written-out kernels that repeat the baseline's formulas
// operation for operation.
TEST_P(FftLevelsTest, SmallOrdersGiveTheBaselineBits) {
  for (int32_t order = 0; order <= 3; ++order) {
    for (int32_t flags : kAllFlags) {
      const std::vector<float> x = RandomSignal(size_t{1} << order, 500 + order);
      std::vector<unsigned char> memory(200);
      RealFftSpec* baseline = nullptr;
      ASSERT_EQ(RealFftInit(&baseline, order, flags, 0, memory.data(), nullptr), DSP_STATUS_OK);
      LevelSpec spec(api(), order, flags);
      for (bool inverse : {false, true}) {
        std::vector<float> expected(x.size()), actual(x.size());
        (inverse ? RealFftInverse : RealFftForward)(x.data(), expected.data(), baseline, nullptr);
        ASSERT_EQ((inverse ? api().inverse : api().forward)(x.data(), actual.data(), spec.get(), nullptr),
                  DSP_STATUS_OK);
        EXPECT_TRUE(SameBits(actual.data(), expected.data(), x.size()))
            << "order " << order << " flags " << flags << (inverse ? " inverse" : " forward");
      }
    }
  }
}

TEST_P(FftLevelsTest, PackedSpectrumMultiplyGivesTheBaselineBits) {
  for (int32_t len = 1; len <= 41; ++len) {
    for (size_t misalign : {0, 4, 8}) {
      const std::vector<float> a = RandomSignal(len, len), b = RandomSignal(len, 100 + len);
      std::vector<float> expected = b;
      ASSERT_EQ(PackedSpectrumMulInPlace(a.data(), expected.data(), len), DSP_STATUS_OK);
      FloatArray src(a, misalign), srcDst(b, (misalign + 4) % 16);
      ASSERT_EQ(api().packedMul(src.data(), srcDst.data(), len), DSP_STATUS_OK);
      EXPECT_EQ(srcDst.ToVector(), expected) << "len " << len << " misalign " << misalign;
    }
  }
  std::vector<float> v(8, 2.0f);
  EXPECT_EQ(api().packedMul(nullptr, v.data(), 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().packedMul(v.data(), nullptr, 8), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(api().packedMul(v.data(), v.data(), 0), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(api().packedMul(v.data(), v.data(), -2), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(v, std::vector<float>(8, 2.0f));
}

// The dispatch stubs reach the level's builds, and RealFftDestroy (one build
// for every level) releases what the level's create took.
TEST_P(FftLevelsTest, PublicPrimitivesReachTheLevelBuilds) {
  CountingAllocHooks hooks;
  testsupport::ScopedDispatchLevel index(api().level);
  RealFftSpec* spec = nullptr;
  ASSERT_EQ(RealFftCreate(&spec, 11, FFT_SCALE_INVERSE, 0), DSP_STATUS_OK);
  EXPECT_EQ(spec->workBytes, 8192) << "the level's layout: 8 bytes of work per complex point";
  const std::vector<float> x = RandomSignal(2048, 6);
  std::vector<float> viaStub = x, direct = x;
  ASSERT_EQ(RealFftForwardInPlace(viaStub.data(), spec, nullptr), DSP_STATUS_OK);
  ASSERT_EQ(api().forward(direct.data(), direct.data(), spec, nullptr), DSP_STATUS_OK);
  EXPECT_EQ(viaStub, direct);
  ASSERT_EQ(RealFftInverseInPlace(viaStub.data(), spec, nullptr), DSP_STATUS_OK);
  ASSERT_EQ(api().inverse(direct.data(), direct.data(), spec, nullptr), DSP_STATUS_OK);
  EXPECT_EQ(viaStub, direct);
  EXPECT_EQ(RealFftDestroy(spec), DSP_STATUS_OK);
  EXPECT_EQ(hooks.allocations(), hooks.frees());
}

// ---------------------------------------------------------------------------
// Levels side by side

class FftLevelsAgreementTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    testsupport::KernelTest::SetUp();
    if (!leveltest::ProcessorRunsLevel(3)) GTEST_SKIP() << "this processor lacks level 3";
  }
};

// Levels 2 and 3 are one design compiled for two instruction sets.
TEST_F(FftLevelsAgreementTest, Levels2And3GiveTheSameBits) {
  for (int32_t order = 0; order <= 19; ++order) {
    const std::vector<float> x = RandomSignal(size_t{1} << order, 600 + order);
    EXPECT_EQ(Forward(Api(2), order, x, FFT_SCALE_SQRT_BOTH), Forward(Api(3), order, x, FFT_SCALE_SQRT_BOTH))
        << "order " << order;
    EXPECT_EQ(Inverse(Api(2), order, x, FFT_SCALE_SQRT_BOTH), Inverse(Api(3), order, x, FFT_SCALE_SQRT_BOTH))
        << "order " << order;
  }
}

// Level 1 differs from levels 2 and 3 in its pass plan at complex orders 7,
// 8, 9, 10, 12, 13 and 15 (real orders one higher) and in where the four-step
// split starts; elsewhere it runs the same passes and gives the same bits,
// even where it takes the tile path at complex order 16 and the others the
// whole-transform kernel.
TEST_F(FftLevelsAgreementTest, Level1GivesTheBitsOfLevel2WherePassPlansAgree) {
  for (int32_t order : {0, 1, 2, 3, 4, 5, 6, 7, 12, 15, 17}) {
    const std::vector<float> x = RandomSignal(size_t{1} << order, 700 + order);
    EXPECT_EQ(Forward(Api(1), order, x), Forward(Api(2), order, x)) << "order " << order;
    EXPECT_EQ(Inverse(Api(1), order, x), Inverse(Api(2), order, x)) << "order " << order;
  }
}

}  // namespace
}  // namespace fft_level_test
