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
      if (driver.Topology())
        view = sim::host::ViewTopology(driver.Topology());
    }
    RunningDriver driver;
    TopologyView view;
  };
};

TEST_F(ControlsTest, GetListsEveryControlAndNamesWhatItCannotRead) {
  Live live;
  std::string out, error;
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {}, false, &out, &error)) << error;
  // Ten of the eleven nodes carry a readable control; the single-input
  // selector answers no GET.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 10) << out;
  EXPECT_NE(out.find("room (node 4): off"), std::string::npos) << out;
  EXPECT_NE(out.find("volume (node 9): -12.00 dB, -12.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]"),
            std::string::npos)
      << out;

  out.clear();
  ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"mute#2"}, true, &out, &error));
  EXPECT_EQ(out, "[{\"node\": 10, \"kind\": \"mute\", \"values\": [0], \"text\": \"mute (node 10): off\"}]\n");

  for (const char* spec : {"sum", "volume#3", "42", "selector"}) {
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
    ASSERT_TRUE(
        tools::SetControl(live.driver.Topology(), live.view, "volume#2", "-10dB", -1, false, &out, &error))
        << error;
    EXPECT_EQ(out, "volume (node 9): -10.00 dB, -10.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");
    // 1/256 dB, little-endian, on each logical channel.
    EXPECT_EQ(live.driver.Device().ControlValue(sim::headset::kRenderFeatureUnit, 2, 1), (sim::Bytes{0x00, 0xF6}));
    out.clear();
    ASSERT_TRUE(tools::SetControl(live.driver.Topology(), live.view, "volume#2", "-20", 1, false, &out, &error));
    EXPECT_EQ(out, "volume (node 9): -10.00 dB, -20.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");

    const struct {
      const char* spec;
      const char* value;
      LONG channel;
    } refused[] = {
        {"volume#2", "loud", -1},  // not a level
        {"mute", "maybe", -1},     // not a switch
        {"volume#2", "-6", 7},     // no such channel
        {"nothing", "1", -1},      // no such control
    };
    for (const auto& r : refused) {
      SCOPED_TRACE(r.spec);
      error.clear();
      out.clear();
      EXPECT_FALSE(tools::SetControl(live.driver.Topology(), live.view, r.spec, r.value, r.channel, false, &out, &error));
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(out.empty());
    }
  }
  // The program runs a new driver for each command: what `set` stored is
  // what the next start restores.
  Live again;
  std::string out, error;
  ASSERT_TRUE(tools::GetControls(again.driver.Topology(), again.view, {"volume#2"}, false, &out, &error));
  EXPECT_EQ(out, "volume (node 9): -10.00 dB, -20.00 dB  [-60.00 dB .. 0.00 dB, step 0.50 dB]\n");
}

TEST_F(ControlsTest, DeviceChangesAreParsedAgainstTheDevice) {
  Live live;
  const sim::SimDevice& device = live.driver.Device();
  const struct {
    const char* text;
    bool ok;
    sim::Bytes value;
  } cases[] = {
      {"2:1:0=1", true, {1}},                // playback mute, master
      {"2:2:1=-768", true, {0x00, 0xFD}},    // playback volume, left, -3 dB
      {"5:2=0x100", true, {0x00, 0x01}},     // microphone volume, master
      {"6:0=1", true, {1}},                  // the selector: one byte
      {"5:2:1=0", false, {}},                // the microphone has no per-channel volume
      {"9:1=1", false, {}},                  // no unit 9
      {"2:1:0", false, {}},                  // no value
      {"2=1", false, {}},                    // no control
      {"2:1:0:0=1", false, {}},              // too many fields
      {"256:1=1", false, {}},                // unit out of range
      {"2:x=1", false, {}},                  // not a number
      {"2:1=1.5", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    tools::DeviceChange change;
    std::string error;
    EXPECT_EQ(tools::ParseDeviceChange(c.text, device, &change, &error), c.ok) << error;
    if (c.ok) EXPECT_EQ(change.value, c.value);
    else EXPECT_FALSE(error.empty());
  }
}

TEST_F(ControlsTest, EventsFollowTheHeadsetsButtons) {
  Live live;
  const std::vector<tools::DeviceChange> changes = tools::DefaultDeviceChanges(live.driver.Device());
  std::vector<std::string> texts;
  for (const auto& c : changes) texts.push_back(c.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"unit 2 mute master = 1", "unit 2 volume channel 1 = -3840",
                                             "unit 5 mute master = 1", "unit 5 volume master = -768"}));
  std::string out;
  EXPECT_TRUE(tools::WatchEvents(live.driver, live.view, changes, false, &out)) << out;
  // Each change is announced on its own path's nodes, and the node reads the
  // device's new value.
  EXPECT_NE(out.find("event: node 10 (mute) -> mute (node 10): on"), std::string::npos) << out;
  EXPECT_NE(out.find("event: node 9 (volume) -> volume (node 9): -15.00 dB, -12.00 dB"), std::string::npos) << out;
  EXPECT_NE(out.find("event: node 3 (mute) -> mute (node 3): on"), std::string::npos) << out;
  EXPECT_NE(out.find("event: node 2 (volume) -> volume (node 2): -3.00 dB"), std::string::npos) << out;
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
  EXPECT_NE(report.topology.find("    pin 3 -> node 3.1\n"), std::string::npos) << report.topology;
  EXPECT_EQ(report.dot.rfind("digraph \"GlobalTopo\" {", 0), 0u);
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
  }
  EXPECT_STREQ(sim::EmbeddedDevices().front().name, "headset");
  EXPECT_EQ(sim::FindEmbeddedDevice("no such device"), nullptr);
}
