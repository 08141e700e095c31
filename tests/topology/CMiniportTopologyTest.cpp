// The topology filter's description: pins, KS nodes and connections built
// from a hardware model, the names and categories they carry, and the
// descriptions the miniport refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "driver/SettingsStore.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/TopologyHarness.h"
#include "topology/TopologyTable.h"

namespace {

using topotest::Jack;
using topotest::TopologyHarness;
using Connection = std::tuple<ULONG, ULONG, ULONG, ULONG>;
constexpr ULONG F = PCFILTER_NODE;

std::vector<Connection> ConnectionsOf(const PCFILTER_DESCRIPTOR& d) {
  std::vector<Connection> out;
  for (ULONG i = 0; i < d.ConnectionCount; ++i)
    out.emplace_back(d.Connections[i].FromNode, d.Connections[i].FromNodePin, d.Connections[i].ToNode,
                     d.Connections[i].ToNodePin);
  return out;
}

// Describes a model without installing it: the miniport's Init on a bare
// topology port. `check` sees the description when there is one.
NTSTATUS Describe(IAudioHal* model, const std::function<void(const PCFILTER_DESCRIPTOR&)>& check = nullptr) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  PUNKNOWN unknown = nullptr;
  status = CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool);
  IMiniportTopology* miniport = nullptr;
  if (NT_SUCCESS(status)) status = unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
  if (NT_SUCCESS(status)) status = miniport->Init(model, nullptr, static_cast<IPortTopology*>(port));
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (miniport) {
    NTSTATUS described = miniport->GetDescription(&description);
    EXPECT_EQ(described, NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR);
    if (description && check) check(*description);
    miniport->Release();
  }
  if (unknown) unknown->Release();
  port->Release();
  return status;
}

class TopologyDescriptionTest : public testsupport::KernelTest {
 protected:
  void TearDown() override {
    platform::version::ResetForTest();
    KernelTest::TearDown();
  }
};

TEST_F(TopologyDescriptionTest, StreamPinsLeadNodesRunBackwardsAndClocksStayHidden) {
  TopologyHarness t;
  t.InputPin(0, PIN_CATEGORY_MIC);
  t.InputPin(1, PIN_CATEGORY_STREAM);                  // A
  t.Level(NODE_TYPE_VOLUME, 2, 1);
  t.Switch(NODE_TYPE_MUTE, 3, 2);
  t.Clock(4);
  t.InputPin(5, PIN_CATEGORY_STREAM);                  // B
  t.OutputPin(6, 3, PIN_CATEGORY_HP);
  t.OutputPin(7, 0, PIN_CATEGORY_STREAM);
  ASSERT_EQ(t.Start(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR& d = t.Descriptor();

  // Stream terminals at the head, the last found first; then the others in
  // model order.
  ASSERT_EQ(d.PinCount, 5u);
  const ULONG expectedPins[] = {7, 5, 1, 0, 6};
  for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(t.PinOf(expectedPins[i]), i);
  EXPECT_EQ(d.PinSize, sizeof(PCPIN_DESCRIPTOR));
  const KSPIN_DESCRIPTOR& hp = d.Pins[4].KsPinDescriptor;
  EXPECT_EQ(hp.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(hp.Communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_EQ(*hp.Category, KSNODETYPE_HEADPHONES);
  EXPECT_EQ(hp.Name, nullptr);
  EXPECT_EQ(d.Pins[1].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(*d.Pins[1].KsPinDescriptor.Category, KSCATEGORY_AUDIO);
  EXPECT_EQ(*d.Pins[3].KsPinDescriptor.Category, KSNODETYPE_MICROPHONE);
  for (ULONG i = 0; i < d.PinCount; ++i) {
    const PCPIN_DESCRIPTOR& pin = d.Pins[i];
    EXPECT_EQ(pin.MaxGlobalInstanceCount + pin.MaxFilterInstanceCount + pin.MinFilterInstanceCount, 0u);
    EXPECT_EQ(pin.AutomationTable, nullptr);
    ASSERT_EQ(pin.KsPinDescriptor.DataRangesCount, 1u);
    const KSDATARANGE& range = *pin.KsPinDescriptor.DataRanges[0];
    EXPECT_EQ(range.FormatSize, 64u);
    EXPECT_EQ(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
    EXPECT_EQ(range.Specifier, KSDATAFORMAT_SPECIFIER_NONE);
  }

  // Volume, mute, clock in the model: KS node 0 is the mute.
  ASSERT_EQ(d.NodeCount, 2u);
  EXPECT_EQ(*d.Nodes[0].Type, KSNODETYPE_MUTE);
  EXPECT_EQ(*d.Nodes[1].Type, KSNODETYPE_VOLUME);

  // Added: stream-out <- mic pin; volume <- pin A; mute <- volume; HP <- mute.
  // Listed last-added first.
  EXPECT_EQ(ConnectionsOf(d), (std::vector<Connection>{{0, 0, F, 4}, {1, 0, 0, 1}, {F, 2, 1, 1}, {F, 3, F, 0}}));

  EXPECT_EQ(d.Version, 0u);
  EXPECT_EQ(d.AutomationTable, &topology_table::TopologyFilterAutomation);
  ASSERT_EQ(d.CategoryCount, 3u);
  EXPECT_EQ(d.Categories[0], KSCATEGORY_AUDIO);
  EXPECT_EQ(d.Categories[1], KSCATEGORY_TOPOLOGY);
  EXPECT_EQ(d.Categories[2], EnumPrivateInterfaceClass);
}

TEST_F(TopologyDescriptionTest, NodeTypesBecomeTheirKsNodes) {
  using namespace topology_table;
  const GUID processingName = DEFINE_GUID_VALUE(0x11112222, 0x3333, 0x4444, 5, 6, 7, 8, 9, 10, 11, 12);
  struct Row {
    ULONG type;
    ULONG sources;
    const GUID* ksType;
    const PCAUTOMATION_TABLE* automation;
    const GUID* name;
  } rows[] = {
      {NODE_TYPE_MUTE, 1, &KSNODETYPE_MUTE, &MuteNodeAutomation, nullptr},
      {NODE_TYPE_VOLUME, 1, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, nullptr},
      {NODE_TYPE_SELECTOR, 0, &KSNODETYPE_DEV_SPECIFIC, &SingleInputSelectorAutomation, nullptr},
      {NODE_TYPE_SELECTOR, 1, &KSNODETYPE_DEV_SPECIFIC, &SingleInputSelectorAutomation, nullptr},
      {NODE_TYPE_SELECTOR, 2, &KSNODETYPE_MUX, &MuxNodeAutomation, nullptr},
      {NODE_TYPE_SUM, 2, &KSNODETYPE_SUM, nullptr, nullptr},
      {NODE_TYPE_AGC, 1, &KSNODETYPE_AGC, &AgcNodeAutomation, nullptr},
      {NODE_TYPE_LOUDNESS, 1, &KSNODETYPE_LOUDNESS, &LoudnessNodeAutomation, nullptr},
      {NODE_TYPE_INPUT_GAIN_PAD, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_InputGainPad},
      {NODE_TYPE_BASS, 1, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_BASS},
      {NODE_TYPE_MID, 1, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_MIDRANGE},
      {NODE_TYPE_TREBLE, 1, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_TREBLE},
      {NODE_TYPE_OUTPUT_TYPE, 1, &KSNODETYPE_DEV_SPECIFIC, &OutputTypeNodeAutomation, &NODEKIND_OutputType},
      {NODE_TYPE_FLAG, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_Flag},
      {NODE_TYPE_MIC_BOOST, 1, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, &KSAUDFNAME_MICROPHONE_BOOST},
      {NODE_TYPE_RANGED_VALUE, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_RangedValue},
      {NODE_TYPE_DEVICE_SWITCH, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_VendorSwitch},
      {NODE_TYPE_VENDOR_FLAG, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_VendorSwitch},
      {NODE_TYPE_PARAMETER_BLOCK, 1, &KSNODETYPE_DEV_SPECIFIC, &ParameterBlockNodeAutomation,
       &NODEKIND_ParameterBlock},
      {NODE_TYPE_BOARD_SWITCH, 1, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_BoardSwitch},
      {NODE_TYPE_PROCESSING, 1, &KSNODETYPE_DEV_SPECIFIC, &ProcessingNodeAutomation, &processingName},
  };
  TopologyHarness t;
  t.InputPin(0, PIN_CATEGORY_STREAM);
  t.OutputPin(1, 0, PIN_CATEGORY_SPK);
  ULONG id = 10;
  for (const Row& row : rows) {
    if (row.type == NODE_TYPE_PROCESSING)
      t.Processing(id++, 0, processingName);
    else
      t.Plain(id++, row.type, std::vector<ULONG>(row.sources, 0));
  }
  ASSERT_EQ(Describe(t.Hal(), [&](const PCFILTER_DESCRIPTOR& d) {
              ASSERT_EQ(d.NodeCount, std::size(rows));
              EXPECT_EQ(d.NodeSize, sizeof(PCNODE_DESCRIPTOR));
              for (ULONG i = 0; i < std::size(rows); ++i) {
                const Row& row = rows[i];
                const PCNODE_DESCRIPTOR& node = d.Nodes[std::size(rows) - 1 - i];
                SCOPED_TRACE(testing::Message() << "type " << row.type << ", " << row.sources << " sources");
                EXPECT_EQ(node.Flags, 0u);
                EXPECT_EQ(*node.Type, *row.ksType);
                EXPECT_EQ(node.AutomationTable, row.automation);
                if (row.name) {
                  ASSERT_NE(node.Name, nullptr);
                  EXPECT_EQ(*node.Name, *row.name);
                } else {
                  EXPECT_EQ(node.Name, nullptr);
                }
              }
            }),
            STATUS_SUCCESS);
}

TEST_F(TopologyDescriptionTest, ProcessingNodesShareTheOneNameSlot) {
  // One name per kind and filter: the name read last is every processing
  // node's name. Nodes are described in KS order, which runs backwards, so
  // the model's first node is read last.
  const GUID first = DEFINE_GUID_VALUE(0xAAAA0001, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
  const GUID second = DEFINE_GUID_VALUE(0xAAAA0002, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2);
  TopologyHarness t;
  t.InputPin(0, PIN_CATEGORY_STREAM);
  t.Processing(1, 0, first);
  t.Processing(2, 1, second);
  t.OutputPin(3, 2, PIN_CATEGORY_SPK);
  ASSERT_EQ(Describe(t.Hal(), [&](const PCFILTER_DESCRIPTOR& d) {
              ASSERT_EQ(d.NodeCount, 2u);
              EXPECT_EQ(d.Nodes[0].Name, d.Nodes[1].Name);
              EXPECT_EQ(*d.Nodes[0].Name, first);
            }),
            STATUS_SUCCESS);
}

TEST_F(TopologyDescriptionTest, MixerConnectionsAreListedOnceInReverseOrder) {
  TopologyHarness t;
  t.InputPin(1, PIN_CATEGORY_STREAM);
  t.InputPin(2, PIN_CATEGORY_LINE);
  t.Mixer(3, {1, 2});
  t.Level(NODE_TYPE_VOLUME, 4, 3);
  t.OutputPin(5, 4, PIN_CATEGORY_SPK);
  // A second output through the same mixer: its upstream is listed already.
  t.OutputPin(6, 3, PIN_CATEGORY_HP);
  ASSERT_EQ(t.Start(), STATUS_SUCCESS);
  const ULONG it1 = t.PinOf(1), it2 = t.PinOf(2), spk = t.PinOf(5), hp = t.PinOf(6);
  const ULONG mixer = t.NodeIndexOf(3), volume = t.NodeIndexOf(4);
  EXPECT_EQ(ConnectionsOf(t.Descriptor()), (std::vector<Connection>{
                                               {mixer, 0, F, hp},
                                               {volume, 0, F, spk},
                                               {mixer, 0, volume, 1},
                                               {F, it2, mixer, 2},
                                               {F, it1, mixer, 1},
                                           }));
}

TEST_F(TopologyDescriptionTest, OutputFedByAPinConnectsPinToPin) {
  // A terminal with two types: its second pin takes the first as its source.
  TopologyHarness t;
  t.InputPin(1, PIN_CATEGORY_STREAM);
  t.Level(NODE_TYPE_VOLUME, 2, 1);
  t.OutputPin(3, 2, PIN_CATEGORY_SPK);
  t.OutputPin(4, 3, PIN_CATEGORY_HP);
  t.OutputType(5, 2, {PIN_CATEGORY_SPK, PIN_CATEGORY_HP});
  ASSERT_EQ(t.Start(), STATUS_SUCCESS);
  const ULONG volume = t.NodeIndexOf(2);
  EXPECT_EQ(ConnectionsOf(t.Descriptor()),
            (std::vector<Connection>{{F, t.PinOf(3), F, t.PinOf(4)}, {volume, 0, F, t.PinOf(3)}, {F, t.PinOf(1), volume, 1}}));
}

TEST_F(TopologyDescriptionTest, LayeredMixerGraphIsWalkedOncePerNode) {
  // Sixty layers of two mixers, each mixing both of the layer before: a walk
  // that forgot what it had walked would take 2^60 steps.
  constexpr ULONG kLayers = 60;
  TopologyHarness t;
  t.InputPin(1, PIN_CATEGORY_STREAM);
  t.InputPin(2, PIN_CATEGORY_LINE);
  ULONG a = 1, b = 2, id = 10;
  for (ULONG layer = 0; layer < kLayers; ++layer) {
    const ULONG left = id++, right = id++;
    t.Mixer(left, {a, b});
    t.Mixer(right, {a, b});
    a = left;
    b = right;
  }
  t.OutputPin(3, a, PIN_CATEGORY_SPK);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(Describe(t.Hal(), [&](const PCFILTER_DESCRIPTOR& d) {
              // Every mixer but the last layer's second is upstream of the
              // output, two inputs each, plus the output's own connection.
              EXPECT_EQ(d.ConnectionCount, (2 * kLayers - 1) * 2 + 1);
              EXPECT_EQ(d.NodeCount, 2 * kLayers);
            }),
            STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

TEST_F(TopologyDescriptionTest, MalformedModelsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(TopologyHarness&)> build;
    NTSTATUS status;
  } cases[] = {
      {"only input terminals", [](TopologyHarness& t) { t.InputPin(1, PIN_CATEGORY_STREAM); }, STATUS_UNSUCCESSFUL},
      {"output source names nothing",
       [](TopologyHarness& t) {
         t.InputPin(1, PIN_CATEGORY_STREAM);
         t.OutputPin(2, 42, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"node source names nothing",
       [](TopologyHarness& t) {
         t.Level(NODE_TYPE_VOLUME, 1, 42);
         t.OutputPin(2, 1, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"source is a clock",
       [](TopologyHarness& t) {
         t.Clock(1);
         t.Level(NODE_TYPE_VOLUME, 2, 1);
         t.OutputPin(3, 2, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"node without sources and no pin of its id",
       [](TopologyHarness& t) {
         t.Plain(1, NODE_TYPE_SUM, {});
         t.OutputPin(2, 1, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"two nodes naming each other",
       [](TopologyHarness& t) {
         t.Level(NODE_TYPE_VOLUME, 1, 2);
         t.Switch(NODE_TYPE_MUTE, 2, 1);
         t.OutputPin(3, 2, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"node naming itself",
       [](TopologyHarness& t) {
         t.Level(NODE_TYPE_VOLUME, 1, 1);
         t.OutputPin(2, 1, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"cycle behind a mixer's second input",
       [](TopologyHarness& t) {
         t.InputPin(1, PIN_CATEGORY_STREAM);
         t.Level(NODE_TYPE_VOLUME, 2, 3);
         t.Switch(NODE_TYPE_MUTE, 3, 2);
         t.Mixer(4, {1, 3});
         t.OutputPin(5, 4, PIN_CATEGORY_SPK);
       },
       STATUS_UNSUCCESSFUL},
      {"type 14", [](TopologyHarness& t) { t.Plain(1, 14, {}); }, STATUS_INVALID_PARAMETER},
      {"type 21", [](TopologyHarness& t) { t.Plain(1, 21, {}); }, STATUS_INVALID_PARAMETER},
      {"type 24", [](TopologyHarness& t) { t.Plain(1, 24, {}); }, STATUS_INVALID_PARAMETER},
      {"processing type without its interface",
       [](TopologyHarness& t) { t.Plain(1, NODE_TYPE_PROCESSING, {}); }, STATUS_INVALID_PARAMETER},
      {"category Rec", [](TopologyHarness& t) { t.InputPin(1, PIN_CATEGORY_REC); }, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TopologyHarness t;
    c.build(t);
    // Enough for a description otherwise.
    t.InputPin(100, PIN_CATEGORY_MIC);
    if (std::string(c.name) != "only input terminals") t.OutputPin(101, 100, PIN_CATEGORY_STREAM);
    EXPECT_EQ(Describe(t.Hal()), c.status);
    // Nothing of the failed miniport is left listening.
    t.Model().NotifyControlChange(1);
  }
}

TEST_F(TopologyDescriptionTest, AllocationFailuresFailInitAndLeaveNothing) {
  TopologyHarness t;
  t.InputPin(1, PIN_CATEGORY_STREAM);
  t.Mixer(2, {1, 1});
  t.Level(NODE_TYPE_VOLUME, 3, 2);
  t.OutputPin(4, 3, PIN_CATEGORY_SPK);
  t.OutputPin(5, 2, PIN_CATEGORY_HP);
  ULONG failures = 0;
  for (size_t n = 1;; ++n) {
    platform::pool::FailNthAllocationWithTag(TOPOLOGY_MINIPORT_TAG, n);
    NTSTATUS status = Describe(t.Hal());
    platform::pool::ClearFailures();
    t.Model().NotifyControlChange(3);
    if (NT_SUCCESS(status)) break;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    ++failures;
    ASSERT_LT(n, 100u);
  }
  // The object, the entries, the tables and the name each come from the pool.
  EXPECT_GT(failures, 10u);
}

TEST_F(TopologyDescriptionTest, PinNamesByCategoryDirectionSettingsAndSystem) {
  const GUID storedOut = DEFINE_GUID_VALUE(0x0DDBA11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
  const GUID storedLine = DEFINE_GUID_VALUE(0x1EEB00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
  for (ULONG system : {NTDDI_WIN7, NTDDI_WINXPSP3}) {
    SCOPED_TRACE(system);
    platform::version::SetSystem(system);
    const bool vista = system >= NTDDI_VISTA;
    TopologyHarness t;
    t.InputPin(1, PIN_CATEGORY_SPDIF);      // pin 0
    t.InputPin(2, PIN_CATEGORY_LINE);       // pin 1
    t.OutputPin(3, 1, PIN_CATEGORY_SPDIF);  // pin 2
    t.OutputPin(4, 2, PIN_CATEGORY_LINE);   // pin 3
    t.InputPin(5, PIN_CATEGORY_AUX);        // pin 4
    t.InputPin(6, PIN_CATEGORY_STEREOMIX);  // pin 5
    t.InputPin(7, PIN_CATEGORY_HDMI);       // pin 6
    t.InputPin(8, PIN_CATEGORY_DISPLAYPORT);
    t.InputPin(9, PIN_CATEGORY_LINE);       // pin 8: no Settings value
    if (!vista) {
      t.PutSetting(u"SpdifOutName_02", &storedOut, sizeof storedOut);
      t.PutSetting(u"LineInName_01", &storedLine, sizeof storedLine);
      // A value for an output line pin is not looked at.
      t.PutSetting(u"LineInName_03", &storedLine, sizeof storedLine);
    }
    ASSERT_EQ(t.Start(), STATUS_SUCCESS);
    const PCFILTER_DESCRIPTOR& d = t.Descriptor();
    ASSERT_EQ(d.PinCount, 9u);
    auto name = [&](ULONG pin) { return d.Pins[pin].KsPinDescriptor.Name; };
    auto category = [&](ULONG pin) { return *d.Pins[pin].KsPinDescriptor.Category; };

    ASSERT_NE(name(0), nullptr);
    EXPECT_EQ(*name(0), PINNAME_SpdifIn);
    ASSERT_NE(name(2), nullptr);
    EXPECT_EQ(*name(2), vista ? PINNAME_SpdifOut : storedOut);
    if (vista) {
      EXPECT_EQ(name(1), nullptr);
    } else {
      ASSERT_NE(name(1), nullptr);
      EXPECT_EQ(*name(1), storedLine);
    }
    EXPECT_EQ(name(3), nullptr);
    EXPECT_EQ(name(8), nullptr);
    EXPECT_EQ(category(4), KSNODETYPE_ANALOG_CONNECTOR);
    if (vista) {
      ASSERT_NE(name(4), nullptr);
      EXPECT_EQ(*name(4), PINNAME_Aux);
      EXPECT_EQ(category(5), KSNODETYPE_ANALOG_CONNECTOR);
      ASSERT_NE(name(5), nullptr);
      EXPECT_EQ(*name(5), PINNAME_StereoMix);
    } else {
      EXPECT_EQ(name(4), nullptr);
      EXPECT_EQ(category(5), PINCATEGORY_StereoMixLegacy);
      EXPECT_EQ(name(5), nullptr);
    }
    EXPECT_EQ(*name(6), PINNAME_Hdmi);
    EXPECT_EQ(category(6), KSNODETYPE_HDMI_INTERFACE);
    EXPECT_EQ(*name(7), PINNAME_DisplayPort);
  }
}

TEST_F(TopologyDescriptionTest, MiniportInterfacesBeforeAndAfterInit) {
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool), STATUS_SUCCESS);
  IMiniportTopology* miniport = nullptr;
  ISubdeviceInfo* info = nullptr;
  IPowerNotify* power = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport)), STATUS_SUCCESS);
  ASSERT_EQ(unknown->QueryInterface(IID_ISubdeviceInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
  ASSERT_EQ(unknown->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
  PVOID other = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(unknown->QueryInterface(IID_IPortEvents, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);

  PPCFILTER_DESCRIPTOR description = nullptr;
  EXPECT_EQ(miniport->GetDescription(&description), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(miniport->Init(nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  ULONG id = 7;
  EXPECT_EQ(info->GetConnectionId(&id), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(info->GetName(nullptr), STATUS_INVALID_PARAMETER);

  auto* object = static_cast<CMiniportTopology*>(miniport);
  EXPECT_EQ(object->GetDevicePowerState(), PowerDeviceD0);
  for (ULONG state : {3u, 0u, 5u, 4u, 4u}) {
    POWER_STATE s{};
    s.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    power->PowerChangeNotify(s);
  }
  EXPECT_EQ(object->GetDevicePowerState(), PowerDeviceD3);

  power->Release();
  info->Release();
  miniport->Release();
  unknown->Release();
}

TEST_F(TopologyDescriptionTest, ConnectionIdsAndName) {
  TopologyHarness t;
  t.InputPin(1, PIN_CATEGORY_STREAM);
  t.OutputPin(2, 1, PIN_CATEGORY_HP);
  ASSERT_EQ(t.Start(), STATUS_SUCCESS);
  ISubdeviceInfo* info = nullptr;
  ASSERT_EQ(t.Miniport()->QueryInterface(IID_ISubdeviceInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
  ULONG id = 2;
  EXPECT_EQ(info->GetConnectionId(&id), STATUS_SUCCESS);
  EXPECT_EQ(id, 1u);
  id = 3;
  EXPECT_EQ(info->GetConnectionId(&id), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(id, 0u);
  PWSTR name = nullptr;
  EXPECT_EQ(info->GetName(&name), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"GlobalTopo");
  info->Release();
  EXPECT_EQ(t.Host().Filters().size(), 1u);
  EXPECT_EQ(t.Host().Filters()[0].name, u"GlobalTopo");
}

}  // namespace
