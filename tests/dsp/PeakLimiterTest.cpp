#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "dsp/CPeakLimiter.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using dsptest::ScopedSignalPathMxcsr;

WAVEFORMATEXTENSIBLE FloatFormat(WORD channels) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 32;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 4);
  f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
  return f;
}

class PeakLimiterTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Limiter = Make(2, 1.0f, 1.0f);
  }
  void TearDown() override {
    m_Limiter.reset();
    KernelTest::TearDown();
  }

  std::unique_ptr<CPeakLimiter> Make(WORD channels, float gain, float ceiling, int32_t mode = 0) {
    std::unique_ptr<CPeakLimiter> lim(new (NonPagedPool, MakeTag("Ltst")) CPeakLimiter);
    EXPECT_TRUE(lim->Allocate());
    lim->SetMode(mode);
    lim->SetGain(gain);
    lim->SetCeiling(ceiling);
    const WAVEFORMATEXTENSIBLE f = FloatFormat(channels);
    lim->SetFormat(&f);
    return lim;
  }

  // Runs whole channels through in the given block lengths.
  static void Run(CPeakLimiter& lim, std::vector<std::vector<float>>& ch, const std::vector<uint32_t>& blocks) {
    size_t pos = 0;
    for (uint32_t len : blocks) {
      std::vector<float*> p;
      for (auto& c : ch) p.push_back(c.data() + pos);
      lim.Process(p.data(), len);
      pos += len;
    }
  }

  std::unique_ptr<CPeakLimiter> m_Limiter;
};

TEST_F(PeakLimiterTest, DelaysBy256AndSplitCallsMatchOneCall) {
  ScopedSignalPathMxcsr mxcsr;
  auto lim = Make(2, 1.0f, 10.0f);
  std::vector<std::vector<float>> impulse(2, std::vector<float>(1000, 0.0f));
  impulse[0][300] = 1.0f;
  impulse[1][301] = -0.5f;
  Run(*lim, impulse, dsptest::RandomSplits(1000, 90, 1));
  for (size_t i = 0; i < 1000; ++i) {
    EXPECT_EQ(impulse[0][i], i == 556 ? 1.0f : 0.0f) << i;
    EXPECT_EQ(impulse[1][i], i == 557 ? -0.5f : 0.0f) << i;
  }

  // Loud bursts in noise make the gain move; odd call lengths must not show.
  auto a = Make(2, 2.8183f, 1.0f), b = Make(2, 2.8183f, 1.0f);
  std::vector<std::vector<float>> x = {dsptest::Noise(20000, 5, 0.2f), dsptest::Noise(20000, 6, 0.2f)};
  for (size_t i = 3000; i < 3100; ++i) x[0][i] *= 8.0f;
  for (size_t i = 9000; i < 9400; ++i) x[1][i] *= 5.0f;
  auto y = x;
  Run(*a, x, {20000});
  Run(*b, y, dsptest::RandomSplits(20000, 300, 2));
  EXPECT_EQ(x, y);
}

TEST_F(PeakLimiterTest, FirstOutputsAfterResetAreSilentAndTheGainIsKept) {
  auto lim = Make(1, 1.0f, 1.0f);
  std::vector<std::vector<float>> loud = {std::vector<float>(1024, 4.0f)};
  Run(*lim, loud, {1024});
  EXPECT_EQ(lim->CurrentGain(0), 0.25f);
  lim->Reset();
  EXPECT_EQ(lim->CurrentGain(0), 0.25f);
  std::vector<std::vector<float>> quiet = {std::vector<float>(300, 0.5f)};
  Run(*lim, quiet, {300});
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(quiet[0][i], 0.0f) << i;
  EXPECT_NE(quiet[0][299], 0.0f);
}

TEST_F(PeakLimiterTest, SteadySinesComeOutAtCeilingOrFullGain) {
  ScopedSignalPathMxcsr mxcsr;
  const struct { float amplitude, expectedPeak; } cases[] = {{1.0f, 1.0f}, {0.25f, 0.25f * 2.8183f}};
  for (const auto& tc : cases) {
    auto lim = Make(1, 2.8183f, 1.0f);
    std::vector<std::vector<float>> ch = {std::vector<float>(48000)};
    for (size_t i = 0; i < ch[0].size(); ++i)
      ch[0][i] = tc.amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0));
    Run(*lim, ch, dsptest::RandomSplits(48000, 480, 3));
    float peak = 0;
    for (size_t i = 24000; i < ch[0].size(); ++i) peak = std::max(peak, std::fabs(ch[0][i]));
    EXPECT_NEAR(peak, tc.expectedPeak, 1e-5f) << tc.amplitude;
    EXPECT_LE(peak, 1.0f);
  }
}

TEST_F(PeakLimiterTest, LinkedChannelsFollowTheLouderOne) {
  ScopedSignalPathMxcsr mxcsr;
  std::vector<std::vector<float>> ch = {std::vector<float>(1024, 0.1f), std::vector<float>(1024, 0.1f)};
  for (size_t i = 512; i < 1024; ++i) ch[1][i] = 2.0f;
  Run(*m_Limiter, ch, {1024});
  EXPECT_EQ(m_Limiter->TargetGain(0), 1.0f);
  EXPECT_EQ(m_Limiter->TargetGain(1), 0.5f);
  EXPECT_EQ(m_Limiter->CurrentGain(0), 0.5f);
  EXPECT_EQ(m_Limiter->CurrentGain(1), 0.5f);
  // Input sample 767 (0.1 on the quiet channel) leaves at 1023 at the new gain.
  EXPECT_EQ(ch[0][1023], 0.05f);
  EXPECT_EQ(ch[1][1023], 1.0f);
}

// A loud block after a quiet one: the gain falls over the 128 samples before
// it, holds for 20 blocks, releases by a step recomputed every block, and dips
// once more when the block's peak is read again 200 blocks later.
TEST_F(PeakLimiterTest, AttackHoldReleaseAndTheStaleHistorySlot) {
  ScopedSignalPathMxcsr mxcsr;
  auto lim = Make(1, 1.0f, 1.0f);
  auto feed = [&](float level, std::vector<float>* out = nullptr) {
    std::vector<std::vector<float>> ch = {std::vector<float>(LIMITER_BLOCK, level)};
    Run(*lim, ch, {LIMITER_BLOCK});
    if (out) *out = ch[0];
  };
  // Blocks 0..3 quiet at 1.0 (target 1), block 4 loud.
  for (int k = 0; k < 4; ++k) feed(1.0f);
  EXPECT_EQ(lim->CurrentGain(0), 1.0f);
  feed(4.0f);  // block 4: the step ramps block 3 down to 0.25
  EXPECT_EQ(lim->CurrentGain(0), 0.25f);
  std::vector<float> out;
  feed(1.0f, &out);  // block 5 brings out block 3, ramped down by 3/512 per sample
  for (int i = 0; i < LIMITER_BLOCK; ++i) ASSERT_EQ(out[i], 1.0f - i * (3.0f / 512.0f)) << i;
  feed(1.0f, &out);  // block 4, the loud one, exactly at the ceiling
  for (float v : out) ASSERT_EQ(v, 1.0f);

  // Block 4's peak holds the target through the step of block 23.
  for (int k = 7; k < 24; ++k) feed(1.0f);
  EXPECT_EQ(lim->TargetGain(0), 0.25f);
  EXPECT_EQ(lim->CurrentGain(0), 0.25f);

  // From block 24 on: release, the step recomputed from what is left.
  float b = 0.25f;
  for (int k = 24; k < 27; ++k) {
    feed(1.0f);
    EXPECT_EQ(lim->TargetGain(0), 1.0f);
    const float d = std::max((1.0f - b) / 10240.0f, b * (1.0f / 8388608.0f));
    for (int i = 0; i < LIMITER_BLOCK; ++i) b = std::min(1.0f, b + d);
    EXPECT_EQ(lim->CurrentGain(0), b) << "block " << k;
  }
  // About 37 % of the distance is left after 80 blocks (10,240 samples).
  for (int k = 27; k < 104; ++k) feed(1.0f);
  EXPECT_NEAR((1.0f - lim->CurrentGain(0)) / 0.75f, std::exp(-1.0f), 0.01f);

  for (int k = 104; k < 204; ++k) feed(1.0f);
  EXPECT_NEAR(lim->CurrentGain(0), 1.0f - 0.75f * std::exp(-2.25f), 0.01f);
  feed(1.0f);  // block 204 reads slot 4 before it overwrites it
  EXPECT_EQ(lim->HeldPeak(0), 4.0f);
  // From a gain that is no multiple of the step, 128 rounded steps leave a hair.
  EXPECT_NEAR(lim->CurrentGain(0), 0.25f, 1e-5f);
  feed(1.0f);  // block 205 does not
  EXPECT_EQ(lim->HeldPeak(0), 1.0f);
  EXPECT_GT(lim->CurrentGain(0), 0.25f);
}

TEST_F(PeakLimiterTest, NewGainIsReachedWithinOneBlockOnlyInMode0) {
  ScopedSignalPathMxcsr mxcsr;
  for (int32_t mode : {0, 1}) {
    auto lim = Make(1, 1.0f, 4.0f, mode);
    std::vector<std::vector<float>> ch = {std::vector<float>(1024, 0.5f)};
    Run(*lim, ch, {1024});
    lim->SetGain(1.5f);
    ch = {std::vector<float>(LIMITER_BLOCK, 0.5f)};
    Run(*lim, ch, {LIMITER_BLOCK});
    if (mode == 0)
      EXPECT_EQ(lim->CurrentGain(0), 1.5f);
    else
      EXPECT_LT(lim->CurrentGain(0), 1.01f);
  }
}

TEST_F(PeakLimiterTest, ChannelsBeyondEightAreLeftAlone) {
  auto lim = Make(10, 1.0f, 1.0f);
  EXPECT_EQ(lim->ChannelCount(), 8u);
  std::vector<std::vector<float>> ch(10, std::vector<float>(600, 0.5f));
  Run(*lim, ch, {600});
  EXPECT_EQ(ch[7][0], 0.0f);
  EXPECT_EQ(ch[8][0], 0.5f);
  EXPECT_EQ(ch[9][599], 0.5f);
}

TEST_F(PeakLimiterTest, FailedAllocationLeavesNothingBehind) {
  for (size_t n = 1; n <= 16; ++n) {
    std::unique_ptr<CPeakLimiter> lim(new (NonPagedPool, MakeTag("Ltst")) CPeakLimiter);
    platform::pool::FailNthAllocation(n);
    EXPECT_FALSE(lim->Allocate()) << n;
    EXPECT_FALSE(lim->IsAllocated());
    platform::pool::ClearFailures();
  }
}

}  // namespace
