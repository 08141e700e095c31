// headset-host's play and record when the stream cannot go on: a device
// whose endpoint cannot stream, one whose transfers all fail, one pulled
// mid-stream. Each ends within bounded time on the manual clock with a
// status and words that name the fault, and the rest of the device still
// answers.
#include <gtest/gtest.h>

#include "sim/device/DefaultHeadset.h"
#include "sim/device/MalformedDescriptors.h"
#include "sim/host/TopologyView.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/streams.h"

namespace {

class StreamFaultsTest : public toolstest::ToolsTest {
 protected:
  // Manual-clock milliseconds `work` took.
  static LONGLONG ClockMs(const std::function<void()>& work) {
    const LONGLONG before = platform::clock::Now();
    work();
    return (platform::clock::Now() - before) / 10000;
  }
};

TEST_F(StreamFaultsTest, EndpointsThatCannotStreamOfferNoFormatAndTheRestOfTheDeviceWorks) {
  struct Case {
    const char* name;
    const char* named;  // what the message says of the endpoint
  };
  const Case cases[] = {{"ZeroMaxPacketSize", "takes 0-byte packets"},
                        {"MaxPacketSizeBelowOneFrame", "takes 100-byte packets; a millisecond of 2 ch 16-bit 48000 Hz needs 192"},
                        {"BulkStreamingEndpoint", "is a bulk endpoint, not isochronous"},
                        {"StreamingWithoutIsoEndpoint", "has no endpoint"}};
  for (const Case& c : cases) {
    const std::string name = c.name;
    SCOPED_TRACE(name);
    platform::registry::Reset();
    sim::DescriptorSet set;
    for (const auto& entry : sim::malformed::Catalogue())
      if (entry.name == name) set = entry.build();
    sim::host::RunningDriver driver(set, sim::DefaultProfile());
    ASSERT_TRUE(driver.Started()) << std::hex << driver.startStatus;
    tools::PlayReport r;
    const LONGLONG ms = ClockMs([&] { r = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, 0.2, 0.25), false); });
    EXPECT_FALSE(NT_SUCCESS(r.status)) << r.text;
    EXPECT_LT(ms, 2000);
    EXPECT_NE(r.failure.find(c.named), std::string::npos) << r.failure;
    EXPECT_EQ(driver.Device().IsoPackets(), 0u);
    // The controls still answer.
    sim::host::FilterHandle* topology = driver.Topology();
    ASSERT_NE(topology, nullptr);
    std::string out, error;
    EXPECT_TRUE(tools::GetControls(topology, sim::host::ViewTopology(topology), {"mute"}, false, &out, &error))
        << error;
  }
}

TEST_F(StreamFaultsTest, PlayAndRecordThatEndEarlyFailAndSayWhy) {
  struct Case {
    const char* name;
    bool render;
    std::function<void(sim::SimDevice&)> fault;
    NTSTATUS status;
    const char* named;
  };
  const auto everyPacket = [](uint8_t endpoint) {
    return [endpoint](sim::SimDevice& d) {
      sim::IsoFault f;
      f.endpoint = endpoint;
      f.count = UINT64_MAX;
      d.AddIsoFault(f);
    };
  };
  const auto unplugSoon = [](sim::SimDevice& d) { d.UnplugAfterIsoPackets(100); };
  const Case cases[] = {
      {"every OUT packet fails", true, everyPacket(sim::headset::kRenderEndpoint), STATUS_IO_DEVICE_ERROR,
       "failed every transfer"},
      {"every IN packet fails", false, everyPacket(sim::headset::kCaptureEndpoint), STATUS_IO_DEVICE_ERROR,
       "failed every transfer"},
      {"unplugged while playing", true, unplugSoon, STATUS_DEVICE_NOT_CONNECTED, "removed"},
      {"unplugged while recording", false, unplugSoon, STATUS_DEVICE_NOT_CONNECTED, "removed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_TRUE(driver.Started());
    c.fault(driver.Device());
    NTSTATUS status = STATUS_SUCCESS;
    std::string failure, text;
    const LONGLONG ms = ClockMs([&] {
      if (c.render) {
        const tools::PlayReport r = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, 2.0, 0.25), false);
        status = r.status, failure = r.failure, text = r.text;
      } else {
        const tools::RecordReport r = tools::Record(driver, 2.0, 1000.0, false);
        status = r.status, failure = r.failure, text = r.text;
      }
    });
    EXPECT_EQ(status, c.status) << text;
    EXPECT_NE(failure.find(c.named), std::string::npos) << failure;
    // Ended well before the two seconds the stream was to last.
    EXPECT_LT(ms, 1500);
  }
}

}  // namespace
