// headset-host's play and record when the stream cannot go on: a device
// whose endpoint cannot stream, one whose transfers all fail, one pulled
// mid-stream. Each ends within bounded time on the manual clock with a
// status and words that name the fault, and the rest of the device still
// answers.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/device/DefaultHeadset.h"
#include "sim/device/MalformedDescriptors.h"
#include "sim/host/TopologyView.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/streams.h"
#include "usb/usbaudio.h"

namespace {

// How a play or record through headset-host ended.
struct StreamEnd {
  NTSTATUS status = STATUS_SUCCESS;
  std::string failure;  // in words
  std::string text;     // the report
  LONGLONG clockMs = 0;
};

class StreamFaultsTest : public toolstest::ToolsTest {
 protected:
  // Plays (a stereo tone) or records `seconds` as headset-host does.
  static StreamEnd Stream(sim::host::RunningDriver& driver, bool render, double seconds) {
    StreamEnd end;
    end.clockMs = ClockMs([&] {
      if (render) {
        const tools::PlayReport r = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, seconds, 0.25), false);
        end.status = r.status, end.failure = r.failure, end.text = r.text;
      } else {
        const tools::RecordReport r = tools::Record(driver, seconds, 1000.0, false);
        end.status = r.status, end.failure = r.failure, end.text = r.text;
      }
    });
    return end;
  }

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
    const StreamEnd end = Stream(driver, c.render, 2.0);
    EXPECT_EQ(end.status, c.status) << end.text;
    EXPECT_NE(end.failure.find(c.named), std::string::npos) << end.failure;
    // Ended well before the two seconds the stream was to last.
    EXPECT_LT(end.clockMs, 1500);
  }
}

// Packets the device never got are audio it never played: a play with
// breaks in its packet stream fails and says how many were lost, though the
// stream itself succeeded. In real time a host that falls behind the bus
// makes such breaks; the manual clock shows the same verdict repeatably.
TEST_F(StreamFaultsTest, APlayWhoseDeviceMissedPacketsFailsAndCountsThem) {
  for (const bool realtime : {false, true}) {
    SCOPED_TRACE(realtime ? "real time" : "manual clock");
    platform::registry::Reset();
    platform::clock::SetMode(realtime ? platform::clock::Mode::RealTime : platform::clock::Mode::Manual);
    tools::PlayReport r;
    {
      sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
      ASSERT_TRUE(driver.Started());
      driver.Device().AddIsoFault({sim::headset::kRenderEndpoint, USBD_STATUS_XACT_ERROR, 100, 3, 1});
      r = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, 0.3, 0.25), realtime);
    }
    platform::clock::SetMode(platform::clock::Mode::Manual);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.text;
    EXPECT_GE(r.missedPackets, 3u) << r.text;
    const std::string fault = tools::PlayFault(r);
    EXPECT_EQ(fault.rfind("the device missed ", 0), 0u) << fault;
    EXPECT_NE(fault.find(" in its packet stream: that audio never reached it"), std::string::npos) << fault;
  }
}

// Every isochronous packet status and the class requests a stream makes
// (the sampling frequency at open and at each recovery, the unit reads a
// status word brings) failing while the headset plays or records: each
// stream ends in recovery (it plays to its end) or in a clean error with
// words, well within bounded time, and the next stream plays.
TEST_F(StreamFaultsTest, UsbFaultsDuringStreamingEndInRecoveryOrACleanErrorInBoundedTime) {
  struct Row {
    std::string name;
    bool render;
    std::function<void(sim::SimDevice&)> fault;
    bool mustFail;  // a fault no recovery can get past
  };
  std::vector<Row> rows;
  const USBD_STATUS isoStatuses[] = {
      USBD_STATUS_CRC, USBD_STATUS_BTSTUFF, USBD_STATUS_DATA_TOGGLE_MISMATCH, USBD_STATUS_STALL_PID,
      USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_PID_CHECK_FAILURE, USBD_STATUS_UNEXPECTED_PID,
      USBD_STATUS_DATA_OVERRUN, USBD_STATUS_DATA_UNDERRUN, USBD_STATUS_BUFFER_OVERRUN, USBD_STATUS_BUFFER_UNDERRUN,
      USBD_STATUS_NOT_ACCESSED, USBD_STATUS_FIFO, USBD_STATUS_XACT_ERROR, USBD_STATUS_BABBLE_DETECTED,
      USBD_STATUS_DATA_BUFFER_ERROR, USBD_STATUS_ISOCH_REQUEST_FAILED, USBD_STATUS_BAD_START_FRAME,
      USBD_STATUS_TIMEOUT};
  struct Pattern {
    const char* name;
    uint64_t count;
  };
  // One packet, a burst over two transfers, and every packet from then on.
  const Pattern patterns[] = {{"one packet", 1}, {"8 packets", 8}, {"every packet", UINT64_MAX}};
  for (bool render : {true, false}) {
    const uint8_t endpoint = render ? sim::headset::kRenderEndpoint : sim::headset::kCaptureEndpoint;
    for (USBD_STATUS status : isoStatuses) {
      for (const Pattern& p : patterns) {
        char name[96];
        std::snprintf(name, sizeof name, "%s, %s fails with 0x%08X", render ? "play" : "record", p.name,
                      static_cast<unsigned>(status));
        rows.push_back({name, render,
                        [endpoint, status, p](sim::SimDevice& d) {
                          d.AddIsoFault({endpoint, status, 40, p.count, 1});
                        },
                        p.count == UINT64_MAX});
      }
    }
    const uint8_t unit = render ? sim::headset::kRenderFeatureUnit : sim::headset::kMicFeatureUnit;
    const std::pair<const char*, sim::RequestMatch> requests[] = {
        {"the sampling frequency", sim::RequestMatch::ClassToEndpoint(endpoint)},
        {"a unit read after a status word", sim::RequestMatch::ClassToUnit(unit, USB_AUDIO_GET_CUR)}};
    const std::pair<const char*, sim::FaultAction> actions[] = {{"stalls", sim::FaultAction::Stall},
                                                                {"times out", sim::FaultAction::Timeout},
                                                                {"replies short", sim::FaultAction::ShortReply}};
    for (const auto& [what, match] : requests) {
      for (const auto& [how, action] : actions) {
        rows.push_back({std::string(render ? "play, " : "record, ") + what + " " + how, render,
                        [match, action, unit](sim::SimDevice& d) {
                          sim::ControlFault f;
                          f.match = match;
                          f.action = action;
                          f.length = 1;
                          d.AddFault(f);
                          // The device changes a control by itself as the
                          // stream starts, and says so.
                          d.SetControlValue(unit, USB_AUDIO_FU_MUTE_CONTROL, 0, {1}, true);
                        },
                        false});
      }
    }
  }

  size_t recovered = 0, failedCleanly = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform::registry::Reset();
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_TRUE(driver.Started());
    row.fault(driver.Device());
    const StreamEnd end = Stream(driver, row.render, 0.5);
    // Half a second of audio, a few recoveries of a tenth each, a request
    // or two waiting out their half second.
    EXPECT_LT(end.clockMs, 2500);
    if (NT_SUCCESS(end.status)) {
      EXPECT_FALSE(row.mustFail);
      ++recovered;
    } else {
      EXPECT_FALSE(end.failure.empty());
      if (row.mustFail) {
        EXPECT_EQ(end.status, STATUS_IO_DEVICE_ERROR) << end.failure;
      }
      ++failedCleanly;
    }
    // With the fault gone the next stream plays.
    driver.Device().ClearFaults();
    EXPECT_EQ(Stream(driver, row.render, 0.05).status, STATUS_SUCCESS);
  }
  std::printf("USB fault kinds: %zu, recovered: %zu, clean errors: %zu\n", rows.size(), recovered, failedCleanly);
}

}  // namespace
