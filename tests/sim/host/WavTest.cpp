// The host's WAV reader: what it writes it reads back, and malformed files
// are refused without reading past their end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/host/Wav.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using sim::host::ParseWav;
using sim::host::SerializeWav;
using sim::host::WavData;

TEST(WavTest, RoundTripKeepsFormatAndSamples) {
  WavData tone = sim::host::SineWav(44100, 2, 1000.0, 0.01, 0.5);
  WavData back;
  std::string error;
  ASSERT_TRUE(ParseWav(SerializeWav(tone), &back, &error)) << error;
  EXPECT_EQ(44100u, back.sampleRate);
  EXPECT_EQ(2u, back.channels);
  EXPECT_EQ(16u, back.bitsPerSample);
  EXPECT_EQ(441u, back.Frames());
  EXPECT_EQ(tone.samples, back.samples);
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file written as its audio arrives, in pieces that split frames and in
// pieces larger than the writer holds, is the file written at once; its
// target stays as it was until the writer finishes, and a writer never
// finished leaves it so and nothing beside it.
TEST(WavTest, AWriterJoinsSplitFramesAndReplacesTheTargetOnlyWhenFinished) {
  testsupport::ScratchDirectory scratch;
  const std::string path = scratch.File("out.wav"), whole = scratch.File("whole.wav");
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  std::ofstream(path, std::ios::binary).write("old", 3);
  const WavData tone = sim::host::SineWav(48000, 2, 1000.0, 2.0, 0.5);
  std::string error;
  {
    sim::host::WavWriter abandoned;
    ASSERT_TRUE(abandoned.Open(path, &error)) << error;
    abandoned.Append(tone, tone.samples.data(), 1000);
  }
  EXPECT_EQ(FileBytes(path), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.Path()), {}), 1);

  sim::host::WavWriter writer;
  ASSERT_TRUE(writer.Open(path, &error)) << error;
  size_t at = 0;
  for (; at < 1001; at += 7) writer.Append(tone, &tone.samples[at], 7);
  writer.Append(tone, &tone.samples[at], tone.samples.size() - at);
  EXPECT_EQ(writer.Frames(), 96000u);
  EXPECT_EQ(FileBytes(path), old);
  ASSERT_TRUE(writer.Finish(&error)) << error;
  ASSERT_TRUE(sim::host::WriteWav(whole, tone, &error)) << error;
  EXPECT_EQ(FileBytes(path), SerializeWav(tone));
  EXPECT_EQ(FileBytes(whole), SerializeWav(tone));
}

// Every sample type the reader takes, plain and in the extensible layout
// with its channel mask, reads back as written.
TEST(WavTest, EverySampleTypeRoundTrips) {
  const struct {
    uint16_t tag, channels, bits;
    uint32_t mask;
  } cases[] = {{1, 1, 8, 0}, {1, 2, 16, 0}, {1, 6, 24, 0x3F}, {1, 3, 32, 0}, {3, 2, 32, 0}, {3, 8, 32, 0x63F}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " ch " + std::to_string(c.bits) + " bit tag " + std::to_string(c.tag));
    WavData wav;
    wav.formatTag = c.tag;
    wav.channels = c.channels;
    wav.bitsPerSample = c.bits;
    wav.sampleRate = 96000;
    wav.channelMask = c.mask;
    for (uint32_t i = 0; i < 10u * wav.BlockAlign(); ++i) wav.samples.push_back(static_cast<uint8_t>(i * 37));
    WavData back;
    std::string error;
    ASSERT_TRUE(ParseWav(SerializeWav(wav), &back, &error)) << error;
    EXPECT_EQ(back.formatTag, c.tag);
    EXPECT_EQ(back.channels, c.channels);
    EXPECT_EQ(back.bitsPerSample, c.bits);
    EXPECT_EQ(back.channelMask, c.mask);
    EXPECT_EQ(back.samples, wav.samples);
  }
}

TEST(WavTest, MalformedFilesAreRefused) {
  std::vector<uint8_t> good = SerializeWav(sim::host::SineWav(8000, 1, 100.0, 0.01, 0.5));
  auto with = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> v = good;
    std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
    return v;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"not RIFF", with(0, {'R', 'I', 'F', 'X'})},
      {"data chunk longer than the file", with(40, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"truncated", std::vector<uint8_t>(good.begin(), good.begin() + 30)},
      {"compressed format", with(20, {0x02, 0x00})},
      {"zero channels", with(22, {0x00, 0x00})},
      {"33 channels", with(22, {33, 0x00})},
      {"odd sample size", with(34, {12, 0})},
      {"16-bit float", with(20, {0x03, 0x00})},
      {"block align not the frame's", with(32, {4, 0})},
      {"zero rate", with(24, {0, 0, 0, 0})},
      {"extensible with a short format chunk", with(20, {0xFE, 0xFF})},
  };
  for (const Case& c : cases) {
    WavData wav;
    std::string error;
    EXPECT_FALSE(ParseWav(c.bytes, &wav, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

}  // namespace
