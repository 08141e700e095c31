// headset-host's handling of what a user types and hands it, run as the
// program runs (RunHeadsetHost: arguments in, exit status and the two
// streams out): every bad input gets one line on stderr naming what was
// wrong and what is accepted, and a non-zero status (2 with the usage for a
// malformed command line, 1 otherwise); nothing wraps, hangs or reads
// without end.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/host/Wav.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/tools/support/ProgramTest.h"
#include "tools/commands.h"
#include "tools/json.h"
#include "tools/progress.h"

namespace {

using toolstest::Contents;
using toolstest::Joined;
using toolstest::Outcome;

class CommandLineTest : public toolstest::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    namespace fs = std::filesystem;
    fs::create_directory(Path("folder"));
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    Write("empty.wav", std::vector<uint8_t>{});
    Write("text.descriptors", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    Write("afile", std::vector<uint8_t>{'x'});
    // Sparse: the bound is checked before a byte is read.
    std::ofstream(Path("huge.wav")).close();
    fs::resize_file(Path("huge.wav"), 513ull << 20);
    std::ofstream(Path("big.descriptors")).close();
    fs::resize_file(Path("big.descriptors"), 2ull << 20);
    sim::host::WavData none;
    Write("noaudio.wav", sim::host::SerializeWav(none));
    sim::host::WavData doubles;
    doubles.formatTag = 3;
    doubles.bitsPerSample = 64;
    doubles.samples.assign(16 * 8, 0);
    Write("f64.wav", sim::host::SerializeWav(doubles));
    Write("1khz.wav", sim::host::SerializeWav(sim::host::SineWav(1000, 2, 100.0, 0.1, 0.5)));
    sim::host::WavData long8;
    long8.channels = 1;
    long8.sampleRate = 8000;
    long8.bitsPerSample = 8;
    long8.samples.assign(601u * 8000u, 128);
    Write("long.wav", sim::host::SerializeWav(long8));
    Write("tone.wav", sim::host::SerializeWav(sim::host::SineWav(22050, 1, 1000.0, 0.2, 0.5)));
    // A microphone alone, and a render device, from descriptor files.
    Write("mic/descriptors", sim::ToSysfsBytes(haltest::WebcamMicrophone()));
    Write("render/descriptors", sim::ToSysfsBytes(sim::malformed::RenderDevice()));
  }
};

TEST_F(CommandLineTest, BadInputGetsOneClearLineAndAFailingStatus) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;  // in stderr's first line
  } rows[] = {
      // Values: out of range, not numbers, not finite; refused with the range.
      {{"set", "volume", "-40000dB"}, 1, "volume (node 2): '-40000dB' is out of range (accepted: -60.00 dB to 0.00 dB)"},
      {{"set", "volume", "nan"}, 1, "volume (node 2): 'nan' is not a finite number (accepted: -60.00 dB to 0.00 dB)"},
      {{"set", "volume", "infdB"}, 1, "'infdB' is not a finite number (accepted: -60.00 dB to 0.00 dB)"},
      {{"set", "volume", "1e400"}, 1, "'1e400' is out of range (accepted: -60.00 dB to 0.00 dB)"},
      {{"set", "volume", "loud"}, 1, "'loud' is not a number (accepted: -60.00 dB to 0.00 dB)"},
      {{"set", "volume", "-6dB", "--channel", "0"}, 1, "--channel '0' is out of range (accepted: 1 to 255); channels count from 1"},
      {{"set", "volume", "-6dB", "--channel", "3"}, 1, "volume (node 2): has no channel 3 (accepted: 1 to 2)"},
      {{"set", "--capture", "volume", "31dB"}, 1, "volume (node 11): '31dB' is out of range (accepted: -20.00 dB to 30.00 dB)"},
      {{"set", "mute", "maybe"}, 1, "mute (node 1): 'maybe' is not a choice (accepted: on, off, 1, 0, true, false)"},
      {{"set", "nothing", "1"}, 1, "no control 'nothing' on the render path (there: mute, volume, bass, mid, treble, loudness, room;"},
      {{"get", "volume#9"}, 1, "no control 'volume#9' on the render path"},
      {{"record", "0"}, 1, "record SECONDS: '0' is out of range (accepted: 0.01 s to 600 s)"},
      {{"record", "601"}, 1, "record SECONDS: '601' is out of range (accepted: 0.01 s to 600 s)"},
      {{"record", "1e999"}, 1, "record SECONDS: '1e999' is out of range"},
      {{"record", "inf"}, 1, "record SECONDS: 'inf' is not a finite number"},
      {{"play", "--set", "volume=-6dB@-1"}, 1, "the time in 'volume=-6dB@-1': '-1' is out of range (accepted: 0 s to 600 s)"},
      {{"play", "--set", "volume=-80dB"}, 1, "volume (node 2): '-80dB' is out of range (accepted: -60.00 dB to 0.00 dB)"},
      {{"play", "--set", "volume"}, 1, "'volume' is not CONTROL=VALUE[@SECONDS]"},
      {{"play", "--room", "maybe"}, 1, "--room takes on or off[@SECONDS], not 'maybe'"},
      {{"play", "--set", "volume=-6dB@9"}, 1, "volume=-6dB is set at 9.000 s, past the end of the 1.500 s played"},
      {{"events", "2:volume:1=-768"}, 1, "unit 2 volume: '-768' is out of range (accepted: -60.00 dB to 0.00 dB)"},
      {{"events", "2:volume:3=-6dB"}, 1, "unit 2 has no volume control on channel 3"},
      {{"events", "9:mute=on"}, 1, "the device has no unit 9 (its units with controls: 2, 5, 6)"},
      {{"events", "2:mute"}, 1, "'2:mute' is not UNIT:CONTROL[:CHANNEL]=VALUE"},
      // Files: checked before they are read.
      {{"play", "{}/folder"}, 1, "/folder is a directory, not a WAV file"},
      {{"play", "/dev/zero"}, 1, "/dev/zero is a character device, not a WAV file"},
      {{"play", "{}/fifo"}, 1, "/fifo is a pipe, not a WAV file"},
      {{"play", "{}/missing.wav"}, 1, "cannot open WAV file"},
      {{"play", "{}/huge.wav"}, 1, "/huge.wav is 513 MiB; a WAV file may have at most 512 MiB"},
      {{"play", "{}/empty.wav"}, 1, "/empty.wav: not a RIFF/WAVE file"},
      {{"play", "{}/noaudio.wav"}, 1, "/noaudio.wav holds no audio (its data chunk is empty)"},
      {{"play", "{}/f64.wav"}, 1, "64-bit float samples are not supported (accepted: PCM of 8, 16, 24 or 32 bits, or 32-bit float)"},
      {{"play", "{}/1khz.wav"}, 1, "the audio engine converts rates from 8000 to 384000 Hz, not 1000 Hz"},
      {{"play", "{}/long.wav"}, 1, "/long.wav is 601.000 s long; play takes at most 600.000 s"},
      {{"play", "--device-out", "{}/folder"}, 1, "/folder is a directory; name a file to write"},
      {{"record", "1", "{}/folder"}, 1, "/folder is a directory; name a file to write"},
      {{"info", "--dot", "{}/folder"}, 1, "/folder is a directory; name a file to write"},
      {{"--descriptors", "{}/folder", "info"}, 1, "/folder is a directory, not a descriptor file"},
      {{"--descriptors", "/dev/zero", "info"}, 1, "/dev/zero is a character device, not a descriptor file"},
      {{"--descriptors", "{}/big.descriptors", "info"}, 1, "is 2 MiB; a descriptor file may have at most 1 MiB"},
      {{"--descriptors", "{}/text.descriptors", "info"}, 1, "/text.descriptors: shorter than a device descriptor"},
      {{"--state", "{}/afile", "get"}, 1, "cannot create state directory"},
      {{"--device", "nope", "get"}, 1, "no embedded device 'nope' (accepted: headset, 7746, 7762, tq4187, tq4187-v2, vzr417, uac2, uac2-fs, 7753-poll, 7753, list)"},
      {{"--factory", "maker", "get"}, 1, "--factory takes product or chip, not 'maker'"},
      {{"play", "--seconds", "nan"}, 1, "--seconds 'nan' is not a finite number"},
      {{"play", "{}/1khz.wav", "--seconds", "1"}, 1, "play takes a WAV file or --seconds, not both"},
      {{"--device", "uac2", "play", "--clock-ppm", "20000"}, 1, "--clock-ppm takes A or START:END in ppm: '20000' is out of range"},
      {{"play", "--clock-ppm", "50"}, 1, "--clock-ppm needs an Audio Class 2.0 device"},
      {{"asio", "--latency", "9"}, 1, "--latency '9' is out of range (accepted: 0 to 8)"},
      {{"asio"}, 1, "no ASIO"},
      {{"events", "status=10"}, 1, "the driver polls no status on this device"},
      {{"--device", "7753-poll", "events", "status=1"}, 1, "two hex digits a byte"},
      // Values the device's controls do not take, with what they take.
      {{"set", "--capture", "selector", "2"}, 1, "selector (node 13): '2' is out of range (accepted: 1 to 1)"},
      {{"--device", "tq4187", "set", "headphone.room", "1", "--channel", "2"}, 1,
       "headphone (node 4): room has one value, not channels"},
      // A stream the device does not have: the failure alone, on stderr.
      {{"--descriptors", "{}/mic/descriptors", "play"}, 1, "the device offers no render stream"},
      {{"--descriptors", "{}/render/descriptors", "record"}, 1, "the device offers no capture stream"},
      // The bus speed: only for a descriptor file, and one of two.
      {{"--descriptors", "{}/render/descriptors", "--speed", "super", "info"}, 1,
       "--speed takes full or high, not 'super'"},
      {{"--device", "uac2", "--speed", "full", "info"}, 1, "--speed applies to a device from --descriptors"},
      {{"--device", "uac2", "events", "9:2=300"}, 1, "does not fit entity 9's control 2 (accepted: 0 to 1)"},
      // A malformed command line: the usage follows, status 2.
      {{}, 2, "no command given"},
      {{"--state"}, 2, "--state needs a value (--state DIR)"},
      {{"--state", "info"}, 2, "--state needs a value (--state DIR); 'info' was taken for it and no command is left"},
      {{"info", "--state"}, 2, "--state needs a value (--state DIR)"},
      {{"info", "--state", "--json"}, 2, "--state needs a value (--state DIR)"},
      {{"frob"}, 2, "unknown command 'frob' (commands: info, get, set, play, record, events, asio, demo)"},
      {{"get", "--frob"}, 2, "unknown option --frob (accepted: --device,"},
      {{"set", "volume"}, 2, "set takes 2 arguments (CONTROL VALUE), not 1: 'volume'"},
      {{"record", "1", "a.wav", "extra"}, 2, "record takes 0 to 2 arguments ([SECONDS] [FILE.wav]), not 3: 'extra'"},
      {{"--json=1", "get"}, 2, "--json takes no value"},
      {{"set", "volume", "-6dB", "--channel", "1", "--channel", "2"}, 2, "--channel is given more than once"},
      {{"--device", "list", "info"}, 2, "--device list lists the devices; it takes no command"},
      {{"--device", "headset", "--descriptors", "x", "info"}, 2, "--device and --descriptors both name the device"},
      // Errors as JSON under --json.
      {{"--json", "set", "volume", "5"}, 1, "{\"error\": \"volume (node 2): '5' is out of range (accepted: -60.00 dB to 0.00 dB)\"}"},
      {{"--json", "frob"}, 2, "{\"error\": \"unknown command 'frob' (commands: info, get, set, play, record, events, asio, demo)\", \"usage\": "},
  };
  for (const auto& row : rows) {
    const std::string input = Joined(row.args);
    SCOPED_TRACE(input);
    const Outcome r = Program(row.args);
    const std::string first = r.err.substr(0, r.err.find('\n'));
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(first.find(row.message), std::string::npos) << first;
    EXPECT_EQ(r.out, "");
    if (row.status == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else if (std::find(row.args.begin(), row.args.end(), "--json") == row.args.end()) {
      EXPECT_NE(r.err.find("\nusage: headset-host"), std::string::npos) << r.err;
    }
    RecordProperty(input.empty() ? "(no arguments)" : input, std::to_string(r.status) + " " + first);
  }
}

// Good input, for contrast: the same mechanisms let it through, and every
// command answers --json with one JSON document.
TEST_F(CommandLineTest, GoodInputSucceedsAndAnswersJson) {
  Outcome r = Program({"set", "volume", "-6dB", "--channel", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "volume (node 2): -12.00 dB, -6.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");
  r = Program({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "headset-host " + std::string(tools::kVersion) + "\n");
  r = Program({"play", "{}/tone.wav", "--device-out", "{}/device.wav"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("as 8 ch 48000 Hz 16 bit, converted from 1 ch 22050 Hz 16 bit (rate, channels)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--json", "--version"},
                                             {"--json", "--device", "list"},
                                             {"--json", "get", "volume"},
                                             {"--json", "set", "mute", "off"},
                                             {"--json", "record", "0.1", "{}/recorded.wav"},
                                             {"--json", "play", "{}/tone.wav", "--device-out", "{}/device.wav"},
                                             {"--json", "events", "2:mute=on"},
                                             {"--json", "info"},
                                             {"--json", "info", "--dot", "-"},
                                             {"--json", "--help"}}) {
    SCOPED_TRACE(Joined(args));
    r = Program(args);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(r.out.front() == '{' || r.out.front() == '[') << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
  }
}

// "-" is stdout: the graph alone, ready for a pipe into Graphviz; no file
// of that name.
TEST_F(CommandLineTest, InfoDotDashWritesTheGraphToStdout) {
  const Outcome r = Program({"info", "--dot", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("digraph \"GlobalTopo\" {\n", 0), 0u) << r.out.substr(0, 200);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists("-"));
  std::filesystem::remove("-");
  const Outcome json = Program({"--json", "info", "--dot", "-"});
  EXPECT_NE(json.out.find("\"graph\": \"digraph \\\"GlobalTopo\\\" {\\n"), std::string::npos) << json.out;
}

TEST_F(CommandLineTest, InfoOnADescriptorFileMarksWhatTheSimulationAssumed) {
  const char* source = std::getenv("HSD_SOURCE_DIR");
  const std::string file = std::string(source ? source : ".") + "/tests/data/tools/sample-headset.descriptors";
  const Outcome r = Program({"--descriptors", file, "info"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("assumed by the simulation (the descriptors do not say):\n  feature unit "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" volume -60.00 dB .. 0.00 dB step 0.50 dB, -12.00 dB at start (assumed)"), std::string::npos)
      << r.out;
  EXPECT_EQ(Program({"info"}).out.find("(assumed)"), std::string::npos);
}

// The demo starts from the device's own settings every run and lists only
// files it wrote.
TEST_F(CommandLineTest, DemoRunsOnAFreshStateAndListsWhatItWrote) {
  // A state that a user left muted and quiet: the demo does not see it.
  ASSERT_EQ(Program({"set", "mute", "on"}).status, 0);
  for (int run = 0; run < 2; ++run) {
    const Outcome r = Program({"demo", "--out", "{}/out"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("0x00000000 STATUS_SUCCESS ("), r.out.find("driver start: ") + 14) << r.out;
    size_t listed = 0;
    for (size_t at = r.out.find(Path("out/")); at != std::string::npos; at = r.out.find(Path("out/"), at + 1)) {
      const size_t end = r.out.find_first_of(",)", at);
      EXPECT_TRUE(std::filesystem::is_regular_file(r.out.substr(at, end - at))) << r.out.substr(at, end - at);
      ++listed;
    }
    EXPECT_GE(listed, 12u) << r.out;
  }
  // The user's state is as it was left.
  const Outcome after = Program({"get", "mute"});
  EXPECT_EQ(after.out, "mute (node 1): on\n");
}

// The demo runs what each device has and says what it skipped and why; a
// failure is one line on stderr (a JSON error under --json) after the
// report of every step.
TEST_F(CommandLineTest, DemoRunsWhatEachDeviceHasAndNamesAFailureOnStderr) {
  const struct {
    const char* device;
    std::vector<const char*> lines;
  } runs[] = {
      {"7746",
       {"  room effect: skipped: the device has no room effect\n",
        "  events: skipped: the driver runs no status thread on this device, so a change made on the device never "
        "reaches it\n"}},
      {"tq4187", {"; off: crossfade at 1.320 s (this device's room effect plays no prompt)", "  events: skipped: "}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.device);
    const Outcome r = Program({"--device", run.device, "demo", "--out", "{}/out"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
    for (const char* line : run.lines) EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  // A device the driver refuses: nothing after the start runs.
  Write("refused/descriptors", sim::ToSysfsBytes(sim::malformed::ZeroLengthDescriptor()));
  Outcome r = Program({"--descriptors", "{}/refused/descriptors", "demo", "--out", "{}/out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "headset-host: the demo failed at driver start: the driver refused the device: SelectConfiguration failed "
            "with status 0xC000000D: the bus driver refused the configuration (SELECT_CONFIGURATION)\n");
  EXPECT_NE(r.out.find("  driver start: failed: the driver refused the device: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  play: "), std::string::npos) << r.out;
  r = Program({"--json", "--descriptors", "{}/refused/descriptors", "demo", "--out", "{}/out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("{\"error\": \"the demo failed at driver start: ", 0), 0u) << r.err;
  EXPECT_NE(r.out.find("\"ok\": false"), std::string::npos) << r.out;
}

// Each embedded device is a device instance of its own, even where two
// share their IDs: a setting one stored never shows on the other.
TEST_F(CommandLineTest, DevicesWithTheSameIdsKeepSettingsApart) {
  const struct {
    const char* first;
    const char* second;
    const char* control;
    const char* value;
    const char* stored;  // what the first reads back, and the second must not
  } pairs[] = {
      {"tq4187", "tq4187-v2", "headphone.room", "2", "room 2"},
      {"uac2", "uac2-fs", "volume", "-20dB", "-20.00 dB"},
  };
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.first);
    ASSERT_EQ(Program({"--device", p.first, "set", p.control, p.value}).status, 0);
    EXPECT_NE(Program({"--device", p.first, "get", p.control}).out.find(p.stored), std::string::npos);
    const Outcome other = Program({"--device", p.second, "get", p.control});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(other.out.find(p.stored), std::string::npos) << other.out;
  }
}

TEST(JsonWriterTest, EscapesOnceAndWritesNullForWhatIsNoNumber) {
  tools::JsonWriter j;
  j.Object().Field("text", std::string("a \"b\"\\\n\t\x01")).Field("n", -3).Field("x", 0.1).Key("list").Array();
  j.Value(NAN).Value(INFINITY).Value(true).Object().End().End().End();
  EXPECT_EQ(j.Text(), "{\"text\": \"a \\\"b\\\"\\\\\\n\\t\\u0001\", \"n\": -3, \"x\": 0.1, \"list\": [null, null, true, {}]}");
}

// The progress line waits a second, then redraws in place and is erased
// when the run ends; off a terminal it never shows.
TEST(ProgressLineTest, ShowsOnlyOnATerminalAfterASecond) {
  FILE* err = std::tmpfile();
  {
    tools::ProgressLine quiet(err, "playing", 10.0);
    quiet.Update(5.0);
    EXPECT_FALSE(quiet.Shown());
    tools::ProgressLine line(err, "playing", 10.0);
    line.DrawAnyway();
    line.Update(1.0);
    EXPECT_FALSE(line.Shown());
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    line.Update(2.5);
    EXPECT_TRUE(line.Shown());
  }
  EXPECT_EQ(Contents(err), "\rplaying 2.5 s of 10.0 s (25%)\033[K\r\033[K");
}

}  // namespace
