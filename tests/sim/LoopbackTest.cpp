// The simulated device's loopback: what its OUT endpoint receives comes out
// of its IN endpoint in that endpoint's format, frame by frame, from the
// start of each stream.
#include <gtest/gtest.h>

#include "sim/device/IsoStreams.h"

namespace {

TEST(LoopbackTest, ReceivedFramesPlayBackInTheInputsFormat) {
  auto loopback = std::make_shared<sim::IsoLoopback>();
  sim::IsoSink sink;
  sim::IsoSource source;
  sink.SetLoopback(loopback);
  source.SetLoopback(loopback);
  const sim::EndpointTiming timing{200, 1, 1000};
  sink.Start({48000, 2, 2, 16}, timing);
  // A mono 24-bit input takes each frame's first channel.
  source.Start({48000, 1, 3, 24}, timing);

  std::vector<uint8_t> packet(48 * 4);
  for (size_t f = 0; f < 48; ++f) {
    sim::EncodeSample((static_cast<double>(f) - 24) / 32, &packet[f * 4], 2, false);
    sim::EncodeSample(0.5, &packet[f * 4 + 2], 2, false);
  }
  sink.OnPacket(1, packet.data(), static_cast<uint32_t>(packet.size()));
  std::vector<uint8_t> in(200, 0xEE);
  ASSERT_EQ(source.Fill(1, in.data(), 200, nullptr), 48u * 3);
  for (size_t f = 0; f < 48; ++f)
    EXPECT_EQ(sim::DecodeSample(&in[f * 3], 3, false), (static_cast<double>(f) - 24) / 32) << f;
  // Nothing received: silence.
  ASSERT_EQ(source.Fill(2, in.data(), 200, nullptr), 48u * 3);
  EXPECT_EQ(in[0], 0);
  EXPECT_EQ(in[47 * 3 + 2], 0);

  // A new stream does not replay what the last one left behind.
  sink.OnPacket(3, packet.data(), static_cast<uint32_t>(packet.size()));
  sink.Stop();
  sink.Start({48000, 2, 2, 16}, timing);
  ASSERT_EQ(source.Fill(4, in.data(), 200, nullptr), 48u * 3);
  EXPECT_EQ(sim::DecodeSample(&in[0], 3, false), 0.0);
}

}  // namespace
