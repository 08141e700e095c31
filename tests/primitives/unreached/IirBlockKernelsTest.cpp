// The block kernels of the IIR family (float, 16-bit and complex samples):
// feed-forward sums in their fixed forms at every source alignment, the
// four-at-a-time recursion against the plain one, the 16-bit stores and the
// history each recursion writes.
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/unreached/iir/IirKernels.h"
#include "primitives/unreached/iir/IirLevels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/IirTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace iir_test;
using primitives_test::RandomSignal;
using unreached_test::Bits;

class IirBlockKernels : public unreached_test::LevelKernelTest {};

constexpr float kSentinel = -12345.0f;

// The level tables of an order-N filter, as IirFilterInitL1 builds them (an
// order-0 gain as the tap vector of an order-1 filter with b1 = a1 = 0).
class RealTables {
 public:
  explicit RealTables(std::vector<float> raw) : m_Buffer(IirStateBytes(2, IIR_STATE_TAG, 1) / 16 + raw.size()) {
    if (raw.size() == 2) raw = {raw[0], 0, raw[1], 0};
    EXPECT_EQ(IirFilterInitL1(&m_State, raw.data(), Order(raw), nullptr, m_Buffer.data()), DSP_STATUS_OK);
  }
  const IirVector* taps() const { return m_State->tapVectors; }
  const IirVector* lookahead() const { return m_State->lookaheadTable; }
  float c(int32_t k) const { return m_State->lookaheadTable[k - 1].lane[0]; }
  float b(int32_t k) const { return m_State->tapVectors[k].lane[0]; }

 private:
  static int32_t Order(const std::vector<float>& raw) { return static_cast<int32_t>(raw.size() / 2 - 1); }
  std::vector<IirVector> m_Buffer;
  IirState* m_State = nullptr;
};

template <typename Src>
using FeedForwardFn = void (*)(const Src*, float*, int64_t, const IirVector*, int32_t);

template <typename Src>
std::vector<Src> BlockSamples(size_t n, unsigned seed) {
  const std::vector<float> f = RandomSignal(n, seed);
  std::vector<Src> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<Src>(std::is_same_v<Src, float> ? f[i] : std::round(f[i] * 30000));
  return x;
}

// The same call on a source at byte offsets 0, 4, 8, 12 and 1 from a 16-byte
// boundary and at each level gives the same bits; below order 4 every output
// equals the output computed alone, from order 4 the grouped outputs stay
// within rounding of the exact sum; nothing past count is written.
template <typename Src>
void CheckFeedForward(const std::array<FeedForwardFn<Src>, 3>& levels) {
  for (int32_t order = 0; order <= 6; ++order) {
    const RealTables tables(StableTaps(order, order + 20));
    for (int64_t count : {0, 1, 3, 4, 5, 15, 16, 17, 31, 40}) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", count " << count);
      const std::vector<Src> x = BlockSamples<Src>(count + order, order + count);
      std::vector<uint32_t> first;
      for (int level = 1; level <= 3; ++level) {
        if (!unreached_test::CpuRunsLevel(level)) continue;
        for (size_t offset : {0u, 4u, 8u, 12u, 1u}) {
          std::vector<unsigned char> storage(sizeof(Src) * (x.size() + 1) + 32);
          unsigned char* at = storage.data() + ((16 - reinterpret_cast<uintptr_t>(storage.data()) % 16) % 16) + offset;
          if (!x.empty()) std::memcpy(at, x.data(), sizeof(Src) * x.size());
          Aligned<float> work(count + 4);
          for (int64_t j = 0; j < count + 4; ++j) work[j] = kSentinel;
          levels[level - 1](reinterpret_cast<const Src*>(at), work.data(), count, tables.taps(), order);
          std::vector<uint32_t> bits;
          for (int64_t j = 0; j < count + 4; ++j) bits.push_back(Bits(work[j]));
          if (first.empty()) first = bits;
          EXPECT_EQ(bits, first) << "level " << level << ", offset " << offset;
        }
      }
      for (int64_t j = count; j < count + 4; ++j) EXPECT_EQ(first[j], Bits(kSentinel));
      for (int64_t j = 0; j < count; ++j) {
        long double exact = 0;
        for (int32_t k = 0; k <= order; ++k) exact += static_cast<long double>(tables.b(k)) * x[j + order - k];
        const float got = std::bit_cast<float>(first[j]);
        EXPECT_NEAR(got, static_cast<double>(exact), 4e-7 * (std::is_same_v<Src, float> ? 4 : 120000)) << j;
        if (order <= 3) {
          Aligned<float> alone(4);
          levels[0](x.data() + j, alone.data(), 1, tables.taps(), order);
          EXPECT_EQ(Bits(alone[0]), first[j]) << "output " << j << " alone";
        }
      }
    }
  }
}

TEST_F(IirBlockKernels, FeedForwardSumsAreFixedAndAlignmentFree) {
  CheckFeedForward<float>({IirFeedForwardBlockF32L1, IirFeedForwardBlockF32L2, IirFeedForwardBlockF32L3});
  CheckFeedForward<int16_t>({IirFeedForwardBlockS16L1, IirFeedForwardBlockS16L2, IirFeedForwardBlockS16L3});
}

// The plain recursion in long double from the table's own c[k].
std::vector<long double> PlainRecursion(const RealTables& t, int32_t order, const std::vector<float>& w,
                                        const std::vector<float>& before) {
  std::vector<long double> y(before.begin(), before.end());
  for (size_t j = 0; j < w.size(); ++j) {
    long double v = w[j];
    for (int32_t k = 1; k <= order; ++k) v += static_cast<long double>(t.c(k)) * y[order + j - k];
    y.push_back(v);
  }
  return y;
}

// Float and 16-bit recursions of orders 1-6 over group and single outputs:
// the floats follow the plain recursion and are the same in both kernels,
// the 16-bit samples are exactly those floats scaled, rounded and saturated,
// and nothing before the block is written.
TEST_F(IirBlockKernels, RecursionFollowsThePlainRecursion) {
  using F32Fn = decltype(&IirRecursionBlockF32L1);
  using S16Fn = decltype(&IirRecursionBlockS16L1);
  const F32Fn f32[3] = {IirRecursionBlockF32L1, IirRecursionBlockF32L2, IirRecursionBlockF32L3};
  const S16Fn s16[3] = {IirRecursionBlockS16L1, IirRecursionBlockS16L2, IirRecursionBlockS16L3};
  for (int32_t order = 1; order <= 6; ++order) {
    const RealTables tables(StableTaps(order, 3 * order));
    for (int64_t count : {0, 1, 2, 3, 4, 5, 8, 13, 37}) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", count " << count);
      const std::vector<float> before = RandomSignal(order, order + 50);
      std::vector<float> w = RandomSignal(count, count + 60);
      for (float& v : w) v *= 8;  // outputs of a few units: the 16-bit stores round
      Aligned<float> aligned(count + 1);
      std::copy(w.begin(), w.end(), aligned.data());
      const std::vector<long double> expected = PlainRecursion(tables, order, w, before);
      std::vector<float> reference;
      for (int level = 1; level <= 3; ++level) {
        if (!unreached_test::CpuRunsLevel(level)) continue;
        std::vector<float> y = before;
        y.resize(order + count + 1, kSentinel);
        f32[level - 1](aligned.data(), y.data(), count, tables.lookahead(), order);
        EXPECT_EQ(y[order + count], kSentinel);
        y.pop_back();
        if (reference.empty()) reference = y;
        EXPECT_EQ(y, reference) << "level " << level;
        EXPECT_LT(RelativeError(y, expected), 1e-5);

        std::vector<float> history = before;
        history.resize(order + count, kSentinel);
        std::vector<int16_t> dst(order + count + 1, 7);
        s16[level - 1](aligned.data(), history.data(), count, tables.lookahead(), order, dst.data(), -2);
        EXPECT_EQ(history, y);
        for (int32_t k = 0; k < order; ++k) EXPECT_EQ(dst[k], 7);
        EXPECT_EQ(dst[order + count], 7);
        for (int64_t j = order; j < order + count; ++j)
          EXPECT_EQ(dst[j], std::clamp(std::nearbyint(y[j] * 4.0f), -32768.0f, 32767.0f)) << j;
      }
    }
  }
}

// c = 0: the table passes w through, so the 16-bit stores see chosen values
// in groups of four and in the single outputs after them.
TEST_F(IirBlockKernels, SixteenBitStoresRoundAndSaturate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  alignas(16) const IirVector identity[4] = {{{0, 0, 0, 0}}, {{1, 0, 0, 0}}, {{0, 1, 0, 0}}, {{0, 0, 1, 0}}};
  struct Row {
    const char* name;
    float y;
    int32_t sf;
    int16_t expected;
  };
  const Row rows[] = {
      {"6 / 4", 6, 2, 2},
      {"10 / 4 ties to even", 10, 2, 2},
      {"14 / 4 ties to even", 14, 2, 4},
      {"32767.5 rounds to 32768, saturates", 32767.5f, 0, 32767},
      {"2^31 - 128", 2147483520.0f, 0, 32767},
      {"3e9 saturates high", 3e9f, 0, 32767},
      {"-32768.5", -32768.5f, 0, -32768},
      {"-3e9", -3e9f, 0, -32768},
      {"NaN", nan, 0, -32768},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A group of four (NaN spreads through it) and one single output.
    for (int64_t count : {4, 5}) {
      alignas(16) float w[8] = {0, 0, 0, 0, 0};
      w[count - 1] = row.y;
      float history[8] = {0};
      int16_t dst[8] = {0};
      IirRecursionBlockS16L1(w, history, count, identity, 1, dst, row.sf);
      EXPECT_EQ(dst[count], row.expected) << count;
      EXPECT_EQ(Bits(history[count]), Bits(row.y)) << "the history keeps the float";
    }
  }
}

// The biquad members are the order-2 forms; the 16-bit biquad recursion
// keeps its groups in registers and writes back only the last group and
// what follows it.
TEST_F(IirBlockKernels, BiquadPairIsTheOrderTwoPair) {
  const RealTables tables(StableTaps(2, 77));
  for (int64_t count : {0, 1, 3, 4, 6, 9, 16}) {
    SCOPED_TRACE(count);
    const std::vector<float> x = RandomSignal(count + 2, count);
    std::vector<int16_t> x16;
    for (float v : x) x16.push_back(static_cast<int16_t>(v * 20000));
    Aligned<float> a(count + 1), b(count + 1), a16(count + 1), b16(count + 1);
    IirFeedForwardBlockF32L2(x.data(), a.data(), count, tables.taps(), 2);
    IirBiquadFeedForwardF32L2(x.data(), b.data(), count, tables.taps());
    IirFeedForwardBlockS16L3(x16.data(), a16.data(), count, tables.taps(), 2);
    IirBiquadFeedForwardS16L3(x16.data(), b16.data(), count, tables.taps());
    for (int64_t j = 0; j < count; ++j) {
      EXPECT_EQ(Bits(a[j]), Bits(b[j]));
      EXPECT_EQ(Bits(a16[j]), Bits(b16[j]));
    }
    std::vector<float> ya = {0.25f, -0.5f}, yb = ya;
    ya.resize(count + 2);
    yb.resize(count + 2);
    IirRecursionBlockF32L1(a.data(), ya.data(), count, tables.lookahead(), 2);
    IirBiquadRecursionF32L1(a.data(), yb.data(), count, tables.lookahead());
    EXPECT_EQ(ya, yb);

    std::vector<float> history(count + 2, kSentinel);
    history[0] = 0.25f;
    history[1] = -0.5f;
    std::vector<int16_t> dst(count + 2, 0), dstAny(count + 2, 0);
    std::vector<float> historyAny = history;
    IirBiquadRecursionS16L1(a.data(), history.data(), count, tables.lookahead(), dst.data(), 0);
    IirRecursionBlockS16L1(a.data(), historyAny.data(), count, tables.lookahead(), 2, dstAny.data(), 0);
    EXPECT_EQ(dst, dstAny);
    const int64_t groups = count & ~int64_t{3};
    for (int64_t j = 2; j < count + 2; ++j) {
      const float want = j < 2 + groups - 4 ? kSentinel : ya[j];  // earlier groups stay in registers
      EXPECT_EQ(history[j], want) << j;
    }
  }
}

// ---------------------------------------------------------------------------
// Complex samples

template <typename Src>
std::vector<Src> ComplexSamples(size_t n, unsigned seed) {
  const std::vector<float> f = RandomSignal(2 * n, seed);
  std::vector<Src> x(n);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (std::is_same_v<Src, ComplexF32>)
      x[i] = {f[2 * i], f[2 * i + 1]};
    else
      x[i] = {static_cast<int16_t>(f[2 * i] * 30000), static_cast<int16_t>(f[2 * i + 1] * 30000)};
  }
  return x;
}

template <typename Src>
using ComplexFeedForwardFn = void (*)(const Src*, ComplexF32*, int64_t, const IirComplexTapEntry*, int32_t);

template <typename Src>
void CheckComplexFeedForward(const std::array<ComplexFeedForwardFn<Src>, 3>& levels) {
  for (int32_t order = 0; order <= 5; ++order) {
    const Coefficients c = StableCoefficients(order, true, order + 5);
    const ComplexBlockTables tables = MakeComplexBlockTables(c);
    for (int64_t count : {0, 1, 2, 3, 5, 8, 9}) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", count " << count);
      const std::vector<Src> x = ComplexSamples<Src>(count + order, count + 11);
      std::vector<ComplexF32> first;
      for (int level = 1; level <= 3; ++level) {
        if (!unreached_test::CpuRunsLevel(level)) continue;
        for (size_t offset : {0u, 8u, 4u}) {
          std::vector<unsigned char> storage(sizeof(Src) * (x.size() + 1) + 32);
          unsigned char* at = storage.data() + ((16 - reinterpret_cast<uintptr_t>(storage.data()) % 16) % 16) + offset;
          if (!x.empty()) std::memcpy(at, x.data(), sizeof(Src) * x.size());
          Aligned<ComplexF32> out(count + 1);
          out[count] = {kSentinel, kSentinel};
          levels[level - 1](reinterpret_cast<const Src*>(at), out.data(), count, tables.taps.data(), order);
          EXPECT_EQ(out[count].re, kSentinel);
          std::vector<ComplexF32> got(out.data(), out.data() + count);
          if (level == 1 && offset == 0) first = got;
          for (int64_t i = 0; i < count; ++i) {
            ASSERT_EQ(Bits(got[i].re), Bits(first[i].re)) << level << " " << offset;
            ASSERT_EQ(Bits(got[i].im), Bits(first[i].im)) << level << " " << offset;
          }
        }
      }
      const long double scale = std::is_same_v<Src, ComplexF32> ? 1 : 30000;
      for (int64_t i = 0; i < count; ++i) {
        LComplex exact = 0;
        for (int32_t k = 0; k <= order; ++k) {
          const LComplex b(static_cast<float>(c.b[k].real()), static_cast<float>(c.b[k].imag()));
          exact += b * LComplex(x[i + order - k].re, x[i + order - k].im);
        }
        EXPECT_LT(std::abs(LComplex(first[i].re, first[i].im) - exact), 2e-6 * scale) << i;
      }
    }
  }
}

TEST_F(IirBlockKernels, ComplexFeedForwardAtEveryAlignment) {
  CheckComplexFeedForward<ComplexF32>(
      {IirFeedForwardBlockComplexF32L1, IirFeedForwardBlockComplexF32L2, IirFeedForwardBlockComplexF32L3});
  CheckComplexFeedForward<ComplexS16>(
      {IirFeedForwardBlockComplexS16L1, IirFeedForwardBlockComplexS16L2, IirFeedForwardBlockComplexS16L3});
}

TEST_F(IirBlockKernels, ComplexFeedForwardOfRealDataIsReal) {
  Coefficients c = StableCoefficients(3, false, 4);
  const ComplexBlockTables tables = MakeComplexBlockTables(c);
  std::vector<ComplexF32> x;
  for (float v : RandomSignal(12, 3)) x.push_back({v, 0.0f});
  Aligned<ComplexF32> out(9);
  IirFeedForwardBlockComplexF32L1(x.data(), out.data(), 9, tables.taps.data(), 3);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i].im, 0.0f);
}

// Complex recursions of orders 1-5: the float outputs follow the plain
// recursion and agree between the kernels; the 16-bit kernel stores each
// part scaled, rounded and saturated, writes history from order 3 on for
// every output but at orders 1 and 2 only from the last pair of the last
// group on, and never before the block.
TEST_F(IirBlockKernels, ComplexRecursionFollowsThePlainRecursion) {
  using F32Fn = decltype(&IirRecursionBlockComplexF32L1);
  using S16Fn = decltype(&IirRecursionBlockComplexS16L1);
  const F32Fn f32[3] = {IirRecursionBlockComplexF32L1, IirRecursionBlockComplexF32L2, IirRecursionBlockComplexF32L3};
  const S16Fn s16[3] = {IirRecursionBlockComplexS16L1, IirRecursionBlockComplexS16L2, IirRecursionBlockComplexS16L3};
  const ComplexF32 sentinel = {kSentinel, kSentinel};
  for (int32_t order = 1; order <= 5; ++order) {
    const Coefficients c = StableCoefficients(order, true, 9 * order);
    const ComplexBlockTables tables = MakeComplexBlockTables(c);
    for (int64_t count : {0, 1, 3, 4, 6, 9, 13}) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", count " << count);
      const std::vector<ComplexF32> before = ComplexSamples<ComplexF32>(order, order);
      std::vector<ComplexF32> w = ComplexSamples<ComplexF32>(count, count + 1);
      for (ComplexF32& v : w) v = {v.re * 8, v.im * 8};
      Aligned<ComplexF32> aligned(count + 1);
      std::copy(w.begin(), w.end(), aligned.data());
      std::vector<LComplex> expected;
      for (const ComplexF32& v : before) expected.push_back(LComplex(v.re, v.im));
      for (int64_t j = 0; j < count; ++j) {
        LComplex v(w[j].re, w[j].im);
        for (int32_t k = 1; k <= order; ++k) v -= c.a[k] * expected[order + j - k];
        expected.push_back(v);
      }
      const int64_t groups = count & ~int64_t{3};
      for (int level = 1; level <= 3; ++level) {
        if (!unreached_test::CpuRunsLevel(level)) continue;
        std::vector<ComplexF32> y = before;
        y.resize(order + count + 1, sentinel);
        f32[level - 1](aligned.data(), y.data(), count, tables.lookahead.data(), order);
        EXPECT_EQ(y[order + count].re, kSentinel);
        y.pop_back();
        long double worst = 0, scale = 1;
        for (size_t j = 0; j < y.size(); ++j) {
          worst = std::max(worst, std::abs(LComplex(y[j].re, y[j].im) - expected[j]));
          scale = std::max(scale, std::abs(expected[j]));
        }
        EXPECT_LT(worst / scale, 1e-5);

        std::vector<ComplexF32> history = before;
        history.resize(order + count, sentinel);
        std::vector<ComplexS16> dst(order + count + 1, ComplexS16{7, 7});
        s16[level - 1](aligned.data(), history.data(), count, tables.lookahead.data(), order, dst.data(), -3);
        for (int64_t j = 0; j < order + count; ++j) {
          const bool written = j < order || order >= 3 || j >= order + groups - 2;
          const ComplexF32 want = written ? y[j] : sentinel;
          EXPECT_EQ(Bits(history[j].re), Bits(want.re)) << j;
          EXPECT_EQ(Bits(history[j].im), Bits(want.im)) << j;
          const int16_t re = j < order ? 7 : std::clamp(std::nearbyint(y[j].re * 8), -32768.0f, 32767.0f);
          const int16_t im = j < order ? 7 : std::clamp(std::nearbyint(y[j].im * 8), -32768.0f, 32767.0f);
          EXPECT_EQ(dst[j].re, re) << j;
          EXPECT_EQ(dst[j].im, im) << j;
        }
        EXPECT_EQ(dst[order + count].re, 7);
      }
    }
  }
}

// A NaN part stores as -32768 while the other part converts; a part beyond
// the range saturates by its sign.
TEST_F(IirBlockKernels, ComplexSixteenBitStoresPartByPart) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Coefficients c = {{1, 0}, {1, 0}};  // order 1, c1 = 0
  const ComplexBlockTables tables = MakeComplexBlockTables(c);
  Aligned<ComplexF32> w(5);
  w[0] = {3e9f, -3e9f};
  w[4] = {nan, 5.0f};
  ComplexF32 history[6] = {};
  ComplexS16 dst[6] = {};
  IirRecursionBlockComplexS16L1(w.data(), history, 5, tables.lookahead.data(), 1, dst, 0);
  EXPECT_EQ(dst[1].re, 32767);
  EXPECT_EQ(dst[1].im, -32768);
  EXPECT_EQ(dst[5].re, -32768);
  EXPECT_EQ(dst[5].im, 5);
}

}  // namespace
