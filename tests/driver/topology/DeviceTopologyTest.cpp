// The topology filter of whole devices: the driver loaded into the host,
// started on a simulated device with the product's hardware model, and the
// filter its start registers walked through the property path. Status
// words on the device's interrupt endpoint come back as control-change
// events, and jack plugs as fresh jack answers. The wave filters come from
// the test wave miniport.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "driver/DriverEntry.h"
#include "driver/common/ValidatePropertyParams.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/DescriptorBuilder.h"
#include "sim/device/MalformedDescriptors.h"
#include "sim/host/RunningDriver.h"
#include "sim/host/TopologyView.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/support/TestMiniports.h"
#include "tests/support/KernelTest.h"
#include "topology/CMiniportTopology.h"
#include "topology/TopologyTable.h"
#include "usb/HubPort.h"
#include "usb/usbaudio.h"

namespace {

using namespace sim::host;

// A started driver on one simulated device, with the test wave miniport.
class RunningDevice : public RunningDriver {
 public:
  RunningDevice(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile)
      : RunningDriver(descriptors, profile, testsupport::CreateTestWaveMiniport) {
    EXPECT_EQ(entryStatus, STATUS_SUCCESS);
    EXPECT_EQ(addStatus, STATUS_SUCCESS);
  }

  IAudioHal* Model() { return GetDeviceExtension(HostSide().AdapterDevice())->Adapter; }

  // The model node behind each KS node, in KS order.
  std::vector<ITopoNode*> KsNodes() {
    std::vector<ITopoNode*> nodes;
    IAudioHal* model = Model();
    for (ULONG i = 0; i < model->GetNodeCount(); ++i) {
      ITopoNode* node = nullptr;
      model->GetNode(i, &node);
      const ULONG type = node->GetType();
      if (type != NODE_TYPE_INPUT_PIN && type != NODE_TYPE_OUTPUT_PIN && type != NODE_TYPE_CLOCK)
        nodes.insert(nodes.begin(), node);
    }
    return nodes;
  }
};

template <typename T>
T* As(ITopoNode* node, REFIID iid) {
  T* out = nullptr;
  if (NT_SUCCESS(node->QueryInterface(iid, reinterpret_cast<PVOID*>(&out)))) out->Release();  // the model keeps it
  return out;
}

// Checks the connections form a graph the framework can use: every end is a
// pin or node of the filter, node inputs count from 1 and outputs are 0,
// nothing is listed twice, and each output pin is fed exactly once.
void ExpectWellFormedConnections(const PCFILTER_DESCRIPTOR& d) {
  std::map<std::tuple<ULONG, ULONG, ULONG, ULONG>, int> seen;
  std::map<ULONG, int> feeds;
  for (ULONG i = 0; i < d.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(++seen[std::make_tuple(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin)], 1);
    if (c.FromNode == PCFILTER_NODE) {
      EXPECT_LT(c.FromNodePin, d.PinCount);
    } else {
      EXPECT_LT(c.FromNode, d.NodeCount);
      EXPECT_EQ(c.FromNodePin, 0u);
    }
    if (c.ToNode == PCFILTER_NODE) {
      ASSERT_LT(c.ToNodePin, d.PinCount);
      EXPECT_EQ(d.Pins[c.ToNodePin].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
      ++feeds[c.ToNodePin];
    } else {
      EXPECT_LT(c.ToNode, d.NodeCount);
      EXPECT_GE(c.ToNodePin, 1u);
    }
  }
  for (ULONG pin = 0; pin < d.PinCount; ++pin)
    if (d.Pins[pin].KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT) {
      EXPECT_EQ(feeds[pin], 1) << "output pin " << pin;
    }
}

// Walks every property of every node and pin: basic support by its size
// rule, values against what the node holds, jacks and capabilities against
// the terminal.
void WalkWholeFilter(RunningDevice& r) {
  FilterHandle* filter = r.Topology();
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  const std::vector<ITopoNode*> nodes = r.KsNodes();
  ASSERT_EQ(nodes.size(), d.NodeCount);
  for (ULONG n = 0; n < d.NodeCount; ++n) {
    const PCAUTOMATION_TABLE* table = d.Nodes[n].AutomationTable;
    if (!table) continue;
    for (ULONG p = 0; p < table->PropertyCount; ++p) {
      const PCPROPERTY_ITEM& item = table->Properties[p];
      SCOPED_TRACE(testing::Message() << "node " << n << " type " << nodes[n]->GetType() << " item " << item.Id);
      // The tone table carries all three tone properties; each tone node
      // answers its own only.
      if (table == &topology_table::ToneNodeAutomation && *item.Set == KSPROPSETID_Audio) {
        const ULONG own = nodes[n]->GetType() - NODE_TYPE_BASS + KSPROPERTY_AUDIO_BASS;
        if (item.Id != own) {
          ULONG value = 0, size = sizeof value, instance[2] = {0, 0};
          EXPECT_EQ(filter->Property(*item.Set, item.Id, KSPROPERTY_TYPE_GET, n, instance, sizeof instance, &value,
                                     &size),
                    STATUS_INVALID_PARAMETER);
          continue;
        }
      }
      if (item.Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
        UCHAR small[2];
        ULONG size = sizeof small;
        ULONG instance[2] = {0, 0};
        EXPECT_EQ(filter->Property(*item.Set, item.Id, KSPROPERTY_TYPE_BASICSUPPORT, n, instance, sizeof instance,
                                   small, &size),
                  STATUS_BUFFER_TOO_SMALL);
        std::vector<UCHAR> answer(size + 16, 0xEE);
        const ULONG full = size;
        ASSERT_GE(full, 40u);
        ASSERT_EQ(filter->Property(*item.Set, item.Id, KSPROPERTY_TYPE_BASICSUPPORT, n, instance, sizeof instance,
                                   answer.data(), &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(size, full);
        KSPROPERTY_DESCRIPTION description;
        std::memcpy(&description, answer.data(), sizeof description);
        EXPECT_EQ(description.DescriptionSize, full);
        EXPECT_EQ(answer[full], 0xEE);
      }
      if (!(item.Flags & KSPROPERTY_TYPE_GET) || *item.Set != KSPROPSETID_Audio) continue;
      ULONG value = 0xFFFFFFFF;
      ULONG instance[2] = {0, 0};
      ULONG size = sizeof value;
      NTSTATUS status =
          filter->Property(*item.Set, item.Id, KSPROPERTY_TYPE_GET, n, instance, sizeof instance, &value, &size);
      if (auto* level = As<ILevelNode>(nodes[n], IID_ILevelNode)) {
        LONG held = 0;
        EXPECT_EQ(level->GetLevel(0, &held), STATUS_SUCCESS);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(static_cast<LONG>(value), held);
      } else if (auto* toggle = As<ISwitchNode>(nodes[n], IID_ISwitchNode)) {
        UCHAR held = 0;
        EXPECT_EQ(toggle->GetValue(0, &held), STATUS_SUCCESS);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(value, held);
      } else if (auto* selector = As<ISelector>(nodes[n], IID_ISelector)) {
        ULONG held = 0;
        EXPECT_EQ(selector->GetInput(&held), STATUS_SUCCESS);
        if (d.Nodes[n].AutomationTable == &topology_table::MuxNodeAutomation) {
          ASSERT_EQ(status, STATUS_SUCCESS);
          EXPECT_EQ(value, held);
        } else {
          EXPECT_EQ(status, STATUS_UNSUCCESSFUL);  // a single-input selector has no value to give
        }
      } else if (auto* processing = As<IProcessingNode>(nodes[n], IID_IProcessingNode)) {
        UCHAR held = 0;
        EXPECT_EQ(processing->GetValue(&held), STATUS_SUCCESS);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(value, held);
      }
    }
  }
  for (ULONG pin = 0; pin < d.PinCount; ++pin) {
    SCOPED_TRACE(testing::Message() << "pin " << pin);
    ULONG instance[2] = {pin, 0};
    ULONG size = 0;
    UCHAR buffer[1024];
    NTSTATUS status = filter->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, ULONG(-1),
                                       instance, sizeof instance, buffer, &size);
    if (status == STATUS_BUFFER_OVERFLOW) {
      ASSERT_GE(size, 36u);
      ASSERT_LE(size, sizeof buffer);
      EXPECT_EQ((size - 8) % 28, 0u);
      const ULONG needed = size;
      EXPECT_EQ(filter->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, ULONG(-1),
                                 instance, sizeof instance, buffer, &size),
                STATUS_SUCCESS);
      EXPECT_EQ(size, needed);
      EXPECT_EQ(ReadUlong(buffer), needed);
      EXPECT_EQ(ReadUlong(buffer, 4), (needed - 8) / 28);
    } else {
      EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
    }
    DeviceCapsRecord caps{};
    size = sizeof caps;
    EXPECT_EQ(filter->Property(PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, KSPROPERTY_TYPE_GET, ULONG(-1), instance,
                               sizeof instance, &caps, &size),
              STATUS_SUCCESS);
  }
}

std::vector<std::string> KindsAlong(const TopologyView& view, ULONG inputPin) {
  // Follows the one path from an input pin through single-input nodes.
  std::vector<std::string> kinds;
  ULONG fromNode = PCFILTER_NODE, fromPin = inputPin;
  for (size_t guard = 0; guard < view.links.size(); ++guard) {
    const TopologyLink* next = nullptr;
    for (const TopologyLink& l : view.links)
      if (l.fromNode == fromNode && l.fromPin == (fromNode == PCFILTER_NODE ? fromPin : 0)) next = &l;
    if (!next || next->toNode == PCFILTER_NODE) break;
    kinds.push_back(view.nodes[next->toNode].kind);
    fromNode = next->toNode;
  }
  return kinds;
}

// IsConnected of the first jack of a topology pin.
bool Connected(FilterHandle* topology, ULONG pin) {
  struct {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION jack;
  } answer{};
  ULONG instance = pin, size = sizeof answer;
  const NTSTATUS status = topology->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET,
                                             ULONG(-1), &instance, sizeof instance, &answer, &size);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(answer.header.Count, 1u);
  return answer.jack.IsConnected != 0;
}

class DeviceTopologyTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    testsupport::ResetMiniportControl();
    platform::registry::Reset();
    platform::portcls::ResetForTest();
  }
  void TearDown() override {
    platform::portcls::ResetForTest();
    KernelTest::TearDown();
  }
};

TEST_F(DeviceTopologyTest, DefaultHeadsetFilter) {
  RunningDevice r(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR& d = r.Topology()->Descriptor();
  const TopologyView view = ViewTopology(u"GlobalTopo", d);

  // Both Stream terminals lead; the headset's own terminals follow.
  ASSERT_EQ(d.PinCount, 4u);
  EXPECT_EQ(view.pins[0].category, "KSCATEGORY_AUDIO");
  EXPECT_EQ(view.pins[1].category, "KSCATEGORY_AUDIO");
  EXPECT_EQ(view.pins[2].category, "KSNODETYPE_HEADSET");
  EXPECT_EQ(view.pins[3].category, "KSNODETYPE_HEADSET");
  const ULONG renderIn = view.pins[0].input ? 0 : 1, micIn = view.pins[2].input ? 2 : 3;
  EXPECT_EQ(KindsAlong(view, renderIn),
            (std::vector<std::string>{"mute", "volume", "bass", "mid", "treble", "loudness", "room"}));
  EXPECT_EQ(KindsAlong(view, micIn), (std::vector<std::string>{"mute", "volume", "agc", "selector"}));
  ExpectWellFormedConnections(d);

  // The wave filters connect to the Stream pins.
  const auto connections = platform::portcls::PhysicalConnections(r.HostSide().AdapterDevice());
  ASSERT_EQ(connections.size(), 2u);
  for (const auto& c : connections) {
    const ULONG pin = c.toSubdevice == u"GlobalTopo" ? c.toPin : c.fromPin;
    EXPECT_EQ(view.pins[pin].category, "KSCATEGORY_AUDIO");
  }
  WalkWholeFilter(r);
}

TEST_F(DeviceTopologyTest, DescriptorSetsOfRealDevicesAreDescribedAndAnswer) {
  const struct {
    const char* name;
    sim::DescriptorSet set;
  } devices[] = {
      {"stereo headset", haltest::StereoHeadset()},
      {"webcam microphone", haltest::WebcamMicrophone()},
      {"sound card", haltest::SoundCard()},
      {"continuous rate microphone", haltest::ContinuousRateMicrophone()},
      {"bare speakers", haltest::BareSpeakers()},
  };
  for (const auto& device : devices) {
    SCOPED_TRACE(device.name);
    RunningDevice r(device.set, haltest::PlainProfile());
    ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
    ExpectWellFormedConnections(r.Topology()->Descriptor());
    WalkWholeFilter(r);
  }
}

TEST_F(DeviceTopologyTest, SoundCardMixerAndSelector) {
  RunningDevice r(haltest::SoundCard(), haltest::PlainProfile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  const TopologyView view = ViewTopology(u"GlobalTopo", r.Topology()->Descriptor());
  ULONG mux = 0, sum = 0;
  ASSERT_TRUE(FindControl(view, "mux", &mux));
  ASSERT_TRUE(FindControl(view, "sum", &sum));
  // The sum takes two inputs, the mux two; the line input feeds both.
  ULONG sumInputs = 0, muxInputs = 0;
  for (const TopologyLink& l : view.links) {
    if (l.toNode == sum) ++sumInputs;
    if (l.toNode == mux) ++muxInputs;
  }
  EXPECT_EQ(sumInputs, 2u);
  EXPECT_EQ(muxInputs, 2u);
  std::string error;
  EXPECT_EQ(WriteControl(r.Topology(), view, mux, "2", -1, &error), STATUS_SUCCESS) << error;
  ControlReading reading;
  ASSERT_EQ(ReadControl(r.Topology(), view, mux, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values, (std::vector<LONG>{2}));
  EXPECT_EQ(r.Device().ControlValue(9, 0, 0), (sim::Bytes{2}));
}

// A recording selector whose second input names unit 6, which the device
// does not describe: IT 4 microphone, (6), IT 8 line in -> SU 9 -> FU 10
// -> OT 11 USB streaming.
TEST_F(DeviceTopologyTest, SelectorInputsKeepTheDevicesNumbersWhenOneNamesNoUnit) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({1})
      .InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .InputTerminal(8, 0x0603, 1, 0)
      .SelectorUnit(9, {4, 6, 8})
      .FeatureUnit(10, 9, 1, {0x03})
      .OutputTerminal(11, USB_AUDIO_TERMINAL_USB_STREAMING, 10)
      .Interface(1, 0, 0, 1, 2)
      .Interface(1, 1, 1, 1, 2)
      .AsGeneral(11, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 1, 2, 16, {48000})
      .Endpoint(0x81, 0x05, 96, 1);
  RunningDevice r(haltest::MakeSet(c.Build()), haltest::PlainProfile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  const TopologyView view = ViewTopology(u"GlobalTopo", r.Topology()->Descriptor());
  ExpectWellFormedConnections(r.Topology()->Descriptor());
  ULONG mux = 0;
  ASSERT_TRUE(FindControl(view, "mux", &mux));
  // The microphone feeds input 1, the line input 3; input 2 is unconnected.
  std::map<ULONG, std::string> inputs;
  for (const TopologyLink& l : view.links)
    if (l.toNode == mux && l.fromNode == PCFILTER_NODE) inputs[l.toPin] = view.pins[l.fromPin].category;
  EXPECT_EQ(inputs, (std::map<ULONG, std::string>{{1, "KSNODETYPE_MICROPHONE"}, {3, "KSNODETYPE_LINE_CONNECTOR"}}));
  // Choosing the line input selects the device's input 3.
  std::string error;
  EXPECT_EQ(WriteControl(r.Topology(), view, mux, "3", -1, &error), STATUS_SUCCESS) << error;
  EXPECT_EQ(r.Device().ControlValue(9, 0, 0), (sim::Bytes{3}));
}

TEST_F(DeviceTopologyTest, DeviceSideChangesArriveAsControlChangeEvents) {
  RunningDevice r(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  const TopologyView view = ViewTopology(u"GlobalTopo", r.Topology()->Descriptor());
  ControlChangeWatch watch(r.Topology(), view);
  ASSERT_GT(watch.Subscriptions(), 0u);

  // The start's own announcements (the nodes reload their values) settle
  // first.
  for (int quiet = 0; quiet < 3;) {
    r.AdvanceUntil([] { return false; }, 10);
    quiet = watch.TakeDeliveries().empty() ? quiet + 1 : 0;
  }

  // A button on the headset mutes playback: the status word names FU 2.
  ASSERT_TRUE(r.Device().SetControlValue(sim::headset::kRenderFeatureUnit, 1, 0, {1}, true));
  std::vector<std::pair<ULONG, ULONG>> deliveries;
  EXPECT_TRUE(r.AdvanceUntil([&] {
    auto more = watch.TakeDeliveries();
    deliveries.insert(deliveries.end(), more.begin(), more.end());
    return !deliveries.empty() && r.Device().PendingStatusWords() == 0;
  }));
  r.AdvanceUntil([] { return false; }, 20);
  for (auto more = watch.TakeDeliveries(); !more.empty(); more = watch.TakeDeliveries())
    deliveries.insert(deliveries.end(), more.begin(), more.end());
  ASSERT_FALSE(deliveries.empty());
  // Only playback nodes; the mute among them, and it reads the device's value.
  const std::vector<std::string> playback = {"mute", "volume", "bass", "mid", "treble", "loudness", "room"};
  ULONG muteNode = ULONG(-1);
  for (const auto& [node, count] : deliveries) {
    EXPECT_NE(std::find(playback.begin(), playback.end(), view.nodes[node].kind), playback.end())
        << view.nodes[node].kind;
    EXPECT_EQ(count, 1u) << "node " << node;
    if (view.nodes[node].kind == "mute") muteNode = node;
  }
  ASSERT_NE(muteNode, ULONG(-1));
  ControlReading reading;
  ASSERT_EQ(ReadControl(r.Topology(), view, muteNode, &reading), STATUS_SUCCESS);
  EXPECT_EQ(reading.values[0], 1);

  // A jack plugged in names a terminal, which is a pin: no node event.
  r.Device().SetPresenceMask(0x1, sim::headset::kRenderOutputTerminal);
  r.AdvanceUntil([&] { return r.Device().PendingStatusWords() == 0; });
  r.AdvanceUntil([] { return false; }, 20);
  EXPECT_TRUE(watch.TakeDeliveries().empty());
}

TEST_F(DeviceTopologyTest, ControlsSetByTheHostReachTheDevice) {
  RunningDevice r(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  const TopologyView view = ViewTopology(u"GlobalTopo", r.Topology()->Descriptor());
  // A kind alone names the render path's node; the microphone's is the
  // capture path's.
  ULONG volume = 0, microphone = 0;
  int setting = -1;
  ASSERT_TRUE(FindControl(view, "volume", true, &microphone, &setting));
  ASSERT_TRUE(FindControl(view, "volume", &volume));
  EXPECT_NE(volume, microphone);
  EXPECT_FALSE(FindControl(view, "volume#2", &volume));
  ASSERT_TRUE(FindControl(view, "volume", &volume));
  std::string error;
  ASSERT_EQ(WriteControl(r.Topology(), view, volume, "-10dB", -1, &error), STATUS_SUCCESS) << error;
  // Volume travels in 1/256 dB, little-endian, per logical channel.
  EXPECT_EQ(r.Device().ControlValue(sim::headset::kRenderFeatureUnit, 2, 1), (sim::Bytes{0x00, 0xF6}));
  EXPECT_EQ(r.Device().ControlValue(sim::headset::kRenderFeatureUnit, 2, 2), (sim::Bytes{0x00, 0xF6}));
}

TEST_F(DeviceTopologyTest, MalformedGraphsAreRefusedOrDescribedNeverHung) {
  for (const auto& c : sim::malformed::Catalogue()) {
    SCOPED_TRACE(c.name);
    const auto begin = std::chrono::steady_clock::now();
    RunningDevice r(c.build(), haltest::PlainProfile());
    if (NT_SUCCESS(r.startStatus)) {
      ExpectWellFormedConnections(r.Topology()->Descriptor());
      WalkWholeFilter(r);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  }
}

TEST_F(DeviceTopologyTest, JackPlugAndUnplugReachTheNextJackQuery) {
  // The headset's headphone jack (mask 0x3) feeds the render output
  // terminal's pin; its microphone jack (0x4) the microphone terminal's.
  const struct {
    const char* what;
    uint8_t terminal;
    bool pinIsInput;
    uint32_t plugged;
  } jacks[] = {
      {"headphones", sim::headset::kRenderOutputTerminal, false, 0x3},
      {"microphone", sim::headset::kMicInputTerminal, true, 0x4},
  };
  sim::DeviceProfile profile = sim::headset::Profile();
  profile.presenceMask = 0;
  RunningDevice r(sim::headset::Descriptors(), profile);
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  FilterHandle* topology = r.Topology();
  ASSERT_NE(topology, nullptr);
  const TopologyView view = ViewTopology(u"GlobalTopo", topology->Descriptor());
  auto settle = [&] {
    r.AdvanceUntil([&] { return r.Device().PendingStatusWords() == 0; });
    r.AdvanceUntil([] { return false; }, 20);
  };
  settle();

  for (const auto& jack : jacks) {
    SCOPED_TRACE(jack.what);
    ULONG pin = ULONG(-1);
    for (const TopologyPin& p : view.pins)
      if (p.category == "KSNODETYPE_HEADSET" && p.input == jack.pinIsInput) pin = p.id;
    ASSERT_NE(pin, ULONG(-1));
    EXPECT_FALSE(Connected(topology, pin));

    r.Device().SetPresenceMask(jack.plugged, jack.terminal);
    settle();
    EXPECT_TRUE(Connected(topology, pin)) << "plugged in";

    r.Device().SetPresenceMask(0, jack.terminal);
    settle();
    EXPECT_FALSE(Connected(topology, pin)) << "pulled out";
  }
}

}  // namespace
