// The simulated device answering control requests as the default headset,
// and as a device loaded from a sysfs-format file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "sim/DescriptorDump.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/Device7753.h"
#include "sim/device/MalformedDescriptors.h"
#include "sim/device/SimDevice.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/sim/ControlRequests.h"
#include "usb/usbaudio.h"

namespace {

using platform::usb::ControlOutcome;
using sim::Bytes;
namespace hs = sim::headset;

using namespace simtest;

uint16_t Unit(uint8_t unit) { return static_cast<uint16_t>(unit << 8 | hs::kControlInterface); }
uint16_t Cs(uint8_t cs, uint8_t channel) { return static_cast<uint16_t>(cs << 8 | channel); }

// A configured device whose AudioControl interface holds `units` after the
// header (the render device of the fault catalogue lends its device
// descriptor).
std::unique_ptr<sim::SimDevice> ConfiguredDevice(const std::function<void(sim::ConfigBuilder&)>& units) {
  sim::DescriptorSet set = sim::malformed::RenderDevice();
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL).AcHeader({});
  units(c);
  set.configurations = {c.Build()};
  auto d = std::make_unique<sim::SimDevice>(set, sim::DefaultProfile());
  EXPECT_EQ(Send(*d, kStdOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  return d;
}

class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = hs::Create();
    ASSERT_EQ(Send(*device, kStdOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  }
  std::unique_ptr<sim::SimDevice> device;
};

TEST_F(SimDeviceTest, AnswersStandardRequestsFromItsDescriptors) {
  auto dev = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 64);
  ASSERT_EQ(dev.outcome, ControlOutcome::Ack);
  EXPECT_EQ(dev.data, hs::Descriptors().device);

  auto head = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9);
  ASSERT_EQ(head.data.size(), 9u);
  const uint16_t total = static_cast<uint16_t>(head.data[2] | head.data[3] << 8);
  auto whole = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF);
  EXPECT_EQ(whole.data.size(), total);
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0201, 0, 9).outcome, ControlOutcome::Stall);

  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255).data, (Bytes{4, 3, 0x09, 0x04}));
  auto product = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255).data;
  ASSERT_GE(product.size(), 2u);
  EXPECT_EQ(product[0], product.size());
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(product.data() + 2), (product.size() - 2) / 2),
            u"USB Headset");
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0309, 0x0409, 255).outcome, ControlOutcome::Stall);

  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1).data, Bytes{1});
  EXPECT_EQ(Send(*device, 0x01, USB_REQUEST_SET_INTERFACE, 1, hs::kRenderInterface, {}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(device->AlternateSetting(hs::kRenderInterface), 1);
  EXPECT_EQ(Get(*device, 0x81, USB_REQUEST_GET_INTERFACE, 0, hs::kRenderInterface, 1).data, Bytes{1});
  EXPECT_EQ(Send(*device, 0x01, USB_REQUEST_SET_INTERFACE, 2, hs::kRenderInterface, {}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Send(*device, kStdOut, USB_REQUEST_SET_CONFIGURATION, 7, 0, {}).outcome, ControlOutcome::Stall);
  // A new configuration puts every interface back to alternate setting 0.
  EXPECT_EQ(Send(*device, kStdOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(device->AlternateSetting(hs::kRenderInterface), 0);
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_STATUS, 0, 0, 2).data, (Bytes{0, 0}));
}

TEST_F(SimDeviceTest, FeatureUnitControlsKeepStatePerControlAndChannel) {
  const uint16_t fu = Unit(hs::kRenderFeatureUnit);
  // Volume lives on channels 1 and 2 only.
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(2, 0), fu, 2).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MIN, Cs(2, 1), fu, 2).data, (Bytes{0x00, 0xC4}));  // -60 dB
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MAX, Cs(2, 1), fu, 2).data, (Bytes{0x00, 0x00}));
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_RES, Cs(2, 1), fu, 2).data, (Bytes{0x80, 0x00}));
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(2, 2), fu, 2).data, (Bytes{0x00, 0xF4}));  // -12 dB

  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(2, 1), fu, {0x00, 0xF0}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(2, 1), fu, 2).data, (Bytes{0x00, 0xF0}));
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(2, 2), fu, 2).data, (Bytes{0x00, 0xF4}));
  // Out of range (+1 dB), the wrong size, and silence (0x8000) for volume.
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(2, 1), fu, {0x00, 0x01}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(2, 1), fu, {0x00}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(device->ControlValue(hs::kRenderFeatureUnit, 2, 1), (Bytes{0x00, 0xF0}));
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(2, 1), fu, {0x00, 0x80}).outcome, ControlOutcome::Ack);

  // One-byte signed tone control in 1/4 dB: -3 dB, then +13 dB is refused.
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(3, 0), fu, {0xF4}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(3, 0), fu, 1).data, Bytes{0xF4});
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(3, 0), fu, {52}).outcome, ControlOutcome::Stall);
  // Mute and loudness on the master; AGC only on the microphone's unit.
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(1, 0), fu, {1}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(1, 0), fu, {2}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(10, 0), fu, 1).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(7, 0), fu, 1).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(7, 0), Unit(hs::kMicFeatureUnit), 1).data, Bytes{1});
  // Not addressed to the AudioControl interface, or to no unit.
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), hs::kRenderFeatureUnit << 8 | 1, 1).outcome,
            ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), Unit(42), 1).outcome, ControlOutcome::Stall);
}

TEST_F(SimDeviceTest, EveryFeatureControlKindIsServed) {
  // A unit with every standard control on its master channel.
  auto custom = ConfiguredDevice([](sim::ConfigBuilder& c) {
    c.InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 3)
        .FeatureUnit(2, 1, 2, {0x03FF})
        .OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 2);
  });
  sim::SimDevice& d = *custom;
  const uint16_t fu = 2 << 8;
  for (uint8_t cs = 1; cs <= 10; ++cs) {
    SCOPED_TRACE(static_cast<int>(cs));
    const uint8_t size = sim::FeatureControlSize(cs, d.Profile());
    auto min = Get(d, kClassIfIn, USB_AUDIO_GET_MIN, Cs(cs, 0), fu, size);
    auto cur = Get(d, kClassIfIn, USB_AUDIO_GET_CUR, Cs(cs, 0), fu, size);
    ASSERT_EQ(min.outcome, ControlOutcome::Ack);
    ASSERT_EQ(cur.data.size(), size);
    EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_MAX, Cs(cs, 0), fu, size).outcome, ControlOutcome::Ack);
    EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_RES, Cs(cs, 0), fu, size).outcome, ControlOutcome::Ack);
    // Setting the minimum is always accepted and read back.
    EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, Cs(cs, 0), fu, min.data).outcome, ControlOutcome::Ack);
    EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, Cs(cs, 0), fu, size).data, min.data);
  }
  // The equalizer accepts a subset of its bands, each within range.
  Bytes oneBand{0x10, 0, 0, 0, 0xF8};  // band 18 at -2 dB
  EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, Cs(6, 0), fu, oneBand).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, Cs(6, 0), fu, 13).data[4], 0xF8);
  Bytes foreignBand{0x01, 0, 0, 0, 0};  // band 14 is not present
  EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, Cs(6, 0), fu, foreignBand).outcome, ControlOutcome::Stall);
}

TEST_F(SimDeviceTest, MixerAndProcessingUnitsKeepTheirControls) {
  auto custom = ConfiguredDevice([](sim::ConfigBuilder& c) {
    c.InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 3)
        .InputTerminal(2, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
        .MixerUnit(3, {1, 2}, 2, 3, {0xFF})
        .ProcessingUnit(4, USB_AUDIO_PROCESS_REVERBERATION, {3}, 2, 3, {0x0F})
        .OutputTerminal(5, USB_AUDIO_TERMINAL_SPEAKER, 4);
  });
  sim::SimDevice& d = *custom;
  // Mixer: input channel 3 (the microphone) to output channel 2, 1/256 dB.
  EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, 0x0302, 3 << 8, 2).data, (Bytes{0x00, 0x80}));  // silent
  EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, 0x0302, 3 << 8, {0x00, 0xFA}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, 0x0302, 3 << 8, 2).data, (Bytes{0x00, 0xFA}));
  EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, 0x0303, 3 << 8, 2).outcome, ControlOutcome::Stall);  // no output 3
  // Processing unit: enable (1 byte) and reverberation time (2 bytes).
  EXPECT_EQ(Get(d, kClassIfIn, USB_AUDIO_GET_CUR, 0x0100, 4 << 8, 1).data, Bytes{1});
  EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, 0x0400, 4 << 8, {0x34, 0x12}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(d.ControlValue(4, 4, 0), (Bytes{0x34, 0x12}));
  EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO_SET_CUR, 0x0400, 4 << 8, {0x34}).outcome, ControlOutcome::Stall);
}

TEST_F(SimDeviceTest, SelectorEndpointAndMemoryRequests) {
  const uint16_t su = Unit(hs::kMicSelector);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, 0, su, 1).data, Bytes{1});
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MAX, 0, su, 1).data, Bytes{1});
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, 0, su, {1}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, 0, su, {2}).outcome, ControlOutcome::Stall);

  // Sampling frequency: a rate of the interface's format, 3 bytes.
  EXPECT_EQ(Get(*device, kClassEpIn, USB_AUDIO_GET_CUR, 0x0100, hs::kCaptureEndpoint, 3).data,
            (Bytes{0x80, 0xBB, 0x00}));
  EXPECT_EQ(Send(*device, kClassEpOut, USB_AUDIO_SET_CUR, 0x0100, hs::kCaptureEndpoint, {0x80, 0x3E, 0x00}).outcome,
            ControlOutcome::Ack);
  EXPECT_EQ(device->SamplingRate(hs::kCaptureEndpoint), 16000u);
  EXPECT_EQ(Send(*device, kClassEpOut, USB_AUDIO_SET_CUR, 0x0100, hs::kRenderEndpoint, {0x80, 0x3E, 0x00}).outcome,
            ControlOutcome::Stall);  // 16 kHz is no render rate
  EXPECT_EQ(Send(*device, kClassEpOut, USB_AUDIO_SET_CUR, 0x0100, hs::kRenderEndpoint, {0x44, 0xAC}).outcome,
            ControlOutcome::Stall);  // two bytes

  // GET_MEM reads the unit's memory from wValue on: the vendor block's length.
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MEM, 0x0010, Unit(hs::kRenderFeatureUnit), 2).data, (Bytes{21, 0}));
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MEM, 0, Unit(hs::kRenderFeatureUnit), 21).data.size(), 21u);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_MEM, 0, Unit(hs::kMicFeatureUnit), 2).outcome,
            ControlOutcome::Stall);
}

TEST_F(SimDeviceTest, VendorRequestsAnswerFromTheProfile) {
  const uint16_t ot = Unit(hs::kRenderOutputTerminal);
  auto jacks = Get(*device, kVendorIfIn, 0x81, 0x02FF, ot, 9);
  EXPECT_EQ(jacks.data, (Bytes{1, 0x03, 0, 0, 0, 0x00, 0x40, 0x01, 0x01}));
  EXPECT_EQ(Get(*device, kVendorIfIn, 0x81, 0x0200, ot, 6).data, (Bytes{0, 7, 0, 0, 0, 0}));
  device->SetPresenceMask(0x4, hs::kRenderOutputTerminal);
  EXPECT_EQ(Get(*device, kVendorIfIn, 0x81, 0x0200, ot, 6).data, (Bytes{0, 4, 0, 0, 0, 0}));
  EXPECT_EQ(device->PendingStatusWords(), 1u);

  EXPECT_EQ(Get(*device, kVendorIfIn, 0x86, 0x0800, ot, 2).data, (Bytes{1, 0}));
  EXPECT_EQ(Get(*device, kVendorIfIn, 0x81, 0x0800, ot, 2).data, (Bytes{0x02, 0x04}));
  EXPECT_EQ(Send(*device, kVendorIfOut, 0x81, 0x0800, ot, {0x02, 0x03}).outcome, ControlOutcome::Stall);
  // The input terminal has jacks but no selectable types.
  EXPECT_EQ(Get(*device, kVendorIfIn, 0x86, 0x0800, Unit(hs::kMicInputTerminal), 2).outcome, ControlOutcome::Stall);

  // The feature unit's vendor switch 0x8B exists because its memory block says so.
  const uint16_t fu = Unit(hs::kRenderFeatureUnit);
  EXPECT_EQ(Send(*device, kVendorIfOut, USB_AUDIO_SET_CUR, Cs(0x8B, 0), fu, {1}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(*device, kVendorIfIn, USB_AUDIO_GET_CUR, Cs(0x8B, 0), fu, 1).data, Bytes{1});
  EXPECT_EQ(Get(*device, kVendorIfIn, USB_AUDIO_GET_CUR, Cs(0x8C, 0), fu, 1).outcome, ControlOutcome::Stall);

  EXPECT_EQ(Send(*device, 0x40, 7, 1, 0, {}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(device->VendorDeviceValue(7), 1);
  EXPECT_EQ(Send(*device, 0x40, 9, 1, 0, {}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, 0xC3, 0x81, 0, 8, 1).outcome, ControlOutcome::Stall);  // no "other" registers
}

TEST_F(SimDeviceTest, ScriptedControlFaults) {
  const uint16_t fu = Unit(hs::kRenderFeatureUnit);
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kRenderFeatureUnit, USB_AUDIO_GET_CUR), sim::FaultAction::Stall,
                    0, /*skip*/ 1, /*times*/ 1});
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), fu, 1).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), fu, 1).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), fu, 1).outcome, ControlOutcome::Ack);

  device->AddFault({sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE), sim::FaultAction::ShortReply, 3});
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255).data.size(), 3u);
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicSelector), sim::FaultAction::ReplyLength, 4});
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, 0, Unit(hs::kMicSelector), 1).outcome, ControlOutcome::Overrun);
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, 0, Unit(hs::kMicSelector), 8).data.size(), 4u);
  device->AddFault({sim::RequestMatch::VendorToUnit(hs::kRenderOutputTerminal), sim::FaultAction::Timeout});
  EXPECT_EQ(Get(*device, kVendorIfIn, 0x81, 0x0200, Unit(hs::kRenderOutputTerminal), 6).outcome,
            ControlOutcome::NoResponse);

  // A faulted SET leaves the value alone.
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit, USB_AUDIO_SET_CUR), sim::FaultAction::Stall});
  EXPECT_EQ(Send(*device, kClassIfOut, USB_AUDIO_SET_CUR, Cs(1, 0), Unit(hs::kMicFeatureUnit), {1}).outcome,
            ControlOutcome::Stall);
  EXPECT_EQ(device->ControlValue(hs::kMicFeatureUnit, 1, 0), Bytes{0});

  device->ClearFaults();
  device->AddFault({sim::RequestMatch::Class(), sim::FaultAction::DeviceGone});
  EXPECT_EQ(Get(*device, kClassIfIn, USB_AUDIO_GET_CUR, Cs(1, 0), fu, 1).outcome, ControlOutcome::Gone);
  // Gone for everything after, until the port resets it.
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18).outcome, ControlOutcome::Gone);
  device->BusReset();
  EXPECT_EQ(Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18).outcome, ControlOutcome::Ack);
  EXPECT_EQ(device->Configuration(), 0);
}

TEST_F(SimDeviceTest, ConfigurationLengthChangesOnRereads) {
  device->ChangeConfigurationLengthOnRereads(0x0400);
  auto first = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9).data;
  const uint16_t total = static_cast<uint16_t>(first[2] | first[3] << 8);
  auto second = Get(*device, kStdIn, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, total).data;
  EXPECT_EQ(second.size(), total);
  EXPECT_EQ(second[2] | second[3] << 8, 0x0400);
}

TEST(SimIsoStreamsTest, SourcePacketsFollowTheRateAndTheSinkNoticesWhatStrays) {
  sim::EndpointTiming fullSpeed{196, 1, 1000};
  std::vector<uint32_t> sizes;
  for (uint64_t i = 0; i < 10; ++i) sizes.push_back(sim::FramesInPacket(i, 44100, fullSpeed));
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 44u), 9);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 45u), 1);
  sim::EndpointTiming highSpeed{64, 1, 8000};
  uint32_t perMillisecond = 0;
  for (uint64_t i = 0; i < 8; ++i) perMillisecond += sim::FramesInPacket(i, 44100, highSpeed);
  EXPECT_EQ(perMillisecond, 44u);

  sim::IsoSource source;
  source.SetRamp();
  source.Start({48000, 2, 2, 16}, fullSpeed);
  uint8_t packet[256];
  bool overrun = false;
  ASSERT_EQ(source.Fill(5, packet, sizeof packet, &overrun), 192u);
  EXPECT_EQ(packet[2], 1);  // sample 1 holds counter 1
  EXPECT_EQ(source.Fill(6, packet, 100, &overrun), 100u);
  EXPECT_TRUE(overrun);

  sim::IsoSink sink;
  sink.Start({44100, 2, 2, 16}, fullSpeed);
  Bytes data(200, 0);
  sink.OnPacket(10, data.data(), 176);
  sink.OnPacket(11, data.data(), 180);
  sink.OnPacket(14, data.data(), 176);  // two packets missing
  sink.OnPacket(15, data.data(), 200);  // 50 frames: off the rate, and larger than the endpoint allows
  sink.OnPacket(16, data.data(), 7);    // not whole frames
  auto stats = sink.GetStats();
  EXPECT_EQ(stats.packets, 5u);
  EXPECT_EQ(stats.gaps, 1u);
  EXPECT_EQ(stats.missedPackets, 2u);
  EXPECT_EQ(stats.overruns, 1u);
  EXPECT_EQ(stats.strayPackets, 1u);
  EXPECT_EQ(stats.partialFrames, 1u);
  EXPECT_EQ(sink.ToWav().Frames(), (176u + 180 + 176 + 200 + 7) / 4);
}

// The same device from a file in the sysfs layout behaves as the embedded one.
TEST(SimLoaderTest, DeviceLoadedFromSysfsFileAnswersAsTheEmbeddedOne) {
  testsupport::ScratchDirectory scratch;
  const std::string path = scratch.File("descriptors");
  ASSERT_TRUE(sim::WriteFileBytes(path, sim::ToSysfsBytes(hs::Descriptors())));
  std::ofstream(path + ".strings") << "# strings\nlangids 0409\n1 Example Audio Works\n2 USB Headset\n";

  sim::DescriptorSet loaded;
  std::string error;
  ASSERT_TRUE(sim::LoadDescriptorFiles(path, "", &loaded, &error)) << error;
  EXPECT_EQ(loaded.device, hs::Descriptors().device);
  EXPECT_EQ(loaded.Configuration(), hs::Descriptors().Configuration());
  EXPECT_EQ(loaded.strings[2], u"USB Headset");
  EXPECT_EQ(loaded.strings[3], u"00000001");  // not in the table: a default

  sim::SimDevice fromFile(loaded, hs::Profile());
  auto embedded = hs::Create();
  for (sim::SimDevice* d : {&fromFile, embedded.get()})
    ASSERT_EQ(Send(*d, kStdOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  for (uint16_t value : {0x0100, 0x0200, 0x0302})
    EXPECT_EQ(Get(fromFile, kStdIn, USB_REQUEST_GET_DESCRIPTOR, value, 0x0409, 0xFFFF).data,
              Get(*embedded, kStdIn, USB_REQUEST_GET_DESCRIPTOR, value, 0x0409, 0xFFFF).data);
  EXPECT_EQ(Get(fromFile, kClassIfIn, USB_AUDIO_GET_MIN, Cs(2, 1), Unit(hs::kRenderFeatureUnit), 2).data,
            Get(*embedded, kClassIfIn, USB_AUDIO_GET_MIN, Cs(2, 1), Unit(hs::kRenderFeatureUnit), 2).data);
}

TEST(SimLoaderTest, RefusesFilesThatAreNotDescriptors) {
  const Bytes good = sim::ToSysfsBytes(hs::Descriptors());
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes wrongType = good;
  wrongType[1] = 2;
  Bytes overlong = good;
  overlong[18 + 2] = 0xFF, overlong[18 + 3] = 0xFF;
  Bytes tinyTotal = good;
  tinyTotal[18 + 2] = 4, tinyTotal[18 + 3] = 0;
  Bytes trailing = good;
  trailing.insert(trailing.end(), {9, 2, 3});
  const std::vector<Case> cases = {{"empty", {}},
                                   {"shorter than a device descriptor", Bytes(good.begin(), good.begin() + 10)},
                                   {"device descriptor of the wrong type", wrongType},
                                   {"no configuration", Bytes(good.begin(), good.begin() + 18)},
                                   {"wTotalLength past the end", overlong},
                                   {"wTotalLength below 9", tinyTotal},
                                   {"trailing partial header", trailing}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set;
    std::string error;
    EXPECT_FALSE(sim::ParseSysfsDescriptors(c.bytes, &set, &error));
    EXPECT_FALSE(error.empty());
  }
  sim::DescriptorSet set;
  std::string error;
  EXPECT_FALSE(sim::ParseStringTable("x Not an index\n", &set, &error));
  EXPECT_FALSE(sim::ParseStringTable("langids zz\n", &set, &error));
  EXPECT_TRUE(sim::ParseStringTable("langids 0409 0407\n7 Seven\n", &set, &error));
  EXPECT_EQ(set.languages, (std::vector<uint16_t>{0x0409, 0x0407}));
}

TEST(SimDescriptorDumpTest, PrintsTheTreeAndReportsMalformedDescriptors) {
  const std::string text = sim::DumpDescriptors(hs::Descriptors());
  for (const char* expected :
       {"Device Descriptor:", "idVendor           0x1209", "iProduct                2 USB Headset",
        "bDescriptorSubtype      6 (FEATURE_UNIT)", "wTerminalType      0x0402 Headset", "tSamFreq[ 1]        44100",
        "bEndpointAddress     0x82  EP 2 IN", "Transfer Type            Isochronous", "Volume Control"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  for (const auto& entry : sim::malformed::Catalogue()) {
    SCOPED_TRACE(entry.name);
    sim::DescriptorSet set = entry.build();
    const std::string dump = sim::DumpDescriptors(set);
    sim::ConfigModel model = sim::ParseConfigModel(set.Configuration());
    EXPECT_FALSE(dump.empty());
    if (entry.name == "ZeroLengthDescriptor") {
      EXPECT_NE(dump.find("bLength 0"), std::string::npos);
    }
    if (entry.name == "LayeredMixerGraph") {
      EXPECT_EQ(model.units.size(), 2u + 120u);
    }
  }
}

}  // namespace

namespace {

TEST(SimDeviceHid, ReportsGoToTheHidInterfaceAndScriptedStatusIsAnsweredInOrder) {
  sim::SimDevice d(sim::chip7753::PollBoardDescriptors(), sim::chip7753::PollBoardProfile());
  const uint16_t hid = sim::chip7753::kHidInterface;
  // Not before the configuration is set.
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 3).outcome, ControlOutcome::Stall);
  ASSERT_EQ(Send(d, kStdOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);

  // SET_REPORT: every output report kept, in order.
  EXPECT_EQ(Send(d, kClassIfOut, 0x09, 0x0200, hid, {0x20, 0x34, 0x12, 3}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Send(d, kClassIfOut, 0x09, 0x0200, hid, {0x20, 0x02, 0x30, 1}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(d.HidOutputReports(), (std::vector<Bytes>{{0x20, 0x34, 0x12, 3}, {0x20, 0x02, 0x30, 1}}));
  const auto registers = sim::chip7753::CodecRegisters(d.HidOutputReports());
  EXPECT_EQ(registers[3], 0x1234);
  EXPECT_EQ(registers[1], 0x3002);
  EXPECT_FALSE(registers[0].has_value());

  // GET_REPORT: the profile's report, then the queued ones, the last staying.
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 3).data, (Bytes{0x10, 0, 0}));
  d.QueueHidInputReports({{0x00, 0, 0}, {0x11, 0, 0}});
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 3).data, (Bytes{0x00, 0, 0}));
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 3).data, (Bytes{0x11, 0, 0}));
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 3).data, (Bytes{0x11, 0, 0}));
  EXPECT_EQ(d.HidInputReportReads(), 4u);
  EXPECT_EQ(d.PendingHidInputReports(), 0u);
  d.SetHidInputReport({0x01, 2, 3});
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, hid, 2).data, (Bytes{0x01, 2}));

  // Other HID requests, and reports to the AudioControl interface, stall.
  EXPECT_EQ(Send(d, kClassIfOut, 0x0A, 0, hid, {}).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0300, hid, 3).outcome, ControlOutcome::Stall);
  EXPECT_EQ(Get(d, kClassIfIn, 0x01, 0x0100, sim::chip7753::kControlInterface, 3).outcome, ControlOutcome::Stall);
}

}  // namespace
