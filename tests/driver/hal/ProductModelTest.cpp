// The product's hardware model inside the whole driver: DriverEntry, the
// device object and StartDevice over a simulated device, with the test
// miniports. What the parse of each device gives, unit by unit, node by
// node, engine by engine.
#include <optional>
#include <thread>
#include <typeinfo>

#include "driver/hal/CK784AudioHal.h"
#include "sim/ModelReport.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/host/RunningDriver.h"
#include "streaming/CUac1Capture.h"
#include "streaming/CUac1Render.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelShapes.h"
#include "topology/CProductFeatureUnits.h"
#include "topology/CProductRoomEffectNodes.h"
#include "topology/CUac1InputTerminal.h"
#include "topology/CUac1OutputTerminal.h"
#include "topology/CUac1SelectorUnit.h"

namespace {

using namespace haltest;

struct NodeShape {
  ULONG id;
  ULONG type;
  std::vector<ULONG> sources;
  bool operator==(const NodeShape&) const = default;
};

struct FormatShape {
  ULONG channels, rate, bits, mask;
  UCHAR alternate;
  bool operator==(const FormatShape&) const = default;
};

std::ostream& operator<<(std::ostream& out, const NodeShape& n) {
  out << "{" << n.id << ", type " << n.type << ", [";
  for (ULONG s : n.sources) out << s << " ";
  return out << "]}";
}
std::ostream& operator<<(std::ostream& out, const FormatShape& f) {
  return out << "{" << f.channels << " ch, " << f.rate << " Hz, " << f.bits << " bits, mask " << f.mask << ", alt "
             << int(f.alternate) << "}";
}

class ProductModelTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
    platform::debug::Clear();
  }

  NTSTATUS StartWith(const sim::DescriptorSet& set, const sim::DeviceProfile& profile = PlainProfile()) {
    Plug(set, profile);
    return Start();
  }

  C7719AudioHal* Model() const {
    CUsbAudioDevice* device = DeviceObject();
    if (!device || !device->GetModelUnknown()) return nullptr;
    PVOID object = nullptr;
    if (!NT_SUCCESS(device->GetModelUnknown()->QueryInterface(IID_IUsbAudioHal, &object))) return nullptr;
    static_cast<IUsbAudioHal*>(object)->Release();
    return static_cast<C7719AudioHal*>(static_cast<CUac1AudioHal*>(static_cast<IUsbAudioHal*>(object)));
  }

  std::vector<NodeShape> Nodes() {
    std::vector<NodeShape> nodes;
    IAudioHal* hal = Model();
    for (ULONG i = 0; i < hal->GetNodeCount(); ++i) {
      ITopoNode* node = nullptr;
      EXPECT_EQ(hal->GetNode(i, &node), STATUS_SUCCESS);
      nodes.push_back({node->GetId(), node->GetType(), SourceIds(node)});
    }
    return nodes;
  }

  // Each unit: its id, its class and the ids of its nodes.
  struct UnitShape {
    ULONG id;
    const std::type_info* kind;
    std::vector<ULONG> nodes;
  };
  std::vector<UnitShape> Units() {
    std::vector<UnitShape> units;
    C7719AudioHal* model = Model();
    for (ULONG i = 0; i < model->GetUnitCount(); ++i) {
      ITopoNode* node = nullptr;
      EXPECT_EQ(model->GetUnit(i, &node), STATUS_SUCCESS);
      CUacUnit* unit = CUacUnit::FromUnitNode(node);
      UnitShape shape{node->GetId(), &typeid(*unit), {}};
      ULONG count = 0;
      unit->GetNodeCount(&count);
      for (ULONG n = 0; n < count; ++n) {
        ITopoNode* member = nullptr;
        unit->GetNode(n, &member);
        shape.nodes.push_back(member->GetId());
      }
      units.push_back(shape);
    }
    return units;
  }

  CUsbStreamEngine* Engine(ULONG index) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(Model()->GetStreamEngine(index, &engine))) return nullptr;
    return static_cast<CUsbStreamEngine*>(engine);
  }

  // The engine's full format list with the alternate setting of each.
  static std::vector<FormatShape> Formats(CUsbStreamEngine* engine) {
    std::vector<FormatShape> formats;
    for (ULONG i = 0; i < engine->GetFormatCount(); ++i) {
      WAVEFORMATEXTENSIBLE f{};
      EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
      UCHAR alternate = 0xFF;
      EXPECT_EQ(engine->FindAlternateSetting(&f, &alternate), STATUS_SUCCESS);
      // Every record is a complete extensible PCM record.
      EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
      EXPECT_EQ(f.Format.cbSize, 22);
      EXPECT_EQ(f.Format.nBlockAlign, f.Format.nChannels * f.Format.wBitsPerSample / 8);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nBlockAlign * f.Format.nSamplesPerSec);
      EXPECT_EQ(f.Samples.wValidBitsPerSample, f.Format.wBitsPerSample);
      EXPECT_TRUE(IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
      formats.push_back({f.Format.nChannels, f.Format.nSamplesPerSec, f.Format.wBitsPerSample, f.dwChannelMask,
                         alternate});
    }
    return formats;
  }
};

TEST_F(ProductModelTest, EmbeddedHeadsetBecomesTheProductModel) {
  ASSERT_EQ(StartWith(sim::headset::Descriptors(), sim::headset::Profile()), STATUS_SUCCESS);
  C7719AudioHal* model = Model();
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(typeid(*model), typeid(C7719AudioHal));

  const std::vector<UnitShape> units = Units();
  ASSERT_EQ(units.size(), 7u);
  const std::vector<std::pair<ULONG, const std::type_info*>> expectedUnits = {
      {1, &typeid(CUac1InputTerminal)}, {2, &typeid(C7719FeatureUnit)},  {3, &typeid(CUac1OutputTerminal)},
      {4, &typeid(CUac1InputTerminal)}, {5, &typeid(C7719FeatureUnit)},  {6, &typeid(CUac1SelectorUnit)},
      {7, &typeid(CUac1OutputTerminal)}};
  const std::vector<std::vector<ULONG>> unitNodes = {{0}, {1, 2, 3, 4, 5, 6, 7}, {8}, {9}, {10, 11, 12}, {13}, {14}};
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].id, expectedUnits[i].first) << i;
    EXPECT_EQ(*units[i].kind, *expectedUnits[i].second) << i;
    EXPECT_EQ(units[i].nodes, unitNodes[i]) << i;
  }

  // The render feature unit's vendor control 0x8B is the room effect node.
  const std::vector<NodeShape> expectedNodes = {
      {0, NODE_TYPE_INPUT_PIN, {}},       {1, NODE_TYPE_MUTE, {0}},        {2, NODE_TYPE_VOLUME, {1}},
      {3, NODE_TYPE_BASS, {2}},           {4, NODE_TYPE_MID, {3}},         {5, NODE_TYPE_TREBLE, {4}},
      {6, NODE_TYPE_LOUDNESS, {5}},       {7, NODE_TYPE_PROCESSING, {6}},  {8, NODE_TYPE_OUTPUT_PIN, {7}},
      {9, NODE_TYPE_INPUT_PIN, {}},       {10, NODE_TYPE_MUTE, {9}},       {11, NODE_TYPE_VOLUME, {10}},
      {12, NODE_TYPE_AGC, {11}},          {13, NODE_TYPE_SELECTOR, {12}},  {14, NODE_TYPE_OUTPUT_PIN, {13}}};
  EXPECT_EQ(Nodes(), expectedNodes);

  ASSERT_EQ(model->GetStreamEngineCount(), 2u);
  CUsbStreamEngine* render = Engine(0);
  CUsbStreamEngine* capture = Engine(1);
  EXPECT_EQ(typeid(*render), typeid(CTQ4187Render));
  EXPECT_EQ(typeid(*capture), typeid(CUac1Capture));
  EXPECT_EQ(render->GetEngineId(), 1u);
  EXPECT_EQ(capture->GetEngineId(), 2u);
  EXPECT_EQ(render->GetTerminalNodeId(), 0u);
  EXPECT_EQ(capture->GetTerminalNodeId(), 14u);
  EXPECT_EQ(EngineName(render), "HeadSetOut00");
  EXPECT_EQ(EngineName(capture), "HeadSetIn00");
  EXPECT_EQ(AttachedNodeIds(render), (std::vector<ULONG>{8, 7, 6, 5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(AttachedNodeIds(capture), (std::vector<ULONG>{14, 13, 12, 11, 10, 9}));
  // The room effect node processes the render stream, and the topology
  // build bound its prompt to the render engine.
  ITopoNode* room = nullptr;
  ASSERT_EQ(model->GetNode(7, &room), STATUS_SUCCESS);
  PVOID binding = nullptr;
  ASSERT_EQ(room->QueryInterface(IID_IStreamEngineBinding, &binding), STATUS_SUCCESS);
  static_cast<IStreamEngineBinding*>(binding)->Release();
  auto* roomNode = static_cast<C7719RoomEffectNode*>(static_cast<IStreamEngineBinding*>(binding));
  EXPECT_TRUE(roomNode->IsBound());
  EXPECT_TRUE(roomNode->HasEveryPart());

  // A headset's render engine has no two-channel records (everything is
  // announced with eight), so it offers all it has.
  EXPECT_EQ(Formats(render),
            (std::vector<FormatShape>{{8, 48000, 16, 0x63F, 1}, {8, 44100, 16, 0x63F, 1}}));
  EXPECT_EQ(Formats(capture), (std::vector<FormatShape>{{1, 48000, 16, 4, 1},
                                                       {1, 44100, 16, 4, 1},
                                                       {1, 32000, 16, 4, 1},
                                                       {1, 16000, 16, 4, 1},
                                                       {1, 48000, 16, 0, 1},
                                                       {1, 44100, 16, 0, 1},
                                                       {1, 32000, 16, 0, 1},
                                                       {1, 16000, 16, 0, 1}}));
  WAVEFORMATEXTENSIBLE first{};
  render->GetFormat(0, &first);
  EXPECT_EQ(first.Format.nAvgBytesPerSec, 768000u);

  EXPECT_EQ(SubdeviceNames(),
            (std::vector<std::u16string>{u"GlobalTopo", u"HeadSetOut00Wave", u"HeadSetIn00Wave"}));
  EXPECT_NE(model->GetStatusThread(), nullptr);
  EXPECT_FALSE(platform::debug::Contains("UsbParse"));
}

// Without memory for the room effect's processing the headset starts all
// the same, without that node: the render path plays unprocessed.
TEST_F(ProductModelTest, HeadsetStartsWithoutTheRoomEffectNodeWhenItsProcessingCannotBeAllocated) {
  for (ULONG tag : {ROOM_NODE_BUFFER_TAG, ROOM_NODE_LIMITER_TAG}) {
    SCOPED_TRACE(testing::Message() << std::hex << tag);
    platform::pool::FailAllocationsWithTag(tag);
    ASSERT_EQ(StartWith(sim::headset::Descriptors(), sim::headset::Profile()), STATUS_SUCCESS);
    platform::pool::ClearFailures();
    const std::vector<NodeShape> nodes = Nodes();
    ASSERT_EQ(nodes.size(), 14u);
    EXPECT_EQ(nodes[6], (NodeShape{6, NODE_TYPE_LOUDNESS, {5}}));
    EXPECT_EQ(nodes[7], (NodeShape{7, NODE_TYPE_OUTPUT_PIN, {6}}));
    for (const NodeShape& n : nodes) EXPECT_NE(n.type, ULONG(NODE_TYPE_PROCESSING));
    EXPECT_EQ(AttachedNodeIds(Engine(0)), (std::vector<ULONG>{7, 6, 5, 4, 3, 2, 1, 0}));
    Unplug();
  }
}

TEST_F(ProductModelTest, FixedIdDeviceGetsItsOwnModelAndReportsBothParses) {
  sim::DescriptorSet set = sim::headset::Descriptors();
  set.device[8] = 0x1F;  // idVendor 0x5E1F
  set.device[9] = 0x5E;
  set.device[10] = 0xE4;  // idProduct 0xB9E4
  set.device[11] = 0xB9;
  ASSERT_EQ(StartWith(set, sim::headset::Profile()), STATUS_SUCCESS);
  C7719AudioHal* model = Model();
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(typeid(*model), typeid(CK784AudioHal));
  const std::vector<UnitShape> units = Units();
  ASSERT_EQ(units.size(), 7u);
  EXPECT_EQ(*units[1].kind, typeid(CK784FeatureUnit));
  EXPECT_EQ(*units[4].kind, typeid(CUac1FeatureUnit));
  EXPECT_TRUE(platform::debug::Contains("UsbParseAudioControlInterface = 0\n"));
  EXPECT_TRUE(platform::debug::Contains("UsbParseAudioStreamInterface = 0\n"));
}

TEST_F(ProductModelTest, StereoHeadsetWithMicrophone) {
  ASSERT_EQ(StartWith(StereoHeadset()), STATUS_SUCCESS);
  const std::vector<NodeShape> expectedNodes = {
      {0, NODE_TYPE_INPUT_PIN, {}}, {1, NODE_TYPE_MUTE, {0}},        {2, NODE_TYPE_VOLUME, {1}},
      {3, NODE_TYPE_OUTPUT_PIN, {2}}, {4, NODE_TYPE_INPUT_PIN, {}},  {5, NODE_TYPE_MUTE, {4}},
      {6, NODE_TYPE_VOLUME, {5}},   {7, NODE_TYPE_OUTPUT_PIN, {6}}};
  EXPECT_EQ(Nodes(), expectedNodes);
  EXPECT_EQ(EngineName(Engine(0)), "HPOut00");
  EXPECT_EQ(EngineName(Engine(1)), "MicIn00");
  EXPECT_EQ(AttachedNodeIds(Engine(0)), (std::vector<ULONG>{3, 2, 1, 0}));
  EXPECT_EQ(AttachedNodeIds(Engine(1)), (std::vector<ULONG>{7, 6, 5, 4}));
  EXPECT_EQ(Formats(Engine(0)), (std::vector<FormatShape>{{8, 48000, 16, 0x63F, 1}}));
  EXPECT_EQ(Formats(Engine(1)), (std::vector<FormatShape>{
                                    {1, 48000, 16, 4, 1}, {1, 16000, 16, 4, 1}, {1, 48000, 16, 0, 1}, {1, 16000, 16, 0, 1}}));
  EXPECT_NE(Model()->GetStatusThread(), nullptr);
}

TEST_F(ProductModelTest, WebcamMicrophoneKeepsTheAlternateSettingOfEachRate) {
  ASSERT_EQ(StartWith(WebcamMicrophone()), STATUS_SUCCESS);
  ASSERT_EQ(Model()->GetStreamEngineCount(), 1u);
  CUsbStreamEngine* capture = Engine(0);
  EXPECT_TRUE(capture->IsCapture());
  EXPECT_EQ(EngineName(capture), "MicIn00");
  EXPECT_EQ(Formats(capture), (std::vector<FormatShape>{{1, 16000, 16, 4, 1},
                                                       {1, 16000, 16, 0, 1},
                                                       {1, 32000, 16, 4, 2},
                                                       {1, 32000, 16, 0, 2},
                                                       {1, 48000, 16, 4, 3},
                                                       {1, 48000, 16, 0, 3}}));
  // No status endpoint: no status thread.
  EXPECT_EQ(Model()->GetStatusThread(), nullptr);
}

TEST_F(ProductModelTest, SoundCardRenderPathCrossesTheMixerToTheStreamAndTheSelectorFeedsBothInputs) {
  ASSERT_EQ(StartWith(SoundCard()), STATUS_SUCCESS);
  // IT 1 [0], IT 4 [1], MU 5 sum [2], FU 6 mute/volume [3, 4], OT 7 [5],
  // IT 8 [6], SU 9 [7], FU 10 [8, 9], OT 11 [10].
  const std::vector<NodeShape> expectedNodes = {
      {0, NODE_TYPE_INPUT_PIN, {}},       {1, NODE_TYPE_INPUT_PIN, {}},  {2, NODE_TYPE_SUM, {0, 1}},
      {3, NODE_TYPE_MUTE, {2}},           {4, NODE_TYPE_VOLUME, {3}},    {5, NODE_TYPE_OUTPUT_PIN, {4}},
      {6, NODE_TYPE_INPUT_PIN, {}},       {7, NODE_TYPE_SELECTOR, {1, 6}}, {8, NODE_TYPE_MUTE, {7}},
      {9, NODE_TYPE_VOLUME, {8}},         {10, NODE_TYPE_OUTPUT_PIN, {9}}};
  EXPECT_EQ(Nodes(), expectedNodes);
  // The render path goes on through the sum node only to the stream's own
  // input pin, not to the line input mixed in; the capture path is
  // breadth-first through the selector to both inputs.
  EXPECT_EQ(AttachedNodeIds(Engine(0)), (std::vector<ULONG>{5, 4, 3, 2, 0}));
  EXPECT_EQ(AttachedNodeIds(Engine(1)), (std::vector<ULONG>{10, 9, 8, 7, 1, 6}));
  EXPECT_EQ(EngineName(Engine(0)), "SPKOut00");
  EXPECT_EQ(EngineName(Engine(1)), "RecIn00");
  EXPECT_EQ(Formats(Engine(1)), (std::vector<FormatShape>{{2, 48000, 16, 3, 1}, {2, 48000, 16, 0, 1}}));
}

TEST_F(ProductModelTest, ContinuousRangeIsOfferedAtTheStandardRatesUpToTheNextHigherOne) {
  ASSERT_EQ(StartWith(ContinuousRateMicrophone()), STATUS_SUCCESS);
  std::vector<FormatShape> expected;
  for (DWORD mask : {4u, 0u})
    for (ULONG rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u})
      expected.push_back({1, rate, 16, mask, 1});
  EXPECT_EQ(Formats(Engine(0)), expected);
}

TEST_F(ProductModelTest, BareTerminalsGetASoftwareMuteInFrontOfTheOutput) {
  ASSERT_EQ(StartWith(BareSpeakers()), STATUS_SUCCESS);
  // The mute takes the number after the AudioControl nodes; the speaker's
  // pin is re-sourced to it.
  const std::vector<NodeShape> expectedNodes = {
      {0, NODE_TYPE_INPUT_PIN, {}}, {1, NODE_TYPE_OUTPUT_PIN, {2}}, {2, NODE_TYPE_MUTE, {0}}};
  EXPECT_EQ(Nodes(), expectedNodes);
  EXPECT_EQ(AttachedNodeIds(Engine(0)), (std::vector<ULONG>{1, 0, 2}));
  ITopoNode* mute = nullptr;
  Engine(0)->GetAttachedNode(2, &mute);
  PVOID processor = nullptr;
  ASSERT_EQ(mute->QueryInterface(IID_IDspProcessor, &processor), STATUS_SUCCESS);
  static_cast<IDspProcessor*>(processor)->Release();
  EXPECT_EQ(EngineName(Engine(0)), "SPKOut00");
}

TEST_F(ProductModelTest, DevicesThisProductRefuses) {
  // A processing unit: the AudioControl parse refuses the device.
  EXPECT_EQ(StartWith(ProcessingUnitDevice()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DeviceObject(), nullptr);
  const ModelRefusal refusal = Extension()->StartRefusal;
  EXPECT_STREQ(refusal.step, "UsbParseAudioControlInterface");
  EXPECT_EQ(refusal.status, STATUS_UNSUCCESSFUL);
  ASSERT_NE(refusal.reason, nullptr);
  EXPECT_NE(std::string(refusal.reason).find("processing"), std::string::npos);

  // An AudioControl protocol other than 0: no model is made at all.
  EXPECT_EQ(StartWith(ProtocolTwoDevice()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DeviceObject(), nullptr);
}

}  // namespace

namespace {

TEST_F(ProductModelTest, ReportShowsTheWholeModelOrWhyTheDeviceWasRefused) {
  ASSERT_EQ(StartWith(sim::headset::Descriptors(), sim::headset::Profile()), STATUS_SUCCESS);
  const std::string report = sim::DescribeHardwareModel(Fdo());
  for (const char* line : {"hardware model: C7719AudioHal for 1209:0001, AudioControl interface 0, status thread running",
                           "  unit 2 feature unit, sources 1, nodes 1 2 3 4 5 6 7",
                           "  node 2 volume, sources 1: range ",
                           "  node 7 processing, sources 6: room effect off, in software",
                           "  node 13 selector, sources 12: input 1 of 1",
                           "  engine 0 \"HeadSetOut00\": render, interface 1, terminal node 0, category HeadSet (14), "
                           "wave subdevice HeadSetOut00Wave registered",
                           "    nodes: 8 7 6 5 4 3 2 1 0",
                           "      8 ch 48000 Hz 16 bit (16 valid) mask 0x63F PCM, alternate setting 1"})
    EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
  EXPECT_EQ(sim::DescribeModelRefusal(STATUS_SUCCESS, Device().Descriptors(), Fdo()), "");
  Unplug();

  const NTSTATUS refused = StartWith(ProcessingUnitDevice());
  EXPECT_EQ(sim::DescribeModelRefusal(refused, ProcessingUnitDevice(), Fdo()),
            "refused: UsbParseAudioControlInterface failed with status 0xC0000001: unit 2 is of a kind this product "
            "does not support (subtype 7: processing, extension or other)\n");
  Unplug();
  const NTSTATUS protocol = StartWith(ProtocolTwoDevice());
  EXPECT_EQ(sim::DescribeModelRefusal(protocol, ProtocolTwoDevice(), Fdo()),
            "refused: the AudioControl interface's protocol is 0x20, not Audio Class 1.0 (status 0xC0000001)\n");
}

TEST_F(ProductModelTest, TwoDevicesRefusedAtOnceEachKeepTheirOwnReason) {
  // Same IDs, refused in different parse steps, started on two threads.
  const sim::DescriptorSet control = ProcessingUnitDevice();
  const sim::DescriptorSet streaming = RenderDeviceWith({AsGeneral(9), FormatType(1, 2, 2, 16, {48000})});
  std::optional<sim::host::RunningDriver> first, second;
  std::thread a([&] { first.emplace(control, PlainProfile()); });
  std::thread b([&] { second.emplace(streaming, PlainProfile()); });
  a.join();
  b.join();
  ASSERT_FALSE(first->Started());
  ASSERT_FALSE(second->Started());
  EXPECT_EQ(sim::DescribeModelRefusal(first->startStatus, control, first->HostSide().AdapterDevice()).rfind(
                "refused: UsbParseAudioControlInterface failed", 0),
            0u);
  EXPECT_EQ(sim::DescribeModelRefusal(second->startStatus, streaming, second->HostSide().AdapterDevice()).rfind(
                "refused: UsbParseAudioStreamInterface failed", 0),
            0u);
  first.reset();
  second.reset();
}

}  // namespace
