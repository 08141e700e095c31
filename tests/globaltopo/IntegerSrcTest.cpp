// The engine's rate converters and their filters, against straightforward
// double-precision references written here.
#include <cmath>
#include <numbers>
#include <vector>

#include "globaltopo/common/VSF/LinearPhaseIIR.h"
#include "globaltopo/common/VSF/SRC.h"
#include "globaltopo/common/VSF/SimpleSampleDelay.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

class VsfFilterTest : public testsupport::KernelTest {};

// y[n] = sum b[k] x[n-k] - sum a[k] y[n-k], in double.
std::vector<double> ReferenceIir(const std::vector<float>& b, const std::vector<float>& a, const std::vector<float>& x) {
  std::vector<double> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    double acc = 0;
    for (size_t k = 0; k < b.size() && k <= n; ++k) acc += double(b[k]) * x[n - k];
    for (size_t k = 1; k < a.size() && k <= n; ++k) acc -= double(a[k]) * y[n - k];
    y[n] = acc;
  }
  return y;
}

// Amplitude and phase of the component at cycles-per-sample f over [from, to).
std::pair<double, double> ToneAt(const std::vector<float>& x, double f, size_t from, size_t to) {
  double c = 0, s = 0;
  for (size_t n = from; n < to; ++n) {
    c += x[n] * std::cos(2 * std::numbers::pi * f * n);
    s += x[n] * std::sin(2 * std::numbers::pi * f * n);
  }
  const double count = double(to - from);
  return {2 * std::hypot(c, s) / count, std::atan2(s, c)};
}

TEST_F(VsfFilterTest, IirSectionMatchesTheDifferenceEquationAcrossCalls) {
  struct Case {
    const char* name;
    std::vector<float> b, a;
  };
  const Case cases[] = {
      {"two-tap sum, no denominator", {1.0f, 1.0f}, {}},
      {"third-order low-pass f=3", {LowPass3B[1], LowPass3B[1] + 4}, {LowPass3A[1], LowPass3A[1] + 4}},
      {"sixth-order low-pass f=4", {LowPass6B[2], LowPass6B[2] + 7}, {LowPass6A[2], LowPass6A[2] + 7}},
      {"one-coefficient parts pass through", {0.25f}, {2.0f}},
  };
  const auto x = dsptest::Noise(700, 11);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CIirSection section(c.b.data(), int32_t(c.b.size()), c.a.empty() ? nullptr : c.a.data(), int32_t(c.a.size()));
    ASSERT_TRUE(section.IsValid());
    std::vector<float> y(x.size());
    section.Process(y.data(), x.data(), 300);
    std::vector<float> tail(x.begin() + 300, x.end());
    section.Process(nullptr, tail.data(), int32_t(tail.size()));  // in place
    std::copy(tail.begin(), tail.end(), y.begin() + 300);
    std::vector<float> b = c.b.size() > 1 ? c.b : std::vector<float>{1.0f};
    std::vector<float> a = c.a.size() > 1 ? c.a : std::vector<float>{1.0f};
    const auto ref = ReferenceIir(b, a, x);
    for (size_t n = 0; n < x.size(); ++n) ASSERT_NEAR(y[n], ref[n], 1e-5) << n;
  }
}

TEST_F(VsfFilterTest, IirSectionResetForgetsHistory) {
  CIirSection section(LowPass3B[0], 4, LowPass3A[0], 4);
  const auto x = dsptest::Noise(64, 3);
  std::vector<float> first(64), second(64);
  section.Process(first.data(), x.data(), 64);
  section.Reset();
  section.Process(second.data(), x.data(), 64);
  EXPECT_EQ(first, second);
}

TEST_F(VsfFilterTest, LinearPhaseIirGivesASymmetricResponseDelayedByItsLookAhead) {
  CLinearPhaseIir filter(VSF_LINEAR_PHASE_LOOK_AHEAD);
  filter.SetCoefficients(LowPass3B[0], 4, LowPass3A[0], 4);
  ASSERT_TRUE(filter.IsValid());
  std::vector<float> zeros(512, 0.0f), out(512, 1.0f);
  filter.Process(out.data(), zeros.data(), 512);
  EXPECT_EQ(out, zeros) << "silence stays silence";

  // Forward then time-reversed filtering of an impulse is the response's
  // autocorrelation: symmetric about the impulse, here 100 + 64.
  std::vector<float> impulse(512, 0.0f);
  impulse[100] = 1.0f;
  filter.Process(out.data(), impulse.data(), 512);
  const auto fwd = ReferenceIir({LowPass3B[0], LowPass3B[0] + 4}, {LowPass3A[0], LowPass3A[0] + 4},
                                std::vector<float>(impulse.begin() + 100, impulse.end()));
  for (int d = 0; d < 64; ++d) {
    double r = 0;
    for (size_t t = 0; t + d < fwd.size(); ++t) r += fwd[t] * fwd[t + d];
    EXPECT_NEAR(out[164 + d], r, 1e-6) << d;
    EXPECT_NEAR(out[164 - d], r, 1e-6) << d;
  }
  EXPECT_GT(out[164], 0.4f);
}

TEST_F(VsfFilterTest, LinearPhaseIirKeepsTheLevelOfAPassbandToneOverBlocksOfAnyLength) {
  CLinearPhaseIir filter(VSF_LINEAR_PHASE_LOOK_AHEAD);
  filter.SetCoefficients(LowPass3B[2], 4, LowPass3A[2], 4);
  const double f = 0.01;  // well inside the pass band of f = 4 (cutoff 0.125)
  std::vector<float> x(6000), y(6000);
  for (size_t n = 0; n < x.size(); ++n) x[n] = float(0.5 * std::sin(2 * std::numbers::pi * f * n));
  size_t pos = 0;
  for (uint32_t len : dsptest::RandomSplits(6000, 1024, 5)) {
    filter.Process(y.data() + pos, x.data() + pos, int32_t(len));
    pos += len;
  }
  // Zero phase plus the look-ahead: y[n] = x[n - 64] within the band's ripple.
  double worst = 0;
  for (size_t n = 1000; n < y.size(); ++n) worst = std::max(worst, std::fabs(double(y[n]) - x[n - 64]));
  EXPECT_LT(worst, 5e-3);
}

TEST_F(VsfFilterTest, LinearPhaseIirRefusesBlocksLongerThanItsBuffers) {
  CLinearPhaseIir filter(VSF_LINEAR_PHASE_LOOK_AHEAD);
  filter.SetCoefficients(LowPass3B[0], 4, LowPass3A[0], 4);
  std::vector<float> x(2048, 1.0f), y(2048, 7.0f);
  filter.Process(y.data(), x.data(), 2048);
  EXPECT_EQ(y, std::vector<float>(2048, 0.0f));
}

TEST_F(VsfFilterTest, IntegerSrcDirectionAndFactorFollowTheRates) {
  struct Case {
    int32_t device, direction, factor;
  } const cases[] = {{48000, 1, 1}, {88200, 1, 2}, {22050, -1, 2}, {11025, -1, 4}, {44100, 0, 1}, {0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    CIntegerSrc src(c.device, 44100, VSF_FILTER_LINEAR_PHASE);
    EXPECT_EQ(src.Direction(), c.direction);
    EXPECT_EQ(src.Factor(), c.factor);
    EXPECT_TRUE(src.IsValid());
  }
}

TEST_F(VsfFilterTest, InterpolationStuffsZerosFiltersAndRestoresTheLevel) {
  for (int32_t kind : {VSF_FILTER_PLAIN, VSF_FILTER_LINEAR_PHASE}) {
    SCOPED_TRACE(kind);
    CIntegerSrc src(22050, 44100, kind);
    const auto x = dsptest::Noise(256, 9);
    std::vector<float> y(512);
    src.Interpolate(y.data(), x.data(), 256);
    std::vector<float> stuffed(512, 0.0f);
    for (int i = 0; i < 256; ++i) stuffed[2 * i] = x[i];
    std::vector<float> expected(512);
    if (kind == VSF_FILTER_PLAIN) {
      const auto ref = ReferenceIir({LowPass6B[1], LowPass6B[1] + 7}, {LowPass6A[1], LowPass6A[1] + 7}, stuffed);
      for (int n = 0; n < 512; ++n) expected[n] = float(2 * ref[n]);
    } else {
      CLinearPhaseIir lp(VSF_LINEAR_PHASE_LOOK_AHEAD);
      lp.SetCoefficients(LowPass3B[1], 4, LowPass3A[1], 4);
      lp.Process(expected.data(), stuffed.data(), 512);
      for (float& v : expected) v *= 2.0f;
    }
    for (int n = 0; n < 512; ++n) ASSERT_NEAR(y[n], expected[n], 1e-5) << n;
  }
}

// A tone through decimation and interpolation comes back with its level and
// frequency, delayed by the two look-aheads.
TEST_F(VsfFilterTest, RoundTripKeepsAPassbandTone) {
  struct Case {
    const char* name;
    int32_t device;
    int32_t block;  // device-rate samples per call
    double f;       // cycles per device sample
    int32_t delay;  // device samples
  } const cases[] = {
      {"88.2 kHz, factor 2 down and up", 88200, 1024, 1000.0 / 88200, 128},
      {"48 kHz, factor 1", 48000, 512, 1000.0 / 48000, 128},
      {"22.05 kHz, factor 2 up and down", 22050, 256, 700.0 / 22050, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CIntegerSrc src(c.device, 44100, VSF_FILTER_LINEAR_PHASE);
    const int32_t blocks = 16;
    std::vector<float> x(size_t(c.block) * blocks), y(x.size());
    for (size_t n = 0; n < x.size(); ++n) x[n] = float(0.8 * std::sin(2 * std::numbers::pi * c.f * n));
    std::vector<float> engine(2048);
    for (int32_t b = 0; b < blocks; ++b) {
      const float* in = x.data() + b * c.block;
      float* out = y.data() + b * c.block;
      if (src.Direction() > 0) {
        src.Decimate(engine.data(), in, c.block);
        src.Interpolate(out, engine.data(), c.block / src.Factor());
      } else {
        src.Interpolate(engine.data(), in, c.block);
        src.Decimate(out, engine.data(), c.block * src.Factor());
      }
    }
    const size_t from = x.size() / 2, to = x.size();
    const auto [ampIn, phaseIn] = ToneAt(x, c.f, from - c.delay, to - c.delay);
    const auto [ampOut, phaseOut] = ToneAt(y, c.f, from, to);
    EXPECT_NEAR(ampOut / ampIn, 1.0, 0.02);
    double worst = 0;
    for (size_t n = from; n < to; ++n) worst = std::max(worst, std::fabs(double(y[n]) - x[n - c.delay]));
    EXPECT_LT(worst, 0.02) << "same frequency and phase after the look-ahead delay";
  }
}

TEST_F(VsfFilterTest, SampleDelayIsExactAcrossBlocksOfVaryingLength) {
  CSimpleSampleDelay delay(64, 512);
  ASSERT_TRUE(delay.IsValid());
  const auto x = dsptest::Noise(4000, 21);
  std::vector<float> y;
  size_t pos = 0;
  bool first = true;
  for (uint32_t len : dsptest::RandomSplits(4000, 512, 8)) {
    if (first) len = 512;  // the documented first block
    len = std::min<uint32_t>(len, uint32_t(x.size() - pos));
    if (len == 0) break;
    ASSERT_EQ(delay.Process(x.data() + pos, int32_t(len)), int32_t(len));
    y.insert(y.end(), delay.Output(), delay.Output() + len);
    if (first) {
      for (int i = 0; i < 64; ++i) ASSERT_EQ(y[i], 0.0f);
      for (int i = 64; i < 512; ++i) ASSERT_EQ(y[i], x[i - 64]);
      first = false;
    }
    pos += len;
  }
  for (size_t n = 64; n < y.size(); ++n) ASSERT_EQ(y[n], x[n - 64]) << n;
  EXPECT_EQ(delay.Process(x.data(), 513), 0) << "a block beyond the buffer is refused";
}

}  // namespace
