// The render pipes: packet sizes that carry the rate exactly, the active
// client's data reaching the device byte for byte, the product pipe's
// limiter and two-channel device stream, positions, and recovery from a
// failed packet.
#include <gtest/gtest.h>

#include "streaming/CUac1Render.h"
#include "tests/streaming/support/PipeRig.h"
#include "tests/support/KernelTest.h"

namespace {

using pipetest::Pcm;
using pipetest::PipeRig;
using pipetest::RigClient;
using pipetest::RunFramesUntil;

constexpr ULONG kRender = sim::headset::kRenderInterface;

// ---- Packet layout --------------------------------------------------------------------------

struct LayoutCase {
  ULONG rate, packetsPerMs, packets, blockAlign;
  std::vector<ULONG> frames;  // frames of each packet of the first URB
  LONG accumulatorAfter;
};

TEST(RenderPacketLayout, PacketsCarryTheRateExactly) {
  const std::vector<LayoutCase> cases = {
      {48000, 1, 10, 4, std::vector<ULONG>(10, 48), 0},
      {44100, 1, 10, 4, {44, 44, 44, 44, 44, 44, 44, 44, 44, 45}, 0},
      {22050, 1, 10, 2, std::vector<ULONG>(10, 22), 500},
      // High speed: 44.1 frames per millisecond in 5- and 6-frame packets.
      {44100, 8, 8, 4, {5, 6, 5, 6, 5, 6, 5, 6}, 800},
  };
  for (const LayoutCase& c : cases) {
    const ULONG divisor = c.packetsPerMs * 1000;
    const ULONG base = c.rate / divisor;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> iso(c.packets);
    LONG accumulator = 0;
    const ULONG total = CUac1Render::LayOutPackets(iso.data(), c.packets, base, c.rate - base * divisor, divisor,
                                                   c.blockAlign, &accumulator);
    ULONG offset = 0, frames = 0;
    for (ULONG i = 0; i < c.packets; ++i) {
      EXPECT_EQ(iso[i].Offset, offset) << c.rate << " packet " << i;
      EXPECT_EQ(iso[i].Length, c.frames[i] * c.blockAlign) << c.rate << " packet " << i;
      offset += iso[i].Length;
      frames += c.frames[i];
    }
    EXPECT_EQ(total, frames * c.blockAlign) << c.rate;
    EXPECT_EQ(accumulator, c.accumulatorAfter) << c.rate;
  }

  // Over a second, carried from URB to URB, every rate comes out exact.
  for (ULONG rate : {44100u, 22050u, 11025u, 48000u, 96000u}) {
    for (ULONG packetsPerMs : {1u, 8u}) {
      const ULONG divisor = packetsPerMs * 1000, base = rate / divisor;
      std::vector<USBD_ISO_PACKET_DESCRIPTOR> iso(10 * packetsPerMs);
      LONG accumulator = 0;
      ULONG64 bytes = 0;
      for (int urb = 0; urb < 100; ++urb)
        bytes += CUac1Render::LayOutPackets(iso.data(), static_cast<ULONG>(iso.size()), base, rate - base * divisor,
                                            divisor, 1, &accumulator);
      EXPECT_EQ(bytes, rate) << rate << " Hz, " << packetsPerMs << " packets/ms";
    }
  }
}

TEST(RenderPacketLayout, TwoChannelCompactionKeepsChannelsZeroAndOne) {
  // Eight 16-bit channels: sample value = frame * 16 + channel.
  std::vector<uint16_t> samples(3 * 8);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>((i / 8) * 16 + i % 8);
  WAVEFORMATEX eight = Pcm(8, 48000, 16).Format;
  EXPECT_EQ(CTQ4187Render::CompactToTwoChannels(reinterpret_cast<PUCHAR>(samples.data()), 3, eight), 12u);
  EXPECT_EQ(std::vector<uint16_t>(samples.begin(), samples.begin() + 6), (std::vector<uint16_t>{0, 1, 16, 17, 32, 33}));

  // 24-bit in three bytes, six channels: six bytes of each frame move.
  std::vector<UCHAR> packed(2 * 18);
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<UCHAR>(i);
  WAVEFORMATEX six = Pcm(6, 48000, 24).Format;
  EXPECT_EQ(CTQ4187Render::CompactToTwoChannels(packed.data(), 2, six), 12u);
  EXPECT_EQ(std::vector<UCHAR>(packed.begin(), packed.begin() + 12),
            (std::vector<UCHAR>{0, 1, 2, 3, 4, 5, 18, 19, 20, 21, 22, 23}));

  // One channel: nothing to drop.
  std::vector<UCHAR> mono = {1, 2, 3, 4};
  EXPECT_EQ(CTQ4187Render::CompactToTwoChannels(mono.data(), 2, Pcm(1, 48000, 16).Format), 4u);
  EXPECT_EQ(mono, (std::vector<UCHAR>{1, 2, 3, 4}));
}

// ---- On the simulated headset ------------------------------------------------------------------

class RenderPipeTest : public testsupport::KernelTest {};

// The ramp as the client wrote it: sample i is i.
sim::Bytes Ramp(size_t samples, uint16_t first = 0) {
  sim::Bytes bytes(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    bytes[2 * i] = static_cast<UCHAR>(first + i);
    bytes[2 * i + 1] = static_cast<UCHAR>((first + i) >> 8);
  }
  return bytes;
}

TEST_F(RenderPipeTest, ClientRampReachesTheDeviceByteExactIn441FrameUrbs) {
  PipeRig rig;
  auto* engine = rig.MakeEngine<CUac1Render>(kRender, STREAM_DIRECTION_RENDER, {Pcm(2, 44100, 16)});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, Pcm(2, 44100, 16), 10, 3);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  ULONG frame = 0;
  ASSERT_EQ(client.Prepare(&frame), STATUS_SUCCESS);
  EXPECT_NE(frame, 0u);
  EXPECT_EQ(rig.Device().SamplingRate(sim::headset::kRenderEndpoint), 44100u);
  EXPECT_EQ(rig.Owner()->Busy(), 1);
  ASSERT_EQ(client.Start(frame + 2), STATUS_SUCCESS);

  sim::IsoSink& sink = rig.Device().Sink(sim::headset::kRenderEndpoint);
  ASSERT_TRUE(RunFramesUntil([&] { return sink.GetStats().frames >= 44100 / 5; }));
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);

  // Every URB: nine packets of 44 frames, then one of 45.
  const std::vector<sim::IsoSink::Packet> packets = sink.Packets();
  ASSERT_GE(packets.size(), 200u);
  for (size_t i = 0; i < packets.size(); ++i) ASSERT_EQ(packets[i].bytes, i % 10 == 9 ? 180u : 176u) << i;
  EXPECT_EQ(sink.GetStats().gaps, 0u);
  EXPECT_EQ(sink.GetStats().partialFrames, 0u);

  const sim::Bytes data = sink.Data();
  EXPECT_EQ(data, Ramp(data.size() / 2));
  // Each completed URB reported the bytes it carried: 441 frames.
  ULONG positions = 0;
  for (const pipetest::Seen& seen : client.Notifications())
    if (seen.command == CYCLIC_COMMAND_POSITION) {
      EXPECT_EQ(seen.value, 1764u);
      ++positions;
    }
  EXPECT_GE(positions * 1764u, data.size());
  EXPECT_EQ(client.Unprepare(), STATUS_SUCCESS);
  EXPECT_EQ(rig.Owner()->Busy(), 0);
  EXPECT_EQ(rig.Device().AlternateSetting(kRender), 0);
}

TEST_F(RenderPipeTest, ProductPipeProcessesLimitsAndSendsChannelsZeroAndOne) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE eight = Pcm(8, 48000, 16);
  // The signal path halves channel 1.
  auto* halveOne = new (NonPagedPool, pipetest::kRigTag) pipetest::ScaleProcessor({1.0f, 0.5f});
  halveOne->NonDelegatingAddRef();
  auto* engine = rig.MakeEngine<CTQ4187Render>(kRender, STREAM_DIRECTION_RENDER, {eight}, halveOne);
  halveOne->NonDelegatingRelease();
  RigClient client(engine, CYCLIC_CLIENT_WAVE, eight, 10, 3);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  sim::IsoSink& sink = rig.Device().Sink(sim::headset::kRenderEndpoint);
  ASSERT_TRUE(RunFramesUntil([&] { return sink.GetStats().frames >= 4800; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

  // 48 two-channel frames in every packet.
  for (const sim::IsoSink::Packet& packet : sink.Packets()) ASSERT_EQ(packet.bytes, 192u);
  EXPECT_EQ(sink.GetStats().gaps, 0u);
  // The client wrote sample f * 8 + c into channel c of frame f; the signal
  // path halved channel 1 (toward zero); the limiter (unity gain, nothing
  // above full scale) hands every sample back 256 frames later, silence
  // first; the device gets channels 0 and 1.
  const sim::Bytes data = sink.Data();
  ASSERT_GE(data.size(), 4800u * 4);
  const size_t frames = data.size() / 4;
  size_t wrong = 0;
  for (size_t f = 0; f < frames; ++f) {
    for (size_t c = 0; c < 2; ++c) {
      const uint16_t got = static_cast<uint16_t>(data[4 * f + 2 * c] | data[4 * f + 2 * c + 1] << 8);
      const int16_t sent = static_cast<int16_t>(f < 256 ? 0 : (f - 256) * 8 + c);
      const uint16_t want = static_cast<uint16_t>(c == 1 ? sent / 2 : sent);
      if (got != want && wrong++ < 5)
        ADD_FAILURE() << "frame " << f << " channel " << c << ": " << got << " != " << want;
    }
  }
  EXPECT_EQ(wrong, 0u);
  // Positions count the stream format's bytes: 480 frames of 16 bytes.
  for (const pipetest::Seen& seen : client.Notifications()) {
    if (seen.command == CYCLIC_COMMAND_POSITION) {
      EXPECT_EQ(seen.value, 7680u);
    } else if (seen.command == CYCLIC_COMMAND_RENDER_FILL) {
      EXPECT_EQ(seen.length, 7680u);
    }
  }
}

TEST_F(RenderPipeTest, FailedPacketSendsTheEngineIntoOneRecovery) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE stereo = Pcm(2, 48000, 16);
  auto* engine = rig.MakeEngine<CTQ4187Render>(kRender, STREAM_DIRECTION_RENDER, {stereo});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, stereo, 10, 3);
  // The fourth packet of the third URB fails on the bus.
  rig.Device().AddIsoFault({sim::headset::kRenderEndpoint, USBD_STATUS_XACT_ERROR, 23, 1, 1});
  platform::debug::Clear();
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  sim::IsoSink& sink = rig.Device().Sink(sim::headset::kRenderEndpoint);
  // Recovery waits 100 ms, selects the setting again and streams on.
  ASSERT_TRUE(RunFramesUntil([&] { return sink.GetStats().starts >= 2 && sink.GetStats().packets >= 60; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

  char expected[64];
  std::snprintf(expected, sizeof expected, "Idx = 3, Status = %x\n", static_cast<unsigned>(USBD_STATUS_XACT_ERROR));
  size_t indexLines = 0, recoveries = 0, transferLines = 0;
  for (const std::string& line : platform::debug::Lines()) {
    indexLines += line == expected;
    transferLines += line.rfind("Transfer Error ntStatus = 0, URB Status = ", 0) == 0;
    recoveries += line.rfind("Error_ErrorOccur, m_StreamState", 0) == 0;
  }
  EXPECT_EQ(indexLines, 1u);
  EXPECT_EQ(transferLines, 1u);
  EXPECT_EQ(recoveries, 1u);
  EXPECT_TRUE(platform::debug::Contains("Error_ErrorOccur ntStatus = 0\n"));
  EXPECT_EQ(rig.Owner()->PortCycles(), 0u);
  // The client heard of the restart.
  EXPECT_EQ(client.FormatChanges(), 2u);  // the start and the recovery
  // The failed packet's bytes never reached the device: its URB moved the
  // position by the other nine packets only.
  std::vector<ULONG> positions;
  for (const pipetest::Seen& seen : client.Notifications())
    if (seen.command == CYCLIC_COMMAND_POSITION && seen.value != 1920u) positions.push_back(seen.value);
  EXPECT_EQ(positions, std::vector<ULONG>{9 * 192u});
}

TEST_F(RenderPipeTest, UnpluggedDeviceEndsTheSendsAndTheEngineStillCloses) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE stereo = Pcm(2, 48000, 16);
  auto* engine = rig.MakeEngine<CUac1Render>(kRender, STREAM_DIRECTION_RENDER, {stereo});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, stereo, 10, 3);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  ASSERT_TRUE(RunFramesUntil([&] { return client.PositionBytes() >= 3 * 1920; }));

  rig.Owner()->SetRemoved(TRUE);
  rig.Port().Unplug();
  ASSERT_TRUE(RunFramesUntil([&] { return engine->GetOutstandingUrbs() == 0; }));
  const ULONG64 reported = client.PositionBytes();
  pipetest::RunFramesUntil([] { return false; }, 200);
  // Nothing more was sent, so nothing more completed.
  EXPECT_EQ(client.PositionBytes(), reported);
  EXPECT_EQ(engine->GetOutstandingUrbs(), 0);
  EXPECT_EQ(rig.Owner()->PortCycles(), 0u);
  EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
  // Closing a removed device succeeds although the device no longer answers.
  EXPECT_EQ(client.Unprepare(), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
}

}  // namespace
