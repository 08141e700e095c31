#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "primitives/unreached/iir/Iir.h"
#include "primitives/unreached/iir/IirLevels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/IirTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace iir_test;
using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;
using unreached_test::Bits;

class IirLevels : public unreached_test::LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(IirLevels);

// A state in exactly IirFilterStateSize bytes, `misalign` bytes past a
// 64-byte boundary, with guards around it.
class IirInMemory {
 public:
  IirInMemory(const std::vector<float>& taps, const float* delay = nullptr, size_t misalign = 4) {
    const int32_t order = static_cast<int32_t>(taps.size() / 2 - 1);
    int32_t bytes = 0;
    EXPECT_EQ(IirFilterStateSize(order, &bytes), DSP_STATUS_OK);
    m_Buffer = std::make_unique<GuardedBuffer>(bytes, misalign);
    m_Status = IirFilterInit(&m_State, taps.data(), order, delay, m_Buffer->data());
  }
  DspStatus status() const { return m_Status; }
  IirState* get() const { return m_State; }
  bool GuardsIntact() const { return m_Buffer->GuardsIntact(); }
  void* buffer() const { return m_Buffer->data(); }
  std::vector<float> Delay() const { return {m_State->delayLine, m_State->delayLine + m_State->order + 1}; }

  // Filters x in place in calls of the given lengths (cycled).
  std::vector<float> Filter(std::vector<float> x, const std::vector<int32_t>& lengths) {
    size_t done = 0;
    for (size_t call = 0; done < x.size(); ++call) {
      const int32_t len = std::min<int32_t>(lengths[call % lengths.size()], static_cast<int32_t>(x.size() - done));
      EXPECT_EQ(IirFilterInPlace(x.data() + done, len, m_State), DSP_STATUS_OK);
      done += len;
    }
    return x;
  }

 private:
  std::unique_ptr<GuardedBuffer> m_Buffer;
  IirState* m_State = nullptr;
  DspStatus m_Status = -1;
};

TEST_P(IirLevels, StateSizeByLevelAndItsChecks) {
  struct Row {
    int32_t order;
    int32_t baseline;  // 16 floor(N/2) + 16 floor(N/4) + 144
    int32_t levels;    // 32 N + 16 floor(N/2) + 16 floor(N/4) + 4344
  };
  for (const Row row : {Row{1, 144, 4376}, Row{2, 160, 4424}, Row{4, 192, 4520}, Row{7, 208, 4632}}) {
    int32_t bytes = -1;
    EXPECT_EQ(IirFilterStateSize(row.order, &bytes), DSP_STATUS_OK);
    EXPECT_EQ(bytes, level() == 0 ? row.baseline : row.levels) << "order " << row.order;
  }
  int32_t bytes = 7;
  EXPECT_EQ(IirFilterStateSize(0, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterStateSize(0, &bytes), DSP_STATUS_BAD_FILTER_ORDER);
  EXPECT_EQ(IirFilterStateSize(-3, &bytes), DSP_STATUS_BAD_FILTER_ORDER);
  // No 32-bit count exists for these orders, and none wraps.
  EXPECT_EQ(IirFilterStateSize(INT32_MAX, &bytes), DSP_STATUS_BAD_FILTER_ORDER);
  const int32_t largest = level() == 0 ? 178956959 : 48806347;
  EXPECT_EQ(IirFilterStateSize(largest + 1, &bytes), DSP_STATUS_BAD_FILTER_ORDER);
  EXPECT_EQ(bytes, 7);
  EXPECT_EQ(IirFilterStateSize(largest, &bytes), DSP_STATUS_OK);
  EXPECT_GT(bytes, 2147483000);
}

TEST_P(IirLevels, InitChecksPointersBeforeOrderAndWritesNothingOnError) {
  const float taps[4] = {1, 2, 1, 0.5f};
  GuardedBuffer buffer(64, 0);
  IirState* state = nullptr;
  EXPECT_EQ(IirFilterInit(&state, nullptr, 0, nullptr, buffer.data()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInit(nullptr, taps, 0, nullptr, buffer.data()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInit(&state, taps, 0, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInit(&state, taps, 0, nullptr, buffer.data()), DSP_STATUS_BAD_FILTER_ORDER);
  EXPECT_EQ(IirFilterInit(&state, taps, -1, nullptr, buffer.data()), DSP_STATUS_BAD_FILTER_ORDER);
  EXPECT_EQ(IirFilterInit(&state, taps, INT32_MAX, nullptr, buffer.data()), DSP_STATUS_BAD_FILTER_ORDER);
  EXPECT_EQ(state, nullptr);
  EXPECT_TRUE(buffer.GuardsIntact());
  unsigned char pattern[64];
  std::memset(pattern, GuardedBuffer::kPattern, sizeof pattern);
  EXPECT_EQ(std::memcmp(buffer.data(), pattern, sizeof pattern), 0);
}

TEST_P(IirLevels, ZeroA0IsRefusedAfterTheHeaderAndDelayLineAreWritten) {
  for (float a0 : {0.0f, -0.0f}) {
    const std::vector<float> taps = {1, 2, 3, a0, 0.5f, 0.25f};
    const float delay[2] = {7, 8};
    int32_t bytes = 0;
    ASSERT_EQ(IirFilterStateSize(2, &bytes), DSP_STATUS_OK);
    GuardedBuffer buffer(bytes, 0);
    IirState* state = nullptr;
    EXPECT_EQ(IirFilterInit(&state, taps.data(), 2, delay, buffer.data()), DSP_STATUS_DIVIDE_BY_ZERO);
    ASSERT_EQ(static_cast<void*>(state), buffer.data());
    EXPECT_EQ(state->tag, IIR_STATE_TAG);
    EXPECT_EQ(state->order, 2);
    EXPECT_EQ(std::vector<float>(state->delayLine, state->delayLine + 3), (std::vector<float>{7, 8, 0}));
    uint32_t firstTap;
    std::memcpy(&firstTap, state->taps, 4);
    EXPECT_EQ(firstTap, 0xA5A5A5A5u) << "no coefficient is written";
    EXPECT_TRUE(buffer.GuardsIntact());
  }
}

TEST_P(IirLevels, InitLaysOutTheStateInsideTheReportedBytes) {
  // b = 1 -3 5 2 0.5 -0.25, a = 2 3 1 -1 0.75 0.125: a0 = 2 halves every
  // coefficient exactly.
  const std::vector<float> taps = {1, -3, 5, 2, 0.5f, -0.25f, 2, 3, 1, -1, 0.75f, 0.125f};
  const std::vector<float> normalised = {0.5f, -1.5f, 2.5f, 1, 0.25f, -0.125f, 1.5f, 0.5f, -0.5f, 0.375f, 0.0625f};
  for (size_t misalign : {0u, 1u, 7u, 15u}) {
    SCOPED_TRACE(misalign);
    IirInMemory iir(taps, nullptr, misalign);
    ASSERT_EQ(iir.status(), DSP_STATUS_OK);
    IirState* s = iir.get();
    const uintptr_t at = reinterpret_cast<uintptr_t>(s);
    EXPECT_EQ(at, (reinterpret_cast<uintptr_t>(iir.buffer()) + 15) & ~uintptr_t{15});
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s->taps), at + 96);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s->delayLine), at + 96 + 16 * 2 + 16);
    EXPECT_EQ(std::vector<float>(s->taps, s->taps + 11), normalised);
    EXPECT_EQ(iir.Delay(), std::vector<float>(6, 0.0f));
    EXPECT_EQ(s->tag, IIR_STATE_TAG);
    EXPECT_EQ(s->order, 5);
    EXPECT_EQ(s->sectionCount, 0);
    if (level() == 0) {
      EXPECT_EQ(s->blockWork, nullptr);
    } else {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(s->tapVectors), reinterpret_cast<uintptr_t>(s->delayLine) + 16 * 1 + 16);
      EXPECT_EQ(s->lookaheadTable, s->tapVectors + 6);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(s->blockWork), reinterpret_cast<uintptr_t>(s->tapVectors) + 32 * 5 + 64);
      EXPECT_EQ(s->secondBlockWork, nullptr);
      for (int k = 0; k <= 5; ++k)
        for (int l = 0; l < 4; ++l) EXPECT_EQ(s->tapVectors[k].lane[l], normalised[k]);
      // The weights of w[t], w[t+1], w[t+2] in y[t..t+3] start with the
      // impulse response of the all-pole part: h1 = -a'1.
      const float h1 = s->lookaheadTable[0].lane[0], h2 = s->lookaheadTable[0].lane[1];
      const float h3 = s->lookaheadTable[0].lane[2];
      EXPECT_EQ(h1, -1.5f);
      EXPECT_EQ(h2, h1 * h1 - 0.5f);
      const float row5[4] = {1, h1, h2, h3}, row6[4] = {0, 1, h1, h2}, row7[4] = {0, 0, 1, h1};
      EXPECT_EQ(std::memcmp(s->lookaheadTable[5].lane, row5, 16), 0);
      EXPECT_EQ(std::memcmp(s->lookaheadTable[6].lane, row6, 16), 0);
      EXPECT_EQ(std::memcmp(s->lookaheadTable[7].lane, row7, 16), 0);
    }
    // A piece of the full length fills the whole work area.
    iir.Filter(RandomSignal(3000, 5), {3000});
    EXPECT_TRUE(iir.GuardsIntact());
  }
}

TEST_P(IirLevels, FilterChecksItsArgumentsBeforeAnyWork) {
  IirInMemory iir(StableTaps(2, 1));
  float x[4] = {1, 2, 3, 4};
  const std::vector<float> delayBefore = iir.Delay();
  EXPECT_EQ(IirFilterInPlace(x, 4, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInPlace(x, 0, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInPlace(nullptr, 4, iir.get()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(IirFilterInPlace(x, 0, iir.get()), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(IirFilterInPlace(x, -5, iir.get()), DSP_STATUS_BAD_LENGTH);
  iir.get()->tag = 0;
  EXPECT_EQ(IirFilterInPlace(x, 4, iir.get()), DSP_STATUS_WRONG_KIND);
  EXPECT_EQ(std::vector<float>(x, x + 4), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(iir.Delay(), delayBefore);
}

// Every path (gain-free orders 1..13; pieces sample by sample, in blocks,
// split at 1024) against long double transposed direct form II, outputs and
// the delay line left behind.
TEST_P(IirLevels, OutputsAndDelayLineFollowTheReference) {
  for (int32_t order : {1, 2, 3, 4, 5, 8, 13}) {
    for (int32_t len : {1, 5, 8, 9, 52, 1030}) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", len " << len);
      const std::vector<float> taps = StableTaps(order, 10 * order + len, 1.5f);
      const std::vector<float> delay = RandomSignal(order, order);
      IirInMemory iir(taps, delay.data());
      ASSERT_EQ(iir.status(), DSP_STATUS_OK);
      const std::vector<float> x = RandomSignal(len, len);
      const std::vector<float> y = iir.Filter(x, {len});
      RealReference reference = RealReference::FromRaw(taps, delay);
      std::vector<long double> expected;
      for (float v : x) expected.push_back(reference.Step(v));
      // The coefficients are rounded to float once normalised; the bound
      // leaves room for a filter's sensitivity to that.
      EXPECT_LT(RelativeError(y, expected), 1e-4);
      EXPECT_LT(RelativeError(iir.Delay(), reference.delay()), 1e-4);
      EXPECT_EQ(iir.Delay()[order], 0.0f);
      EXPECT_TRUE(iir.GuardsIntact());
    }
  }
}

TEST_P(IirLevels, CallsOfAnyLengthContinueOneSignal) {
  const std::vector<float> taps = StableTaps(6, 3);
  const std::vector<float> x = RandomSignal(4000, 9);
  IirInMemory whole(taps);
  const std::vector<float> once = whole.Filter(x, {4000});
  IirInMemory parts(taps);
  const std::vector<float> split = parts.Filter(x, {1, 7, 1024, 3, 25, 1100, 2});
  EXPECT_LT(RelativeError(split, std::vector<long double>(once.begin(), once.end())), 1e-5);
  const std::vector<float> delay = whole.Delay();
  EXPECT_LT(RelativeError(parts.Delay(), std::vector<long double>(delay.begin(), delay.end())), 1e-5);
}

// a0 = NaN is no zero: the state builds and every output is NaN.
TEST_P(IirLevels, NaNLeadingDenominatorPasses) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  IirInMemory iir({1, 0.5f, nan, 0.25f});
  ASSERT_EQ(iir.status(), DSP_STATUS_OK);
  for (float y : iir.Filter({1, 0, 0, 0, 0, 0}, {6})) EXPECT_TRUE(std::isnan(y));
}

TEST_P(IirLevels, BiquadCascadeFollowsItsSections) {
  for (int32_t sections : {1, 2, 3, 5}) {
    for (int32_t len : {1, 4 * sections, 4 * sections + 1, 1030}) {
      SCOPED_TRACE(testing::Message() << sections << " sections, len " << len);
      const std::vector<Section> cascade = StableSections(sections, 40 + sections);
      BiquadState state(cascade, level() != 0);
      std::vector<float> x = RandomSignal(len, 2 * len);
      CascadeReference reference(cascade);
      std::vector<long double> expected;
      for (float v : x) expected.push_back(reference.Step(v));
      ASSERT_EQ(IirFilterInPlace(x.data(), len, state.get()), DSP_STATUS_OK);
      EXPECT_LT(RelativeError(x, expected), 2e-5);
      // And the delay pairs carry on: a second call continues the signal.
      std::vector<float> more = RandomSignal(37, 3 * len);
      std::vector<long double> expectedMore;
      for (float v : more) expectedMore.push_back(reference.Step(v));
      ASSERT_EQ(IirFilterInPlace(more.data(), 37, state.get()), DSP_STATUS_OK);
      EXPECT_LT(RelativeError(more, expectedMore), 2e-5);
    }
  }
}

// No section: the baseline's cascade leaves every sample 0, the level
// builds leave the samples as they are.
TEST_P(IirLevels, BiquadStateWithoutSections) {
  BiquadState state({}, level() != 0);
  std::vector<float> x = {1, 2, 3, 4, 5};
  ASSERT_EQ(IirFilterInPlace(x.data(), 5, state.get()), DSP_STATUS_OK);
  const std::vector<float> expected = level() == 0 ? std::vector<float>(5, 0.0f) : std::vector<float>{1, 2, 3, 4, 5};
  EXPECT_EQ(x, expected);
}

// The level builds are one build laid out three times; their short pieces
// run the baseline's lone-sample step, so single-sample calls give the
// baseline's bits.
class IirLevelBuilds : public unreached_test::LevelKernelTest {};

TEST_F(IirLevelBuilds, LevelsAgreeBitForBitAndShortPiecesMatchTheBaseline) {
  using Init = decltype(&IirFilterInitL0);
  using Run = decltype(&IirFilterInPlaceL0);
  struct Build {
    int level;
    Init init;
    Run run;
  };
  const Build builds[] = {{0, IirFilterInitL0, IirFilterInPlaceL0},
                          {1, IirFilterInitL1, IirFilterInPlaceL1},
                          {2, IirFilterInitL2, IirFilterInPlaceL2},
                          {3, IirFilterInitL3, IirFilterInPlaceL3}};
  for (int32_t order : {1, 2, 5, 9}) {
    const std::vector<float> taps = StableTaps(order, order);
    const std::vector<float> x = RandomSignal(2100, order);
    std::vector<uint32_t> blocks[4], singles[4];
    for (const Build& build : builds) {
      if (!unreached_test::CpuRunsLevel(build.level)) continue;
      for (bool single : {false, true}) {
        std::vector<IirVector> buffer(IirStateBytes(order, IIR_STATE_TAG, 1) / 16 + 1);
        IirState* state = nullptr;
        ASSERT_EQ(build.init(&state, taps.data(), order, nullptr, buffer.data()), DSP_STATUS_OK);
        std::vector<float> y = x;
        if (single) {
          for (float& v : y) ASSERT_EQ(build.run(&v, 1, state), DSP_STATUS_OK);
        } else {
          ASSERT_EQ(build.run(y.data(), 2100, state), DSP_STATUS_OK);
        }
        std::vector<uint32_t>& bits = single ? singles[build.level] : blocks[build.level];
        for (float v : y) bits.push_back(Bits(v));
        for (int32_t k = 0; k <= order; ++k) bits.push_back(Bits(state->delayLine[k]));
      }
    }
    for (int level = 2; level <= 3; ++level) {
      if (unreached_test::CpuRunsLevel(level)) {
        EXPECT_EQ(blocks[level], blocks[1]) << "order " << order;
      }
    }
    for (int level = 1; level <= 3; ++level) {
      if (unreached_test::CpuRunsLevel(level) && order >= 2) {
        EXPECT_EQ(singles[level], singles[0]) << "order " << order;
      }
    }
  }
}

}  // namespace
