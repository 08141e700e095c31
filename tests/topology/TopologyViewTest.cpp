// The host's view of the topology filter: text and graph, controls read and
// changed by name through the property path, and the event watch.
#include <gtest/gtest.h>

#include <map>

#include "sim/host/TopologyView.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/TopologyHarness.h"

namespace {

using namespace sim::host;
using topotest::TopologyHarness;

constexpr LONG dB = 65536;

class TopologyViewTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    t = std::make_unique<TopologyHarness>();
    t->InputPin(1, PIN_CATEGORY_STREAM);
    t->Level(NODE_TYPE_VOLUME, 2, 1, 2, 0, -60 * dB, dB);
    t->Switch(NODE_TYPE_MUTE, 3, 2, 2);
    t->Level(NODE_TYPE_BASS, 4, 3, 1, 6 * dB, -6 * dB, dB);
    t->OutputPin(5, 4, PIN_CATEGORY_SPDIF);
    t->OutputType(6, 4, {PIN_CATEGORY_SPDIF, PIN_CATEGORY_HP});
    t->Mixer(7, {1, 4});
    t->OutputPin(8, 7, PIN_CATEGORY_HP);
    ASSERT_EQ(t->Start(), STATUS_SUCCESS);
    view = ViewTopology(u"GlobalTopo", t->Descriptor());
  }
  void TearDown() override {
    t.reset();
    KernelTest::TearDown();
  }
  std::unique_ptr<TopologyHarness> t;
  TopologyView view;
};

TEST_F(TopologyViewTest, TextAndGraphShowPinsNodesAndConnections) {
  const std::string text = TopologyText(view);
  EXPECT_NE(text.find("topology filter GlobalTopo"), std::string::npos);
  EXPECT_NE(text.find("EnumPrivateInterfaceClass"), std::string::npos);
  EXPECT_NE(text.find("0: in   KSCATEGORY_AUDIO"), std::string::npos) << text;
  EXPECT_NE(text.find("out  KSNODETYPE_SPDIF_INTERFACE, name S/PDIF out"), std::string::npos) << text;
  EXPECT_NE(text.find(": bass  KSNODETYPE_TONE, name KSAUDFNAME_BASS"), std::string::npos) << text;
  EXPECT_NE(text.find(": output type  KSNODETYPE_DEV_SPECIFIC, name output type"), std::string::npos) << text;
  EXPECT_NE(text.find(": sum  KSNODETYPE_SUM"), std::string::npos) << text;
  EXPECT_NE(text.find("pin 0 -> node "), std::string::npos) << text;

  const std::string dot = TopologyDot(view);
  EXPECT_EQ(dot.rfind("digraph \"GlobalTopo\" {", 0), 0u);
  EXPECT_EQ(dot.substr(dot.size() - 2), "}\n");
  size_t edges = 0;
  for (size_t at = dot.find(" -> "); at != std::string::npos; at = dot.find(" -> ", at + 1)) ++edges;
  EXPECT_EQ(edges, view.links.size());
  for (const TopologyPin& p : view.pins) EXPECT_NE(dot.find("pin" + std::to_string(p.id) + " [shape=cds"), std::string::npos);
}

TEST_F(TopologyViewTest, ControlsByNameThroughThePropertyPath) {
  ULONG node = 99;
  ASSERT_TRUE(FindControl(view, "volume", &node));
  EXPECT_EQ(view.nodes[node].kind, "volume");
  ULONG again = 99;
  EXPECT_TRUE(FindControl(view, std::to_string(node), &again));
  EXPECT_EQ(again, node);
  EXPECT_FALSE(FindControl(view, "volume#2", &again));
  EXPECT_FALSE(FindControl(view, "99", &again));

  std::string error;
  ASSERT_EQ(WriteControl(t->Filter(), view, node, "-12.5dB", -1, &error), STATUS_SUCCESS) << error;
  ControlReading reading;
  ASSERT_EQ(ReadControl(t->Filter(), view, node, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values, (std::vector<LONG>{-12 * dB - dB / 2, -12 * dB - dB / 2}));
  EXPECT_TRUE(reading.hasRange);
  EXPECT_EQ(reading.minimum, -60 * dB);
  EXPECT_EQ(reading.step, dB);
  EXPECT_NE(reading.text.find("-12.50 dB, -12.50 dB"), std::string::npos) << reading.text;
  ASSERT_EQ(WriteControl(t->Filter(), view, node, "-3", 1, &error), STATUS_SUCCESS) << error;
  ASSERT_EQ(ReadControl(t->Filter(), view, node, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values, (std::vector<LONG>{-12 * dB - dB / 2, -3 * dB}));
  EXPECT_NE(WriteControl(t->Filter(), view, node, "loud", -1, &error), STATUS_SUCCESS);

  ASSERT_TRUE(FindControl(view, "mute", &node));
  ASSERT_EQ(WriteControl(t->Filter(), view, node, "on", -1, &error), STATUS_SUCCESS) << error;
  ASSERT_EQ(ReadControl(t->Filter(), view, node, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values, (std::vector<LONG>{1, 1}));

  ASSERT_TRUE(FindControl(view, "output type", &node));
  ASSERT_EQ(WriteControl(t->Filter(), view, node, "hp", -1, &error), STATUS_SUCCESS) << error;
  ASSERT_EQ(ReadControl(t->Filter(), view, node, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values, (std::vector<LONG>{PIN_CATEGORY_HP}));
  EXPECT_EQ(reading.choices, (std::vector<ULONG>{PIN_CATEGORY_SPDIF, PIN_CATEGORY_HP}));
  EXPECT_EQ(WriteControl(t->Filter(), view, node, "Mic", -1, &error), STATUS_INVALID_PARAMETER);

  ASSERT_TRUE(FindControl(view, "sum", &node));
  EXPECT_EQ(ReadControl(t->Filter(), view, node, &reading), STATUS_NOT_SUPPORTED);
}

TEST_F(TopologyViewTest, WatchSeesTheNodesThatChanged) {
  ControlChangeWatch watch(t->Filter(), view);
  // Volume, mute, bass and output type carry the event; the sum does not.
  EXPECT_EQ(watch.Subscriptions(), 4u);
  t->Model().NotifyControlChange(3);
  t->Model().NotifyControlChange(3);
  t->Model().NotifyControlChange(4);
  ULONG mute = 0, bass = 0;
  ASSERT_TRUE(FindControl(view, "mute", &mute));
  ASSERT_TRUE(FindControl(view, "bass", &bass));
  const auto deliveries = watch.TakeDeliveries();
  EXPECT_EQ((std::map<ULONG, ULONG>(deliveries.begin(), deliveries.end())),
            (std::map<ULONG, ULONG>{{mute, 2}, {bass, 1}}));
  EXPECT_TRUE(watch.TakeDeliveries().empty());
}

}  // namespace
