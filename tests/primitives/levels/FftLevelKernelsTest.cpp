// The machinery beneath the level real FFTs: table builders, permutations,
// butterfly kernels, recombinations, the complex multiply loop, and the
// four-step cores.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "tests/primitives/levels/FftLevelTestSupport.h"

namespace fft_level_test {
namespace {

class FftLevelKernelsTest : public FftLevelTest {};
INSTANTIATE_FOR_FFT_LEVELS(FftLevelKernelsTest);

int32_t Reverse(int64_t value, int32_t bits) {
  int32_t r = 0;
  for (int32_t b = 0; b < bits; ++b) r |= static_cast<int32_t>((value >> b) & 1) << (bits - 1 - b);
  return r;
}

// Interleaved points whose values name their index: (p, -p - 0.5).
std::vector<float> IndexedPoints(int64_t points) {
  std::vector<float> v(2 * points);
  for (int64_t p = 0; p < points; ++p) {
    v[2 * p] = static_cast<float>(p);
    v[2 * p + 1] = -static_cast<float>(p) - 0.5f;
  }
  return v;
}

std::vector<float> NaiveBitReverse(const std::vector<float>& v) {
  const int64_t points = static_cast<int64_t>(v.size() / 2);
  int32_t bits = 0;
  while ((int64_t{1} << bits) < points) ++bits;
  std::vector<float> out(v.size());
  for (int64_t p = 0; p < points; ++p) {
    const int64_t r = Reverse(p, bits);
    out[2 * r] = v[2 * p];
    out[2 * r + 1] = v[2 * p + 1];
  }
  return out;
}

// Block-split points (four re, four im per block) back to interleaved ones.
std::vector<float> Interleaved(const std::vector<float>& split) {
  std::vector<float> out(split.size());
  for (size_t block = 0; block < split.size(); block += 8)
    for (size_t l = 0; l < 4; ++l) {
      out[block + 2 * l] = split[block + l];
      out[block + 2 * l + 1] = split[block + 4 + l];
    }
  return out;
}

// Work buffers and tables: floats from a 64-byte boundary.
class AlignedFloats : public FloatArray {
 public:
  explicit AlignedFloats(size_t count) : FloatArray(count, 0) {}
};

// The quarter-wave sine table of an order, built by the level.
std::vector<float> SineTable(const LevelApi& api, int32_t order) {
  std::vector<float> table((size_t{1} << order) / 4 + 16);
  api.buildSine(order, table.data());
  return table;
}

// ---------------------------------------------------------------------------
// Tables

TEST_P(FftLevelKernelsTest, SineTableComesFromTheQuarterWaveTableUpToOrder10) {
  std::vector<float> table(2048 / 4 + 16, -7.0f);
  float* end = api().buildSine(10, table.data());
  EXPECT_TRUE(SameBits(table.data(), QuarterSineTable1024, 257));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(end) % 32, 0u);
  EXPECT_GE(end, table.data() + 257);
  EXPECT_LT(end, table.data() + 257 + 8);

  api().buildSine(4, table.data());
  for (int k = 0; k <= 4; ++k) EXPECT_EQ(table[k], QuarterSineTable1024[64 * k]) << k;

  // Above order 10 the sine serves the first eighth, the cosine of the
  // complement the rest, each computed in double precision.
  api().buildSine(11, table.data());
  const double step = 6.283185307179586 / 2048;
  EXPECT_EQ(table[256], static_cast<float>(std::sin(256 * step)));
  EXPECT_EQ(table[257], static_cast<float>(std::cos(255 * step)));
  EXPECT_EQ(table[512], 1.0f);
}

TEST_P(FftLevelKernelsTest, PermutationTablesHoldReversedIndexes) {
  int32_t table[1200];
  std::fill(std::begin(table), std::end(table), -7);
  EXPECT_EQ(api().buildIndexTable(1, table), table) << "orders below 2 write nothing";
  EXPECT_EQ(table[0], -7);
  api().buildIndexTable(5, table);
  EXPECT_EQ(std::vector<int32_t>(table, table + 9), (std::vector<int32_t>{0, 8, 4, 12, 2, 10, 6, 14, 0}));

  // Complex order 19 in 64 x 64 tiles: 2^7 outer entries, then the swap
  // list of a 4096-point tile, the baseline's format.
  std::vector<int32_t> expectedList(1024 + 16);
  BuildBitReverseSwapList(12, expectedList.data());
  api().buildBlockTable(19, 6, table);
  for (int32_t i = 0; i < 128; ++i) ASSERT_EQ(table[i], Reverse(i, 7) * 64) << i;
  EXPECT_TRUE(std::equal(expectedList.begin(), expectedList.begin() + 1025, table + 128));
}

class FftSwapListTest : public testsupport::KernelTest {};

TEST_F(FftSwapListTest, LevelTwoAndThreeListsAreTheBaselineLists) {
  for (int32_t order = 0; order <= 12; ++order) {
    std::vector<int32_t> expected(1040, -7), actual(1040, -7);
    const int32_t* expectedEnd = BuildBitReverseSwapList(order, expected.data());
    const int32_t* actualEnd = BuildBitReverseSwapListL2L3(order, actual.data());
    EXPECT_EQ(actual, expected) << order;
    EXPECT_EQ(actualEnd - actual.data(), expectedEnd - expected.data()) << order;
  }
}

// The stage plans of the directly transformed orders as the level kernels
// run them (the twiddle-free radix-4 first stage not listed).
const std::map<int32_t, std::vector<int32_t>> kLevel1Plans = {
    {4, {4}},          {5, {8}},          {6, {4, 4}},          {7, {8, 4}},           {8, {4, 4, 4}},
    {9, {4, 8, 4}},    {10, {8, 8, 4}},   {11, {8, 8, 8}},      {12, {4, 8, 8, 4}},    {13, {8, 8, 8, 4}},
    {14, {8, 8, 8, 8}}, {15, {4, 8, 8, 8, 4}}, {16, {4, 8, 8, 8, 8}}, {17, {4, 8, 8, 8, 4, 4}},
};
const std::map<int32_t, std::vector<int32_t>> kLevel2Plans = {
    {4, {4}},          {5, {8}},          {6, {4, 4}},          {7, {4, 8}},           {8, {8, 8}},
    {9, {4, 4, 8}},    {10, {4, 8, 8}},   {11, {8, 8, 8}},      {12, {4, 4, 8, 8}},    {13, {4, 8, 8, 8}},
    {14, {8, 8, 8, 8}}, {15, {4, 4, 8, 8, 8}}, {16, {4, 8, 8, 8, 8}}, {17, {8, 8, 8, 8, 8}},
};

// Each record of a stage producing M-point transforms holds, for its four
// butterflies k and each factor j, cos and -sin of 2 pi j k / M; the records
// of the plan fill the table but its last 32 bytes of room.
TEST_P(FftLevelKernelsTest, ButterflyTwiddlesFollowTheLevelStagePlan) {
  const std::vector<float> sine = SineTable(api(), 18);
  const auto& plans = api().level == 1 ? kLevel1Plans : kLevel2Plans;
  for (const auto& [n, plan] : plans) {
    SCOPED_TRACE(testing::Message() << "complex order " << n);
    const int64_t points = int64_t{1} << n;
    AlignedFloats table(2 * points + 8);
    std::fill(table.data(), table.data() + 2 * points + 8, -7.0f);
    const float* end = api().buildButterfly(n, sine.data(), 18, table.data());
    EXPECT_EQ(end, table.data() + 2 * points);
    const float* record = table.data();
    int32_t c = 2;
    for (int32_t radix : plan) {
      c += radix == 8 ? 3 : 2;
      const int64_t m = int64_t{1} << c;
      for (int64_t g = 0; g < m / radix / 4; ++g) {
        for (int32_t j = 1; j < radix; ++j, record += 8) {
          for (int32_t l = 0; l < 4; ++l) {
            const long double angle = 2 * Pi() * j * (4 * g + l) / m;
            ASSERT_NEAR(record[l], std::cos(angle), 1e-7) << "stage of " << m << " points, k " << 4 * g + l;
            ASSERT_NEAR(record[4 + l], -std::sin(angle), 1e-7) << "stage of " << m << " points, k " << 4 * g + l;
          }
        }
      }
    }
    EXPECT_EQ(record, table.data() + 2 * points - 8) << "the records end 32 bytes before the room";
    EXPECT_EQ(table.data()[2 * points - 8], -7.0f);
    EXPECT_FALSE(std::signbit(table.data()[4])) << "-sin(0) is +0.0";
  }
  float probe[4] = {-7.0f};
  EXPECT_EQ(api().buildButterfly(3, sine.data(), 18, probe), probe) << "8 points need no table";
  EXPECT_EQ(probe[0], -7.0f);
}

// From 16 points on the tables hold groups of four bins from bin 1: four
// first values, then four second values; the forward values are the
// baseline's, bin for bin.
TEST_P(FftLevelKernelsTest, RecombinationTablesGroupFourBinsFromBinOne) {
  for (int32_t order = 4; order <= 12; ++order) {
    const int64_t quarter = (int64_t{1} << order) / 4;
    const int32_t d = std::max(order, 10);
    const std::vector<float> sine = SineTable(api(), d);
    std::vector<float> baseline(2 * quarter + 16), forward(2 * quarter + 16), inverse(2 * quarter + 16);
    BuildRecombineTwiddlesForward(order, sine.data(), d, baseline.data());
    api().buildRecombineForward(order, sine.data(), d, forward.data());
    api().buildRecombineInverse(order, sine.data(), d, inverse.data());
    for (int64_t k = 1; k <= quarter; ++k) {
      const int64_t first = 8 * ((k - 1) / 4) + (k - 1) % 4, second = first + 4;
      const long double angle = 2 * Pi() * k / (4 * quarter);
      if (k < quarter) {
        ASSERT_EQ(Bits(forward[first]), Bits(baseline[2 * k])) << "order " << order << " bin " << k;
        ASSERT_EQ(Bits(forward[second]), Bits(baseline[2 * k + 1])) << "order " << order << " bin " << k;
      }
      ASSERT_NEAR(inverse[first], std::cos(angle), 1e-7);
      ASSERT_NEAR(inverse[second], -std::sin(angle), 1e-7);
    }
    if (order == 4) {  // bin 4 of 16 points: a quarter turn
      EXPECT_EQ(forward[3], 0.0f);
      EXPECT_EQ(forward[7], 0.0f);
      EXPECT_EQ(inverse[3], 0.0f);
      EXPECT_EQ(inverse[7], -1.0f);
    }
  }
  float pairs[8];
  api().buildRecombineInverse(3, QuarterSineTable1024, 10, pairs);
  EXPECT_EQ((std::vector<float>(pairs, pairs + 4)), (std::vector<float>{1.0f, 0.0f, QuarterSineTable1024[128],
                                                                         0.0f - QuarterSineTable1024[128]}));
}

// Complex order 17 at level 1 and 18 at every level: the row twiddles first,
// then one pass table per depth; lane l of record g of repetition i of a
// column stage serves k = block * C + i * L + 4g + l.
TEST_P(FftLevelKernelsTest, FourStepTablesFollowTheColumnPlan) {
  struct Row {
    int32_t n, rowOrder, columns;
    bool level1Only;
  };
  for (const Row& row : {Row{17, 14, 64, true}, Row{18, 14, 64, false}}) {
    if (row.level1Only && api().level != 1) continue;
    SCOPED_TRACE(testing::Message() << "complex order " << row.n);
    const int32_t d = row.n + 1;
    const std::vector<float> sine = SineTable(api(), d);
    const int64_t points = int64_t{1} << row.n, rowPoints = int64_t{1} << row.rowOrder;
    AlignedFloats tables(2 * rowPoints + 2 * points + 8);
    std::fill(tables.data(), tables.data() + 2 * rowPoints + 2 * points + 8, -7.0f);
    RealFftSpec spec{};
    const float* end = api().buildFourStep(&spec, row.n, sine.data(), d, 0, tables.data(), nullptr);
    EXPECT_EQ(spec.blockTwiddles, tables.data());
    EXPECT_EQ(spec.fourStepTwiddles[0], tables.data() + 2 * rowPoints);
    EXPECT_EQ(end, spec.fourStepTwiddles[0] + 2 * points);
    EXPECT_EQ(spec.workBytes, 8 * rowPoints) << "one row outweighs one gathered block";
    EXPECT_EQ(spec.fourStepTwiddles[1], nullptr);

    // (record index from the table start, j, lane) -> k at transform length 2^c.
    auto expectRecord = [&](int64_t record, int32_t radix, int32_t j, int32_t lane, int64_t k, int32_t c) {
      const float* r = spec.fourStepTwiddles[0] + record * 8 * (radix - 1) + 8 * (j - 1);
      const long double angle = 2 * Pi() * j * k / (int64_t{1} << c);
      EXPECT_NEAR(r[lane], std::cos(angle), 1e-7) << "record " << record << " j " << j << " k " << k;
      EXPECT_NEAR(r[4 + lane], -std::sin(angle), 1e-7) << "record " << record << " j " << j << " k " << k;
    };
    if (row.n == 17) {  // one radix-8 stage: 16 records per block of 64 columns
      for (int32_t j = 1; j < 8; ++j) expectRecord(0, 8, j, 3, 3, 17);
      expectRecord(16 * 5 + 2, 8, 7, 1, 5 * 64 + 9, 17);
    } else {  // radix 4 twice: 16 records at 2^16, then 4 x 16 at 2^18 per block
      expectRecord(1, 4, 3, 2, 6, 16);
      expectRecord(16 + 16 + 0, 4, 2, 1, 16384 + 1, 18);
      const int64_t block7 = 7 * 80;
      expectRecord(block7 + 3, 4, 1, 0, 7 * 64 + 12, 16);
      expectRecord(block7 + 16 + 3 * 16 + 15, 4, 3, 3, 7 * 64 + 3 * 16384 + 63, 18);
      const int64_t last = 256 * 80 - 1;  // block 255, second stage, i = 3, g = 15
      expectRecord(last, 4, 3, 3, 255 * 64 + 3 * 16384 + 63, 18);
      EXPECT_EQ(spec.fourStepTwiddles[0][(last + 1) * 24], -7.0f) << "the records end 8 * 2^14 bytes before the room";
    }
  }
}

// ---------------------------------------------------------------------------
// Permutations

TEST_P(FftLevelKernelsTest, BitReversalsMatchTheNaivePermutation) {
  for (int32_t n = 3; n <= 14; ++n) {
    SCOPED_TRACE(testing::Message() << "order " << n);
    const int64_t points = int64_t{1} << n;
    std::vector<int32_t> index(points / 4 + 16);
    api().buildIndexTable(n, index.data());
    const std::vector<float> natural = IndexedPoints(points), expected = NaiveBitReverse(natural);
    std::vector<float> inPlace = natural, copied(natural.size());
    api().bitReverseInPlace(inPlace.data(), static_cast<uint64_t>(points), index.data());
    api().bitReverseCopy(natural.data(), copied.data(), static_cast<uint64_t>(points), index.data());
    EXPECT_EQ(inPlace, expected);
    EXPECT_EQ(copied, expected);
    FloatArray unaligned(natural, 4);  // 4-byte aligned points
    api().bitReverseInPlace(unaligned.data(), static_cast<uint64_t>(points), index.data());
    EXPECT_EQ(unaligned.ToVector(), expected);

    if (n > 12) continue;
    std::vector<int32_t> list(points / 4 + 16);
    BuildBitReverseSwapList(n, list.data());
    FloatArray swapped(natural, 4);
    api().bitReverseSwapPairs(swapped.data(), points, list.data());
    EXPECT_EQ(swapped.ToVector(), expected);
  }
}

TEST_P(FftLevelKernelsTest, BlockedReversalMovesWholeTilesThroughWork) {
  for (int32_t n : {11, 12, 13, 16}) {
    SCOPED_TRACE(testing::Message() << "order " << n);
    const int64_t points = int64_t{1} << n;
    std::vector<int32_t> table((points >> 12) + 1040);
    if (n >= 12) api().buildBlockTable(n, 6, table.data());
    const std::vector<float> natural = IndexedPoints(points);
    std::vector<float> data = natural;
    AlignedFloats work(2 * 8192);
    api().bitReverseBlocked(data.data(), static_cast<int32_t>(points), table.data(), work.data());
    EXPECT_EQ(data, n < 12 ? natural : NaiveBitReverse(natural)) << "fewer than 4096 points stay as they are";
  }
}

// ---------------------------------------------------------------------------
// Recombinations and the multiply loop

// The split into the real spectrum and back gives the baseline's bins; bin 0
// is the caller's in the level builds.
TEST_P(FftLevelKernelsTest, RecombinationsGiveTheBaselineBits) {
  for (int32_t order = 4; order <= 12; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int64_t n = int64_t{1} << order, m = n / 2;
    const int32_t d = std::max(order, 10);
    const std::vector<float> sine = SineTable(api(), d);
    std::vector<float> baselineTable(n / 2 + 16), forwardTable(n / 2 + 16), inverseTable(n / 2 + 16);
    BuildRecombineTwiddlesForward(order, sine.data(), d, baselineTable.data());
    api().buildRecombineForward(order, sine.data(), d, forwardTable.data());
    api().buildRecombineInverse(order, sine.data(), d, inverseTable.data());
    std::vector<float> data = RandomSignal(n, order);
    data[m + 1] = 0.0f;  // the middle bin's imaginary part: +0 turns into -0

    std::vector<float> expected = data, actual = data;
    RealFftRecombineForward(expected.data(), order, baselineTable.data());
    actual[0] = data[0] + data[1];
    actual[1] = data[0] - data[1];
    api().recombineForward(actual.data(), static_cast<uint64_t>(m), 1, forwardTable.data());
    EXPECT_TRUE(SameBits(actual.data(), expected.data(), n));
    EXPECT_TRUE(std::signbit(actual[m + 1]));

    std::vector<float> baselineInverse(n), outOfPlace(n, 9.0f), inPlace = data;
    BuildRecombineTwiddlesInverse(order, sine.data(), d, baselineTable.data());
    RealFftRecombineInverse(data.data(), baselineInverse.data(), order, baselineTable.data());
    api().recombineInverse(data.data(), outOfPlace.data(), static_cast<uint64_t>(m), -1, inverseTable.data());
    api().recombineInverse(inPlace.data(), inPlace.data(), static_cast<uint64_t>(m), -1, inverseTable.data());
    EXPECT_EQ(outOfPlace[0], 9.0f) << "bin 0 is left to the caller";
    EXPECT_TRUE(SameBits(outOfPlace.data() + 2, baselineInverse.data() + 2, n - 2));
    EXPECT_TRUE(SameBits(inPlace.data() + 2, baselineInverse.data() + 2, n - 2));
  }
}

TEST_P(FftLevelKernelsTest, ComplexMultiplyLoopGivesTheScalarProductBits) {
  for (uint32_t count = 0; count <= 9; ++count) {
    for (size_t srcMisalign : {0, 4, 8}) {
      for (size_t dstMisalign : {0, 8, 12}) {
        const std::vector<float> a = RandomSignal(2 * count, count), b = RandomSignal(2 * count, 50 + count);
        std::vector<float> expected = b;
        for (uint32_t k = 0; k < count; ++k) {
          const float sr = a[2 * k], si = a[2 * k + 1], dr = b[2 * k], di = b[2 * k + 1];
          expected[2 * k] = sr * dr - si * di;
          expected[2 * k + 1] = sr * di + si * dr;
        }
        FloatArray src(a, srcMisalign), srcDst(b, dstMisalign);
        api().complexMul(src.data(), srcDst.data(), count);
        EXPECT_EQ(srcDst.ToVector(), expected) << count << " points, misaligned " << srcMisalign << "/" << dstMisalign;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Butterfly kernels

// The tile entry takes bit-reversed points; its block-split output is its
// interleaved output rearranged, and unaligned data (worked on in the work
// buffer) gives the same bits.
TEST_P(FftLevelKernelsTest, TileTransformsBitReversedPoints) {
  for (int32_t n : {4, 7, 10, 13}) {
    SCOPED_TRACE(testing::Message() << "order " << n);
    const int64_t points = int64_t{1} << n;
    LevelSpec spec(api(), n + 1, FFT_SCALE_NONE);
    const std::vector<float> x = RandomSignal(2 * points, n);
    const std::vector<float> reversed = NaiveBitReverse(x);
    AlignedFloats work(2 * points);

    std::vector<float> interleaved = reversed, split = reversed;
    api().forwardTile(interleaved.data(), static_cast<uint64_t>(points), spec.get()->blockTwiddles, work.data(), 1);
    api().forwardTile(split.data(), static_cast<uint64_t>(points), spec.get()->blockTwiddles, work.data(), 0);
    EXPECT_EQ(Interleaved(split), interleaved);
    const std::vector<long double> expected = ToInterleaved(ReferenceDft(ToComplex(x), false));
    EXPECT_LT(RelativeRmsError(interleaved.data(), expected), Tolerance(n));

    FloatArray unaligned(reversed, 8);
    api().forwardTile(unaligned.data(), static_cast<uint64_t>(points), spec.get()->blockTwiddles, work.data(), 1);
    EXPECT_EQ(unaligned.ToVector(), interleaved);
  }
}

// ---------------------------------------------------------------------------
// Four-step cores

// The levels share each order's signal (its making is the costly part).
const ToneSignal& SharedTones(int32_t n) {
  static std::map<int32_t, ToneSignal> signals;
  auto it = signals.find(n);
  if (it == signals.end()) it = signals.emplace(n, Tones(n, 900 + n)).first;
  return it->second;
}

// The four-step orders up to 2^19 points: level 1 from complex order 17 (3
// column bits), levels 2 and 3 from 18 (4 column bits) with the blocked
// reversal at 19 (level 1 takes it from 20, in the opt-in test below). The
// inverse core brings the forward result back to 2^n times the input; out of
// place it permutes by another route (straight copy, copy then in-place
// reversal, or tile by tile from the source, by order and level) and
// reaches the in-place bits.
TEST_P(FftLevelKernelsTest, CoresTransformEveryFourStepOrder) {
  for (int32_t n = api().directThreshold + 1; n <= 19; ++n) {
    SCOPED_TRACE(testing::Message() << "complex order " << n);
    const ToneSignal& tones = SharedTones(n);
    LevelSpec spec(api(), n + 1, FFT_SCALE_NONE);
    std::vector<float> y = tones.x;
    api().forwardCore(spec.get(), y.data(), y.data(), n, spec.alignedWork());
    EXPECT_LT(RelativeRmsError(y.data(), tones.spectrum), Tolerance(n));
    std::vector<float> back = y;
    api().inverseCore(spec.get(), back.data(), back.data(), n, spec.alignedWork());
    EXPECT_LT(RelativeRmsError(back.data(), std::vector<long double>(tones.x.begin(), tones.x.end()),
                               std::ldexp(1.0L, n)),
              2 * Tolerance(n));
    FloatArray dst(y.size(), 8);
    api().inverseCore(spec.get(), y.data(), dst.data(), n, spec.alignedWork());
    EXPECT_EQ(dst.ToVector(), back);
    EXPECT_TRUE(spec.GuardsIntact());
  }
}

// The recursion below the top depth, on its own tables: bit-reversed points
// in, the block-split spectrum out, every point scaled once.
TEST_P(FftLevelKernelsTest, FourStepRecursionAtDepthOne) {
  const int32_t n = api().directThreshold + 1;
  const int32_t d = n + 1;
  const int64_t points = int64_t{1} << n;
  const std::vector<float> sine = SineTable(api(), d);
  AlignedFloats tables(4 * points);
  RealFftSpec spec{};
  spec.forwardScaled = 1;
  spec.scaleFactor = 0.25f;
  api().buildFourStep(&spec, n, sine.data(), d, 1, tables.data(), nullptr);
  EXPECT_EQ(spec.fourStepTwiddles[0], nullptr);
  ASSERT_NE(spec.fourStepTwiddles[1], nullptr);
  AlignedFloats work(spec.workBytes / 4);

  // The inverse with its input conjugated is the conjugated forward.
  const ToneSignal& tones = SharedTones(n);
  std::vector<long double> conjugated = tones.spectrum;
  for (size_t i = 1; i < conjugated.size(); i += 2) conjugated[i] = -conjugated[i];
  for (bool inverse : {false, true}) {
    std::vector<float> x = tones.x;
    if (inverse)
      for (size_t i = 1; i < x.size(); i += 2) x[i] = -x[i];
    std::vector<float> y = NaiveBitReverse(x);
    (inverse ? api().fourStepInverse : api().fourStepForward)(&spec, y.data(), n, 1, work.data());
    EXPECT_LT(RelativeRmsError(Interleaved(y).data(), inverse ? conjugated : tones.spectrum, inverse ? 1.0L : 0.25L),
              Tolerance(n))
        << (inverse ? "inverse" : "forward");
  }
}

// Opt-in (slow, up to 2 GB): the largest splits through the real
// transforms, on three real tones whose packed spectrum is known exactly
// (N/2 times each amplitude at its bin), then back.
TEST_P(FftLevelKernelsTest, DISABLED_LargeOrdersThroughTheRealTransforms) {
  for (int32_t order = 21; order <= 27; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int64_t n = int64_t{1} << order;
    const std::vector<float> random = RandomSignal(9, order);
    std::vector<int64_t> bins(3);
    std::vector<long double> amplitude(3), phase(3);
    std::vector<float> x(n, 0.0f);
    for (int q = 0; q < 3; ++q) {
      bins[q] = 1 + static_cast<int64_t>((random[3 * q] + 1.0f) * 0.5f * static_cast<float>(n / 2 - 2));
      amplitude[q] = random[3 * q + 1];
      phase[q] = random[3 * q + 2] * Pi();
      for (int64_t t = 0; t < n; ++t)
        x[t] += static_cast<float>(amplitude[q] * std::cos(2 * Pi() * ((bins[q] * t) % n) / n + phase[q]));
    }
    LevelSpec spec(api(), order, FFT_SCALE_INVERSE);
    ASSERT_EQ(spec.status(), DSP_STATUS_OK);
    std::vector<float> y = x;
    ASSERT_EQ(api().forwardInPlace(y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    long double error = 0, energy = 0;
    for (int64_t i = 0; i < n; ++i) error += static_cast<long double>(y[i]) * y[i];
    for (int q = 0; q < 3; ++q) {
      const int64_t k = bins[q];
      const long double re = amplitude[q] * n / 2 * std::cos(phase[q]), im = amplitude[q] * n / 2 * std::sin(phase[q]);
      error += (y[2 * k] - re) * (y[2 * k] - re) - static_cast<long double>(y[2 * k]) * y[2 * k];
      error += (y[2 * k + 1] - im) * (y[2 * k + 1] - im) - static_cast<long double>(y[2 * k + 1]) * y[2 * k + 1];
      energy += re * re + im * im;
    }
    EXPECT_LT(std::sqrt(error / energy), Tolerance(order));
    ASSERT_EQ(api().inverseInPlace(y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    long double roundTrip = 0, signal = 0;
    for (int64_t i = 0; i < n; ++i) {
      roundTrip += (static_cast<long double>(y[i]) - x[i]) * (static_cast<long double>(y[i]) - x[i]);
      signal += static_cast<long double>(x[i]) * x[i];
    }
    EXPECT_LT(std::sqrt(roundTrip / signal), 2 * Tolerance(order));
    EXPECT_TRUE(spec.GuardsIntact());
  }
}

}  // namespace
}  // namespace fft_level_test
