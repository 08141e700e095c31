// headset-host's play and record on the embedded headset: a WAV through
// the driver's wave filter reaches the device's endpoint sample for sample,
// and the microphone's signal reaches the recording. The driver runs as the
// program starts it: nothing installs miniports for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/device/DefaultHeadset.h"
#include "sim/host/ToneAnalysis.h"
#include "tests/tools/ToolsTest.h"
#include "sim/host/AudioEngine.h"
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

// Noise, full scale and a few steps around zero, through the real engine
// and the room effect node's dry fold: every sample arrives as sent but -1,
// which arrives as 0. The node lifts every sample by 1e-12 against
// denormals, which takes -1/32768 just inside its binade, and the 16-bit
// conversion back truncates toward zero; every other step keeps its value.
TEST_F(StreamsTest, NoiseReachesTheEndpointExactlyButForMinusOne) {
  sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  // Half a second, 2 ch 48 kHz 16 bit: the left channel steps around
  // zero, the right one spans the range.
  sim::host::WavData noise;
  const size_t samples = 2 * 24000;
  noise.samples.resize(samples * 2);
  uint32_t seed = 12345;
  std::vector<int16_t> sent(samples);
  for (size_t i = 0; i < samples; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const int32_t r = static_cast<int32_t>(seed >> 16);
    sent[i] = static_cast<int16_t>(i % 2 ? r - 32768 : r % 9 - 4);
  }
  std::memcpy(noise.samples.data(), sent.data(), samples * 2);
  const tools::PlayReport r = tools::Play(driver, noise, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
  ASSERT_EQ(r.device.channels, 2u);
  std::vector<int16_t> got(r.device.samples.size() / 2);
  std::memcpy(got.data(), r.device.samples.data(), got.size() * 2);
  auto expected = [](int16_t v) { return v == -1 ? int16_t{0} : v; };
  // The pipeline's delay: where the first 64 frames arrive.
  size_t delay = 0;
  for (; delay + samples <= got.size(); delay += 2) {
    size_t k = 0;
    while (k < 128 && got[delay + k] == expected(sent[k])) ++k;
    if (k == 128) break;
  }
  ASSERT_LE(delay + samples, got.size()) << "the noise never arrived";
  size_t wrong = 0, minusOnes = 0;
  for (size_t i = 0; i < samples; ++i) {
    minusOnes += sent[i] == -1;
    if (got[delay + i] != expected(sent[i]) && wrong++ < 5)
      ADD_FAILURE() << "sample " << i << ": " << got[delay + i] << ", sent " << sent[i];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(minusOnes, 1000u);
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

// Whatever PCM or float format a file has, the audio engine plays it in a
// format the pin takes, says which, and the device hears the file's tone.
TEST_F(StreamsTest, AnyPcmOrFloatWavPlaysInAFormatThePinTakes) {
  const struct {
    uint16_t tag, channels, bits;
    uint32_t rate;
    const char* format;
  } cases[] = {
      {1, 2, 16, 48000, "8 ch 48000 Hz 16 bit, converted from 2 ch 48000 Hz 16 bit (channels)"},
      {1, 1, 8, 22050, "8 ch 48000 Hz 16 bit, converted from 1 ch 22050 Hz 8 bit (rate, sample type, channels)"},
      {1, 6, 24, 96000, "8 ch 48000 Hz 16 bit, converted from 6 ch 96000 Hz 24 bit (rate, sample type, channels)"},
      {3, 2, 32, 44100, "8 ch 44100 Hz 16 bit, converted from 2 ch 44100 Hz 32 bit float (sample type, channels)"},
      {1, 8, 16, 44100, "8 ch 44100 Hz 16 bit, as the file has it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
    // A 1 kHz tone at half scale in the case's format.
    sim::host::WavData tone = sim::host::SineWav(c.rate, c.channels, 1000.0, 0.3, 0.5);
    sim::host::WavData format = tone;
    format.formatTag = c.tag;
    format.bitsPerSample = c.bits;
    if (c.channels == 8) format.channelMask = 0x63F;
    tone.channelMask = format.channelMask;
    const sim::host::WavData file = sim::host::ConvertWav(tone, format);
    const tools::PlayReport r = tools::Play(driver, file, false);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
    EXPECT_EQ(r.format, c.format);
    EXPECT_EQ(tools::PlayFault(r), "");
    const std::vector<int16_t> left = Channel(r.device, 0);
    std::vector<float> x;
    for (int16_t v : left) x.push_back(v / 32768.0f);
    ASSERT_GT(x.size(), r.device.sampleRate / 4);
    // The middle of the tone, past the pipeline's delay.
    const size_t from = r.device.sampleRate / 10, n = r.device.sampleRate / 10;
    EXPECT_NEAR(sim::host::DominantFrequency(&x[from], n, r.device.sampleRate, 200, 5000), 1000.0, 5.0);
  }
}

// A device that goes away mid-stream: play and record say so and how far
// they got, never success with part of the audio.
TEST_F(StreamsTest, AStreamThatEndsEarlyIsAFault) {
  {
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
    driver.Device().UnplugAfterIsoPackets(100);
    const tools::PlayReport r = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, 1.0, 0.25), false);
    const std::string fault = tools::PlayFault(r);
    EXPECT_TRUE(fault.find("stopped") != std::string::npos || fault.find("ended early") != std::string::npos)
        << fault << "\n" << r.text;
  }
  {
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
    driver.Device().UnplugAfterIsoPackets(100);
    const tools::RecordReport r = tools::Record(driver, 1.0, 1000.0, false);
    const std::string fault = tools::RecordFault(r);
    EXPECT_TRUE(fault.find("stopped") != std::string::npos || fault.find("ended early") != std::string::npos)
        << fault << "\n" << r.text;
    EXPECT_LT(r.recordedSeconds, 1.0);
  }
}

}  // namespace
