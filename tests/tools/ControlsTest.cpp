// headset-host's control commands on the embedded headset: what `get`,
// `set` and `events` do, run on the driver started as the program starts it
// (with the driver's own miniports; the host installs none).
#include <gtest/gtest.h>

#include "sim/device/DefaultHeadset.h"
#include "sim/device/EmbeddedDevices.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/driverinfo.h"

namespace {

using sim::host::RunningDriver;
using sim::host::TopologyView;

class ControlsTest : public toolstest::ToolsTest {
 protected:
  struct Live {
    Live() : driver(sim::headset::Descriptors(), sim::headset::Profile()) {
      EXPECT_EQ(driver.startStatus, STATUS_SUCCESS);
      view = tools::ViewDriverTopology(driver);
    }
    RunningDriver driver;
    TopologyView view;
  };
};

TEST_F(ControlsTest, GetListsEveryControlAndNamesWhatItCannotRead) {
  Live live;
  std::string out, error;
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {}, false, &out, &error)) << error;
  // Every one of the eleven nodes reads, the single-input selector its one
  // input. They are listed by the hardware model's numbers, the numbers its
  // stored values carry ("Unit02_" is node 2).
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 11) << out;
  EXPECT_NE(out.find("selector (node 13): input 1 of 1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("mute (node 1): off\nvolume (node 2): -12.00 dB, -12.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n"),
            0u)
      << out;
  EXPECT_NE(out.find("room (node 7): off"), std::string::npos) << out;
  EXPECT_NE(out.find("volume (node 11): 0.00 dB"), std::string::npos) << out;

  // A kind alone is the render path's; --capture counts along the other.
  out.clear();
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"mute"}, true, &out, &error));
  EXPECT_EQ(out,
            "[{\"node\": 1, \"kind\": \"mute\", \"path\": \"render\", \"values\": [0], \"text\": \"mute (node 1): "
            "off\"}]\n");
  out.clear();
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"volume", "11"}, false, &out, &error, true));
  EXPECT_EQ(out,
            "volume (node 11): 0.00 dB  [-20.00 dB .. 30.00 dB, step 1.00 dB]\n"
            "volume (node 11): 0.00 dB  [-20.00 dB .. 30.00 dB, step 1.00 dB]\n");

  for (const char* spec : {"sum", "volume#2", "42", "7.room"}) {
    SCOPED_TRACE(spec);
    out.clear();
    error.clear();
    EXPECT_FALSE(tools::GetControls(live.driver.Topology(), live.view, {spec}, false, &out, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(ControlsTest, SetReachesTheDeviceAndPersistsToTheNextStart) {
  {
    Live live;
    std::string out, error;
    ASSERT_TRUE(tools::SetControl(live.driver.Topology(), live.view, "volume", "-10dB", -1, false, &out, &error))
        << error;
    EXPECT_EQ(out, "volume (node 2): -10.00 dB, -10.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");
    // 1/256 dB, little-endian, on each logical channel.
    EXPECT_EQ(live.driver.Device().ControlValue(sim::headset::kRenderFeatureUnit, 2, 1), (sim::Bytes{0x00, 0xF6}));
    out.clear();
    ASSERT_TRUE(tools::SetControl(live.driver.Topology(), live.view, "2", "-20", 1, false, &out, &error));
    EXPECT_EQ(out, "volume (node 2): -10.00 dB, -20.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");

    // Refused before anything reaches the device, the message naming the
    // node, the value and what the node takes; nothing wraps or clamps.
    const struct {
      const char* spec;
      const char* value;
      LONG channel;
      const char* message;
    } refused[] = {
        {"volume", "loud", -1, "volume (node 2): 'loud' is not a number (accepted: -60.00 dB to 0.00 dB)"},
        {"volume", "-40000dB", -1, "volume (node 2): '-40000dB' is out of range (accepted: -60.00 dB to 0.00 dB)"},
        {"volume", "0.5dB", -1, "'0.5dB' is out of range"},
        {"volume", "nan", -1, "'nan' is not a finite number"},
        {"volume", "infdB", -1, "'infdB' is not a finite number"},
        {"volume", "-inf", -1, "'-inf' is not a finite number"},
        {"volume", "1e400", -1, "'1e400' is out of range"},
        {"volume", "0x10", -1, "'0x10' is not a decimal number"},
        {"volume", "-6", 7, "volume (node 2): has no channel 8 (accepted: 1 to 2)"},
        {"mute", "maybe", -1, "mute (node 1): 'maybe' is not a choice (accepted: on, off, 1, 0, true, false)"},
        {"room", "2", -1, "room (node 7): '2' is not a choice"},
        {"nothing", "1", -1, "no control 'nothing' on the render path (there: mute, volume, bass, mid, treble, "
                             "loudness, room;"},
    };
    for (const auto& r : refused) {
      SCOPED_TRACE(std::string(r.spec) + " " + r.value);
      error.clear();
      out.clear();
      EXPECT_FALSE(tools::SetControl(live.driver.Topology(), live.view, r.spec, r.value, r.channel, false, &out, &error));
      EXPECT_NE(error.find(r.message), std::string::npos) << error;
      EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(live.driver.Device().ControlValue(sim::headset::kRenderFeatureUnit, 2, 1), (sim::Bytes{0x00, 0xF6}));
  }
  // The program runs a new driver for each command: what `set` stored is
  // what the next start restores.
  Live again;
  std::string out, error;
  ASSERT_TRUE(tools::GetControls(again.driver.Topology(), again.view, {"volume"}, false, &out, &error));
  EXPECT_EQ(out, "volume (node 2): -10.00 dB, -20.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");
}

// A selector is one kind of control, whether KS shows it as a mux (the
// 7753's, three inputs) or as a device-specific node (the headset's
// microphone selector, one input): named alike in get, set and info, read
// back, and offered exactly its inputs.
TEST_F(ControlsTest, SelectorsAreOneKindThatTakesOnlyTheirInputs) {
  const struct {
    const char* device;
    ULONG inputs;
    const char* node;  // as get and info name it
    const char* modelLine;
    const char* topologyLine;
  } cases[] = {
      {"headset", 1, "selector (node 13)", "  node 13 selector, sources 12: input 1 of 1",
       "    13: selector  KSNODETYPE_DEV_SPECIFIC (capture)\n"},
      {"7753", 3, "selector (node 14)", "  node 14 selector, sources 3 17 21: input 1 of 3",
       "    14: selector  KSNODETYPE_MUX (capture)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(c.device);
    ASSERT_NE(device, nullptr);
    const tools::DriverReport report =
        tools::RunDriver(device->descriptors(), device->profile(), device->speed, device->factory);
    EXPECT_NE(report.model.find(c.modelLine), std::string::npos) << report.model;
    EXPECT_NE(report.topology.find(c.topologyLine), std::string::npos) << report.topology;

    RunningDriver driver(device->descriptors(), device->profile(), device->speed, device->factory);
    const TopologyView view = tools::ViewDriverTopology(driver);
    const std::string first = std::string(c.node) + ": input 1 of " + std::to_string(c.inputs) + "\n";
    // "mux", the name a selector had, still finds it.
    for (const char* name : {"selector", "mux"}) {
      std::string out, error;
      ASSERT_TRUE(tools::GetControls(driver.Topology(), view, {name}, false, &out, &error, true)) << error;
      EXPECT_EQ(out, first);
    }
    std::string out, error;
    const std::string past = std::to_string(c.inputs + 1);
    EXPECT_FALSE(tools::SetControl(driver.Topology(), view, "selector", past, -1, false, &out, &error, true));
    EXPECT_NE(error.find(std::string(c.node) + ": '" + past + "' is out of range (accepted: 1 to " +
                         std::to_string(c.inputs) + ")"),
              std::string::npos)
        << error;
    error.clear();
    ASSERT_TRUE(tools::SetControl(driver.Topology(), view, "selector", std::to_string(c.inputs), -1, false, &out,
                                  &error, true))
        << error;
    EXPECT_EQ(out, std::string(c.node) + ": input " + std::to_string(c.inputs) + " of " + std::to_string(c.inputs) +
                       "\n");
  }
}

TEST_F(ControlsTest, DeviceChangesAreParsedAgainstTheDevice) {
  Live live;
  const sim::SimDevice& device = live.driver.Device();
  // Values as `set` takes them: dB for levels (1/256 dB on the wire for
  // volume), on/off for switches; channels from 1, 0 or master for the
  // master control.
  const struct {
    const char* text;
    sim::Bytes value;  // empty: refused
    const char* message;
  } cases[] = {
      {"2:1:0=1", {1}, ""},                   // playback mute, master
      {"2:mute:master=on", {1}, ""},          // the same by name
      {"2:volume:1=-3dB", {0x00, 0xFD}, ""},  // playback volume, left, -3 dB
      {"2:2:1=-3", {0x00, 0xFD}, ""},
      {"5:2=1", {0x00, 0x01}, ""},  // microphone volume, master, +1 dB
      {"6:0=1", {1}, ""},           // the selector: one byte
      {"2:2:1=-768", {}, "unit 2 volume: '-768' is out of range (accepted: -60.00 dB to 0.00 dB)"},
      {"2:2:1=nan", {}, "'nan' is not a finite number"},
      {"2:1=1.5", {}, "'1.5' is not a choice (accepted: on, off"},
      {"6:0=2", {}, "'2' is out of range (accepted: 1 to 1)"},
      {"5:2:1=0", {}, "unit 5 has no volume control on channel 1"},
      {"2:2:-1=0", {}, "channel '-1' is out of range"},
      {"9:1=1", {}, "the device has no unit 9 (its units with controls: 2, 5, 6)"},
      {"2:1:0", {}, "is not UNIT:CONTROL[:CHANNEL]=VALUE"},
      {"2=1", {}, "is not UNIT:CONTROL[:CHANNEL]=VALUE"},
      {"2:1:0:0=1", {}, "is not UNIT:CONTROL[:CHANNEL]=VALUE"},
      {"256:1=1", {}, "unit '256' is out of range"},
      {"2:x=1", {}, "control 'x' is not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    tools::DeviceChange change;
    std::string error;
    EXPECT_EQ(tools::ParseDeviceChange(c.text, device, &change, &error), !c.value.empty()) << error;
    if (!c.value.empty()) EXPECT_EQ(change.value, c.value);
    else EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST_F(ControlsTest, EventsFollowTheHeadsetsButtons) {
  Live live;
  const std::vector<tools::DeviceChange> changes = tools::DefaultDeviceChanges(live.driver.Device());
  std::vector<std::string> texts;
  for (const auto& c : changes) texts.push_back(c.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"unit 2 mute master = on", "unit 2 volume channel 1 = -15.00 dB",
                                             "unit 5 mute master = on", "unit 5 volume master = -3.00 dB"}));
  std::string out;
  EXPECT_TRUE(tools::WatchEvents(live.driver, live.view, changes, false, &out)) << out;
  // Each change is announced on its own path's nodes, and the node reads the
  // device's new value.
  EXPECT_NE(out.find("event: mute (node 1) -> mute (node 1): on"), std::string::npos) << out;
  EXPECT_NE(out.find("event: volume (node 2) -> volume (node 2): -15.00 dB, -12.00 dB"), std::string::npos) << out;
  EXPECT_NE(out.find("event: mute (node 10) -> mute (node 10): on"), std::string::npos) << out;
  EXPECT_NE(out.find("event: volume (node 11) -> volume (node 11): -3.00 dB"), std::string::npos) << out;
  EXPECT_EQ(out.find("no event"), std::string::npos) << out;

  // The selector has no event: reported, not hidden.
  tools::DeviceChange selector;
  std::string error;
  ASSERT_TRUE(tools::ParseDeviceChange("6:0=1", live.driver.Device(), &selector, &error));
  out.clear();
  EXPECT_FALSE(tools::WatchEvents(live.driver, live.view, {selector}, false, &out));
  EXPECT_NE(out.find("no event"), std::string::npos) << out;
}

TEST_F(ControlsTest, InfoDescribesTheTopologyFilter) {
  const tools::DriverReport report = tools::RunDriver(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(report.start, STATUS_SUCCESS);
  EXPECT_EQ(report.topology.rfind("topology filter GlobalTopo\n", 0), 0u) << report.topology;
  EXPECT_NE(report.topology.find("    3: in   KSNODETYPE_HEADSET\n"), std::string::npos) << report.topology;
  // One numbering: the hardware model's nodes, the filter's nodes and their
  // connections name the render volume and the microphone's mute alike.
  EXPECT_NE(report.model.find("  node 2 volume, sources 1"), std::string::npos) << report.model;
  EXPECT_NE(report.topology.find("    2: volume  KSNODETYPE_VOLUME (render)\n"), std::string::npos) << report.topology;
  EXPECT_NE(report.topology.find("    11: volume  KSNODETYPE_VOLUME (capture)\n"), std::string::npos) << report.topology;
  EXPECT_NE(report.topology.find("    pin 3 -> node 10.1\n"), std::string::npos) << report.topology;
  EXPECT_EQ(report.dot.rfind("digraph \"GlobalTopo\" {", 0), 0u);
  // Line breaks in the graph's labels are escaped once.
  EXPECT_NE(report.dot.find("node2 [shape=box, style=rounded, label=\"2: volume\\nKSNODETYPE_VOLUME\"];"),
            std::string::npos)
      << report.dot;
  EXPECT_EQ(report.dot.find("\\\\n"), std::string::npos) << report.dot;
  EXPECT_NE(tools::DescribeDriver(report).find(report.topology), std::string::npos);
  EXPECT_NE(tools::DriverJson(report).find("\"topology\": \"topology filter GlobalTopo\\n"), std::string::npos);
}

}  // namespace

// Every device `--device` offers starts and registers its topology filter:
// a profile that no longer matches its descriptors shows here first.
TEST_F(ControlsTest, EveryEmbeddedDeviceStarts) {
  for (const sim::EmbeddedDevice& device : sim::EmbeddedDevices()) {
    SCOPED_TRACE(device.name);
    const tools::DriverReport report =
        tools::RunDriver(device.descriptors(), device.profile(), device.speed, device.factory);
    EXPECT_EQ(report.start, STATUS_SUCCESS);
    EXPECT_FALSE(report.topology.empty());
    // Its nodes take the hardware model's numbers.
    sim::host::RunningDriver driver(device.descriptors(), device.profile(), device.speed, device.factory);
    ASSERT_NE(driver.Topology(), nullptr);
    sim::host::TopologyView view = sim::host::ViewTopology(driver.Topology());
    EXPECT_TRUE(sim::host::NumberAsModel(&view, driver.HostSide().AdapterDevice()));
  }
  EXPECT_STREQ(sim::EmbeddedDevices().front().name, "headset");
  EXPECT_EQ(sim::FindEmbeddedDevice("no such device"), nullptr);
}
