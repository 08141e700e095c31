// Nodes bound to their unit: what reaches the device, what is cached and
// what is persisted under which name, output-type reloads and selection,
// processing nodes, and jack refreshes racing with readers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1FeatureUnit.h"
#include "topology/CUac1OutputTerminal.h"
#include "topology/CUacProcessingNode.h"
#include "topology/CUacTerminalNode.h"
#include "topology/UnitBinding.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::OutputTerminalDescriptor;
using topotest::Testbed;

constexpr LONG kDb = 65536;
constexpr UCHAR kUnit = 5;
constexpr UCHAR kOut = 7;

// Counts the control-change notifications on the model's callback object.
struct NotifyCounter {
  static void Callback(PVOID context, PVOID argument1, PVOID) {
    auto* self = static_cast<NotifyCounter*>(context);
    const auto* notify = static_cast<const AudioHalNotify*>(argument1);
    if (notify->Kind == 1 && notify->Second == 1) self->nodes.push_back(notify->NodeId);
  }
  std::vector<ULONG> nodes;
};

class UnitBoundNodeTest : public testsupport::KernelTest {
 protected:
  // Mute on the master, volume on `channels` channels, -32 dB .. 0 dB in 1 dB steps.
  static Bytes MuteAndVolume(ULONG channels) {
    std::vector<ULONG> bitmaps{0x01};
    for (ULONG i = 0; i < channels; ++i) bitmaps.push_back(0x02);
    return FeatureUnitDescriptor(kUnit, 1, 1, bitmaps);
  }
  static sim::DeviceProfile VolumeRange() {
    sim::DeviceProfile profile = sim::DefaultProfile();
    profile.unitControlRanges[{kUnit, 2}] = {-0x2000, 0, 0x100, 0};
    return profile;
  }
  static ULONG StoredLevel(Testbed& bed, const char16_t* name) { return bed.SettingAs<ULONG>(name); }
  static sim::ControlFault SetCurStall(UCHAR cs, std::optional<UCHAR> channel = std::nullopt) {
    sim::ControlFault fault;
    fault.match = sim::RequestMatch::ClassToUnit(kUnit, 0x01);
    fault.match.valueHigh = cs;
    if (channel) fault.match.value = static_cast<uint16_t>(cs << 8 | *channel);
    return fault;
  }
};

TEST_F(UnitBoundNodeTest, PersistedValueNames) {
  const struct {
    ULONG node, outputType, channel;
    const char16_t* name;
  } cases[] = {{7, 2, 1, u"Unit07_ 2_1"}, {7, 14, 1, u"Unit07_14_1"}, {123, 0, 0, u"Unit123_ 0_0"}, {0, 1, 5, u"Unit00_ 1_5"}};
  for (const auto& c : cases) {
    WCHAR prefix[NODE_VALUE_PREFIX_CHARS] = {};
    ASSERT_EQ(FormatChannelValuePrefix(prefix, c.node, c.outputType), STATUS_SUCCESS);
    WCHAR name[50] = {};
    RtlStringCchPrintfW(name, 50, u"%s%d", prefix, static_cast<int>(c.channel));
    EXPECT_EQ(std::u16string(name), std::u16string(c.name));
  }
  WCHAR single[NODE_VALUE_PREFIX_CHARS] = {};
  FormatNodeValueName(single, 7);
  EXPECT_EQ(std::u16string(single), u"Unit07_");
}

TEST_F(UnitBoundNodeTest, VolumeSetIsClampedRoundedAndKeptOnlyWhenTheDeviceTookIt) {
  const Bytes descriptor = MuteAndVolume(1);
  Testbed bed({descriptor}, VolumeRange());
  bed.Build<CUac1FeatureUnit>(descriptor);
  ILevelNode* volume = bed.NodeAs<ILevelNode>(1, IID_ILevelNode);
  ASSERT_NE(volume, nullptr);
  bed.TakeRequests();

  EXPECT_EQ(volume->SetLevel(0, 3 * kDb), STATUS_SUCCESS);
  auto requests = bed.TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].data, (Bytes{0, 0}));
  LONG level = 1;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(StoredLevel(bed, u"Unit01_ 0_0"), 0u);

  EXPECT_EQ(volume->SetLevel(0, -10 * kDb - kDb / 2), STATUS_SUCCESS);
  EXPECT_EQ(bed.TakeRequests()[0].data, (Bytes{0x00, 0xF6}));  // -10 dB on the wire
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -10 * kDb - kDb / 2);

  // Refused: the caller hears of it, and neither cache nor store changes.
  bed.Device().AddFault(SetCurStall(2));
  EXPECT_NE(volume->SetLevel(0, -20 * kDb), STATUS_SUCCESS);
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -10 * kDb - kDb / 2);
  EXPECT_EQ(StoredLevel(bed, u"Unit01_ 0_0"), static_cast<ULONG>(-10 * kDb - kDb / 2));
  EXPECT_EQ(volume->SetLevel(1, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(UnitBoundNodeTest, ToneMinusInfinitySendsTheMinimumAndKeepsMinusInfinity) {
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x05});  // mute, bass
  Testbed bed({descriptor});
  bed.Build<CUac1FeatureUnit>(descriptor);
  ILevelNode* bass = bed.NodeAs<ILevelNode>(1, IID_ILevelNode);
  bed.TakeRequests();
  EXPECT_EQ(bass->SetLevel(0, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);
  EXPECT_EQ(bed.TakeRequests()[0].data, (Bytes{static_cast<UCHAR>(-48)}));  // -12 dB
  LONG level = 0;
  bass->GetLevel(0, &level);
  EXPECT_EQ(level, LEVEL_MINUS_INFINITY);
}

TEST_F(UnitBoundNodeTest, EveryKindOfSetReturnsTheDevicesRefusal) {
  // Every control on the master channel: one node of each kind.
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 2, {0x025F});
  struct Case {
    const char* name;
    ULONG index;  // in creation order: mute, volume, bass, mid, treble, AGC, loudness
    UCHAR cs;
    bool level;
    const char16_t* stored;
  };
  const Case cases[] = {
      {"mute", 0, 1, false, u"Unit00_ 0_0"},     {"volume", 1, 2, true, u"Unit01_ 0_0"},
      {"bass", 2, 3, true, u"Unit02_ 0_0"},      {"mid", 3, 4, true, u"Unit03_ 0_0"},
      {"treble", 4, 5, true, u"Unit04_ 0_0"},    {"AGC", 5, 7, false, u"Unit05_ 0_0"},
      {"loudness", 6, 10, false, u"Unit06_ 0_0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    Testbed bed({descriptor});
    CUac1FeatureUnit* unit = bed.Build<CUac1FeatureUnit>(descriptor);
    bed.Device().AddFault(SetCurStall(c.cs));
    // What the unit itself answers for the stalled request.
    const NTSTATUS stalled = c.level ? static_cast<ILevelControl*>(unit)->SetLevel(c.cs, 0, -kDb)
                                     : static_cast<ISwitchControl*>(unit)->SetSwitchValue(c.cs, 0, 1);
    ASSERT_FALSE(NT_SUCCESS(stalled));

    if (c.level) {
      ILevelNode* node = bed.NodeAs<ILevelNode>(c.index, IID_ILevelNode);
      ASSERT_NE(node, nullptr);
      LONG before = 0;
      node->GetLevel(0, &before);
      EXPECT_EQ(node->SetLevel(0, -kDb), stalled);
      // Neither cached nor stored.
      LONG after = 1;
      node->GetLevel(0, &after);
      EXPECT_EQ(after, before);
      EXPECT_FALSE(bed.HasSetting(c.stored));
      EXPECT_EQ(node->SetLevel(1, 0), STATUS_INVALID_PARAMETER);
    } else {
      ISwitchNode* node = bed.NodeAs<ISwitchNode>(c.index, IID_ISwitchNode);
      ASSERT_NE(node, nullptr);
      EXPECT_EQ(node->SetValue(0, 1), stalled);
      // Switches keep and store what was asked for whatever the device said.
      UCHAR value = 0;
      node->GetValue(0, &value);
      EXPECT_EQ(value, 1);
      EXPECT_EQ(bed.Setting(c.stored), (std::vector<UCHAR>{1}));
      EXPECT_EQ(node->SetValue(1, 1), STATUS_INVALID_PARAMETER);
    }
  }
}

TEST_F(UnitBoundNodeTest, InitAndOutputTypeReloadTakeTheStoredValuesTheControlTakes) {
  const Bytes descriptor = MuteAndVolume(2);
  Testbed bed({descriptor}, VolumeRange());
  ASSERT_TRUE(bed.Device().SetControlValue(kUnit, 2, 1, {0x00, 0xFB}, false));  // -5 dB
  ASSERT_TRUE(bed.Device().SetControlValue(kUnit, 2, 2, {0x00, 0xFB}, false));
  bed.PutSetting(u"Unit01_ 0_0", LONG(-20 * kDb));
  bed.PutSetting(u"Unit01_ 0_1", LONG(40 * kDb));  // beyond the range: the device's level stays
  bed.PutSetting(u"Unit00_ 0_0", UCHAR(1));
  bed.Build<CUac1FeatureUnit>(descriptor);
  LONG level = 0;
  ILevelNode* volume = bed.NodeAs<ILevelNode>(1, IID_ILevelNode);
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -20 * kDb);
  volume->GetLevel(1, &level);
  EXPECT_EQ(level, -5 * kDb);
  UCHAR muted = 0;
  ISwitchNode* mute = bed.NodeAs<ISwitchNode>(0, IID_ISwitchNode);
  mute->GetValue(0, &muted);
  EXPECT_EQ(muted, 1);
  LONG maximum = 1, minimum = 1, step = 1;
  volume->GetRange(&maximum, &minimum, &step);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(minimum, -32 * kDb);
  EXPECT_EQ(step, kDb);

  // Another output type's values are taken the same way: silence is one,
  // a level below the range and a switch byte of 2 are not.
  bed.PutSetting(u"Unit01_ 2_0", LONG(LEVEL_MINUS_INFINITY));
  bed.PutSetting(u"Unit01_ 2_1", LONG(-33 * kDb));
  bed.PutSetting(u"Unit00_ 2_0", UCHAR(2));
  for (ULONG node : {0u, 1u})
    ASSERT_EQ(bed.NodeAs<IOutputTypeSink>(node, IID_IOutputTypeSink)->SetOutputType(PIN_CATEGORY_HP, nullptr),
              STATUS_SUCCESS);
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, LEVEL_MINUS_INFINITY);
  volume->GetLevel(1, &level);
  EXPECT_EQ(level, -5 * kDb);
  mute->GetValue(0, &muted);
  EXPECT_EQ(muted, 1);

  // A device that does not answer and nothing stored: 0.
  Testbed silent({descriptor}, VolumeRange());
  sim::ControlFault stall;
  stall.match = sim::RequestMatch::ClassToUnit(kUnit, 0x81);
  silent.Device().AddFault(stall);
  silent.Device().SetControlValue(kUnit, 2, 1, {0x00, 0xFB}, false);
  silent.Build<CUac1FeatureUnit>(descriptor);
  silent.NodeAs<ILevelNode>(1, IID_ILevelNode)->GetLevel(0, &level);
  EXPECT_EQ(level, 0);
}

TEST_F(UnitBoundNodeTest, ADeviceThatRefusesOneChannelStillBuildsAndGetsTheRest) {
  // Mute and volume on two channels; the device refuses both on the first.
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x00, 0x03, 0x03});
  Testbed bed({descriptor}, VolumeRange());
  bed.Device().AddFault(SetCurStall(1, 1));
  bed.Device().AddFault(SetCurStall(2, 1));
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  bed.Build<CUac1FeatureUnit>(descriptor, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  bed.TakeRequests();
  EXPECT_EQ(bed.Model().ApplyNodesToDevice(), STATUS_SUCCESS);
  std::vector<uint16_t> sets;
  for (const auto& r : bed.TakeRequests())
    if (r.setup.bRequest == 0x01) sets.push_back(r.setup.wValue);
  EXPECT_EQ(sets, (std::vector<uint16_t>{0x0101, 0x0102, 0x0201, 0x0202}));
  EXPECT_NE(bed.NodeAs<ISwitchNode>(0, IID_ISwitchNode)->SetValue(0, 1), STATUS_SUCCESS);
  EXPECT_EQ(bed.NodeAs<ISwitchNode>(0, IID_ISwitchNode)->SetValue(1, 1), STATUS_SUCCESS);
  EXPECT_NE(bed.NodeAs<ILevelNode>(1, IID_ILevelNode)->SetLevel(0, -kDb), STATUS_SUCCESS);
  EXPECT_EQ(bed.NodeAs<ILevelNode>(1, IID_ILevelNode)->SetLevel(1, -kDb), STATUS_SUCCESS);
}

TEST_F(UnitBoundNodeTest, OutputTypeReloadsEachTypesValues) {
  const Bytes descriptor = MuteAndVolume(8);
  Testbed bed({descriptor}, VolumeRange());
  bed.PutSetting(u"Unit01_ 2_0", LONG(-3 * kDb));
  bed.PutSetting(u"Unit01_ 2_1", LONG(-4 * kDb));
  bed.PutSetting(u"Unit01_ 2_2", LONG(-9 * kDb));  // beyond the two channels headphones show
  bed.Build<CUac1FeatureUnit>(descriptor);
  ILevelNode* volume = bed.NodeAs<ILevelNode>(1, IID_ILevelNode);
  IOutputTypeSink* sink = bed.NodeAs<IOutputTypeSink>(1, IID_IOutputTypeSink);
  // Upstream of a speaker terminal to start with, as the parser leaves it.
  ASSERT_EQ(sink->SetOutputType(PIN_CATEGORY_SPK, nullptr), STATUS_SUCCESS);
  for (ULONG channel = 0; channel < 8; ++channel) ASSERT_EQ(volume->SetLevel(channel, -LONG(channel) * kDb), STATUS_SUCCESS);
  bed.TakeRequests();

  NotifyCounter counter;
  PVOID registration = nullptr;
  ASSERT_EQ(bed.Hal()->RegisterCallback(&NotifyCounter::Callback, &counter, &registration), STATUS_SUCCESS);
  PCALLBACK_OBJECT callbackObject = bed.Model().GetHalCallbackObject();

  EXPECT_EQ(sink->SetOutputType(PIN_CATEGORY_HP, callbackObject), STATUS_SUCCESS);
  std::vector<uint16_t> sent;
  for (const auto& r : bed.TakeRequests()) sent.push_back(r.setup.wValue);
  EXPECT_EQ(sent, (std::vector<uint16_t>{0x0201, 0x0202}));
  LONG expected[8] = {-3 * kDb, -4 * kDb, -2 * kDb, -3 * kDb, -4 * kDb, -5 * kDb, -6 * kDb, -7 * kDb};
  for (ULONG channel = 0; channel < 8; ++channel) {
    LONG level = 0;
    volume->GetLevel(channel, &level);
    EXPECT_EQ(level, expected[channel]) << channel;
  }
  EXPECT_EQ(counter.nodes, (std::vector<ULONG>{1}));

  // Values set now belong to the headphone type.
  EXPECT_EQ(volume->SetLevel(0, -7 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(StoredLevel(bed, u"Unit01_ 2_0"), static_cast<ULONG>(-7 * kDb));
  EXPECT_EQ(StoredLevel(bed, u"Unit01_ 1_0"), 0u);

  // Back to speakers and to headphones again: each type's values return.
  EXPECT_EQ(sink->SetOutputType(PIN_CATEGORY_SPK, callbackObject), STATUS_SUCCESS);
  LONG level = 1;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, 0);
  volume->GetLevel(7, &level);
  EXPECT_EQ(level, -7 * kDb);
  EXPECT_EQ(sink->SetOutputType(PIN_CATEGORY_HP, nullptr), STATUS_SUCCESS);
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -7 * kDb);
  EXPECT_EQ(counter.nodes, (std::vector<ULONG>{1, 1}));
  bed.Hal()->UnregisterCallback(registration);
}

class OutputTypeSelectTest : public UnitBoundNodeTest {
 protected:
  // A feature unit feeding a two-type speaker terminal; the volume node
  // listens to the output-type node.
  void Build(Testbed& bed) {
    bed.Build<CUac1FeatureUnit>(m_Feature);
    bed.Build<CUac1OutputTerminal>(m_Terminal);
    m_Type = bed.NodeAs<IOutputTypeNode>(4, IID_IOutputTypeNode);
    ASSERT_NE(m_Type, nullptr);
    IOutputTypeSink* sink = bed.NodeAs<IOutputTypeSink>(1, IID_IOutputTypeSink);
    sink->SetOutputType(PIN_CATEGORY_SPK, nullptr);
    ASSERT_EQ(m_Type->AddListener(sink), STATUS_SUCCESS);
    bed.TakeRequests();
  }
  static sim::DeviceProfile Profile() {
    sim::DeviceProfile profile = VolumeRange();
    profile.terminals[kOut].outputTypes = {{0x0301, {}}, {0x0302, {}}};
    return profile;
  }
  PinCategory Current() {
    PinCategory category = 0;
    m_Type->GetCategory(&category);
    return category;
  }
  const Bytes m_Feature = MuteAndVolume(2);
  const Bytes m_Terminal = OutputTerminalDescriptor(kOut, 0x0301, kUnit);
  IOutputTypeNode* m_Type = nullptr;
};

TEST_F(OutputTypeSelectTest, SelectsOnTheDeviceThenRefreshesThenTellsListenersThenStores) {
  Testbed bed({m_Feature, m_Terminal}, Profile());
  Build(bed);
  bool checked = false;
  bed.Model().onRefresh = [&] {
    EXPECT_EQ(bed.Device().CurrentOutputType(kOut), 0x0302);
    EXPECT_EQ(m_Type->IsChangePending(), 1u);
    EXPECT_FALSE(bed.HasSetting(u"Unit04_"));
    EXPECT_TRUE(bed.TakeRequests().size() == 1);  // the select, no listener has sent anything yet
    checked = true;
  };
  EXPECT_EQ(m_Type->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_TRUE(checked);
  EXPECT_EQ(bed.Model().refreshedUnits, (std::vector<ULONG>{kOut}));
  EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit04_"), PIN_CATEGORY_HP);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"UACUnit07"), PIN_CATEGORY_HP);
  EXPECT_FALSE(bed.TakeRequests().empty());  // the listener reloaded and sent its levels
  EXPECT_EQ(Current(), PIN_CATEGORY_HP);
  // The current category again: nothing happens.
  EXPECT_EQ(m_Type->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_EQ(bed.Model().refreshedUnits.size(), 1u);
  EXPECT_NE(m_Type->SelectType(PIN_CATEGORY_LINE), STATUS_SUCCESS);
  EXPECT_EQ(Current(), PIN_CATEGORY_HP);
}

TEST_F(OutputTypeSelectTest, FailuresPutThePreviousTypeBack) {
  {
    // The device refuses the select: nothing changes, nothing is told.
    Testbed bed({m_Feature, m_Terminal}, Profile());
    Build(bed);
    sim::ControlFault refuse;
    refuse.match = sim::RequestMatch::VendorToUnit(kOut, 0x81);
    refuse.match.in = false;
    bed.Device().AddFault(refuse);
    EXPECT_NE(m_Type->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
    EXPECT_EQ(Current(), PIN_CATEGORY_SPK);
    EXPECT_EQ(m_Type->IsChangePending(), 0u);
    EXPECT_TRUE(bed.Model().refreshedUnits.empty());
    EXPECT_FALSE(bed.HasSetting(u"Unit04_"));
    EXPECT_FALSE(bed.HasSetting(u"UACUnit07"));
  }
  {
    // Re-registration fails: node and device go back, the change stays pending.
    Testbed bed({m_Feature, m_Terminal}, Profile());
    Build(bed);
    bed.Model().refreshStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(m_Type->SelectType(PIN_CATEGORY_HP), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Current(), PIN_CATEGORY_SPK);
    EXPECT_EQ(bed.Device().CurrentOutputType(kOut), 0x0301);
    EXPECT_EQ(m_Type->IsChangePending(), 1u);
    EXPECT_FALSE(bed.HasSetting(u"Unit04_"));
  }
  {
    // No callback object: the change stands, only the events are missing.
    Testbed bed({m_Feature, m_Terminal}, Profile());
    Build(bed);
    bed.Model().callbackObjectStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(m_Type->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
    EXPECT_EQ(Current(), PIN_CATEGORY_HP);
    EXPECT_EQ(bed.Device().CurrentOutputType(kOut), 0x0302);
    EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit04_"), PIN_CATEGORY_HP);
  }
}

TEST_F(OutputTypeSelectTest, StartsOnAStoredTypeOnlyWhenTheTerminalOffersIt) {
  for (ULONG stored : {ULONG(PIN_CATEGORY_HP), ULONG(PIN_CATEGORY_LINE)}) {
    SCOPED_TRACE(stored);
    Testbed bed({m_Feature, m_Terminal}, Profile());
    bed.PutSetting(u"Unit04_", stored);
    Build(bed);
    // The start pushes the node's category to the device; one the terminal
    // does not offer would fail the start.
    EXPECT_EQ(bed.Node(4)->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
    const bool offered = stored == PIN_CATEGORY_HP;
    EXPECT_EQ(bed.Device().CurrentOutputType(kOut), offered ? 0x0302 : 0x0301);
    EXPECT_EQ(Current(), offered ? PIN_CATEGORY_HP : PIN_CATEGORY_SPK);
  }
}

TEST_F(UnitBoundNodeTest, ProcessingNodeKeepsOnlyWhatTheDeviceTookButAlwaysFlagsAChange) {
  sim::DeviceProfile profile = sim::DefaultProfile();
  Bytes block(16, 0);
  block.insert(block.end(), {21, 0, 2, 0x00, 0x04});  // vendor control 11 on the master
  profile.unitMemory[kUnit] = block;
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x01});
  Testbed bed({descriptor}, profile);
  bed.PutSetting(u"Unit01_", UCHAR(1));
  bed.Build<CUac1FeatureUnit>(descriptor);
  auto* node = static_cast<CUacProcessingNode*>(bed.NodeAs<IProcessingNode>(1, IID_IProcessingNode));
  ASSERT_NE(node, nullptr);
  UCHAR value = 0;
  EXPECT_EQ(node->GetValue(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);  // stored over the device's 0
  EXPECT_EQ(node->GetValue(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->GetProcessingState(), 1u);
  EXPECT_FALSE(node->TakeReconfigureFlag(0));

  sim::ControlFault refuse;
  refuse.match = sim::RequestMatch::VendorToUnit(kUnit, 0x01);
  refuse.times = 1;
  bed.Device().AddFault(refuse);
  EXPECT_NE(node->SetValue(0), STATUS_SUCCESS);
  node->GetValue(&value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(bed.Setting(u"Unit01_"), (std::vector<UCHAR>{1}));
  EXPECT_TRUE(node->TakeReconfigureFlag(0));
  EXPECT_TRUE(node->TakeReconfigureFlag(1));

  EXPECT_EQ(node->SetValue(0), STATUS_SUCCESS);
  node->GetValue(&value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(bed.Setting(u"Unit01_"), (std::vector<UCHAR>{0}));
  EXPECT_EQ(bed.Device().ControlValue(kUnit, 0x8B, 0), (Bytes{0}));

  ASSERT_TRUE(bed.Device().SetControlValue(kUnit, 0x8B, 0, {1}, false));
  node->TakeReconfigureFlag(0);
  node->TakeReconfigureFlag(1);
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  node->GetValue(&value);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(node->TakeReconfigureFlag(0));
  EXPECT_FALSE(node->TakeReconfigureFlag(1));
  EXPECT_EQ(bed.Setting(u"Unit01_"), (std::vector<UCHAR>{1}));
}

// A terminal unit whose jack count changes on every look, as a device
// whose jack list changes under a running system would.
class ChangingTerminal final : public CTopoNode, public ITerminal {
 public:
  ChangingTerminal() : CTopoNode(nullptr, 1, 2) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (object && IsEqualGUIDAligned(iid, IID_ITerminal)) {
      *object = static_cast<ITerminal*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CTopoNode::NonDelegatingQueryInterface(iid, object);
  }
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override {
    *category = PIN_CATEGORY_MIC;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override {
    *count = 1;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override { return GetCategory(categories); }
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG) override {
    *count = 1 + (m_Looks++ % 4);
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bytes, JackRecord* jacks, ULONG) override {
    for (ULONG i = 0; i < bytes / sizeof(JackRecord); ++i) jacks[i] = JackRecord{i + 1, 0, 0, 0, 0, 0, 0, 1, 0};
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord*) override { return STATUS_NOT_IMPLEMENTED; }

 private:
  std::atomic<ULONG> m_Looks{0};
};

TEST_F(UnitBoundNodeTest, JackRefreshNeverFreesTheArrayUnderAReader) {
  auto* unit = new (NonPagedPool, MakeTag("ChgT")) ChangingTerminal();
  unit->NonDelegatingAddRef();
  auto* pin = new (NonPagedPool, MakeTag("PinT")) CUacInputTerminalNode(nullptr, 3);
  pin->NonDelegatingAddRef();
  ASSERT_EQ(pin->InitFromUnit(unit, DeviceCapsRecord{}), STATUS_SUCCESS);

  std::atomic<bool> stop{false};
  std::atomic<ULONG> reads{0};
  std::thread reader([&] {
    // What a stream engine's presence check and the jack property do: the
    // count, then a buffer of that many records.
    JackRecord buffer[8];
    while (!stop) {
      ULONG count = 0;
      pin->GetJackCount(&count, 0);
      if (count && count <= 8 && NT_SUCCESS(pin->GetJackDescriptions(count * sizeof(JackRecord), buffer, 0))) {
        EXPECT_EQ(buffer[0].ChannelMapping, 1u);
      }
      ++reads;
    }
  });
  while (reads == 0) std::this_thread::yield();
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(pin->RefreshFromDevice(), STATUS_SUCCESS);
  stop = true;
  reader.join();
  pin->NonDelegatingRelease();
  unit->NonDelegatingRelease();
}

}  // namespace
