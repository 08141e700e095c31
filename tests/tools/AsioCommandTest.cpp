// headset-host asio: its arguments, a session on the embedded VZR417
// interface through the chip-identifying factory, a device whose ASIO
// engines are output only, and the one line it has for a device without
// an ASIO-capable engine.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/device/DefaultHeadset.h"
#include "sim/device/EmbeddedDevices.h"
#include "tests/tools/support/ProgramTest.h"
#include "tools/asio.h"
#include "topology/CMiniportWaveCyclic.h"

namespace {

class AsioCommandTest : public toolstest::ProgramTest {
 protected:
  static tools::AsioReport Run(const sim::EmbeddedDevice& device, const tools::AsioArguments& arguments) {
    sim::host::RunningDriver driver(device.descriptors(), device.profile(), CreateMiniportWaveCyclic, device.speed,
                                    device.factory);
    EXPECT_TRUE(driver.Started());
    return tools::RunAsio(driver, arguments, false);
  }
};

TEST_F(AsioCommandTest, ArgumentsAreCheckedWithWhatIsAccepted) {
  struct Case {
    std::vector<std::string> args;
    const char* error;  // empty: accepted
  };
  // Option syntax (a missing value, an unknown option) is the shared
  // parser's; the values' ranges are the command's.
  const Case cases[] = {
      {{"--latency", "0", "--seconds", "2.5", "--rate", "96000", "--type", "int24", "--out", "x.wav"}, ""},
      {{"--type", "27"}, ""},
      {{"--latency", "9"}, "--latency '9' is out of range (accepted: 0 to 8)"},
      {{"--latency", "1.5"}, "--latency '1.5' is not a whole number"},
      {{"--seconds", "0"}, "--seconds '0' is out of range (accepted: "},
      {{"--seconds", "nan"}, "--seconds 'nan' is not a finite number"},
      {{"--rate", "fast"}, "--rate 'fast' is not a number"},
      {{"--type", "dsd"}, "--type takes a PCM sample type"},
      {{"--type", "19"}, "--type takes a PCM sample type"},
  };
  auto parse = [](const std::vector<std::string>& tokens, tools::AsioArguments* parsed, std::string* error) {
    tools::Args args;
    return tools::ParseArgs(tokens, tools::AsioOptions(), &args, error) &&
           tools::ParseAsioArguments(args, parsed, error);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    tools::AsioArguments parsed;
    std::string error;
    EXPECT_EQ(parse(c.args, &parsed, &error), std::string(c.error).empty());
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  tools::AsioArguments parsed;
  std::string error;
  ASSERT_TRUE(parse(cases[0].args, &parsed, &error));
  EXPECT_EQ(parsed.latencyIndex, 0);
  EXPECT_EQ(parsed.seconds, 2.5);
  EXPECT_EQ(parsed.rate, 96000u);
  EXPECT_EQ(parsed.sampleType, 17u);
  EXPECT_EQ(parsed.out, "x.wav");
}

TEST_F(AsioCommandTest, SessionOnTheAsioInterfaceReportsSwitchesLatenciesAndTheRoundTrip) {
  const sim::EmbeddedDevice* vzr417 = sim::FindEmbeddedDevice("vzr417");
  ASSERT_NE(vzr417, nullptr);
  EXPECT_EQ(vzr417->factory, AudioHalChoice::ChipIdentifying);
  tools::AsioArguments arguments;
  arguments.latencyIndex = 1;
  arguments.seconds = 0.25;
  arguments.sampleType = 27;
  arguments.rate = 44100;
  const tools::AsioReport r = Run(*vzr417, arguments);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.stream.sampleType, 27u) << "the host opened again for the type to become active";
  EXPECT_EQ(r.stream.rate, 44100u);
  EXPECT_EQ(r.stream.bufferFrames, 44u * 4);
  EXPECT_EQ(r.stream.missed, 0u);
  EXPECT_GT(r.stream.switches, 200u);
  EXPECT_GT(r.stream.roundTripFrames, 0);
  EXPECT_EQ(r.stream.recording.bitsPerSample, 32);
  EXPECT_EQ(r.stream.recording.sampleRate, 44100u);
  for (const char* line : {"ASIO driver \"VZR417 Audio Interface\"\n", "channels: 2 out, 2 in, on 2 engines\n",
                           "sample types: 16 (int16), 17 (int24), 27 (int32-24); active 16 (int16)\n",
                           "rates: 44100, 48000, 96000 Hz; now 48000\n", "buffer switches: ",
                           "latencies the driver reports: input 176 frames (3.99 ms), output 352 frames (7.98 ms)\n",
                           "round trip through the device's loopback: "})
    EXPECT_NE(r.text.find(line), std::string::npos) << line << "\n" << r.text;
  EXPECT_EQ(r.json.rfind("{\"driver\": \"VZR417 Audio Interface\"", 0), 0u);
  EXPECT_NE(r.json.find("\"missed\": 0"), std::string::npos) << r.json;

  // What the device does not offer is named with what it does.
  arguments.rate = 22050;
  const tools::AsioReport refused = Run(*vzr417, arguments);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, "the device does not stream at 22050 Hz (accepted: 44100, 48000, 96000)");
}

// The Audio Class 2.0 headset streams out through ASIO but has no ASIO
// input: no round trip is claimed, and no recording is written.
TEST_F(AsioCommandTest, DeviceWithoutAsioInputSaysSoAndRecordsNothing) {
  const sim::EmbeddedDevice* uac2 = sim::FindEmbeddedDevice("uac2");
  ASSERT_NE(uac2, nullptr);
  tools::AsioArguments arguments;
  arguments.seconds = 0.25;
  arguments.rate = 192000;
  const tools::AsioReport r = Run(*uac2, arguments);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.stream.rate, 192000u);
  EXPECT_NE(r.text.find("channels: 2 out, 0 in"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("no ASIO input on this device: no round trip to measure, nothing recorded\n"),
            std::string::npos)
      << r.text;
  EXPECT_EQ(r.text.find("round trip through"), std::string::npos) << r.text;
  EXPECT_NE(r.json.find("\"roundTripFrames\": null, \"roundTripMs\": null"), std::string::npos) << r.json;

  const toolstest::Outcome program =
      Program({"--device", "uac2", "asio", "--seconds", "0.25", "--out", "{}/recorded.wav"});
  EXPECT_EQ(program.status, 0) << program.err;
  EXPECT_FALSE(std::filesystem::exists(Path("recorded.wav")));
  EXPECT_EQ(program.out.find("recording of the input"), std::string::npos) << program.out;
  EXPECT_EQ(program.err, "");
}

TEST_F(AsioCommandTest, DeviceWithoutAnAsioEngineIsSaidInOneLine) {
  const tools::AsioReport r = Run(sim::EmbeddedDevices().front(), tools::AsioArguments{});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "the device has no ASIO-capable stream engine: the driver offers no ASIO interface for it");
}

}  // namespace
