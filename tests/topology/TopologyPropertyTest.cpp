// The topology filter's property and event handlers, through the real
// request path: a property IRP on the open filter, the port-class stand-in's
// item lookup, the automation tables, the handlers and the node objects.
// Requests the framework would never pass on (a property on a node whose
// table lacks it) are sent to the handlers directly at the end.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/common/ValidatePropertyParams.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/TopologyHarness.h"
#include "topology/TopologyTable.h"

namespace {

using topotest::Jack;
using topotest::TopologyHarness;

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;
constexpr ULONG BASIC = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr LONG dB = 65536;

// Model node ids.
enum : ULONG {
  kStreamIn = 0,
  kVolume,
  kMute,
  kBass,
  kAgc,
  kLoudness,
  kOutputType,
  kHeadphones,
  kMic,
  kGainPad,
  kSingleSelector,
  kProcessing,
  kDeviceSwitch,
  kFlag,
  kVendorFlag,
  kRanged,
  kParameterBlock,
  kMux,
  kMicBoost,
  kStreamOut,
};

const GUID kProcessingName = DEFINE_GUID_VALUE(0x9C0FFEE0, 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);

class TopologyPropertyTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    t = std::make_unique<TopologyHarness>();
    t->InputPin(kStreamIn, PIN_CATEGORY_STREAM);
    volume = t->Level(NODE_TYPE_VOLUME, kVolume, kStreamIn, 2, 0, -96 * dB, dB / 2);
    mute = t->Switch(NODE_TYPE_MUTE, kMute, kVolume, 2);
    t->Level(NODE_TYPE_BASS, kBass, kMute, 1, 12 * dB, -12 * dB, dB);
    t->Switch(NODE_TYPE_AGC, kAgc, kBass, 1);
    t->Switch(NODE_TYPE_LOUDNESS, kLoudness, kAgc, 1);
    outputType = t->OutputType(kOutputType, kLoudness, {PIN_CATEGORY_HP, PIN_CATEGORY_SPK});
    headphones = t->OutputPin(kHeadphones, kLoudness, PIN_CATEGORY_HP,
                              {Jack(3, 0x00FF00, 1, 0), Jack(4, 0x0000FF, 0, 1)});
    DeviceCapsRecord caps{};
    caps.CapabilityMask = 4;
    caps.ModelValue = 8;
    caps.Flags = DEVICE_CAPS_FLAG_ASIO;
    headphones->SetDeviceCaps(caps);
    t->InputPin(kMic, PIN_CATEGORY_MIC);
    t->Level(NODE_TYPE_INPUT_GAIN_PAD, kGainPad, kMic, 1, 20 * dB, 0, 10 * dB);
    t->Selector(kSingleSelector, {kGainPad});
    processing = t->Processing(kProcessing, kSingleSelector, kProcessingName, true);
    deviceSwitch = t->Switch(NODE_TYPE_DEVICE_SWITCH, kDeviceSwitch, kProcessing, 1);
    flag = t->Flag(NODE_TYPE_FLAG, kFlag, kDeviceSwitch);
    vendorFlag = t->Flag(NODE_TYPE_VENDOR_FLAG, kVendorFlag, kFlag);
    ranged = t->Ranged(kRanged, kVendorFlag);
    block = t->ParameterBlock(kParameterBlock, kRanged);
    t->Selector(kMux, {kParameterBlock, kMic});
    t->Level(NODE_TYPE_MIC_BOOST, kMicBoost, kMux, 1, 30 * dB, 0, 10 * dB);
    t->OutputPin(kStreamOut, kMicBoost, PIN_CATEGORY_STREAM);
    ASSERT_EQ(t->Start(), STATUS_SUCCESS);
  }
  void TearDown() override {
    t.reset();
    KernelTest::TearDown();
  }

  ULONG Ks(ULONG id) { return t->NodeIndexOf(id); }

  std::unique_ptr<TopologyHarness> t;
  CLevelNode* volume = nullptr;
  CSwitchNode* mute = nullptr;
  COutputTypeNode* outputType = nullptr;
  COutputTerminalNode* headphones = nullptr;
  topotest::TestProcessingNode* processing = nullptr;
  CSwitchNode* deviceSwitch = nullptr;
  topotest::TestFlagNode* flag = nullptr;
  topotest::TestFlagNode* vendorFlag = nullptr;
  topotest::TestRangedNode* ranged = nullptr;
  topotest::TestParameterBlockNode* block = nullptr;
};

// ---- Basic support ---------------------------------------------------------------------------

TEST_F(TopologyPropertyTest, BasicSupportAnswersFollowTheGradedSizeRule) {
  struct Answer {
    const char* name;
    ULONG node;  // model id, or the pin for pin answers
    bool pin;
    const GUID* set;
    ULONG id;
    ULONG access;
    const GUID* typeSet;
    ULONG vt;
    ULONG full;
    ULONG headerOnlyMembers;
  } answers[] = {
      {"stepped level", kVolume, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0x203,
       &KSPROPTYPESETID_General, VT_I4, 88, 1},
      {"stepped switch", kMute, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0x203, &KSPROPTYPESETID_General,
       VT_BOOL, 88, 1},
      {"one-channel tone", kBass, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, 0x203, &KSPROPTYPESETID_General,
       VT_I4, 72, 1},
      {"gain pad", kGainPad, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x203,
       &KSPROPTYPESETID_General, VT_I4, 92, 0},
      {"output type", kOutputType, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x202,
       &KSPROPTYPESETID_General, VT_I4, 80, 0},
      {"processing", kProcessing, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x202,
       &KSPROPTYPESETID_General, VT_BOOL, 80, 0},
      {"flag", kFlag, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x202, &KSPROPTYPESETID_General,
       VT_BOOL, 80, 0},
      {"parameter block", kParameterBlock, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x202,
       &KSPROPTYPESETID_General, VT_I4, 80, 0},
      {"single-input selector", kSingleSelector, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x202,
       &KSPROPTYPESETID_General, VT_UI4, 64, 0},
      {"ranged value", kRanged, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x203,
       &KSPROPTYPESETID_General, VT_UI4, 64, 0},
      {"device switch", kDeviceSwitch, false, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0x203,
       &KSPROPTYPESETID_General, VT_BOOL, 40, 0},
      {"jack pin", 0, true, &KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 0x201, &GUID_NULL, 0, 40, 0},
      {"pin capabilities", 0, true, &PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, 0x201, &GUID_NULL, 0, 40, 0},
  };
  for (const Answer& a : answers) {
    for (ULONG size : {0u, 2u, 4u, 39u, 40u, a.full - 1, a.full, a.full + 8}) {
      if (a.full == 40 && size == a.full - 1) continue;
      SCOPED_TRACE(testing::Message() << a.name << ", " << size << " bytes");
      std::vector<UCHAR> buffer(200, 0xEE);
      ULONG valueSize = size;
      NTSTATUS status = a.pin ? t->PinProperty(*a.set, a.id, BASIC, a.node, buffer.data(), &valueSize)
                              : t->Property(*a.set, a.id, BASIC, Ks(a.node), {0, 0}, buffer.data(), &valueSize);
      if (size < 4) {
        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(valueSize, a.pin ? 0u : a.full);
        continue;
      }
      ASSERT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(ReadUlong(buffer.data()), a.access);
      if (size < 40) {
        EXPECT_EQ(valueSize, 4u);
        EXPECT_EQ(buffer[4], 0xEE);
        continue;
      }
      KSPROPERTY_DESCRIPTION d;
      std::memcpy(&d, buffer.data(), sizeof d);
      EXPECT_EQ(d.DescriptionSize, a.full);
      EXPECT_EQ(d.PropTypeSet.Set, *a.typeSet);
      EXPECT_EQ(d.PropTypeSet.Id, a.vt);
      EXPECT_EQ(d.PropTypeSet.Flags, 0u);
      EXPECT_EQ(d.Reserved, 0u);
      const bool whole = size >= a.full;
      EXPECT_EQ(valueSize, whole ? a.full : 40u);
      EXPECT_EQ(d.MembersListCount, whole ? (a.full > 40 ? 1u : 0u) : a.headerOnlyMembers);
      EXPECT_EQ(buffer[whole ? a.full : 40], 0xEE) << "written past the answer";
    }
  }
}

TEST_F(TopologyPropertyTest, BasicSupportMembersCarryTheNodesRanges) {
  auto full = [&](ULONG node, const GUID& set, ULONG id, ULONG size) {
    std::vector<UCHAR> buffer(size);
    ULONG valueSize = size;
    EXPECT_EQ(t->Property(set, id, BASIC, Ks(node), {0, 0}, buffer.data(), &valueSize), STATUS_SUCCESS);
    EXPECT_EQ(valueSize, size);
    return buffer;
  };
  auto words = [](const std::vector<UCHAR>& b, size_t offset, size_t count) {
    std::vector<ULONG> out(count);
    std::memcpy(out.data(), b.data() + offset, count * 4);
    return out;
  };
  auto guidAt = [](const std::vector<UCHAR>& b, size_t offset) {
    GUID g;
    std::memcpy(&g, b.data() + offset, sizeof g);
    return g;
  };

  // Two identical steppings for a stereo volume: {step, 0, min, max}.
  auto level = full(kVolume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 88);
  EXPECT_EQ(words(level, 40, 4), (std::vector<ULONG>{2, 16, 2, 2}));
  const ULONG stepping[] = {ULONG(dB / 2), 0, ULONG(-96 * dB), 0};
  EXPECT_EQ(words(level, 56, 8), (std::vector<ULONG>{stepping[0], stepping[1], stepping[2], stepping[3], stepping[0],
                                                    stepping[1], stepping[2], stepping[3]}));
  auto toggle = full(kMute, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 88);
  EXPECT_EQ(words(toggle, 40, 12), (std::vector<ULONG>{2, 16, 2, 2, 1, 0, 0, 1, 1, 0, 0, 1}));

  auto pad = full(kGainPad, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 92);
  EXPECT_EQ(words(pad, 40, 5), (std::vector<ULONG>{3, 36, 1, 0, 36}));
  EXPECT_EQ(guidAt(pad, 60), NODEKIND_InputGainPad);
  EXPECT_EQ(words(pad, 76, 4), (std::vector<ULONG>{12, ULONG(20 * dB), 0, ULONG(10 * dB)}));

  const struct {
    ULONG node;
    GUID kind;
  } kinds[] = {{kOutputType, NODEKIND_OutputType},
               {kProcessing, NODEKIND_Processing},
               {kFlag, NODEKIND_Flag},
               {kVendorFlag, NODEKIND_VendorSwitch},
               {kParameterBlock, NODEKIND_ParameterBlock}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.node);
    auto value = full(k.node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 80);
    EXPECT_EQ(words(value, 40, 5), (std::vector<ULONG>{3, 24, 1, 0, 24}));
    EXPECT_EQ(guidAt(value, 60), k.kind);
    EXPECT_EQ(words(value, 76, 1), (std::vector<ULONG>{0}));
  }

  auto any = full(kSingleSelector, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 64);
  EXPECT_EQ(words(any, 40, 6), (std::vector<ULONG>{1, 8, 1, 0, 0, 0xFFFFFFFF}));
  auto range = full(kRanged, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 64);
  EXPECT_EQ(words(range, 40, 6), (std::vector<ULONG>{1, 8, 1, 0, 2, 9}));
}

// ---- Levels and switches -----------------------------------------------------------------------

TEST_F(TopologyPropertyTest, LevelsReachTheNodeOnlyForTheirOwnProperty) {
  ULONG value = 0;
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kVolume), 1, ULONG(-6 * dB)), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kVolume), 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(LONG(value), -6 * dB);
  LONG level = 1;
  EXPECT_EQ(volume->GetLevel(0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, 0);

  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, Ks(kBass), 0, ULONG(3 * dB)), STATUS_SUCCESS);
  // The tone table carries all three tone properties; a bass node takes bass only.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, Ks(kBass), 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, Ks(kBass), 0, &value), STATUS_INVALID_PARAMETER);
  // The microphone boost is a volume node of its own type.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kMicBoost), 0, ULONG(10 * dB)), STATUS_SUCCESS);

  // A channel the node lacks is the node's refusal, the caller's all-channels
  // value included.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kVolume), 2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kVolume), 0xFFFFFFFF, 0),
            STATUS_INVALID_PARAMETER);
}

TEST_F(TopologyPropertyTest, ShortBuffersAreRefusedBeforeAnyNodeSeesThem) {
  const struct {
    const char* name;
    ULONG node;
    ULONG id;
    ULONG verb;
    std::vector<ULONG> instance;
    ULONG valueSize;
  } cases[] = {
      {"level GET without channel", kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, GET, {}, 4},
      {"level SET without channel", kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, SET, {}, 4},
      {"level SET of two bytes", kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, SET, {0, 0}, 2},
      {"mute GET of two bytes", kMute, KSPROPERTY_AUDIO_MUTE, GET, {0, 0}, 2},
      {"mute SET without channel", kMute, KSPROPERTY_AUDIO_MUTE, SET, {}, 4},
      {"mute SET of two bytes", kMute, KSPROPERTY_AUDIO_MUTE, SET, {0, 0}, 2},
      {"mux SET of two bytes", kMux, KSPROPERTY_AUDIO_MUX_SOURCE, SET, {}, 2},
      {"device switch SET of no bytes", kDeviceSwitch, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, 0},
      {"output type SET of three bytes", kOutputType, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, 3},
      {"processing SET of one byte", kProcessing, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, 1},
      {"ranged SET of two bytes", kRanged, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, 2},
      {"selector SET of two bytes", kSingleSelector, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, 2},
  };
  UCHAR before = 0;
  mute->GetValue(0, &before);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UCHAR value[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    ULONG valueSize = c.valueSize;
    EXPECT_EQ(t->Property(KSPROPSETID_Audio, c.id, c.verb, Ks(c.node), c.instance, value, &valueSize),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(valueSize, 0u);
    EXPECT_EQ(value[0], 0x55);
  }
  UCHAR after = 0;
  mute->GetValue(0, &after);
  EXPECT_EQ(after, before);
  LONG level = 1;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, 0);
}

TEST_F(TopologyPropertyTest, SwitchesAnswerAWholeUlongAndStoreABoolean) {
  ULONG value = 0xFFFFFFFF;
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, Ks(kMute), 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, Ks(kMute), 1, 5), STATUS_SUCCESS);
  UCHAR stored = 0;
  EXPECT_EQ(mute->GetValue(1, &stored), STATUS_SUCCESS);
  EXPECT_EQ(stored, 1);
  value = 0xFFFFFFFF;
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, Ks(kMute), 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, Ks(kAgc), 0, 1), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, Ks(kLoudness), 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);

  // The device switch has one value, whatever channel the caller names.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kDeviceSwitch), 7, 7), STATUS_SUCCESS);
  EXPECT_EQ(deviceSwitch->GetValue(0, &stored), STATUS_SUCCESS);
  EXPECT_EQ(stored, 1);
  value = 0xFFFFFFFF;
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kDeviceSwitch), 3, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
}

TEST_F(TopologyPropertyTest, LevelSetThroughThePrivateSetRaisesOneEventForItsNode) {
  KEVENT volumeChanged, muteChanged;
  KeInitializeEvent(&volumeChanged, NotificationEvent, FALSE);
  KeInitializeEvent(&muteChanged, NotificationEvent, FALSE);
  KSEVENTDATA volumeData, muteData;
  ASSERT_EQ(t->Filter()->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, Ks(kVolume),
                                     &volumeData, &volumeChanged),
            STATUS_SUCCESS);
  ASSERT_EQ(t->Filter()->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, Ks(kMute), &muteData,
                                     &muteChanged),
            STATUS_SUCCESS);
  platform::portcls::Filter* filter = t->Filter()->Filter();

  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Ks(kVolume), 0, ULONG(-3 * dB)), STATUS_SUCCESS);
  EXPECT_EQ(filter->EventDeliveries(&volumeData), 0u);
  EXPECT_EQ(t->Set(PROPSETID_DevicePrivate, DEVICEPRIVATE_LEVEL_WITH_EVENT, Ks(kVolume), 0, ULONG(-9 * dB)),
            STATUS_SUCCESS);
  EXPECT_EQ(filter->EventDeliveries(&volumeData), 1u);
  EXPECT_TRUE(KeReadStateEvent(&volumeChanged));
  EXPECT_EQ(filter->EventDeliveries(&muteData), 0u);
  LONG level = 0;
  EXPECT_EQ(volume->GetLevel(0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -9 * dB);
  // A refused level raises nothing.
  EXPECT_EQ(t->Set(PROPSETID_DevicePrivate, DEVICEPRIVATE_LEVEL_WITH_EVENT, Ks(kVolume), 5, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(filter->EventDeliveries(&volumeData), 1u);

  EXPECT_EQ(t->Filter()->DisableEvent(&volumeData), STATUS_SUCCESS);
  EXPECT_EQ(t->Filter()->DisableEvent(&muteData), STATUS_SUCCESS);
}

TEST_F(TopologyPropertyTest, ModelNotificationsBecomeControlChangesOfTheirKsNode) {
  KEVENT changed;
  KeInitializeEvent(&changed, NotificationEvent, FALSE);
  KSEVENTDATA bassData, muteData;
  ASSERT_EQ(t->Filter()->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, Ks(kBass), &bassData,
                                     &changed),
            STATUS_SUCCESS);
  ASSERT_EQ(t->Filter()->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, Ks(kMute), &muteData,
                                     &changed),
            STATUS_SUCCESS);
  platform::portcls::Filter* filter = t->Filter()->Filter();

  t->Model().NotifyControlChange(kBass);
  EXPECT_EQ(filter->EventDeliveries(&bassData), 1u);
  EXPECT_EQ(filter->EventDeliveries(&muteData), 0u);
  // A terminal is a pin, not a node.
  t->Model().NotifyControlChange(kHeadphones);
  // Only records whose leading words are both 1 mean a control change.
  for (ULONG first : {1u, 2u}) {
    AudioHalNotify notify{first, first == 1 ? 2u : 1u, kMute, 0};
    ExNotifyCallback(t->Model().GetHalCallbackObject(), &notify, nullptr);
  }
  EXPECT_EQ(filter->EventDeliveries(&bassData), 1u);
  EXPECT_EQ(filter->EventDeliveries(&muteData), 0u);
  AudioHalNotify notify{1, 1, kMute, 0};
  ExNotifyCallback(t->Model().GetHalCallbackObject(), &notify, nullptr);
  EXPECT_EQ(filter->EventDeliveries(&muteData), 1u);

  EXPECT_EQ(t->Filter()->DisableEvent(&bassData), STATUS_SUCCESS);
  EXPECT_EQ(t->Filter()->DisableEvent(&muteData), STATUS_SUCCESS);
}

TEST_F(TopologyPropertyTest, MuxSourceSelectsAnInput) {
  ULONG input = 0;
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, Ks(kMux), 0, &input), STATUS_SUCCESS);
  EXPECT_EQ(input, 1u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, Ks(kMux), 0, 2), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, Ks(kMux), 0, &input), STATUS_SUCCESS);
  EXPECT_EQ(input, 2u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, Ks(kMux), 0, 3), STATUS_INVALID_PARAMETER);
}

// ---- Device-specific nodes -----------------------------------------------------------------------

TEST_F(TopologyPropertyTest, OutputTypeListsCurrentAndSelects) {
  ULONG list[8] = {};
  ULONG size = 0;
  EXPECT_EQ(t->Property(PROPSETID_OutputType, OUTPUTTYPE_LIST, GET, Ks(kOutputType), {}, list, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 16u);
  size = 15;
  EXPECT_EQ(t->Property(PROPSETID_OutputType, OUTPUTTYPE_LIST, GET, Ks(kOutputType), {}, list, &size),
            STATUS_BUFFER_TOO_SMALL);
  size = sizeof list;
  EXPECT_EQ(t->Property(PROPSETID_OutputType, OUTPUTTYPE_LIST, GET, Ks(kOutputType), {}, list, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::vector<ULONG>(list, list + 4), (std::vector<ULONG>{16, 2, PIN_CATEGORY_HP, PIN_CATEGORY_SPK}));

  ULONG current = 0;
  size = 0;
  EXPECT_EQ(t->Property(PROPSETID_OutputType, OUTPUTTYPE_CURRENT, GET, Ks(kOutputType), {}, &current, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kOutputType), 0, PIN_CATEGORY_SPK),
            STATUS_SUCCESS);
  size = 4;
  EXPECT_EQ(t->Property(PROPSETID_OutputType, OUTPUTTYPE_CURRENT, GET, Ks(kOutputType), {}, &current, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(current, PIN_CATEGORY_SPK);
  EXPECT_EQ(outputType->IsChangePending(), 1u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kOutputType), 0, PIN_CATEGORY_LINE),
            STATUS_INVALID_PARAMETER);

  GUID kind{};
  size = sizeof kind;
  EXPECT_EQ(t->Property(PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(kOutputType), {}, &kind, &size), STATUS_SUCCESS);
  EXPECT_EQ(kind, NODEKIND_OutputType);
}

TEST_F(TopologyPropertyTest, ProcessingNodeValueNameAndParameters) {
  ULONG value = 0xFFFFFFFF;
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kProcessing), 0, 0x1234), STATUS_SUCCESS);
  EXPECT_EQ(processing->Value(), 0x34);
  // One byte of the node, zero-extended: no stale upper bytes.
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kProcessing), 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x34u);

  // The kind is the processing set, the name the node's own.
  GUID guid{};
  ULONG size = sizeof guid;
  EXPECT_EQ(t->Property(PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(kProcessing), {}, &guid, &size), STATUS_SUCCESS);
  EXPECT_EQ(guid, PROPSETID_ProcessingNode);
  size = sizeof guid;
  EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_NAME, GET, Ks(kProcessing), {}, &guid, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(guid, kProcessingName);
  size = 4;
  EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETER_COUNT, GET, Ks(kProcessing), {}, &value,
                        &size),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 4u);
  ULONG info[3] = {};
  size = sizeof info;
  EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETER_INFO, GET, Ks(kProcessing), {2}, info,
                        &size),
            STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(info, info + 3), (std::vector<ULONG>{2, 20, 200}));

  // Parameter blocks: {first, count[, values]}.
  size = 0;
  EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, SET, Ks(kProcessing), {1, 2, 77, 88},
                        nullptr, &size),
            STATUS_SUCCESS);
  ULONG block[6] = {};
  size = sizeof block;
  EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, GET, Ks(kProcessing), {1, 2}, block,
                        &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::vector<ULONG>(block, block + 4), (std::vector<ULONG>{16, 2, 77, 88}));

  const struct {
    const char* name;
    ULONG verb;
    std::vector<ULONG> instance;
    ULONG valueSize;
  } refused[] = {
      {"count says two, one value follows", SET, {0, 2, 5}, 0},
      {"no value at all", SET, {0, 0}, 0},
      {"past the last parameter", SET, {3, 2, 5, 6}, 0},
      {"first + count wraps", SET, {0xFFFFFFFF, 1, 5}, 0},
      {"GET past the last parameter", GET, {3, 2}, 24},
      {"GET first + count wraps", GET, {0xFFFFFFFF, 2}, 24},
      {"GET count whose size wraps in 32 bits", GET, {0, 0x40000000}, 8},
      {"GET count whose size nearly wraps", GET, {0, 0x3FFFFFFF}, 8},
      {"GET value too short for the count", GET, {0, 2}, 15},
      {"GET without count", GET, {0}, 24},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    ULONG out[6] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    size = r.valueSize;
    EXPECT_EQ(t->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, r.verb, Ks(kProcessing), r.instance,
                          out, &size),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out[0], 0x55u);
  }
  EXPECT_EQ(std::vector<ULONG>(processing->parameters.values, processing->parameters.values + 4),
            (std::vector<ULONG>{0, 77, 88, 0}));
}

TEST_F(TopologyPropertyTest, ParameterBlockNodeServesItsOwnSet) {
  GUID guid{};
  ULONG size = sizeof guid;
  EXPECT_EQ(t->Property(PROPSETID_ParameterBlock, PARAMETERBLOCK_NAME, GET, Ks(kParameterBlock), {}, &guid, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(guid, block->name);
  size = 0;
  EXPECT_EQ(t->Property(PROPSETID_ParameterBlock, PARAMETERBLOCK_SET_BLOCK, SET, Ks(kParameterBlock), {0, 3, 4, 5, 6},
                        nullptr, &size),
            STATUS_SUCCESS);
  ULONG out[5] = {};
  size = sizeof out;
  EXPECT_EQ(t->Property(PROPSETID_ParameterBlock, PARAMETERBLOCK_GET_BLOCK, GET, Ks(kParameterBlock), {1, 2}, out,
                        &size),
            STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(out, out + 4), (std::vector<ULONG>{16, 2, 5, 6}));
  ULONG info[3] = {};
  size = sizeof info;
  EXPECT_EQ(t->Property(PROPSETID_ParameterBlock, PARAMETERBLOCK_PARAMETER_INFO, GET, Ks(kParameterBlock), {3}, info,
                        &size),
            STATUS_SUCCESS);
  EXPECT_EQ(info[2], 300u);
  // The standard set's value is accepted without reaching the node.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kParameterBlock), 0, 1), STATUS_SUCCESS);
  EXPECT_EQ(block->parameters.values[0], 4u);
  size = sizeof guid;
  EXPECT_EQ(t->Property(PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(kParameterBlock), {}, &guid, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(guid, NODEKIND_ParameterBlock);
}

TEST_F(TopologyPropertyTest, OtherDeviceSpecificNodes) {
  ULONG value = 0;
  // Flags keep the caller's value as it is.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kFlag), 0, 3), STATUS_SUCCESS);
  EXPECT_EQ(flag->value, 3u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kVendorFlag), 0, 1), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kVendorFlag), 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(vendorFlag->value, 1u);

  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kRanged), 0, 7), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kRanged), 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kRanged), 0, 10), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kGainPad), 0, ULONG(10 * dB)), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kGainPad), 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(LONG(value), 10 * dB);

  // A single-input selector takes any value and has none to give.
  EXPECT_EQ(t->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kSingleSelector), 0, 9), STATUS_SUCCESS);
  EXPECT_EQ(t->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, Ks(kSingleSelector), 0, &value),
            STATUS_UNSUCCESSFUL);

  const struct {
    ULONG node;
    GUID kind;
  } kinds[] = {{kGainPad, NODEKIND_InputGainPad}, {kDeviceSwitch, NODEKIND_VendorSwitch}, {kFlag, NODEKIND_Flag},
               {kVendorFlag, NODEKIND_VendorSwitch}, {kRanged, NODEKIND_RangedValue}};
  for (const auto& k : kinds) {
    GUID guid{};
    ULONG size = sizeof guid;
    EXPECT_EQ(t->Property(PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(k.node), {}, &guid, &size), STATUS_SUCCESS);
    EXPECT_EQ(guid, k.kind) << k.node;
    size = 15;
    EXPECT_EQ(t->Property(PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(k.node), {}, &guid, &size),
              STATUS_INVALID_PARAMETER);
  }
}

// ---- Pins and the filter -------------------------------------------------------------------------

TEST_F(TopologyPropertyTest, JackDescriptionsAreSizedThenCopied) {
  const ULONG hp = t->PinOf(kHeadphones);
  UCHAR buffer[128];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG size = 0;
  EXPECT_EQ(t->PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET, hp, buffer, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 64u);
  size = 63;
  EXPECT_EQ(t->PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET, hp, buffer, &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0xEE);
  size = 64;
  ASSERT_EQ(t->PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET, hp, buffer, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 64u);
  ULONG words[16];
  std::memcpy(words, buffer, sizeof words);
  EXPECT_EQ(std::vector<ULONG>(words, words + 16),
            (std::vector<ULONG>{64, 2, 3, 0x00FF00, 1, 2, 0, 1, 1, 4, 0x0000FF, 1, 2, 0, 1, 0}));

  // The private set answers the same.
  UCHAR again[64];
  size = sizeof again;
  EXPECT_EQ(t->PinProperty(PROPSETID_DevicePrivate, DEVICEPRIVATE_JACK_DESCRIPTION, GET, hp, again, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(again, buffer, sizeof again), 0);

  // Presence detection unless the jack says it cannot.
  ULONG second[6] = {};
  size = 0;
  EXPECT_EQ(t->PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET, hp, second, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 24u);
  size = sizeof second;
  EXPECT_EQ(t->PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET, hp, second, &size), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(second, second + 6), (std::vector<ULONG>{24, 2, 0, 1, 0, 0}));

  const struct {
    const char* name;
    std::vector<ULONG> instance;
  } refused[] = {
      {"pin without jacks", {t->PinOf(kStreamIn)}},
      {"pin past the last", {t->Descriptor().PinCount}},
      {"no pin id", {}},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    size = sizeof buffer;
    EXPECT_EQ(t->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET, ULONG(-1), r.instance, buffer, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(size, 0u);
  }
}

TEST_F(TopologyPropertyTest, PinCapabilitiesAndTheFilterConstant) {
  const ULONG hp = t->PinOf(kHeadphones);
  DeviceCapsRecord caps{};
  ULONG size = 0;
  EXPECT_EQ(t->PinProperty(PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, GET, hp, &caps, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 32u);
  size = 31;
  EXPECT_EQ(t->PinProperty(PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, GET, hp, &caps, &size), STATUS_BUFFER_TOO_SMALL);
  size = 32;
  EXPECT_EQ(t->PinProperty(PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, GET, hp, &caps, &size), STATUS_SUCCESS);
  EXPECT_EQ(caps.CapabilityMask, 4u);
  EXPECT_EQ(caps.ModelValue, 8u);
  EXPECT_EQ(caps.Flags, DEVICE_CAPS_FLAG_ASIO);

  ULONG constant = 0;
  size = 4;
  EXPECT_EQ(t->Property(PROPSETID_DevicePrivate, DEVICEPRIVATE_CONSTANT, GET, ULONG(-1), {}, &constant, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(constant, 0x00030000u);
  size = 2;
  EXPECT_EQ(t->Property(PROPSETID_DevicePrivate, DEVICEPRIVATE_CONSTANT, GET, ULONG(-1), {}, &constant, &size),
            STATUS_INVALID_PARAMETER);
}

// ---- Requests the framework does not pass on -------------------------------------------------------

TEST_F(TopologyPropertyTest, HandlersCheckWhatTheirItemsCannotPromise) {
  CMiniportTopology* miniport = t->Miniport();
  ASSERT_NE(miniport, nullptr);
  auto call = [&](PCPFNPROPERTY_HANDLER handler, const GUID& set, ULONG id, ULONG verb, ULONG node) {
    const PCPROPERTY_ITEM item{&set, id, GET | SET | BASIC, handler};
    ULONG instance[2] = {0, 0};
    ULONG value = 0;
    PCPROPERTY_REQUEST request{};
    request.MajorTarget = static_cast<IMiniportTopology*>(miniport);
    request.Node = node;
    request.PropertyItem = &item;
    request.Verb = verb;
    request.InstanceSize = sizeof instance;
    request.Instance = instance;
    request.ValueSize = sizeof value;
    request.Value = &value;
    NTSTATUS status = handler(&request);
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(request.ValueSize, 0u);
    }
    return status;
  };
  using C = CMiniportTopology;
  const GUID& audio = KSPROPSETID_Audio;
  const ULONG nodes = t->Descriptor().NodeCount;
  const struct {
    const char* name;
    NTSTATUS got;
    NTSTATUS expected;
  } cases[] = {
      {"volume level on a mute node", call(C::ItemLevel, audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET, Ks(kMute)),
       STATUS_INVALID_PARAMETER},
      {"private level on a mute node: no level interface",
       call(C::ItemLevel, PROPSETID_DevicePrivate, DEVICEPRIVATE_LEVEL_WITH_EVENT, SET, Ks(kMute)),
       STATUS_INVALID_PARAMETER},
      {"level item with a switch id", call(C::ItemLevel, audio, KSPROPERTY_AUDIO_MUTE, GET, Ks(kVolume)),
       STATUS_INVALID_PARAMETER},
      {"switch item with a level id", call(C::ItemSwitch, audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET, Ks(kMute)),
       STATUS_INVALID_PARAMETER},
      {"mute on the AGC node: the id is not matched", call(C::ItemSwitch, audio, KSPROPERTY_AUDIO_MUTE, GET, Ks(kAgc)),
       STATUS_SUCCESS},
      {"node past the last", call(C::ItemSwitch, audio, KSPROPERTY_AUDIO_MUTE, GET, nodes), STATUS_INVALID_PARAMETER},
      {"node kind of a mute node", call(C::ItemNodeKind, PROPSETID_NodeKind, NODEKIND_KIND, GET, Ks(kMute)),
       STATUS_INVALID_PARAMETER},
      {"node kind SET", call(C::ItemNodeKind, PROPSETID_NodeKind, NODEKIND_KIND, SET, Ks(kOutputType)),
       STATUS_INVALID_PARAMETER},
      {"mux source on a volume node", call(C::ItemMuxSource, audio, KSPROPERTY_AUDIO_MUX_SOURCE, GET, Ks(kVolume)),
       STATUS_INVALID_PARAMETER},
      {"processing node, foreign set", call(C::ItemDevSpecific, PROPSETID_OutputType, 1, GET, Ks(kProcessing)),
       STATUS_UNSUCCESSFUL},
      {"flag node, foreign set", call(C::ItemDevSpecific, PROPSETID_OutputType, 1, GET, Ks(kFlag)),
       STATUS_UNSUCCESSFUL},
      {"output type node, foreign set", call(C::ItemDevSpecific, PROPSETID_ProcessingNode, 1, GET, Ks(kOutputType)),
       STATUS_INVALID_PARAMETER},
      {"parameter block node, foreign set",
       call(C::ItemDevSpecific, PROPSETID_ProcessingNode, 1, GET, Ks(kParameterBlock)), STATUS_INVALID_PARAMETER},
      {"output type GET of the standard set",
       call(C::ItemDevSpecific, audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET, Ks(kOutputType)), STATUS_INVALID_PARAMETER},
      {"output type list SET", call(C::ItemDevSpecific, PROPSETID_OutputType, OUTPUTTYPE_LIST, SET, Ks(kOutputType)),
       STATUS_INVALID_PARAMETER},
      {"constant with another id", call(C::ItemDevicePrivateConstant, PROPSETID_DevicePrivate, 1, GET, ULONG(-1)),
       STATUS_INVALID_DEVICE_REQUEST},
      {"jack item with another set", call(C::ItemJack, PROPSETID_PinCaps, 1, GET, ULONG(-1)),
       STATUS_INVALID_DEVICE_REQUEST},
      {"jack item with id 3", call(C::ItemJack, KSPROPSETID_Jack, 3, GET, ULONG(-1)), STATUS_INVALID_DEVICE_REQUEST},
      {"jack SET", call(C::ItemJack, KSPROPSETID_Jack, 1, SET, ULONG(-1)), STATUS_INVALID_DEVICE_REQUEST},
      {"pin caps with another id", call(C::ItemPinCaps, PROPSETID_PinCaps, 2, GET, ULONG(-1)),
       STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

TEST_F(TopologyPropertyTest, EventHandlerVerbsAndNodes) {
  CMiniportTopology* miniport = t->Miniport();
  const PCEVENT_ITEM& item = topology_table::ControlChangeEvents[0];
  PCEVENT_ENTRY entry{};
  entry.EventItem = &item;
  auto call = [&](ULONG node, ULONG verb, PCEVENT_ENTRY* e) {
    PCEVENT_REQUEST request{};
    request.MajorTarget = static_cast<IMiniportTopology*>(miniport);
    request.Node = node;
    request.EventItem = &item;
    request.EventEntry = e;
    request.Verb = verb;
    return CMiniportTopology::EventHandler(&request);
  };
  const ULONG nodes = t->Descriptor().NodeCount;
  EXPECT_EQ(call(nodes, PCEVENT_VERB_ADD, &entry), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(ULONG(-1), PCEVENT_VERB_SUPPORT, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(call(0, PCEVENT_VERB_ADD, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(0, PCEVENT_VERB_REMOVE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(call(0, PCEVENT_VERB_SUPPORT, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(call(0, 8, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
