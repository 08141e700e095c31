#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/Fir.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

class FirTest : public primitives_test::BaselineTest {};

// A state in exactly FirFilterStateSize bytes, 4 bytes past a 16-byte
// boundary, with guards around it.
class FirInMemory {
 public:
  explicit FirInMemory(const std::vector<float>& taps, const float* delayLine = nullptr, size_t misalign = 4) {
    int32_t bytes = 0;
    EXPECT_EQ(FirFilterStateSize(static_cast<int32_t>(taps.size()), &bytes), DSP_STATUS_OK);
    m_Buffer = std::make_unique<GuardedBuffer>(bytes, misalign);
    m_Status = FirFilterInit(&m_State, taps.data(), static_cast<int32_t>(taps.size()), delayLine, m_Buffer->data());
  }
  DspStatus status() const { return m_Status; }
  FirState* get() const { return m_State; }
  bool GuardsIntact() const { return m_Buffer->GuardsIntact(); }

  // Filters x in calls of the given lengths (cycled).
  std::vector<float> Filter(const std::vector<float>& x, const std::vector<int32_t>& lengths) {
    std::vector<float> y(x.size());
    size_t done = 0;
    for (size_t call = 0; done < x.size(); ++call) {
      const int32_t len = std::min<int32_t>(lengths[call % lengths.size()], static_cast<int32_t>(x.size() - done));
      EXPECT_EQ(FirFilterBlock(x.data() + done, y.data() + done, len, m_State), DSP_STATUS_OK);
      done += len;
    }
    return y;
  }

 private:
  std::unique_ptr<GuardedBuffer> m_Buffer;
  FirState* m_State = nullptr;
  DspStatus m_Status = -1;
};

// The direct form's own order: each output summed in single precision from
// the oldest sample to the newest; earlier samples from the delay line
// (most recent first) or zero.
std::vector<float> DirectReference(const std::vector<float>& taps, const std::vector<float>& x,
                                   const std::vector<float>& delay = {}) {
  const int64_t t = static_cast<int64_t>(taps.size());
  auto sample = [&](int64_t n) -> float {
    if (n >= 0) return x[n];
    const int64_t back = -1 - n;
    return back < static_cast<int64_t>(delay.size()) ? delay[back] : 0.0f;
  };
  std::vector<float> y(x.size());
  for (int64_t k = 0; k < static_cast<int64_t>(x.size()); ++k) {
    float s = 0.0f;
    for (int64_t i = 0; i < t; ++i) s += taps[t - 1 - i] * sample(k - (t - 1) + i);
    y[k] = s;
  }
  return y;
}

// y[n] = sum taps[k] x[n-k] in long double.
std::vector<long double> ExactConvolution(const std::vector<float>& taps, const std::vector<float>& x) {
  std::vector<long double> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    long double s = 0;
    for (size_t k = 0; k < taps.size() && k <= n; ++k) s += static_cast<long double>(taps[k]) * x[n - k];
    y[n] = s;
  }
  return y;
}

double MaxError(const std::vector<float>& y, const std::vector<long double>& reference) {
  long double worst = 0;
  for (size_t i = 0; i < y.size(); ++i) worst = std::max(worst, std::fabs(y[i] - reference[i]));
  return static_cast<double>(worst);
}

TEST_F(FirTest, StateSizeCoversHeaderHistoryAndTransform) {
  struct Row {
    const char* name;
    int32_t taps;
    int32_t bytes;
  };
  const Row rows[] = {
      {"1 tap", 1, 16576 + 16 + 32},
      {"20 taps", 20, 16912},
      {"24 taps", 24, 16976},
      {"63 taps: last direct-only count", 63, 16576 + 256 + 784},
      {"64 taps: order-8 transform", 64, 16576 + 256 + 784 + 2432 + 2 * 1024},
      {"101 taps", 101, 22704},
  };
  for (const Row& row : rows) {
    int32_t bytes = -1;
    EXPECT_EQ(FirFilterStateSize(row.taps, &bytes), DSP_STATUS_OK) << row.name;
    EXPECT_EQ(bytes, row.bytes) << row.name;
  }
  int32_t bytes = 7;
  EXPECT_EQ(FirFilterStateSize(0, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterStateSize(0, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(FirFilterStateSize(-5, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  // 16 bytes a tap and more: no 32-bit size exists, and none wraps.
  EXPECT_EQ(FirFilterStateSize(INT32_MAX / 8, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(bytes, 7);
}

TEST_F(FirTest, FftFormFromSixtyFourTaps) {
  struct Row {
    int32_t taps;
    int32_t fftLength;
  };
  for (const Row row : {Row{1, -1}, Row{63, -1}, Row{64, 256}, Row{101, 256}, Row{127, 256}, Row{128, 512}}) {
    FirInMemory fir(RandomSignal(row.taps, row.taps));
    ASSERT_EQ(fir.status(), DSP_STATUS_OK);
    EXPECT_EQ(fir.get()->fftLength, row.fftLength) << row.taps << " taps";
    EXPECT_EQ(fir.get()->fftSpec != nullptr, row.fftLength > 0) << row.taps << " taps";
    EXPECT_EQ(fir.get()->directThreshold, ((row.taps + 3) & ~3) + 1);
  }
}

TEST_F(FirTest, InitAndBlockCheckArgumentsInOrder) {
  const float taps[3] = {1, 2, 3};
  std::vector<unsigned char> buffer(20000);
  FirState* state = nullptr;
  EXPECT_EQ(FirFilterInit(nullptr, taps, 3, nullptr, buffer.data()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, nullptr, 0, nullptr, buffer.data()), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, taps, 3, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, taps, 0, nullptr, buffer.data()), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(state, nullptr);
  ASSERT_EQ(FirFilterInit(&state, taps, 3, nullptr, buffer.data()), DSP_STATUS_OK);
  EXPECT_EQ(state->tag, FIR_STATE_TAG);

  float x[4] = {1, 2, 3, 4}, y[4] = {};
  EXPECT_EQ(FirFilterBlock(x, y, 4, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(nullptr, y, 0, state), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(x, nullptr, 4, state), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(x, y, 0, state), DSP_STATUS_BAD_LENGTH);
  int32_t foreign[64] = {0x12345678};
  EXPECT_EQ(FirFilterBlock(x, y, 4, foreign), DSP_STATUS_WRONG_KIND);
  EXPECT_EQ(std::vector<float>(y, y + 4), std::vector<float>(4, 0.0f));
}

TEST_F(FirTest, DelayLineFeedsTheFirstOutputs) {
  const std::vector<float> taps = {0, 1, 0}, delay = {1, 0, 0};
  FirInMemory fir(taps, delay.data());
  const std::vector<float> y = fir.Filter({0, 0, 0}, {3});
  EXPECT_EQ(y, (std::vector<float>{1, 0, 0}));  // delayLine[0] is the sample just before the block

  const std::vector<float> longTaps = RandomSignal(9, 1), longDelay = RandomSignal(9, 2), x = RandomSignal(40, 3);
  FirInMemory withHistory(longTaps, longDelay.data());
  EXPECT_EQ(withHistory.Filter(x, {40}), DirectReference(longTaps, x, longDelay));
}

// Short filters run the direct form, whose every output is one sum in a fixed
// order: any cut of the signal into calls gives the same bits.
TEST_F(FirTest, DirectFormIsBitExactForAnySplit) {
  const std::vector<std::vector<int32_t>> splits = {{1000}, {1}, {7, 13}, {5, 1, 2, 30, 3}, {63, 64, 65}, {511}};
  for (int32_t tapCount : {1, 2, 3, 4, 5, 20, 24, 33, 63}) {
    const std::vector<float> taps = RandomSignal(tapCount, tapCount), x = RandomSignal(1000, 50 + tapCount);
    const std::vector<float> expected = DirectReference(taps, x);
    for (const auto& split : splits) {
      FirInMemory fir(taps);
      EXPECT_EQ(fir.Filter(x, split), expected) << tapCount << " taps, first call " << split[0];
      EXPECT_TRUE(fir.GuardsIntact());
    }
  }
}

TEST_F(FirTest, FftFormAgreesWithConvolution) {
  // The overlap-save blocks keep rounding within a few units of the largest
  // output; the bound is 1e-5 for taps and samples in [-1, 1].
  constexpr double kTolerance = 1e-5;
  struct Row {
    const char* name;
    int32_t taps;
    std::vector<int32_t> calls;
  };
  const Row rows[] = {
      {"101 taps, 600-sample calls", 101, {600}},
      {"64 taps, 512 = blocks of 193, 193, 126", 64, {512}},
      {"300 taps, one exact 725-sample block", 300, {725}},
      {"128 taps, long calls", 128, {5000}},
      {"101 taps, direct and FFT calls mixed", 101, {1, 7, 600, 511, 512, 2000, 13}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<float> taps = RandomSignal(row.taps, row.taps), x = RandomSignal(6000, 7 * row.taps);
    FirInMemory fir(taps, nullptr, 1);  // 15 bytes lost to the state's alignment
    ASSERT_GT(fir.get()->fftLength, 0);
    EXPECT_LT(MaxError(fir.Filter(x, row.calls), ExactConvolution(taps, x)), kTolerance);
    EXPECT_TRUE(fir.GuardsIntact());
  }
}

TEST_F(FirTest, ImpulseResponseIsTheTapsInEveryForm) {
  const std::vector<float> taps = RandomSignal(101, 11);
  std::vector<float> impulse(700, 0.0f);
  impulse[0] = 1.0f;
  for (const std::vector<int32_t>& calls : {std::vector<int32_t>{1}, {7}, {600}}) {
    FirInMemory fir(taps);
    const std::vector<float> y = fir.Filter(impulse, calls);
    for (size_t n = 0; n < y.size(); ++n) EXPECT_NEAR(y[n], n < taps.size() ? taps[n] : 0.0f, 1e-6f) << n;
  }
}

TEST_F(FirTest, RebuildingResetsTheHistoryInAnyBuffer) {
  // The state points into its own buffer, so it is built where it is used;
  // building again starts a fresh signal.
  const std::vector<float> taps = RandomSignal(20, 5), x = RandomSignal(100, 6);
  FirInMemory first(taps);
  const std::vector<float> fresh = first.Filter(x, {100});
  int32_t bytes = 0;
  ASSERT_EQ(FirFilterStateSize(20, &bytes), DSP_STATUS_OK);
  std::vector<unsigned char> other(bytes);
  FirState* moved = nullptr;
  ASSERT_EQ(FirFilterInit(&moved, taps.data(), 20, nullptr, other.data()), DSP_STATUS_OK);
  const auto inside = [&](const void* p) {
    return p >= static_cast<void*>(other.data()) && p < static_cast<void*>(other.data() + other.size());
  };
  EXPECT_TRUE(inside(moved->reversedTaps) && inside(moved->delayLine) && inside(moved->fftBlock));
  std::vector<float> y(100);
  ASSERT_EQ(FirFilterBlock(x.data(), y.data(), 100, moved), DSP_STATUS_OK);
  EXPECT_EQ(y, fresh);
  ASSERT_EQ(FirFilterInit(&moved, taps.data(), 20, nullptr, other.data()), DSP_STATUS_OK);
  ASSERT_EQ(FirFilterBlock(x.data(), y.data(), 100, moved), DSP_STATUS_OK);
  EXPECT_EQ(y, fresh);
}

TEST_F(FirTest, SampleFilterRunsTheDoubledDelayLine) {
  const float taps[3] = {1, 2, 3};
  float line[6] = {};
  int32_t index = 0;
  const float inputs[4] = {1, 0, 0, 0};
  const float outputs[4] = {1, 2, 3, 0};
  const int32_t indexes[4] = {1, 2, 0, 1};
  for (int i = 0; i < 4; ++i) {
    float y = -1;
    ASSERT_EQ(FirFilterSample(inputs[i], &y, taps, 3, line, &index), DSP_STATUS_OK);
    EXPECT_EQ(y, outputs[i]) << i;
    EXPECT_EQ(index, indexes[i]) << i;
  }
}

TEST_F(FirTest, SampleFilterSumsProductsInDouble) {
  const std::vector<float> taps = RandomSignal(24, 21), x = RandomSignal(200, 22);
  std::vector<float> line(48, 0.0f);
  int32_t index = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    // Float products, summed in double from the oldest sample to the newest,
    // rounded once.
    double expected = 0;
    for (size_t i = 0; i < taps.size(); ++i) {
      const size_t k = taps.size() - 1 - i;
      expected += static_cast<double>(taps[k] * (n >= k ? x[n - k] : 0.0f));
    }
    float y = 0;
    ASSERT_EQ(FirFilterSample(x[n], &y, taps.data(), 24, line.data(), &index), DSP_STATUS_OK);
    EXPECT_EQ(y, static_cast<float>(expected)) << n;
  }
}

TEST_F(FirTest, SampleFilterChecksBeforeWriting) {
  const float taps[2] = {1, 1};
  float line[4] = {5, 5, 5, 5};
  float y = 9;
  int32_t index = 0;
  EXPECT_EQ(FirFilterSample(1, nullptr, taps, 2, line, &index), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1, &y, nullptr, 2, line, &index), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1, &y, taps, 0, nullptr, nullptr), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(FirFilterSample(1, &y, taps, 2, nullptr, &index), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1, &y, taps, 2, line, nullptr), DSP_STATUS_NULL_POINTER);
  for (int32_t bad : {-1, 2, 1000}) {
    index = bad;
    EXPECT_EQ(FirFilterSample(1, &y, taps, 2, line, &index), DSP_STATUS_BAD_LENGTH) << bad;
    EXPECT_EQ(index, bad);
  }
  EXPECT_EQ(std::vector<float>(line, line + 4), std::vector<float>(4, 5.0f));
  EXPECT_EQ(y, 9.0f);
}

}  // namespace
