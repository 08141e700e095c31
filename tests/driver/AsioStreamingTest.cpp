// ASIO streaming end to end: the embedded VZR417 interface started through
// the chip-identifying factory (the generic model marks its engines
// ASIO-capable), its output looped back to its input, and the host
// stand-in streaming through the real USB stream engines.
#include <cmath>
#include <numbers>

#include "sim/device/Vzr417Interface.h"
#include "sim/host/AsioHost.h"
#include "sim/host/RunningDriver.h"
#include "tests/driver/DriverHarness.h"

namespace {

using drivertest::DriverHarness;
using sim::host::AsioHost;
using sim::host::AsioStreamOptions;
using sim::host::AsioStreamReport;

size_t Outstanding(ULONG tag) {
  for (const auto& usage : platform::pool::Outstanding())
    if (usage.tag == tag) return usage.allocations;
  return 0;
}

class AsioStreamingTest : public DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    Plug(sim::vzr417::Descriptors(), sim::vzr417::Profile());
    ASSERT_EQ(sim::host::ChooseModelFactory(Pdo(), AudioHalChoice::ChipIdentifying), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().LoopBack(sim::vzr417::kRenderEndpoint, sim::vzr417::kCaptureEndpoint);
  }
  // Every kernel thread done with what the last millisecond gave it, so
  // that counts of what they hold can be compared.
  void Quiet() {
    Settle();
    platform::clock::Advance(0);
  }
};

TEST_F(AsioStreamingTest, TenSecondsAtTheSmallestLatencyFromEitherWidthLeaveNothingBehind) {
  for (bool is32bit : {false, true}) {
    SCOPED_TRACE(is32bit ? "32-bit host" : "64-bit host");
    Quiet();
    const size_t registrations = Outstanding(platform::callback::kRegistrationTag);
    const size_t handles = platform::ob::HandleCount();
    const size_t records = Outstanding(USB_DEVICE_DATA_TAG);
    AsioStreamReport r;
    {
      AsioHost host(is32bit);
      ASSERT_EQ(host.Open(), STATUS_SUCCESS);
      std::string name;
      ASSERT_EQ(host.DriverName(&name), STATUS_SUCCESS);
      EXPECT_EQ(name, "VZR417 Audio Interface");
      ASSERT_EQ(host.SetLatencyIndex(0), STATUS_SUCCESS);
      r = RunAsioStream(host, AsioStreamOptions{10.0});
      ASSERT_EQ(r.status, STATUS_SUCCESS) << r.failedStep;
      EXPECT_EQ(host.Mappings(), 0u);
      EXPECT_EQ(host.Close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(r.bufferFrames, 96u);
    EXPECT_EQ(r.latencies.Input, 96u);
    EXPECT_EQ(r.latencies.Output, 192u);
    // One switch per 1 ms transfer of the input, none of them missed.
    EXPECT_GE(r.switches, 9990u);
    EXPECT_LE(r.switches, 10000u);
    EXPECT_EQ(r.missed, 0u);
    EXPECT_GE(r.framesRead, 479000u);
    // Output and input start together: the round trip is the render lead,
    // the transfers in flight and the device's turnaround, a few ms.
    EXPECT_GT(r.roundTripFrames, 96);
    EXPECT_LT(r.roundTripFrames, 48 * 10);
    Quiet();
    for (ULONG i = 0; i < DeviceObject()->GetAsioEngineCount(); ++i)
      EXPECT_EQ(DeviceObject()->GetAsioEngineEntry(i)->Client, nullptr) << i;
    EXPECT_EQ(Outstanding(platform::callback::kRegistrationTag), registrations);
    EXPECT_EQ(platform::ob::HandleCount(), handles);
    EXPECT_EQ(Outstanding(USB_DEVICE_DATA_TAG), records);
  }
}

TEST_F(AsioStreamingTest, RingsCarryTheHostsFramesToTheDeviceAndBackInOrder) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  ASSERT_EQ(host.SetLatencyIndex(4), STATUS_SUCCESS);
  const AsioStreamReport r = RunAsioStream(host, AsioStreamOptions{0.5});
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.failedStep;
  // After the silence of the lead, the device's endpoint received the
  // tone frame by frame, exactly as the host wrote it.
  const std::vector<double> received = Device().Sink(sim::vzr417::kRenderEndpoint).ChannelSamples(0);
  size_t onset = 0;
  while (onset < received.size() && received[onset] == 0) ++onset;
  ASSERT_LT(onset + 1000, received.size());
  for (size_t n = 0; n < 1000; ++n) {
    UCHAR expected[2];
    sim::host::EncodeAsioSample(0.5 * std::cos(2 * std::numbers::pi * 1000.0 * n / 48000), 16, expected);
    ASSERT_EQ(received[onset + n], sim::DecodeSample(expected, 2, false)) << n;
  }
  EXPECT_EQ(r.roundTripFrames > 0, true);

  // The input side: a counter in every sample shows each captured frame
  // once and in order.
  Device().Source(sim::vzr417::kCaptureEndpoint).SetRamp();
  const AsioStreamReport ramp = RunAsioStream(host, AsioStreamOptions{0.5});
  ASSERT_EQ(ramp.status, STATUS_SUCCESS) << ramp.failedStep;
  const auto& bytes = ramp.recording.samples;
  size_t first = 0;
  while (first + 4 <= bytes.size() && bytes[first] == 0 && bytes[first + 1] == 0) first += 4;
  ASSERT_LT(first + 4 * 1000, bytes.size());
  for (size_t at = first + 4; at + 4 <= bytes.size(); at += 4) {
    const uint16_t previous = static_cast<uint16_t>(bytes[at - 4] | bytes[at - 3] << 8);
    const uint16_t now = static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    ASSERT_EQ(static_cast<uint16_t>(previous + 2), now) << (at - first) / 4;
  }
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

TEST_F(AsioStreamingTest, SurpriseRemovalWhileStreamingEndsTheStreamCleanly) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  std::vector<sim::host::AsioBlockView> blocks;
  ASSERT_EQ(host.CreateBuffers({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, 480, &blocks), STATUS_SUCCESS);
  sim::host::UserEvent bufferSwitch;
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  platform::clock::AdvanceMs(50);
  EXPECT_GT(blocks[1].header->Transfers, 20u);

  NTSTATUS removed = STATUS_PENDING;
  ASSERT_TRUE(sim::host::RunWhileTimePasses([&] { removed = SurpriseRemove(); }));
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(host.Mappings(), 0u);
  for (ULONG i = 0; i < DeviceObject()->GetAsioEngineCount(); ++i)
    EXPECT_EQ(DeviceObject()->GetAsioEngineEntry(i)->Client, nullptr) << i;
  EXPECT_EQ(host.Stop(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.DisposeBuffers(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

}  // namespace
