// headset-host's play and record on the embedded headset: a WAV through
// the driver's wave filter reaches the device's endpoint sample for sample,
// and the microphone's signal reaches the recording. The driver runs as the
// program starts it: nothing installs miniports for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/device/DefaultHeadset.h"
#include "tests/tools/ToolsTest.h"
#include "tools/streams.h"

namespace {

class StreamsTest : public toolstest::ToolsTest {};

using toolstest::Channel;

TEST_F(StreamsTest, PlayedSamplesReachTheEndpointUnchangedAfterThePipelineDelay) {
  sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  // Stereo 48 kHz: the headset's render pin takes eight channels, so the
  // host maps the two onto its front pair; the device gets channels 0 and 1.
  const sim::host::WavData tone = sim::host::SineWav(48000, 2, 1000.0, 0.2, 0.25);
  const tools::PlayReport r = tools::Play(driver, tone, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
  EXPECT_EQ(r.filter, "HeadSetOut00Wave");
  ASSERT_EQ(r.device.channels, 2u);
  const std::vector<int16_t> sent = Channel(tone, 0), got = Channel(r.device, 0), right = Channel(r.device, 1);
  // The device hears silence first (the pipeline, then the limiter's
  // look-ahead of 256 frames); from the first sound on, every frame.
  size_t first = 0;
  while (first < got.size() && got[first] == 0) ++first;
  ASSERT_GE(first, 256u + 1);
  const size_t delay = first - 1;  // the tone starts with a zero sample
  ASSERT_GE(got.size(), delay + sent.size());
  size_t wrong = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (got[delay + i] != sent[i] || right[delay + i] != sent[i]) {
      if (wrong++ < 5) ADD_FAILURE() << "frame " << i << ": " << got[delay + i] << " / " << right[delay + i] << ", sent " << sent[i];
    }
  }
  EXPECT_EQ(wrong, 0u);
  const sim::IsoSink::Stats stats = driver.Device().Sink(r.endpoint).GetStats();
  EXPECT_EQ(stats.gaps, 0u);
  EXPECT_EQ(stats.overruns + stats.partialFrames + stats.strayPackets, 0u);
}

TEST_F(StreamsTest, RecordingCarriesTheMicrophonesTone) {
  sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  const tools::RecordReport r = tools::Record(driver, 0.25, 1000.0, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
  EXPECT_EQ(r.filter, "HeadSetIn00Wave");
  ASSERT_EQ(r.recorded.channels, 1u);
  ASSERT_EQ(r.recorded.Frames(), 12000u);
  const std::vector<int16_t> s = Channel(r.recorded, 0);
  int crossings = 0, peak = 0;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) ++crossings;
    peak = std::max(peak, std::abs(static_cast<int>(s[i])));
  }
  EXPECT_NEAR(crossings, 250, 2);
  EXPECT_NEAR(peak, 16384, 200);
}

}  // namespace
