// The audio engine's conversion: a source in the pin's format passes sample
// for sample; sample types, speaker layouts and rates convert as a shared-
// mode engine converts them, within what a 16-bit path can tell.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/host/AudioEngine.h"

namespace {

using sim::host::ConvertWav;
using sim::host::WavData;

WavData Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask = 0) {
  WavData w;
  w.formatTag = tag;
  w.channels = channels;
  w.sampleRate = rate;
  w.bitsPerSample = bits;
  w.channelMask = mask;
  return w;
}

// Frames of doubles, one value a channel, in `format`.
WavData Frames(WavData format, const std::vector<std::vector<double>>& frames) {
  WavData source = Format(3, format.channels, format.sampleRate, 32, format.channelMask);
  for (const auto& frame : frames)
    for (double v : frame) {
      const float f = static_cast<float>(v);
      const auto* p = reinterpret_cast<const uint8_t*>(&f);
      source.samples.insert(source.samples.end(), p, p + 4);
    }
  return ConvertWav(source, format);
}

std::vector<int> Samples16(const WavData& w) {
  std::vector<int> out(w.samples.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    int16_t v;
    std::memcpy(&v, &w.samples[2 * i], 2);
    out[i] = v;
  }
  return out;
}

TEST(AudioEngineTest, TheChosenFormatPassesUnchanged) {
  WavData tone = sim::host::SineWav(44100, 2, 1000.0, 0.01, 0.5);
  EXPECT_EQ(ConvertWav(tone, Format(1, 2, 44100, 16)).samples, tone.samples);
}

// Each sample type read and written at full scale, rounding to the nearest
// step and clipping what does not fit; a float that is no number is silence.
TEST(AudioEngineTest, SampleTypesConvertWithRoundingAndClipping) {
  const WavData out = Frames(Format(1, 1, 48000, 16), {{0.5}, {-1.0}, {2.0}, {-2.0}, {3.0 / 131072}, {NAN}});
  EXPECT_EQ(Samples16(out), (std::vector<int>{16384, -32768, 32767, -32768, 1, 0}));

  // 8-bit is unsigned around 128; 24-bit packs three bytes.
  WavData eight = Format(1, 1, 48000, 8);
  eight.samples = {128, 0, 255, 192};
  EXPECT_EQ(Samples16(ConvertWav(eight, Format(1, 1, 48000, 16))), (std::vector<int>{0, -32768, 32512, 16384}));
  WavData packed = Format(1, 1, 48000, 24);
  packed.samples = {0x80, 0x00, 0x40, 0xFF, 0xFF, 0xFF};  // 0.5 + half a 16-bit step, and -1/2^23
  EXPECT_EQ(Samples16(ConvertWav(packed, Format(1, 1, 48000, 16))), (std::vector<int>{16384, 0}));
}

// Speakers go where the pin has them; a speaker it lacks folds into its
// neighbours at -3 dB, the low-frequency channel is left out; mono plays on
// the front pair.
TEST(AudioEngineTest, ChannelsMapBySpeakerPosition) {
  // 5.1: FL, FR, FC, LFE, BL, BR.
  const WavData five = Frames(Format(1, 6, 48000, 16, 0x3F), {{0.1, 0.2, 0.3, 0.4, 0.05, 0.06}});
  const std::vector<int> stereo = Samples16(ConvertWav(five, Format(1, 2, 48000, 16, 0x3)));
  const double h = std::sqrt(0.5);
  ASSERT_EQ(stereo.size(), 2u);
  EXPECT_NEAR(stereo[0] / 32768.0, 0.1 + h * 0.3 + h * 0.05, 2.0 / 32768);
  EXPECT_NEAR(stereo[1] / 32768.0, 0.2 + h * 0.3 + h * 0.06, 2.0 / 32768);

  // Onto 7.1 (FL FR FC LFE BL BR SL SR) every speaker has its place.
  const std::vector<int> seven = Samples16(ConvertWav(five, Format(1, 8, 48000, 16, 0x63F)));
  EXPECT_EQ(seven, (std::vector<int>{3277, 6554, 9830, 13107, 1638, 1966, 0, 0}));

  const WavData mono = Frames(Format(1, 1, 48000, 16), {{0.25}});
  EXPECT_EQ(Samples16(ConvertWav(mono, Format(1, 8, 48000, 16, 0x63F))), (std::vector<int>{8192, 8192, 0, 0, 0, 0, 0, 0}));
}

// A tone keeps its level and purity through the rate conversion; what lies
// above the new band is filtered out, not folded back into it.
TEST(AudioEngineTest, RatesConvertCleanlyBothWays) {
  const struct {
    uint32_t from, to;
    double hz;
    double minimumDb;  // the tone's level over everything else, or the rejection of a tone out of band
    bool outOfBand;
  } cases[] = {
      {44100, 48000, 1000, 100, false},   // the usual case: 147/160
      {22050, 48000, 5000, 100, false},   // up by more than two
      {96000, 48000, 1000, 100, false},   // down by two
      {96000, 48000, 30000, 90, true},   // above the new band: removed
      {48000, 44100, 23000, 90, true},   // just above 22.05 kHz
      {47999, 48000, 997, 100, false},    // a ratio with no short period
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to) + " Hz, " + std::to_string(c.hz) + " Hz tone");
    const double seconds = 0.25;
    WavData source = Format(3, 1, c.from, 32);
    const auto frames = static_cast<uint32_t>(seconds * c.from);
    for (uint32_t i = 0; i < frames; ++i) {
      const float v = static_cast<float>(0.5 * std::sin(2 * M_PI * c.hz * i / c.from));
      const auto* p = reinterpret_cast<const uint8_t*>(&v);
      source.samples.insert(source.samples.end(), p, p + 4);
    }
    const WavData out = ConvertWav(source, Format(3, 1, c.to, 32));
    ASSERT_EQ(out.Frames(), (uint64_t(frames) * c.to + c.from - 1) / c.from);
    std::vector<double> y(out.Frames());
    for (size_t i = 0; i < y.size(); ++i) {
      float f;
      std::memcpy(&f, &out.samples[4 * i], 4);
      y[i] = f;
    }
    // Away from the edges: a least-squares fit of the tone at the new rate.
    const size_t first = y.size() / 5, last = y.size() - y.size() / 5;
    double cc = 0, cs = 0, ss = 0, yc = 0, ys = 0, energy = 0;
    for (size_t i = first; i < last; ++i) {
      const double co = std::cos(2 * M_PI * c.hz * i / c.to), si = std::sin(2 * M_PI * c.hz * i / c.to);
      cc += co * co, cs += co * si, ss += si * si, yc += y[i] * co, ys += y[i] * si;
      energy += y[i] * y[i];
    }
    const double det = cc * ss - cs * cs;
    const double a = (yc * ss - ys * cs) / det, b = (ys * cc - yc * cs) / det;
    double residualEnergy = 0;
    for (size_t i = first; i < last; ++i) {
      const double e = y[i] - a * std::cos(2 * M_PI * c.hz * i / c.to) - b * std::sin(2 * M_PI * c.hz * i / c.to);
      residualEnergy += e * e;
    }
    const double n = static_cast<double>(last - first);
    const double amplitude = std::hypot(a, b);
    const double rms = std::sqrt(energy / n);
    if (c.outOfBand) {
      EXPECT_GT(20 * std::log10(0.5 / std::sqrt(2.0) / std::max(rms, 1e-12)), c.minimumDb);
    } else {
      EXPECT_NEAR(amplitude, 0.5, 0.5 * 0.01);
      const double residual = std::sqrt(std::max(residualEnergy / n, 1e-30));
      EXPECT_GT(20 * std::log10(amplitude / std::sqrt(2.0) / residual), c.minimumDb);
    }
  }
}

}  // namespace
