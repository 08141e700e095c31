// The level builds of the element-wise arithmetic give the baseline's bits
// for every alignment, length, rounding mode and special value; the extremes
// follow their lane reduction, which differs from the baseline on NaN and on
// ties of +0.0 and -0.0.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "primitives/Vector.h"
#include "primitives/levels/VectorLevels.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using leveltest::Arena;
using primtest::Bits;
using primtest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Values with the specials an element-wise primitive must carry through:
// signed zeros, denormals, infinities and NaN payloads (when `specials`).
std::vector<float> Values(size_t n, unsigned seed, bool specials) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> wide(-1000.0f, 1000.0f);
  const float pool[] = {0.0f, -0.0f, 1e-40f, -3e-39f, FromBits(0x00000001), 1.0f, -1.0f, 3.4e38f};
  const float specialPool[] = {kInf, -kInf, FromBits(0x7FC12345), FromBits(0xFFA00001), FromBits(0x7F800001)};
  std::vector<float> v(n);
  for (float& x : v) {
    const unsigned pick = rng() % 16;
    if (pick < 3)
      x = pool[rng() % std::size(pool)];
    else if (pick == 3 && specials)
      x = specialPool[rng() % std::size(specialPool)];
    else
      x = wide(rng);
  }
  return v;
}

// One element-wise primitive, called through its public name. `a` holds
// specials, `b` is finite, so that no element combines two NaNs, whose
// result the primitives leave open. An in-place destination starts as a copy
// of `b` when the primitive also reads `a`, else as a copy of `a`.
struct Case {
  const char* name;
  bool usesA;
  bool inPlace;
  std::function<DspStatus(const float* a, const float* b, float* dst, int32_t len)> call;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"VecAddF32", true, false,
       [](const float* a, const float* b, float* d, int32_t n) { return VecAddF32(a, b, d, n); }},
      {"VecAddF32InPlace", true, true,
       [](const float* a, const float*, float* d, int32_t n) { return VecAddF32InPlace(a, d, n); }},
      {"VecAddConstF32InPlace", false, true,
       [](const float*, const float*, float* d, int32_t n) { return VecAddConstF32InPlace(-2.75f, d, n); }},
      {"VecMulConstF32InPlace", false, true,
       [](const float*, const float*, float* d, int32_t n) { return VecMulConstF32InPlace(1.0e-3f, d, n); }},
      {"VecMulConstF32", true, false,
       [](const float* a, const float*, float* d, int32_t n) { return VecMulConstF32(a, -7.5f, d, n); }},
      {"VecMulConstF32 by 1 copies", true, false,
       [](const float* a, const float*, float* d, int32_t n) { return VecMulConstF32(a, 1.0f, d, n); }},
      {"VecDivConstF32InPlace", false, true,
       [](const float*, const float*, float* d, int32_t n) { return VecDivConstF32InPlace(3.0f, d, n); }},
      {"VecAbsF32InPlace", false, true,
       [](const float*, const float*, float* d, int32_t n) { return VecAbsF32InPlace(d, n); }},
  };
  return cases;
}

// The inputs of one case and length, and the baseline's result on them.
struct Prepared {
  std::vector<float> a, b, expected;
};

Prepared Prepare(const Case& c, int32_t len, unsigned seed) {
  Prepared p{Values(static_cast<size_t>(len), seed, true), Values(static_cast<size_t>(len), seed + 1, false), {}};
  p.expected = c.inPlace ? (c.usesA ? p.b : p.a) : std::vector<float>(static_cast<size_t>(len));
  std::vector<float> a(p.a), b(p.b);
  testsupport::ScopedDispatchLevel baseline(0);
  EXPECT_EQ(c.call(a.data(), b.data(), p.expected.data(), len), DSP_STATUS_OK);
  return p;
}

class VectorLevelsTest : public leveltest::LevelTest {
 protected:
  // Runs one case at the test's level on buffers at the given offsets; it
  // must give the baseline's bits and write nothing outside its destination.
  void ExpectBaselineBits(const Case& c, const Prepared& in, size_t aOffset, size_t bOffset, size_t dOffset) {
    const int32_t len = static_cast<int32_t>(in.a.size());
    const size_t bytes = 4 * in.a.size();
    if (m_Out == nullptr || m_Bytes < bytes) {
      m_Bytes = bytes;
      m_InA = std::make_unique<Arena>(bytes + 16);
      m_InB = std::make_unique<Arena>(bytes + 16);
      m_Out = std::make_unique<Arena>(bytes + 16);
    }
    m_Out->Reset();
    float* pa = m_InA->As<float>(aOffset);
    float* pb = m_InB->As<float>(bOffset);
    float* pd = m_Out->As<float>(dOffset);
    std::memcpy(pa, in.a.data(), bytes);
    std::memcpy(pb, in.b.data(), bytes);
    if (c.inPlace) std::memcpy(pd, (c.usesA ? in.b : in.a).data(), bytes);
    ASSERT_EQ(c.call(pa, pb, pd, len), DSP_STATUS_OK);
    if (std::memcmp(pd, in.expected.data(), bytes) != 0) {
      for (int32_t i = 0; i < len; ++i) {
        uint32_t got;
        std::memcpy(&got, reinterpret_cast<unsigned char*>(pd) + 4 * i, 4);
        ASSERT_EQ(got, Bits(in.expected[static_cast<size_t>(i)]))
            << c.name << " element " << i << " of " << len << " (a +" << aOffset << ", b +" << bOffset << ", dst +"
            << dOffset << ")";
      }
    }
    EXPECT_TRUE(m_Out->UntouchedOutside(pd, bytes)) << c.name;
  }

 private:
  size_t m_Bytes = 0;
  std::unique_ptr<Arena> m_InA, m_InB, m_Out;
};
INSTANTIATE_LEVELS(VectorLevelsTest);

TEST_P(VectorLevelsTest, ElementwiseBuildsGiveTheBaselineBitsForEveryAlignment) {
  std::vector<int32_t> lengths;
  for (int32_t n = 1; n <= 40; ++n) lengths.push_back(n);
  for (int32_t n : {63, 64, 65, 100, 1001}) lengths.push_back(n);
  for (const Case& c : Cases()) {
    for (int32_t len : lengths) {
      const Prepared in = Prepare(c, len, static_cast<unsigned>(len));
      for (size_t dOffset = 0; dOffset < 16; ++dOffset) {
        for (size_t sOffset = 0; sOffset < 16; ++sOffset) {
          // The second source runs at another offset so that the two sources
          // also differ in alignment.
          ExpectBaselineBits(c, in, sOffset, (sOffset * 7 + 3) % 16, dOffset);
          if (HasFatalFailure()) return;
          if (!c.usesA) break;
        }
      }
    }
  }
}

// The rounding mode, flush-to-zero and denormals-are-zero of the caller
// apply alike to every path of a level and to the baseline.
TEST_P(VectorLevelsTest, ElementwiseBuildsFollowTheCallersMxcsrLikeTheBaseline) {
  for (uint32_t csr : {0x1F80u | 0x6000u, 0x1F80u | 0x2000u | 0x8000u | 0x40u, 0x1F80u | 0x4000u}) {
    primtest::MxcsrScope scope(csr);
    for (const Case& c : Cases()) {
      for (int32_t len : {7, 11, 37, 100}) {
        const Prepared in = Prepare(c, len, 99);
        for (size_t offset : {0u, 4u, 6u}) ExpectBaselineBits(c, in, offset, 12, (offset + 8) % 16);
      }
    }
  }
}

// A length past the streaming and prefetch thresholds of every kernel.
TEST_P(VectorLevelsTest, LargeVectorsStreamOrPrefetchWithTheSameBits) {
  for (const Case& c : Cases()) {
    const Prepared in = Prepare(c, 262200, 5);
    for (auto [a, d] : {std::pair<size_t, size_t>{0, 0}, {4, 8}, {1, 3}, {8, 12}}) ExpectBaselineBits(c, in, a, 8, d);
  }
}

TEST_P(VectorLevelsTest, ConstantWrappersTakeTheirShortcuts) {
  const float src[6] = {FromBits(0x7FC12345), FromBits(0xFFA54321), -0.0f, -kInf, 3.5f, 1e-40f};
  std::vector<float> v(src, src + 6);
  auto bits = [](const std::vector<float>& x) {
    std::vector<uint32_t> out;
    for (float f : x) out.push_back(Bits(f));
    return out;
  };
  const std::vector<uint32_t> original = bits(v);

  ASSERT_EQ(VecMulConstF32InPlace(1.0f, v.data(), 6), DSP_STATUS_OK);
  EXPECT_EQ(bits(v), original) << "multiply by 1 touches nothing";
  ASSERT_EQ(VecAddConstF32InPlace(-0.0f, v.data(), 6), DSP_STATUS_OK);
  EXPECT_EQ(bits(v), original) << "adding -0 touches nothing (-0.0 stays)";
  ASSERT_EQ(VecMulConstF32(v.data(), 1.0f, v.data(), 6), DSP_STATUS_OK);
  EXPECT_EQ(bits(v), original) << "a copy onto itself";
  ASSERT_EQ(VecDivConstF32InPlace(1.0f, v.data(), 6), DSP_STATUS_OK);
  EXPECT_EQ(bits(v), original) << "divide by 1 is a multiply by 1";

  EXPECT_EQ(VecDivConstF32InPlace(-0.0f, v.data(), 6), DSP_STATUS_DIVIDE_BY_ZERO);
  EXPECT_EQ(bits(v), original) << "a zero divisor writes nothing";

  std::vector<float> out(6, 1.0f);
  for (float zero : {0.0f, -0.0f}) {
    ASSERT_EQ(VecMulConstF32(v.data(), zero, out.data(), 6), DSP_STATUS_OK);
    EXPECT_EQ(bits(out), std::vector<uint32_t>(6, 0u)) << "NaN and inf times 0 are +0.0 here";
    std::vector<float> w(v);
    ASSERT_EQ(VecMulConstF32InPlace(zero, w.data(), 6), DSP_STATUS_OK);
    EXPECT_EQ(bits(w), std::vector<uint32_t>(6, 0u));
  }
  // An infinite divisor has the reciprocal 0: a destination of +0.0.
  std::vector<float> w(v);
  ASSERT_EQ(VecDivConstF32InPlace(kInf, w.data(), 6), DSP_STATUS_OK);
  EXPECT_EQ(bits(w), std::vector<uint32_t>(6, 0u));
  // A NaN divisor is no zero: it multiplies.
  w = v;
  ASSERT_EQ(VecDivConstF32InPlace(std::numeric_limits<float>::quiet_NaN(), w.data(), 6), DSP_STATUS_OK);
  for (float x : w) EXPECT_TRUE(std::isnan(x));

  // Absolute value clears bit 31 only: -0.0 to +0.0, NaN payloads kept.
  w = v;
  ASSERT_EQ(VecAbsF32InPlace(w.data(), 6), DSP_STATUS_OK);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Bits(w[i]), original[i] & 0x7FFFFFFFu) << i;
}

// ---------------------------------------------------------------------------
// Extremes

// The lane reduction of the level builds, element by element: four lanes
// from src[0]; a head to the 16-byte boundary into lane 0; one group of four
// when the boundary is not a 32-byte one; blocks of sixteen into four
// accumulators; groups of four; the lane combination; the rest in order.
// step(acc, x) keeps acc only when it is strictly beyond x.
float LaneModel(const float* src, int64_t n, bool max) {
  auto step = [max](float acc, float x) { return (max ? acc > x : acc < x) ? acc : x; };
  auto at = [](const float* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  };
  float acc[4];
  for (float& lane : acc) lane = at(src);
  const float* p = src;
  auto group = [&](float* lanes) {
    for (int j = 0; j < 4; ++j) lanes[j] = step(lanes[j], at(p + j));
    p += 4, n -= 4;
  };
  auto address = [&] { return reinterpret_cast<uintptr_t>(p); };
  bool combine = true;
  if (address() % 4 != 0) {
    while (n >= 4) group(acc);
  } else {
    while (address() % 16 != 0 && n > 0) acc[0] = step(acc[0], at(p++)), --n;
    if (n == 0) return acc[0];
    if (address() % 32 == 16) {
      if (n < 4)
        combine = false;
      else
        group(acc);
    }
    if (combine && n >= 16) {
      float more[3][4];
      for (auto& m : more) std::memcpy(m, acc, sizeof(acc));
      while (n >= 16) {
        group(acc);
        group(more[0]);
        group(more[1]);
        group(more[2]);
      }
      for (int j = 0; j < 4; ++j) {
        const float a02 = step(acc[j], more[1][j]);
        const float a13 = step(more[0][j], more[2][j]);
        acc[j] = step(a02, a13);
      }
    }
    if (combine)
      while (n >= 4) group(acc);
  }
  float running = combine ? step(step(acc[0], acc[2]), step(acc[1], acc[3])) : acc[0];
  while (n > 0) running = step(running, at(p++)), --n;
  return running;
}

TEST_P(VectorLevelsTest, ExtremesFollowTheLaneReductionForEveryAlignmentAndSpecialValue) {
  Arena arena(4 * 200 + 16);
  for (bool withSpecials : {false, true}) {
    for (int32_t len = 1; len <= 150; len += (len < 40 ? 1 : 9)) {
      for (size_t offset = 0; offset < 16; ++offset) {
        std::vector<float> v = Values(static_cast<size_t>(len), static_cast<unsigned>(len + offset), withSpecials);
        float* p = arena.As<float>(offset);
        std::memcpy(p, v.data(), v.size() * 4);
        float max = 0.0f, min = 0.0f;
        ASSERT_EQ(VecMaxF32(p, len, &max), DSP_STATUS_OK);
        ASSERT_EQ(VecMinF32(p, len, &min), DSP_STATUS_OK);
        EXPECT_EQ(Bits(max), Bits(LaneModel(p, len, true))) << len << " +" << offset;
        EXPECT_EQ(Bits(min), Bits(LaneModel(p, len, false))) << len << " +" << offset;
        if (withSpecials) continue;
        // Without NaN the value is the baseline's; a tie of signed zeros may
        // pick the other zero.
        float baseMax, baseMin;
        ASSERT_EQ(VecMaxF32L0(v.data(), len, &baseMax), DSP_STATUS_OK);
        ASSERT_EQ(VecMinF32L0(v.data(), len, &baseMin), DSP_STATUS_OK);
        EXPECT_EQ(max, baseMax);
        EXPECT_EQ(min, baseMin);
      }
    }
  }
}

// The rows where the level builds and the baseline part by design.
TEST_P(VectorLevelsTest, ExtremesDifferFromTheBaselineOnTiesOfZerosAndOnNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  alignas(32) float data[4];
  struct Row {
    const char* name;
    float a, b;
    bool max;
    uint32_t level, baseline;
  };
  const Row rows[] = {
      {"max {-0, +0}: the later zero", -0.0f, 0.0f, true, Bits(0.0f), Bits(-0.0f)},
      {"max {+0, -0}: the later zero", 0.0f, -0.0f, true, Bits(-0.0f), Bits(0.0f)},
      {"min {+0, -0}: the later zero", 0.0f, -0.0f, false, Bits(-0.0f), Bits(0.0f)},
      {"max {NaN, 2}: the NaN is replaced", nan, 2.0f, true, Bits(2.0f), Bits(nan)},
      {"min {NaN, 2}: the NaN is replaced", nan, 2.0f, false, Bits(2.0f), Bits(nan)},
  };
  for (const Row& row : rows) {
    data[0] = row.a;
    data[1] = row.b;
    float got, base;
    ASSERT_EQ((row.max ? VecMaxF32 : VecMinF32)(data, 2, &got), DSP_STATUS_OK);
    ASSERT_EQ((row.max ? VecMaxF32L0 : VecMinF32L0)(data, 2, &base), DSP_STATUS_OK);
    EXPECT_EQ(Bits(got), row.level) << row.name;
    EXPECT_EQ(Bits(base), row.baseline) << row.name;
  }
}

TEST_P(VectorLevelsTest, ChecksComeInOrderAndFailuresWriteNothing) {
  alignas(16) float a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  alignas(16) float d[8] = {};
  float extreme = 42.0f;
  const DspStatus kNull = DSP_STATUS_NULL_POINTER, kLength = DSP_STATUS_BAD_LENGTH;
  struct Row {
    const char* name;
    DspStatus got, expected;
  } rows[] = {
      {"VecAddF32 a", VecAddF32(nullptr, a, d, 0), kNull},
      {"VecAddF32 b", VecAddF32(a, nullptr, d, 4), kNull},
      {"VecAddF32 dst", VecAddF32(a, a, nullptr, -1), kNull},
      {"VecAddF32 len", VecAddF32(a, a, d, 0), kLength},
      {"VecAddF32InPlace src", VecAddF32InPlace(nullptr, d, 0), kNull},
      {"VecAddF32InPlace srcDst", VecAddF32InPlace(a, nullptr, 4), kNull},
      {"VecAddF32InPlace len", VecAddF32InPlace(a, d, -5), kLength},
      {"VecAddConstF32InPlace null", VecAddConstF32InPlace(0.0f, nullptr, 4), kNull},
      {"VecAddConstF32InPlace len before value 0", VecAddConstF32InPlace(0.0f, d, 0), kLength},
      {"VecMulConstF32InPlace null", VecMulConstF32InPlace(1.0f, nullptr, 4), kNull},
      {"VecMulConstF32InPlace len before value 1", VecMulConstF32InPlace(1.0f, d, 0), kLength},
      {"VecMulConstF32 src", VecMulConstF32(nullptr, 0.0f, d, 4), kNull},
      {"VecMulConstF32 dst", VecMulConstF32(a, 1.0f, nullptr, 4), kNull},
      {"VecMulConstF32 len before value 0", VecMulConstF32(a, 0.0f, d, 0), kLength},
      {"VecDivConstF32InPlace null before zero", VecDivConstF32InPlace(0.0f, nullptr, 4), kNull},
      {"VecDivConstF32InPlace len before zero", VecDivConstF32InPlace(0.0f, d, 0), kLength},
      {"VecDivConstF32InPlace zero", VecDivConstF32InPlace(0.0f, d, 4), DSP_STATUS_DIVIDE_BY_ZERO},
      {"VecAbsF32InPlace null", VecAbsF32InPlace(nullptr, 4), kNull},
      {"VecAbsF32InPlace len", VecAbsF32InPlace(d, 0), kLength},
      {"VecMaxF32 src", VecMaxF32(nullptr, 4, &extreme), kNull},
      {"VecMaxF32 out", VecMaxF32(a, 0, nullptr), kNull},
      {"VecMaxF32 len", VecMaxF32(a, 0, &extreme), kLength},
      {"VecMinF32 src", VecMinF32(nullptr, 0, &extreme), kNull},
      {"VecMinF32 len", VecMinF32(a, -1, &extreme), kLength},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.expected) << row.name;
  for (float x : d) EXPECT_EQ(x, 0.0f);
  EXPECT_EQ(extreme, 42.0f);
  // The internal divide keeps the same order: pointers, length, divisor.
  DspStatus (*const divide[4])(const float*, float, float*, int32_t) = {nullptr, VecDivConstF32L1, VecDivConstF32L2,
                                                                        VecDivConstF32L3};
  EXPECT_EQ(divide[level()](nullptr, 0.0f, d, 0), kNull);
  EXPECT_EQ(divide[level()](a, 0.0f, d, 0), kLength);
  EXPECT_EQ(divide[level()](a, -0.0f, d, 3), DSP_STATUS_DIVIDE_BY_ZERO);
  for (float x : d) EXPECT_EQ(x, 0.0f);
}

}  // namespace
