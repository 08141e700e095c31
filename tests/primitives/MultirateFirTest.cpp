#include <cmath>
#include <vector>

#include "primitives/MultirateFir.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

class MultirateFirTest : public primitives_test::BaselineTest {};

struct Filter {
  int32_t taps, up, upPhase, down, downPhase;
};

// A state in exactly MultirateFirStateSize bytes at a given misalignment,
// with guards around it.
class MultirateInMemory {
 public:
  MultirateInMemory(const Filter& f, const std::vector<float>& taps, const float* delay = nullptr,
                    size_t misalign = 4) {
    int32_t bytes = 0;
    EXPECT_EQ(MultirateFirStateSize(f.taps, f.up, f.down, &bytes), DSP_STATUS_OK);
    m_Buffer = std::make_unique<GuardedBuffer>(bytes, misalign);
    m_Status = MultirateFirInit(&m_State, taps.data(), f.taps, f.up, f.upPhase, f.down, f.downPhase, delay,
                                m_Buffer->data());
    m_Up = f.up;
    m_Down = f.down;
  }
  DspStatus status() const { return m_Status; }
  MultirateFirState* get() const { return static_cast<MultirateFirState*>(m_State); }
  bool GuardsIntact() const { return m_Buffer->GuardsIntact(); }

  // Runs `iterations` in total, in calls of the given iteration counts
  // (cycled).
  std::vector<float> Run(const std::vector<float>& x, int32_t iterations, const std::vector<int32_t>& calls) {
    std::vector<float> y(static_cast<size_t>(iterations) * m_Up);
    int32_t done = 0;
    for (size_t call = 0; done < iterations; ++call) {
      const int32_t count = std::min(calls[call % calls.size()], iterations - done);
      EXPECT_EQ(FirFilterBlock(x.data() + static_cast<size_t>(done) * m_Down,
                               y.data() + static_cast<size_t>(done) * m_Up, count, m_State),
                DSP_STATUS_OK);
      done += count;
    }
    return y;
  }

 private:
  std::unique_ptr<GuardedBuffer> m_Buffer;
  void* m_State = nullptr;
  DspStatus m_Status = -1;
  int32_t m_Up = 1, m_Down = 1;
};

// y[m] = sum taps[p] u[m D + downPhase - p], u[s U + upPhase] = x[s], in
// double; samples before x[0] come from the delay line, most recent first.
std::vector<double> Reference(const Filter& f, const std::vector<float>& taps, const std::vector<float>& x,
                              size_t outputs, const std::vector<float>& delay) {
  std::vector<double> y(outputs);
  for (size_t m = 0; m < outputs; ++m) {
    double s = 0;
    for (int64_t p = 0; p < f.taps; ++p) {
      const int64_t position = static_cast<int64_t>(m) * f.down + f.downPhase - p;
      const int64_t shifted = position - f.upPhase;
      if (shifted % f.up != 0) continue;
      const int64_t n = shifted >= 0 ? shifted / f.up : -((-shifted) / f.up);
      double sample = 0;
      if (n >= 0)
        sample = x[n];
      else if (-1 - n < static_cast<int64_t>(delay.size()))
        sample = delay[-1 - n];
      s += static_cast<double>(taps[p]) * sample;
    }
    y[m] = s;
  }
  return y;
}

TEST_F(MultirateFirTest, StateShapeOfTheRateConverters) {
  struct Row {
    const char* name;
    Filter filter;
    int32_t bytes, mode, history, window, staged, head;
    std::vector<int32_t> table;
  };
  const Row rows[] = {
      {"66 taps 2:1", {66, 2, 0, 1, 0}, 18272, 1, 33, 35, 40, 72, {1, 2, 1}},
      {"66 taps 1:2", {66, 1, 0, 2, 0}, 18624, 1, 66, 72, 87, 36, {1, 7}},
      {"132 taps 4:1", {132, 4, 0, 1, 0}, 19600, 1, 33, 34, 40, 144, {1, 1, 1, 1, 0}},
      {"132 taps 1:4", {132, 1, 0, 4, 0}, 20640, 1, 132, 144, 173, 36, {1, 15}},
      {"ratio exactly 0.5 (6 taps 1:2): indexed", {6, 1, 0, 2, 0}, 0, 2, 6, 6, 11, 4, {}},
      {"ratio 0.3 in integers (9 taps 2:7): interleaved", {9, 2, 0, 7, 0}, 0, 1, 5, 15, 50, 8, {}},
      {"10 taps 1:4: indexed", {10, 1, 0, 4, 0}, 0, 2, 10, 10, 21, 4, {}},
      {"4 taps 3:5: indexed interpolation", {4, 3, 0, 5, 0}, 0, 3, 2, 2, 36, 12, {}},
      {"4 taps 1:8: indexed", {4, 1, 0, 8, 0}, 0, 2, 4, 4, 0, 4, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MultirateInMemory fir(row.filter, RandomSignal(row.filter.taps, 1));
    ASSERT_EQ(fir.status(), DSP_STATUS_OK);
    const MultirateFirState* s = fir.get();
    EXPECT_EQ(s->tag, MULTIRATE_FIR_STATE_TAG);
    EXPECT_EQ(s->layoutMode, row.mode);
    EXPECT_EQ(s->historyLength, row.history);
    EXPECT_EQ(s->phaseTapCount, row.window);
    if (row.staged != 0) {
      EXPECT_EQ(s->splitInputCount, row.staged);
    }
    EXPECT_EQ(s->splitOutputCount, row.head);
    EXPECT_EQ(s->fftLength, -1);
    if (row.bytes != 0) {
      int32_t bytes = 0;
      ASSERT_EQ(MultirateFirStateSize(row.filter.taps, row.filter.up, row.filter.down, &bytes), DSP_STATUS_OK);
      EXPECT_EQ(bytes, row.bytes);
    }
    if (!row.table.empty()) {
      EXPECT_EQ(std::vector<int32_t>(s->phaseTable, s->phaseTable + row.table.size()), row.table);
    }
  }
}

TEST_F(MultirateFirTest, SmallFiltersGiveTheirExactOutputs) {
  {
    MultirateInMemory fir({2, 2, 0, 1, 0}, {1, 1});
    EXPECT_EQ(fir.get()->layoutMode, MULTIRATE_FIR_LAYOUT_INTERLEAVED);
    EXPECT_EQ(fir.Run({1, 2, 3}, 3, {3}), (std::vector<float>{1, 1, 2, 2, 3, 3}));
  }
  {
    MultirateInMemory fir({1, 1, 0, 2, 0}, {1});
    EXPECT_EQ(fir.get()->layoutMode, MULTIRATE_FIR_LAYOUT_DECIMATING);
    EXPECT_EQ(fir.Run({1, 2, 3, 4}, 2, {2}), (std::vector<float>{1, 3}));
  }
  {
    MultirateInMemory fir({1, 1, 0, 2, 1}, {1});
    EXPECT_EQ(fir.Run({1, 2, 3, 4}, 2, {2}), (std::vector<float>{2, 4}));
  }
}

TEST_F(MultirateFirTest, ArgumentsAreCheckedInOrder) {
  const float taps[4] = {1, 2, 3, 4};
  std::vector<unsigned char> buffer(40000);
  void* state = nullptr;
  int32_t bytes = 7;
  EXPECT_EQ(MultirateFirStateSize(4, 2, 1, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirStateSize(0, 0, 1, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(MultirateFirStateSize(4, 2, 0, &bytes), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(MultirateFirInit(nullptr, taps, 4, 2, 0, 1, 0, nullptr, buffer.data()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(MultirateFirInit(&state, taps, 0, 0, 5, 1, 0, nullptr, buffer.data()), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 0, 5, 1, 0, nullptr, buffer.data()), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 2, 1, 0, nullptr, buffer.data()), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, -1, 1, 0, nullptr, buffer.data()), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, 2, 0, 3, 3, nullptr, buffer.data()), DSP_STATUS_BAD_PHASE);
  EXPECT_EQ(state, nullptr);
  EXPECT_EQ(bytes, 7);
  // Sizes beyond 32 bits are refused by what makes them large.
  EXPECT_EQ(MultirateFirStateSize(4, 2, INT32_MAX / 2, &bytes), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(MultirateFirStateSize(INT32_MAX / 4, 2, 1, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(MultirateFirInit(&state, taps, 4, INT32_MAX / 2, 0, 1, 0, nullptr, buffer.data()), DSP_STATUS_BAD_FACTOR);
  EXPECT_EQ(bytes, 7);
}

TEST_F(MultirateFirTest, UnitFactorsBuildTheSingleRateFilter) {
  const std::vector<float> taps = RandomSignal(20, 3);
  int32_t multirateBytes = 0, singleBytes = 0;
  ASSERT_EQ(MultirateFirStateSize(20, 1, 1, &multirateBytes), DSP_STATUS_OK);
  ASSERT_EQ(FirFilterStateSize(20, &singleBytes), DSP_STATUS_OK);
  EXPECT_EQ(multirateBytes, singleBytes);
  std::vector<unsigned char> buffer(multirateBytes);
  void* state = nullptr;
  ASSERT_EQ(MultirateFirInit(&state, taps.data(), 20, 1, 0, 1, 0, nullptr, buffer.data()), DSP_STATUS_OK);
  EXPECT_EQ(static_cast<FirState*>(state)->tag, FIR_STATE_TAG);
}

TEST_F(MultirateFirTest, CorruptedLayoutIsRefused) {
  MultirateInMemory fir({66, 2, 0, 1, 0}, RandomSignal(66, 4));
  fir.get()->layoutMode = 4;
  float x[4] = {}, y[8] = {};
  EXPECT_EQ(FirFilterBlock(x, y, 4, fir.get()), DSP_STATUS_WRONG_KIND);
}

// Every mode against the definition, with delay lines, phases, and the stream
// cut into calls that take the short path (inputs staged behind the history)
// and the long one: a cut never changes a bit of the output.
TEST_F(MultirateFirTest, OutputsFollowTheDefinitionForEveryLayoutAndSplit) {
  const Filter filters[] = {
      {66, 2, 0, 1, 0},  {66, 1, 0, 2, 0},  {132, 4, 0, 1, 0}, {132, 1, 0, 4, 0}, {24, 3, 2, 2, 1},
      {17, 2, 1, 3, 2},  {9, 2, 1, 7, 6},   {4, 1, 0, 8, 5},   {6, 1, 0, 2, 1},   {10, 1, 0, 4, 3},
      {4, 3, 2, 5, 4},   {2, 5, 3, 3, 1},   {7, 4, 1, 9, 2},   {40, 5, 4, 3, 0},  {300, 1, 0, 200, 17},
      {1, 2, 1, 1, 0},   {160, 147, 73, 160, 11},
  };
  const std::vector<std::vector<int32_t>> splits = {{1}, {2, 7}, {10, 1}, {3, 40, 5, 1}, {2, 45, 1, 60}};
  for (const Filter& f : filters) {
    SCOPED_TRACE(testing::Message() << "T " << f.taps << " U " << f.up << "/" << f.upPhase << " D " << f.down
                                    << "/" << f.downPhase);
    const std::vector<float> taps = RandomSignal(f.taps, f.taps + f.up);
    const int32_t history = (f.taps + f.up - 1) / f.up;
    const std::vector<float> delay = RandomSignal(history, 99);
    const int32_t iterations = std::max(60, 2 * (f.taps / f.down + 8));
    const std::vector<float> x = RandomSignal(static_cast<size_t>(iterations) * f.down, 7);

    MultirateInMemory whole(f, taps, delay.data(), 12);
    const std::vector<float> y = whole.Run(x, iterations, {iterations});
    EXPECT_TRUE(whole.GuardsIntact());
    const std::vector<double> expected = Reference(f, taps, x, y.size(), delay);
    double tapSum = 0;
    for (float t : taps) tapSum += std::fabs(t);
    for (size_t m = 0; m < y.size(); ++m) ASSERT_NEAR(y[m], expected[m], 2e-6 * tapSum + 1e-7) << "output " << m;

    for (const auto& split : splits) {
      MultirateInMemory pieces(f, taps, delay.data(), 4);
      EXPECT_EQ(pieces.Run(x, iterations, split), y) << "first call " << split[0];
      EXPECT_TRUE(pieces.GuardsIntact());
    }
  }
}

TEST_F(MultirateFirTest, TenIterationsThenOneEqualElevenAtOnce) {
  for (const Filter f : {Filter{66, 2, 0, 1, 0}, Filter{132, 1, 0, 4, 0}, Filter{4, 3, 1, 5, 2}}) {
    const std::vector<float> taps = RandomSignal(f.taps, 5), x = RandomSignal(11 * f.down, 6);
    MultirateInMemory once(f, taps), twice(f, taps);
    EXPECT_EQ(twice.Run(x, 11, {10, 1}), once.Run(x, 11, {11})) << f.taps << " taps";
  }
}

}  // namespace
