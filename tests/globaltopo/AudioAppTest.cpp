// The engine frame: blocking, rate conversion around the block operation,
// and the one-block latency.
#include <cmath>
#include <numbers>
#include <vector>

#include "globaltopo/common/VSF/AudioApp.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

// A frame whose block operation copies its inputs to its outputs and counts
// the blocks.
class CopyFrame : public CAudioApp {
 public:
  CopyFrame(int32_t rate, int32_t in, int32_t out) : CAudioApp(in, out, 1.0f) { Configure(rate, in, out); }
  void Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len) override {
    CopyChannels(out, nOut, in, nIn, len);
    ++blocks;
  }
  void Reset() override { ++resets; }
  int blocks = 0;
  int resets = 0;
};

class AudioAppTest : public testsupport::KernelTest {};

TEST_F(AudioAppTest, DeviceBlockFollowsTheRate) {
  struct Case {
    int32_t rate, direction, factor, realLen;
  } const cases[] = {{44100, 0, 1, 512}, {48000, 1, 1, 512}, {88200, 1, 2, 1024}, {22050, -1, 2, 256}, {0, 0, 1, 512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    CopyFrame frame(c.rate, 2, 2);
    EXPECT_TRUE(frame.IsReady());
    EXPECT_EQ(frame.Direction(), c.direction);
    EXPECT_EQ(frame.SrcFactor(), c.factor);
    EXPECT_EQ(frame.RealDataLen(), c.realLen);
    EXPECT_EQ(frame.resets, 1);
  }
}

TEST_F(AudioAppTest, AtTheEngineRateOutputIsTheInputOneBlockLater) {
  CopyFrame frame(44100, 2, 2);
  const auto x = dsptest::Noise(3000, 4);
  std::vector<float> in0 = x, in1 = x, out0(x.size()), out1(x.size());
  size_t pos = 0;
  auto call = [&](int32_t n) {
    const float* in[2] = {in0.data() + pos, in1.data() + pos};
    float* out[2] = {out0.data() + pos, out1.data() + pos};
    frame.ProcessFrames(out, 2, in, 2, n);
    pos += n;
  };
  call(1);
  EXPECT_EQ(frame.blocks, 0);
  call(511);
  EXPECT_EQ(frame.blocks, 1) << "the block runs at the end of the call that fills it";
  call(1000);
  EXPECT_EQ(frame.blocks, 2);
  EXPECT_EQ(frame.BlockPosition(), 488);
  call(1488);
  for (size_t n = 0; n < x.size(); ++n) {
    const float expected = n < 512 ? 0.0f : x[n - 512];
    ASSERT_NEAR(out0[n], expected, 2e-10) << n;  // the frame's 1e-10 bias
    ASSERT_NEAR(out1[n], expected, 2e-10) << n;
  }
}

TEST_F(AudioAppTest, ConvertedRatesPassAToneWithTheFrameAndFilterDelays) {
  struct Case {
    int32_t rate;
    double hz;
    size_t delay;  // one device block plus the two look-aheads at their rates
  } const cases[] = {{88200, 1000, 1024 + 128}, {48000, 1000, 512 + 128}, {22050, 700, 256 + 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    CopyFrame frame(c.rate, 1, 1);
    std::vector<float> x(16384), y(x.size());
    for (size_t n = 0; n < x.size(); ++n) x[n] = float(0.5 * std::sin(2 * std::numbers::pi * c.hz / c.rate * n));
    size_t pos = 0;
    for (uint32_t len : dsptest::RandomSplits(uint32_t(x.size()), 1500, 2)) {
      const float* in[1] = {x.data() + pos};
      float* out[1] = {y.data() + pos};
      frame.ProcessFrames(out, 1, in, 1, int32_t(len));
      pos += len;
    }
    double worst = 0;
    for (size_t n = 8000; n < x.size(); ++n) worst = std::max(worst, std::fabs(double(y[n]) - x[n - c.delay]));
    EXPECT_LT(worst, 0.02);
  }
}

// Whatever the lengths of the calls, the engine sees the same blocks: the
// output is bit for bit that of one long call, in place or not.
TEST_F(AudioAppTest, HeadphoneEngineOutputDoesNotDependOnCallLengths) {
  for (int32_t rate : {44100, 48000}) {
    SCOPED_TRACE(rate);
    auto* whole = new (NonPagedPool, VSF_POOL_TAG) CHeadphoneEngine();
    auto* split = new (NonPagedPool, VSF_POOL_TAG) CHeadphoneEngine();
    ASSERT_TRUE(whole && split);
    whole->Configure(rate, 8, 2);
    split->Configure(rate, 8, 2);
    ASSERT_TRUE(whole->IsReady());
    const size_t total = 6000;
    std::vector<std::vector<float>> x, a(8), b;
    for (uint32_t c = 0; c < 8; ++c) x.push_back(dsptest::Noise(total, 50 + c, 0.3f));
    b = x;  // processed in place
    std::vector<const float*> in;
    std::vector<float*> out;
    for (int c = 0; c < 8; ++c) {
      a[c].resize(total);
      in.push_back(x[c].data());
    }
    out = {a[0].data(), a[1].data()};
    whole->ProcessFrames(out.data(), 2, in.data(), 8, int32_t(total));
    size_t pos = 0;
    for (uint32_t len : dsptest::RandomSplits(uint32_t(total), 700, 9)) {
      std::vector<float*> io;
      for (auto& c : b) io.push_back(c.data() + pos);
      split->ProcessFrames(io.data(), 2, io.data(), 8, int32_t(len));
      pos += len;
    }
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    double energy = 0;
    for (float v : a[0]) energy += v * v;
    EXPECT_GT(energy, 1.0) << "the engine rendered something";
    delete whole;
    delete split;
  }
}

TEST_F(AudioAppTest, FailedAllocationLeavesTheFrameSilentNotBroken) {
  platform::pool::FailNthAllocationWithTag(VSF_POOL_TAG, 3);
  CopyFrame frame(88200, 2, 2);
  platform::pool::ClearFailures();
  EXPECT_FALSE(frame.IsReady());
  std::vector<float> x(3000, 0.5f);
  float* io[2] = {x.data(), x.data()};
  frame.ProcessFrames(io, 2, io, 2, 3000);
  EXPECT_EQ(x, std::vector<float>(3000, 0.0f));
  frame.Configure(88200, 2, 2);
  EXPECT_TRUE(frame.IsReady()) << "the next Configure recovers";
}

}  // namespace
