// headset-host on the embedded Audio Class 2.0 headset, started through the
// chip-identifying factory: the 2.0 descriptors and the model's clock in
// `info`, volume in RANGE-derived steps through `get` and `set`, `play`
// reporting the feedback, packet sizes and buffer level, `record`, and
// `events` for clocks and connectors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/DescriptorDump.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/device/Uac2Headset.h"
#include "tests/tools/ToolsTest.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "tools/controls.h"
#include "tools/driverinfo.h"
#include "tools/streams.h"
#include "tools/uac2events.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/usbaudio.h"

namespace {

namespace headset = sim::uac2headset;
using sim::host::RunningDriver;

class Uac2HostTest : public toolstest::ToolsTest {
 protected:
  struct Live {
    explicit Live(platform::usb::Speed speed = platform::usb::Speed::High)
        : driver(headset::Descriptors(speed), headset::Profile(speed), CreateMiniportWaveCyclic, speed,
                 AudioHalChoice::ChipIdentifying) {
      EXPECT_EQ(driver.startStatus, STATUS_SUCCESS);
      if (driver.Topology())
        view = sim::host::ViewTopology(driver.Topology()->Name(), driver.Topology()->Descriptor());
    }
    sim::Uac2Device& Device() { return static_cast<sim::Uac2Device&>(driver.Device()); }
    RunningDriver driver;
    sim::host::TopologyView view;
  };
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Uac2HostTest, InfoShowsTheClassDescriptorsAndTheModelsClock) {
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice("uac2");
  ASSERT_NE(device, nullptr);
  const std::string dump = sim::DumpDescriptors(device->descriptors());
  for (const char* line : {"bDescriptorSubtype     10 (CLOCK_SOURCE)", "bmAttributes            3 Internal programmable clock",
                           "bCSourceID              9", "bDescriptorSubtype      6 (FEATURE_UNIT)",
                           "bDescriptorSubtype      1 (AS_GENERAL)", "bmFormats          0x00000001",
                           "bSubslotSize            2"})
    EXPECT_TRUE(Has(dump, line)) << line << "\n" << dump;
  const tools::DriverReport report =
      tools::RunDriver(device->descriptors(), device->profile(), device->speed, device->factory);
  ASSERT_EQ(report.start, STATUS_SUCCESS);
  for (const char* line : {"unit 9 clock source", "node 0 clock, sources none: rates 44100 48000 88200 96000 176400 "
                                                  "192000, valid",
                           "unit 3 output terminal (type 0x0302), clock 9",
                           "2 ch 192000 Hz 24 bit (24 valid) mask 0x3 PCM, alternate setting 2"})
    EXPECT_TRUE(Has(report.model, line)) << line << "\n" << report.model;
}

TEST_F(Uac2HostTest, InfoMarksWhatTheSimulationAssumes) {
  // A speaker known only by its descriptors, its clock's frequency control
  // read-only: the clock is fixed at one rate, and the ranges and start
  // values the simulation had to guess are each marked.
  uac2test::SmallDevice speaker = uac2test::Speaker();
  speaker.units[0] = uac2test::ClockSource(9, 0x05);
  sim::DeviceProfile guessed = sim::DefaultProfile();
  guessed.assumed = true;
  const tools::DriverReport report =
      tools::RunDriver(uac2test::Build(speaker), guessed, platform::usb::Speed::High, AudioHalChoice::ChipIdentifying);
  ASSERT_EQ(report.start, STATUS_SUCCESS);
  EXPECT_TRUE(Has(report.model, "node 0 clock, sources none: rates 48000, valid")) << report.model;
  const std::string text = tools::DescribeDriver(report);
  for (const char* line :
       {"assumed by the simulation (the descriptors do not say):\n  clock 9 fixed at 48000 Hz (assumed)",
        "  feature unit 2 mute 0 .. 1 step 1, 0 at start (assumed)",
        "  feature unit 2 volume -60.00 dB .. 0.00 dB step 0.50 dB, -12.00 dB at start (assumed)"})
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  EXPECT_TRUE(Has(tools::DriverJson(report), "\"assumed\": [\"clock 9 fixed at 48000 Hz\","))
      << tools::DriverJson(report);
  // A programmable clock's rates are the guess; the embedded device's own
  // answers are none.
  speaker.units[0] = uac2test::ClockSource(9);
  EXPECT_TRUE(Has(tools::DescribeDriver(tools::RunDriver(uac2test::Build(speaker), guessed, platform::usb::Speed::High,
                                                         AudioHalChoice::ChipIdentifying)),
                  "  clock 9 rates 44100 48000 88200 96000 176400 192000, 48000 Hz at start (assumed)"));
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice("uac2");
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(Has(
      tools::DescribeDriver(tools::RunDriver(device->descriptors(), device->profile(), device->speed, device->factory)),
      "assumed"));
}

TEST_F(Uac2HostTest, VolumeStepsComeFromTheDevicesRange) {
  Live live;
  std::string out, error;
  // The microphone's volume on the capture path, the headphones' on the
  // render path.
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"volume"}, false, &out, &error, true)) << error;
  EXPECT_TRUE(Has(out, "0.00 dB  [-20.00 dB .. 30.00 dB, step 1.00 dB]")) << out;
  out.clear();
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"volume"}, false, &out, &error)) << error;
  EXPECT_TRUE(Has(out, "-12.00 dB, -12.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]")) << out;
  out.clear();
  ASSERT_TRUE(tools::SetControl(live.driver.Topology(), live.view, "volume", "-6.3dB", -1, false, &out, &error))
      << error;
  // The device gets the level on a half-decibel step of its range.
  for (uint8_t channel : {1, 2}) {
    const sim::Bytes wire =
        live.Device().EntityControl(headset::kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL, channel);
    ASSERT_EQ(wire.size(), 2u);
    const int value = static_cast<int16_t>(wire[0] | wire[1] << 8);
    EXPECT_EQ(value % 0x80, 0) << value;
    EXPECT_LT(std::abs(value / 256.0 + 6.3), 0.5) << value;
  }
  out.clear();
  ASSERT_TRUE(tools::SetControl(live.driver.Topology(), live.view, "mute", "on", -1, false, &out, &error)) << error;
  EXPECT_EQ(live.Device().EntityControl(headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL, 0), (sim::Bytes{1}));
}

TEST_F(Uac2HostTest, PlayReportsTheFeedbackThePacketsAndTheDeviceBuffer) {
  Live live;
  tools::PlayOptions options;
  options.clockPpm = std::make_pair(500.0, -500.0);
  const sim::host::WavData tone = sim::host::SineWav(48000, 2, 1000.0, 2.0, 0.25);
  const tools::PlayReport r = tools::Play(live.driver, tone, false, options);
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
  ASSERT_TRUE(r.feedback.has_value());
  const tools::FeedbackReport& f = *r.feedback;
  EXPECT_DOUBLE_EQ(f.startPpm, 500);
  EXPECT_NEAR(f.endPpm, -500, 60);
  // One value a millisecond, the clock's rate in each.
  EXPECT_GE(f.values, 1900u);
  EXPECT_NEAR(f.maxFeedbackHz, 48024, 1);
  EXPECT_GT(f.minFeedbackHz, 47970);  // the drift goes on while the tail plays
  EXPECT_FALSE(f.decoded.empty());
  // Six frames a microframe, a seventh or a fifth where the rate says so.
  uint64_t packets = 0, six = 0;
  for (const auto& [frames, count] : f.packetSizes) {
    EXPECT_GE(frames, 5u);
    EXPECT_LE(frames, 7u);
    packets += count;
    if (frames == 6) six = count;
  }
  EXPECT_GT(six, packets * 99 / 100);
  EXPECT_GT(f.minBufferMs, 0);
  EXPECT_LT(f.maxBufferMs, 40);
  EXPECT_EQ(f.underrunFrames, 0u);
  EXPECT_TRUE(Has(r.text, "feedback")) << r.text;
  EXPECT_TRUE(Has(tools::FeedbackJson(f), "\"packetSizes\"")) << tools::FeedbackJson(f);
}

TEST_F(Uac2HostTest, RecordDeliversTheDevicesTone) {
  Live live(platform::usb::Speed::Full);
  const tools::RecordReport r = tools::Record(live.driver, 0.25, 1000.0, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
  EXPECT_EQ(r.filter, "MicIn00Wave");
  ASSERT_EQ(r.recorded.channels, 1u);
  int crossings = 0, peak = 0;
  for (uint32_t i = 1; i < r.recorded.Frames(); ++i) {
    int16_t a, b;
    std::memcpy(&a, &r.recorded.samples[2 * (i - 1)], 2);
    std::memcpy(&b, &r.recorded.samples[2 * i], 2);
    if (a < 0 && b >= 0) ++crossings;
    peak = std::max(peak, std::abs(static_cast<int>(b)));
  }
  EXPECT_NEAR(crossings, 250 * r.recorded.Frames() / 12000, 3);
  EXPECT_GT(peak, 8000);
}

TEST_F(Uac2HostTest, EventsShowClockAndConnectorChangesAsTheDriverAnswersThem) {
  Live live;
  std::string out;
  const std::vector<tools::DeviceChange> changes = tools::DefaultUac2Changes(live.Device());
  ASSERT_TRUE(tools::WatchUac2Events(live.driver, live.view, changes, false, &out)) << out;
  for (const char* line : {"device: clock 9 not valid (interrupt data message 00 01 00 02 00 09)\n"
                           "  AudioHalNotify: node 0 (clock)\n  no control-change event\n",
                           "device: terminal 3 connector: channels 0x4 connected (interrupt data message 00 01 00 02 "
                           "00 03)\n  no control-change event\n  the driver read 1 request(s) back: CUR 0x0200\n"
                           "  wave filters: GlobalTopo HPOut00Wave MicIn00Wave -> GlobalTopo MicIn00Wave\n",
                           "device: unit 2 mute master = 1 (interrupt data message 00 01 00 01 00 02)\n"
                           "  AudioHalNotify: node 2 (mute)\n"})
    EXPECT_TRUE(Has(out, line)) << line << "\n" << out;
  std::string error;
  tools::DeviceChange change;
  EXPECT_TRUE(tools::ParseUac2Change("9:2=0", live.Device(), &change, &error)) << error;
  EXPECT_FALSE(tools::ParseUac2Change("42:1=1", live.Device(), &change, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
