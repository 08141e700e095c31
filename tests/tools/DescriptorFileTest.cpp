// A device from a descriptor file in sysfs' layout, as headset-host runs it:
// the bus speed it gets (from the speed file beside the descriptors, else
// from its endpoints) and what `info` says when the driver refuses it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "kernel/debug.h"
#include "sim/device/MalformedDescriptors.h"
#include "sim/host/Wav.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/tools/support/ProgramTest.h"
#include "usb/usbaudio2.h"

namespace {

using toolstest::Outcome;

std::string DataDir() {
  const char* source = std::getenv("HSD_SOURCE_DIR");
  return std::string(source ? source : ".") + "/tests/data/tools";
}

// The render device with its data endpoint's wMaxPacketSize replaced.
sim::DescriptorSet WithPacketSize(uint16_t size) {
  sim::DescriptorSet set = sim::malformed::RenderDevice();
  sim::Bytes& c = set.configurations[0];
  for (size_t at = 0; at + 7 <= c.size(); at += c[at])
    if (c[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      c[at + 4] = static_cast<uint8_t>(size);
      c[at + 5] = static_cast<uint8_t>(size >> 8);
    }
  return set;
}

// IT 1 USB streaming -> FU 2 -> OT 3 speaker, the feature unit with the
// controls given (its master's bitmap first) and one stereo setting.
sim::DescriptorSet Speaker(const std::vector<uint32_t>& featureControls) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({1})
      .InputTerminal(1, 0x0101, 2, 0x3)
      .FeatureUnit(2, 1, 1, featureControls)
      .OutputTerminal(3, 0x0301, 2)
      .Interface(1, 0, 0, 1, 2)
      .Interface(1, 1, 1, 1, 2)
      .AsGeneral(1, 1, 1)
      .FormatType(1, 2, 2, 16, {48000})
      .Endpoint(0x01, 0x09, 196, 1)
      .CsEndpoint(1);
  return haltest::MakeSet(c.Build(), 0x1209, 0x0005);
}

// An Audio Class 2.0 render function whose AudioControl interface holds
// `entity` between its clock and its terminals, and whose streaming
// interface names `terminalLink`.
sim::DescriptorSet Uac2Speaker(const sim::Bytes& entity, uint8_t terminalLink) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1, USB_AUDIO_PROTOCOL_UAC2).Uac2AcHeader(0x01).Uac2ClockSource(9, 0x03, 0x07);
  if (!entity.empty()) c.Raw(entity);
  c.Uac2InputTerminal(1, 0x0101, 9, 2, 0x3)
      .Uac2OutputTerminal(3, 0x0301, 1, 9)
      .Interface(1, 0, 0, 1, 2, USB_AUDIO_PROTOCOL_UAC2)
      .Interface(1, 1, 1, 1, 2, USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AsGeneral(terminalLink, 1, USB_AUDIO2_FORMAT_PCM, 2, 0x3)
      .Uac2FormatType(1, 2, 16)
      .Endpoint(0x01, 0x09, 200, 1, false)
      .Uac2CsEndpoint();
  return haltest::MakeSet(c.Build(), 0x1209, 0x0006);
}

class DescriptorFileTest : public toolstest::ProgramTest {};

// The speed sysfs keeps beside the descriptors decides; without one, an
// isochronous endpoint that full speed cannot carry means high speed;
// --speed overrides both. `info` says which and why.
TEST_F(DescriptorFileTest, InfoSaysTheBusSpeedAndWhereItCameFrom) {
  const struct {
    const char* name;
    sim::DescriptorSet set;
    const char* speedFile;  // null: none
    std::vector<std::string> options;
    const char* line;  // info's first line
  } cases[] = {
      {"plain",
       sim::malformed::RenderDevice(),
       nullptr,
       {},
       "at full speed (no speed file beside the descriptors, and every isochronous endpoint fits full speed)"},
      {"sysfs-high", sim::malformed::RenderDevice(), "480\n", {}, "at high speed ({}/sysfs-high/speed says 480)"},
      {"sysfs-full", sim::malformed::RenderDevice(), "12\n", {}, "at full speed ({}/sysfs-full/speed says 12)"},
      {"three",
       WithPacketSize(0x1400),
       nullptr,
       {},
       "at high speed (no speed file beside the descriptors, and endpoint 0x01's wMaxPacketSize 0x1400 (3 x 1024 "
       "bytes) is more than full speed carries)"},
      {"big", WithPacketSize(1024), nullptr, {}, "endpoint 0x01's wMaxPacketSize 0x0400 (1 x 1024 bytes)"},
      {"told", sim::malformed::RenderDevice(), "480\n", {"--speed", "full"}, "at full speed (--speed full)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = c.name;
    Write(dir + "/descriptors", sim::ToSysfsBytes(c.set));
    if (c.speedFile) Write(dir + "/speed", std::string(c.speedFile));
    std::vector<std::string> args = {"--descriptors", "{}/" + dir + "/descriptors", "info"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome r = Program(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string line = c.line;
    for (size_t at; (at = line.find("{}")) != std::string::npos;) line.replace(at, 2, Folder());
    EXPECT_NE(r.out.substr(0, r.out.find('\n')).find(line), std::string::npos) << r.out.substr(0, r.out.find('\n'));
  }
  // A speed file the simulated bus has no speed for is refused with what
  // it takes.
  for (const char* speed : {"1.5\n", "5000\n", "fast\n"}) {
    SCOPED_TRACE(speed);
    Write("odd/descriptors", sim::ToSysfsBytes(sim::malformed::RenderDevice()));
    Write("odd/speed", std::string(speed));
    const Outcome r = Program({"--descriptors", "{}/odd/descriptors", "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(accepted: 12 or 480; --speed full|high overrides)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// An Audio Class 2.0 headphone adapter of the kind a USB-C port takes, in
// sysfs' layout: at the high speed its speed file names it plays the high
// rates its clock offers; taken for a full-speed device it could not.
TEST_F(DescriptorFileTest, AHighSpeedAdapterFromItsDescriptorsPlaysItsHighRates) {
  const std::string descriptors = DataDir() + "/uac2-dongle/descriptors";
  Outcome info = Program({"--descriptors", descriptors, "--factory", "chip", "info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("at high speed (" + DataDir() + "/uac2-dongle/speed says 480)"), std::string::npos);
  EXPECT_NE(info.out.find("hardware model: CUac2AudioHal for 1209:0c2a"), std::string::npos) << info.out;
  for (uint32_t rate : {96000u, 192000u}) {
    SCOPED_TRACE(rate);
    const std::string tone = "tone" + std::to_string(rate) + ".wav";
    Write(tone, sim::host::SerializeWav(sim::host::SineWav(rate, 2, 1000.0, 0.2, 0.25)));
    const Outcome r = Program(
        {"--descriptors", descriptors, "--factory", "chip", "play", "{}/" + tone, "--device-out", "{}/device.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("as 2 ch " + std::to_string(rate) + " Hz 16 bit, as the file has it: 0x00000000"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("stray sizes 0"), std::string::npos) << r.out;
    sim::host::WavData device;
    std::string error;
    ASSERT_TRUE(sim::host::ReadWav(Path("device.wav"), &device, &error)) << error;
    EXPECT_EQ(device.sampleRate, rate);
    EXPECT_GE(device.Frames(), rate / 5);
  }
  // The same descriptors without their speed file run at full speed, where
  // a 96 kHz packet does not fit the endpoint.
  Write("copy/descriptors", [&] {
    sim::Bytes bytes;
    sim::ReadFileBytes(descriptors, &bytes);
    return bytes;
  }());
  Write("tone.wav", sim::host::SerializeWav(sim::host::SineWav(96000, 2, 1000.0, 0.2, 0.25)));
  const Outcome slow = Program({"--descriptors", "{}/copy/descriptors", "--factory", "chip", "play", "{}/tone.wav",
                                "--device-out", "{}/device.wav"});
  EXPECT_EQ(slow.status, 1);
}

// A device the driver refuses: `info` still shows what it found, and fails
// with one line naming the step and what failed (a unit, a descriptor, a
// request); the driver's debug output, which --verbose shows, has it too.
TEST_F(DescriptorFileTest, ARefusedDeviceFailsInfoWithTheStepAndTheReason) {
  const struct {
    const char* name;
    sim::DescriptorSet set;
    const char* factory;
    const char* line;  // on stderr, after "the driver refused the device: "
  } cases[] = {
      {"no-mute", Speaker({0x02, 0, 0}), "product",
       "UsbParseAudioControlInterface failed with status 0xC000009A: feature unit 2 has no mute control, which this "
       "model's feature units need"},
      {"zero-length", sim::malformed::ZeroLengthDescriptor(), "product",
       "SelectConfiguration failed with status 0xC000000D: the bus driver refused the configuration"},
      {"dangling", sim::malformed::DanglingSourceId(), "product",
       "UsbParseAudioStreamInterface failed with status 0xC000000D: interface 1: no path of the stream reaches its "
       "terminal 1"},
      {"pins-past-length", sim::malformed::InputPinsPastLength(), "product",
       "UsbParseAudioControlInterface failed with status 0xC0000001: selector unit 5 could not be built"},
      {"clock-selector", Uac2Speaker({8, 0x24, 0x0B, 10, 1, 9, 0x03, 0}, 1), "chip",
       "UsbParseAudioControlInterface failed with status 0xC0000001: entity 10 is of a kind this model does not "
       "stand for (subtype 11"},
      {"link-to-nothing", Uac2Speaker({}, 7), "chip",
       "UsbParseAudioStreamInterface failed with status 0xC0000001: interface 1: bTerminalLink 7 names no entity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(std::string(c.name) + "/descriptors", sim::ToSysfsBytes(c.set));
    platform::debug::Clear();
    const Outcome r =
        Program({"--descriptors", "{}/" + std::string(c.name) + "/descriptors", "--factory", c.factory, "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("headset-host: the driver refused the device: " + std::string(c.line), 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.out.find("\nrefused: "), std::string::npos) << r.out;
    const std::string step = std::string(c.line).substr(0, std::string(c.line).find(" failed"));
    EXPECT_TRUE(platform::debug::Contains(step + " failed 0x")) << step;
  }
}

}  // namespace
