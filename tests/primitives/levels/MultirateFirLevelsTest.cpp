// The level builds of the multirate FIR filter: the baseline's layouts with
// the indexed tap tables as one run per output, and outputs that follow the
// defining equation for every layout, phase pair and split of the stream.
// The kernels never read past a call's input: each call's input is an
// exact-size allocation.
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "primitives/MultirateFir.h"
#include "primitives/levels/FirLevels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

class MultirateFirLevelsTest : public leveltest::LevelTest {};
INSTANTIATE_LEVELS(MultirateFirLevelsTest);

struct Shape {
  int32_t taps, up, down;
};

// A filter in exactly the bytes the current level reports, 4 bytes past a
// 16-byte boundary, with guards around it.
class Filter {
 public:
  Filter(const std::vector<float>& taps, Shape s, int32_t upPhase, int32_t downPhase, const std::vector<float>* delay) {
    int32_t bytes = 0;
    EXPECT_EQ(MultirateFirStateSize(s.taps, s.up, s.down, &bytes), DSP_STATUS_OK);
    m_Buffer = std::make_unique<GuardedBuffer>(static_cast<size_t>(bytes), 4);
    EXPECT_EQ(MultirateFirInit(&m_State, taps.data(), s.taps, s.up, upPhase, s.down, downPhase,
                               delay != nullptr ? delay->data() : nullptr, m_Buffer->data()),
              DSP_STATUS_OK);
  }
  MultirateFirState* state() const { return static_cast<MultirateFirState*>(m_State); }
  bool GuardsIntact() const { return m_Buffer->GuardsIntact(); }

  // Runs `iterations` iterations per call (cycled; the last call takes what
  // is left); each call reads an exact-size copy of its down x iterations
  // inputs.
  std::vector<float> Run(const std::vector<float>& x, int32_t down, int32_t up,
                         const std::vector<int32_t>& iterations) {
    std::vector<float> y;
    const size_t total = x.size() / static_cast<size_t>(down);
    size_t done = 0;
    for (size_t call = 0; done < total; ++call) {
      const size_t len = std::min(static_cast<size_t>(iterations[call % iterations.size()]), total - done);
      const size_t first = done * static_cast<size_t>(down), inputs = len * static_cast<size_t>(down);
      const std::vector<float> in(x.begin() + static_cast<ptrdiff_t>(first),
                                  x.begin() + static_cast<ptrdiff_t>(first + inputs));
      std::vector<float> out(len * static_cast<size_t>(up));
      EXPECT_EQ(FirFilterBlock(in.data(), out.data(), static_cast<int32_t>(len), m_State), DSP_STATUS_OK);
      y.insert(y.end(), out.begin(), out.end());
      done += len;
    }
    return y;
  }

 private:
  std::unique_ptr<GuardedBuffer> m_Buffer;
  void* m_State = nullptr;
};

// y[m] = sum over t of taps[t] u(m D + Pd - t), u(n U + Pu) = x[n], zero
// elsewhere; x[-1 - j] is the caller's delay line entry j (zero without one).
void ExpectDefinition(const std::vector<float>& taps, Shape s, int32_t upPhase, int32_t downPhase,
                      const std::vector<float>& x, const std::vector<float>* delay, const std::vector<float>& y,
                      const char* what) {
  for (int64_t m = 0; m < static_cast<int64_t>(y.size()); ++m) {
    long double exact = 0, magnitude = 0;
    int64_t terms = 0;
    // Only the taps that meet an input sample: p = m D + Pd - t - Pu a
    // multiple of U.
    const int64_t first = ((m * s.down + downPhase - upPhase) % s.up + s.up) % s.up;
    for (int64_t t = first; t < s.taps; t += s.up) {
      const int64_t p = m * s.down + downPhase - t - upPhase;
      const int64_t n = p >= 0 ? p / s.up : -((-p) / s.up);
      float sample = 0.0f;
      if (n >= 0)
        sample = x[static_cast<size_t>(n)];
      else if (delay != nullptr && -1 - n < static_cast<int64_t>(delay->size()))
        sample = (*delay)[static_cast<size_t>(-1 - n)];
      const long double product = static_cast<long double>(taps[static_cast<size_t>(t)]) * sample;
      exact += product;
      magnitude += std::fabs(product);
      ++terms;
    }
    const double tolerance =
        static_cast<double>(magnitude * 1e-6L * (8 + std::sqrt(static_cast<long double>(terms)))) + 1e-30;
    ASSERT_NEAR(y[static_cast<size_t>(m)], static_cast<double>(exact), tolerance)
        << what << ": T " << s.taps << " U " << s.up << " D " << s.down << " Pu " << upPhase << " Pd " << downPhase
        << " output " << m;
  }
}

TEST_P(MultirateFirLevelsTest, OutputsFollowTheDefinitionForEveryLayoutPhaseAndSplit) {
  // Every layout: interleaved; indexed with U = 1 and U > 1, with one, two
  // and three taps per output and with runs of every length mod 4; T < U;
  // the 147:160 converter.
  const Shape shapes[] = {{6, 1, 2},     {9, 2, 7},   {66, 2, 1}, {66, 1, 2},  {10, 1, 4},  {4, 3, 5},
                          {300, 1, 200}, {2, 3, 1},   {1, 4, 1},  {47, 3, 2},  {64, 2, 3},  {21, 5, 3},
                          {33, 1, 3},    {5, 1, 1},   {3, 2, 2},  {40, 4, 4},  {96, 3, 8},  {7, 1, 3},
                          {9, 1, 5},     {12, 2, 10}, {10, 2, 8}, {14, 2, 12}, {16, 2, 14}, {320, 147, 160}};
  for (const Shape& s : shapes) {
    const std::vector<float> taps = RandomSignal(static_cast<size_t>(s.taps), static_cast<unsigned>(s.taps * 3 + s.up));
    const int32_t q = (s.taps + s.up - 1) / s.up;
    const std::vector<float> delay = RandomSignal(static_cast<size_t>(q), 11);
    // Some thousands of outputs, and always several calls of every split.
    const int32_t iterations = std::max(120, std::min(700, 4000 / s.up));
    const std::vector<float> x = RandomSignal(static_cast<size_t>(s.down) * iterations, static_cast<unsigned>(s.down));
    for (auto [upPhase, downPhase] : {std::pair<int32_t, int32_t>{0, 0}, {s.up - 1, s.down - 1}, {s.up / 2, 0}}) {
      Filter probe(taps, s, upPhase, downPhase, nullptr);
      const int32_t g = s.up == 1 && s.down == 1 ? 4 : probe.state()->splitInputCount;
      const int32_t aroundSplit = std::max(1, g / s.down);
      const std::vector<std::vector<int32_t>> splits = {
          {1}, {2, 7, 3}, {std::max(1, aroundSplit - 1), aroundSplit, aroundSplit + 1}, {50}, {333}};
      for (const auto& split : splits) {
        for (const std::vector<float>* d : {static_cast<const std::vector<float>*>(nullptr), &delay}) {
          Filter filter(taps, s, upPhase, downPhase, d);
          const std::vector<float> y = filter.Run(x, s.down, s.up, split);
          ExpectDefinition(taps, s, upPhase, downPhase, x, d, y, d != nullptr ? "with a delay line" : "from silence");
          EXPECT_TRUE(filter.GuardsIntact());
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

// The layouts are the baseline's (the same choice, sizes and tables); the
// indexed tap tables hold output 4k + r's taps as one run at (4k + r) Q.
TEST_P(MultirateFirLevelsTest, LayoutsAreTheBaselinesWithOneTapRunPerOutput) {
  struct Row {
    Shape s;
    int32_t mode, q, g, h;
  };
  const Row rows[] = {{{6, 1, 2}, 2, 6, 11, 4},     {{9, 2, 7}, 1, 5, 50, 8},   {{66, 2, 1}, 1, 33, 40, 72},
                      {{66, 1, 2}, 1, 66, 87, 36},  {{10, 1, 4}, 2, 10, 21, 4}, {{4, 3, 5}, 3, 2, 36, 12},
                      {{300, 1, 200}, 2, 300, 0, 0}};
  for (const Row& row : rows) {
    const Shape& s = row.s;
    const std::vector<float> taps = RandomSignal(static_cast<size_t>(s.taps), 5);
    int32_t bytes = 0, baseBytes = 0;
    ASSERT_EQ(MultirateFirStateSize(s.taps, s.up, s.down, &bytes), DSP_STATUS_OK);
    ASSERT_EQ(MultirateFirStateSizeL0(s.taps, s.up, s.down, &baseBytes), DSP_STATUS_OK);
    EXPECT_EQ(bytes, baseBytes);
    Filter filter(taps, s, s.up - 1, s.down - 1, nullptr);
    GuardedBuffer baseMemory(static_cast<size_t>(baseBytes), 4);
    void* baseState = nullptr;
    ASSERT_EQ(MultirateFirInitL0(&baseState, taps.data(), s.taps, s.up, s.up - 1, s.down, s.down - 1, nullptr,
                                 baseMemory.data()),
              DSP_STATUS_OK);
    const MultirateFirState* level = filter.state();
    const auto* base = static_cast<const MultirateFirState*>(baseState);
    EXPECT_EQ(level->tag, MULTIRATE_FIR_STATE_TAG);
    EXPECT_EQ(level->layoutMode, row.mode);
    EXPECT_EQ(level->historyLength, row.q);
    if (row.g != 0) {
      EXPECT_EQ(level->splitInputCount, row.g);
      EXPECT_EQ(level->splitOutputCount, row.h);
    }
    const int32_t entries = row.mode == 1 ? s.up + 1 : 4 * s.up + 1;
    for (int32_t i = 0; i < entries; ++i) EXPECT_EQ(level->phaseTable[i], base->phaseTable[i]) << "entry " << i;
    if (row.mode == 1) {
      const int64_t values = 4 * int64_t{s.up} * level->phaseTapCount;
      for (int64_t i = 0; i < values; ++i) ASSERT_EQ(level->phaseTaps[i], base->phaseTaps[i]);
    } else {
      for (int32_t k = 0; k < s.up; ++k)
        for (int32_t r = 0; r < 4; ++r)
          for (int32_t m = 0; m < row.q; ++m)
            ASSERT_EQ(level->phaseTaps[(4 * k + r) * row.q + m], base->phaseTaps[4 * (k * row.q + m) + r])
                << "group " << k << " output " << r << " tap " << m;
    }
  }
}

TEST_P(MultirateFirLevelsTest, UnitFactorsBuildTheLevelsSingleRateFilter) {
  const std::vector<float> taps = RandomSignal(20, 1);
  int32_t bytes = 0, single = 0;
  ASSERT_EQ(MultirateFirStateSize(20, 1, 1, &bytes), DSP_STATUS_OK);
  ASSERT_EQ(FirFilterStateSize(20, &single), DSP_STATUS_OK);
  EXPECT_EQ(bytes, single);
  GuardedBuffer memory(static_cast<size_t>(bytes), 8);
  void* state = nullptr;
  ASSERT_EQ(MultirateFirInit(&state, taps.data(), 20, 1, 0, 1, 0, nullptr, memory.data()), DSP_STATUS_OK);
  EXPECT_EQ(*static_cast<int32_t*>(state), FIR_STATE_TAG);
  EXPECT_NE(static_cast<FirState*>(state)->broadcastTaps, nullptr);
}

TEST_P(MultirateFirLevelsTest, ChecksComeInOrder) {
  const float taps[4] = {1, 2, 3, 4};
  alignas(16) unsigned char buffer[40000];
  std::memset(buffer, 0x33, sizeof(buffer));
  void* state = nullptr;
  int32_t bytes = -1;
  EXPECT_EQ(MultirateFirInit(nullptr, taps, 4, 2, 0, 3, 0, nullptr, buffer), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirInit(&state, nullptr, 0, 0, 0, 0, 0, nullptr, buffer), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 0, 3, 0, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirInit(&state, taps, 0, 0, 5, 3, 0, nullptr, buffer), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 0, 5, 3, 0, nullptr, buffer), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 0, 0, -1, nullptr, buffer), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 2, 3, 0, nullptr, buffer), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, -1, 3, 0, nullptr, buffer), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 0, 3, 3, nullptr, buffer), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 0, 3, -1, nullptr, buffer), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirStateSize(4, 2, 3, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirStateSize(0, 0, 3, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(MultirateFirStateSize(4, 2, -3, &bytes), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(bytes, -1);
  EXPECT_EQ(state, nullptr);
  for (unsigned char b : buffer) ASSERT_EQ(b, 0x33);

  ASSERT_EQ(MultirateFirInit(&state, taps, 4, 2, 1, 3, 2, nullptr, buffer), DSP_STATUS_OK);
  float x[6] = {1, 2, 3, 4, 5, 6}, y[4] = {};
  static_cast<MultirateFirState*>(state)->layoutMode = 4;
  EXPECT_EQ(FirFilterBlock(x, y, 0, state), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(FirFilterBlock(x, y, 2, state), DSP_STATUS_WRONG_KIND);
  for (float v : y) EXPECT_EQ(v, 0.0f);
}

}  // namespace
