// The device-specific and software control nodes bound to a real feature
// unit on a simulated device: what reaches the device, what is cached and
// persisted, and what the software volume does to the stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1FeatureUnit.h"
#include "variants/CUacSoftwareVolumeNode.h"
#include "variants/PowTable.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

constexpr LONG kDb = 65536;
constexpr UCHAR kUnit = 5;
constexpr ULONG kNode = 9;
constexpr UCHAR kMute = 1;
constexpr UCHAR kVolume = 2;
constexpr ULONG kAll = 0xFFFFFFFF;

// One reference on a node made here, dropped at the end of the test.
template <typename T>
class Held {
 public:
  Held() : m_Node(new (NonPagedPool, MakeTag("test")) T(nullptr, kNode)) { m_Node->NonDelegatingAddRef(); }
  ~Held() { m_Node->NonDelegatingRelease(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T* operator->() const { return m_Node; }
  T* get() const { return m_Node; }

 private:
  T* m_Node;
};

WAVEFORMATEXTENSIBLE Format(WORD channels, WORD subFormatTag) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = subFormatTag == WAVE_FORMAT_PCM ? 16 : 32;
  f.Format.nBlockAlign = static_cast<WORD>(channels * f.Format.wBitsPerSample / 8);
  f.Format.cbSize = 22;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = subFormatTag;
  return f;
}

// Per-channel float buffers of a stream, each a ramp so that a scale shows.
struct Channels {
  explicit Channels(ULONG count, ULONG frames = 8) : data(count, std::vector<float>(frames)) {
    for (ULONG c = 0; c < count; ++c)
      for (ULONG i = 0; i < frames; ++i) data[c][i] = 0.125f * float(i + 1) * (c % 2 ? -1.0f : 1.0f);
    for (auto& d : data) pointers.push_back(d.data());
    original = data;
  }
  // Each channel against the original times its gain, exactly.
  void ExpectGains(const std::vector<float>& gains) const {
    for (size_t c = 0; c < gains.size(); ++c)
      for (size_t i = 0; i < data[c].size(); ++i) EXPECT_EQ(data[c][i], original[c][i] * gains[c]) << c << "/" << i;
  }
  std::vector<std::vector<float>> data;
  std::vector<std::vector<float>> original;
  std::vector<float*> pointers;
};

class ControlNodesTest : public testsupport::KernelTest {
 protected:
  // Mute on the master, volume on two channels, -32 dB .. 0 dB in 1 dB steps.
  static Bytes MuteAndStereoVolume() { return FeatureUnitDescriptor(kUnit, 1, 1, {0x01, 0x02, 0x02}); }
  static sim::DeviceProfile VolumeRange() {
    sim::DeviceProfile profile = sim::DefaultProfile();
    profile.unitControlRanges[{kUnit, kVolume}] = {-0x2000, 0, 0x100, 0};
    return profile;
  }
  static sim::ControlFault SetCurStall(UCHAR cs, UCHAR deviceChannel) {
    sim::ControlFault fault;
    fault.match = sim::RequestMatch::ClassToUnit(kUnit, 0x01);
    fault.match.value = static_cast<uint16_t>(cs << 8 | deviceChannel);
    return fault;
  }
  // The SET_CUR requests since the last call: (wValue, data).
  static std::vector<std::pair<uint16_t, Bytes>> Sets(Testbed& bed) {
    std::vector<std::pair<uint16_t, Bytes>> sets;
    for (const auto& r : bed.TakeRequests())
      if (r.setup.bRequest == 0x01) sets.emplace_back(r.setup.wValue, r.data);
    return sets;
  }
  static ITopoNode* Unit(CUac1FeatureUnit* unit) { return static_cast<IUacUnit*>(unit); }
};

// ---- Switches ---------------------------------------------------------------------------------

TEST_F(ControlNodesTest, VendorSwitchKeepsOnlyWhatTheDeviceTook) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  auto* unit = bed.Build<CUac1FeatureUnit>(MuteAndStereoVolume());
  Held<CUacVendorSwitchNode> node;
  ASSERT_EQ(InitSwitchNodeFromUnit(node.get(), Unit(unit), kMute, bed.Fdo()), STATUS_SUCCESS);
  EXPECT_EQ(node->GetType(), NODE_TYPE_DEVICE_SWITCH);
  bed.TakeRequests();

  EXPECT_EQ(node->SetValue(0, 1), STATUS_SUCCESS);
  EXPECT_EQ(Sets(bed), (std::vector<std::pair<uint16_t, Bytes>>{{0x0100, {1}}}));
  EXPECT_EQ(bed.Setting(u"Unit09_ 0_0"), (std::vector<UCHAR>{1}));

  // Refused: the caller hears of it, and neither cache nor store moves.
  bed.Device().AddFault(SetCurStall(kMute, 0));
  const NTSTATUS stalled = static_cast<ISwitchControl*>(unit)->SetSwitchValue(kMute, 0, 0);
  ASSERT_FALSE(NT_SUCCESS(stalled));
  EXPECT_EQ(node->SetValue(0, 0), stalled);
  UCHAR value = 0;
  node->GetValue(0, &value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(bed.Setting(u"Unit09_ 0_0"), (std::vector<UCHAR>{1}));
  EXPECT_EQ(node->SetValue(1, 1), STATUS_INVALID_PARAMETER);
}

TEST_F(ControlNodesTest, BoardSwitchLivesInTheSettingsStoreAlone) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  auto* unit = bed.Build<CUac1FeatureUnit>(MuteAndStereoVolume());
  bed.PutSetting(u"Unit09_ 0_0", UCHAR(1));
  Held<CUacBoardSwitchNode> node;
  ASSERT_EQ(node->InitFromUnit(Unit(unit), bed.Fdo()), STATUS_SUCCESS);
  EXPECT_EQ(node->GetType(), NODE_TYPE_BOARD_SWITCH);
  ULONG channels = 0;
  node->GetChannelCount(&channels);
  EXPECT_EQ(channels, 1u);
  UCHAR value = 0;
  node->GetValue(0, &value);
  EXPECT_EQ(value, 1);
  bed.TakeRequests();

  EXPECT_EQ(node->SetValue(0, 0), STATUS_SUCCESS);
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  EXPECT_EQ(node->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(bed.TakeRequests().empty());
  node->GetValue(0, &value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(bed.Setting(u"Unit09_ 0_0"), (std::vector<UCHAR>{0}));
  EXPECT_EQ(node->SetValue(1, 1), STATUS_INVALID_PARAMETER);
}

// A unit whose reads of the device take a while: a read in progress waits
// until a set reaches the unit (or 100 ms pass), then answers the value it
// read before the set. That is the window in which a refresh without the
// node's lock would put the older value back over a newer set.
class SlowUnit final : public CTopoNode, public ISwitchControl, public ILevelControl {
 public:
  SlowUnit(PUNKNOWN outer, ULONG id) : CTopoNode(outer, id, 6) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (object && IsEqualGUIDAligned(iid, IID_ISwitchControl)) {
      *object = static_cast<ISwitchControl*>(this);
    } else if (object && IsEqualGUIDAligned(iid, IID_ILevelControl)) {
      *object = static_cast<ILevelControl*>(this);
    } else {
      return CTopoNode::NonDelegatingQueryInterface(iid, object);
    }
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG, ULONG, PUCHAR value) override {
    *value = static_cast<UCHAR>(Read());
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG, ULONG, UCHAR value) override { return Write(value); }
  NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG, PULONG count) override {
    *count = 1;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG, ULONG, PLONG level) override {
    *level = Read();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG, ULONG, LONG level) override { return Write(level); }
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG, PLONG maximum, PLONG minimum, PLONG step) override {
    *maximum = 0;
    *minimum = -32 * kDb;
    *step = kDb;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetLevelChannelCount(ULONG, PULONG count) override { return GetSwitchChannelCount(0, count); }

  LONG Device() const { return m_Device.load(); }
  std::atomic<bool> slow{false};
  std::atomic<bool> reading{false};

 private:
  LONG Read() {
    const LONG value = m_Device.load();
    if (slow) {
      m_SetArrived = false;
      reading = true;
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      while (!m_SetArrived && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    }
    return value;
  }
  NTSTATUS Write(LONG value) {
    m_Device.store(value);
    m_SetArrived = true;
    return STATUS_SUCCESS;
  }

  std::atomic<LONG> m_Device{0};
  std::atomic<bool> m_SetArrived{false};
};

TEST_F(ControlNodesTest, ASetWaitsForARefreshInProgressSoDeviceCacheAndStoreAgree) {
  // The status thread's refresh reads the device while a property request
  // sets the node: set against read, on each node kind that sends a value.
  for (const bool level : {false, true}) {
    SCOPED_TRACE(level ? "input gain pad" : "vendor switch");
    platform::registry::Reset();
    Testbed bed({MuteAndStereoVolume()}, VolumeRange());
    Held<SlowUnit> unit;
    Held<CUacVendorSwitchNode> vendor;
    Held<CUacInputGainPadNode> pad;
    ITopoNode* node = level ? static_cast<ITopoNode*>(pad.get()) : static_cast<ITopoNode*>(vendor.get());
    ASSERT_EQ(level ? InitLevelNodeFromUnit(pad.get(), unit.get(), kVolume, bed.Fdo())
                    : InitSwitchNodeFromUnit(vendor.get(), unit.get(), kMute, bed.Fdo()),
              STATUS_SUCCESS);
    const LONG asked = level ? -3 * kDb : 1;

    unit->slow = true;
    std::thread refresh([&] { EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS); });
    while (!unit->reading) std::this_thread::yield();
    EXPECT_EQ(level ? pad->SetLevel(0, asked) : vendor->SetValue(0, static_cast<UCHAR>(asked)), STATUS_SUCCESS);
    refresh.join();

    LONG cached = 0;
    if (level) {
      pad->GetLevel(0, &cached);
    } else {
      UCHAR value = 0;
      vendor->GetValue(0, &value);
      cached = value;
    }
    EXPECT_EQ(unit->Device(), asked);
    EXPECT_EQ(cached, asked);
    EXPECT_EQ(level ? bed.SettingAs<LONG>(u"Unit09_ 0_0") : LONG(bed.SettingAs<UCHAR>(u"Unit09_ 0_0")), asked);
  }
}

// ---- Input gain pad ---------------------------------------------------------------------------

TEST_F(ControlNodesTest, InputGainPadSendsItsMinimumForSilenceAndSetsAllChannels) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  auto* unit = bed.Build<CUac1FeatureUnit>(MuteAndStereoVolume());
  Held<CUacInputGainPadNode> pad;
  ASSERT_EQ(InitLevelNodeFromUnit(pad.get(), Unit(unit), kVolume, bed.Fdo()), STATUS_SUCCESS);
  EXPECT_EQ(pad->GetType(), NODE_TYPE_INPUT_GAIN_PAD);
  bed.TakeRequests();

  EXPECT_EQ(pad->SetLevel(0, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);
  EXPECT_EQ(Sets(bed), (std::vector<std::pair<uint16_t, Bytes>>{{0x0201, {0x00, 0xE0}}}));  // -32 dB
  LONG level = 0;
  EXPECT_EQ(pad->GetLevel(kAll, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -32 * kDb);

  // Every channel, truncated to the step on the wire, kept as asked.
  EXPECT_EQ(pad->SetLevel(kAll, -10 * kDb - kDb / 2), STATUS_SUCCESS);
  EXPECT_EQ(Sets(bed), (std::vector<std::pair<uint16_t, Bytes>>{{0x0201, {0x00, 0xF6}}, {0x0202, {0x00, 0xF6}}}));
  for (ULONG channel : {0u, 1u}) {
    pad->GetLevel(channel, &level);
    EXPECT_EQ(level, -10 * kDb - kDb / 2);
  }
  EXPECT_EQ(bed.SettingAs<LONG>(u"Unit09_ 0_1"), -10 * kDb - kDb / 2);
  EXPECT_EQ(pad->SetLevel(0, 12 * kDb), STATUS_SUCCESS);  // clamped to the maximum
  pad->GetLevel(0, &level);
  EXPECT_EQ(level, 0);

  // A refused channel ends the all-channel set, and the caller hears of it.
  bed.Device().AddFault(SetCurStall(kVolume, 1));
  const NTSTATUS stalled = static_cast<ILevelControl*>(unit)->SetLevel(kVolume, 0, 0);
  ASSERT_FALSE(NT_SUCCESS(stalled));
  EXPECT_EQ(pad->SetLevel(kAll, -3 * kDb), stalled);
  pad->GetLevel(0, &level);
  EXPECT_EQ(level, 0);
  pad->GetLevel(1, &level);
  EXPECT_EQ(level, -10 * kDb - kDb / 2);
  EXPECT_EQ(pad->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
}

// ---- Software volume --------------------------------------------------------------------------

class SoftwareVolumeTest : public ControlNodesTest {
 protected:
  // The node over the unit's volume, channel 0 at -6 dB on the device.
  void Build(Testbed& bed) {
    ASSERT_TRUE(bed.Device().SetControlValue(kUnit, kVolume, 1, {0x00, 0xFA}, false));
    ASSERT_TRUE(bed.Device().SetControlValue(kUnit, kVolume, 2, {0x00, 0x00}, false));
    auto* unit = bed.Build<CUac1FeatureUnit>(MuteAndStereoVolume());
    ASSERT_EQ(volume->InitFromUnit(Unit(unit), kVolume, bed.Fdo()), STATUS_SUCCESS);
    bed.TakeRequests();
  }
  NTSTATUS Process(Channels& channels, WORD subFormatTag = WAVE_FORMAT_PCM) {
    const WAVEFORMATEXTENSIBLE format = Format(static_cast<WORD>(channels.data.size()), subFormatTag);
    IDspProcessor* processor = nullptr;
    EXPECT_EQ(volume->QueryInterface(IID_IDspProcessor, reinterpret_cast<PVOID*>(&processor)), STATUS_SUCCESS);
    const NTSTATUS status = processor->Process(&format, channels.pointers.data(), 8);
    processor->Release();
    return status;
  }
  static float MinusSixDb() { return static_cast<float>(TenthPowers[140] / 10); }

  void SetUp() override {
    ControlNodesTest::SetUp();
    m_Volume = std::make_unique<Held<CUacSoftwareVolumeNode>>();
    volume = m_Volume->get();
  }
  void TearDown() override {
    // The node goes back to the pool before the fixture counts what is left.
    m_Volume.reset();
    ControlNodesTest::TearDown();
  }

  std::unique_ptr<Held<CUacSoftwareVolumeNode>> m_Volume;
  CUacSoftwareVolumeNode* volume = nullptr;
};

TEST_F(SoftwareVolumeTest, GainsFollowTheLevelsOnPcmOnly) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  Build(bed);
  EXPECT_EQ(volume->GetGain(0), MinusSixDb());
  EXPECT_EQ(volume->GetGain(1), 1.0f);

  Channels stereo(2);
  EXPECT_EQ(Process(stereo), STATUS_SUCCESS);
  stereo.ExpectGains({MinusSixDb(), 1.0f});

  // A channel the node has no level for passes unchanged.
  Channels three(3);
  Process(three);
  three.ExpectGains({MinusSixDb(), 1.0f, 1.0f});

  // IEEE float passes unchanged.
  Channels floats(2);
  Process(floats, WAVE_FORMAT_IEEE_FLOAT);
  floats.ExpectGains({1.0f, 1.0f});

  // Above the range the gain stops at the maximum, 0 dB.
  EXPECT_EQ(volume->SetLevel(1, 6 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(volume->GetGain(1), 1.0f);
  EXPECT_EQ(volume->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(SoftwareVolumeTest, SilenceReachesTheDeviceAndSilencesTheStream) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  Build(bed);
  EXPECT_EQ(volume->SetLevel(0, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);
  EXPECT_EQ(Sets(bed), (std::vector<std::pair<uint16_t, Bytes>>{{0x0201, {0x00, 0x80}}}));
  EXPECT_EQ(volume->GetGain(0), 0.0f);
  Channels stereo(2);
  Process(stereo);
  stereo.ExpectGains({0.0f, 1.0f});

  // The device refusing a level does not hold the gain back.
  bed.Device().AddFault(SetCurStall(kVolume, 1));
  EXPECT_EQ(volume->SetLevel(0, -6 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(volume->GetGain(0), MinusSixDb());
}

TEST_F(SoftwareVolumeTest, WorksOnlyWhileItsSelectorInputIsSelected) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  Build(bed);
  ISelectorInputNode* input = nullptr;
  ASSERT_EQ(volume->QueryInterface(IID_ISelectorInputNode, reinterpret_cast<PVOID*>(&input)), STATUS_SUCCESS);
  input->SetInputIndex(2);
  input->SetSelectedInput(1);
  Channels other(2);
  Process(other);
  other.ExpectGains({1.0f, 1.0f});
  input->SetSelectedInput(2);
  Channels selected(2);
  Process(selected);
  selected.ExpectGains({MinusSixDb(), 1.0f});
  input->Release();
}

TEST_F(SoftwareVolumeTest, RefreshAndOutputTypeCarryTheGainAlong) {
  Testbed bed({MuteAndStereoVolume()}, VolumeRange());
  Build(bed);
  ASSERT_TRUE(bed.Device().SetControlValue(kUnit, kVolume, 2, {0x00, 0xF6}, false));  // -10 dB
  EXPECT_EQ(volume->RefreshFromDevice(), STATUS_SUCCESS);
  EXPECT_EQ(volume->GetGain(1), LevelToGain(-10 * kDb));
  EXPECT_EQ(bed.SettingAs<LONG>(u"Unit09_ 0_1"), -10 * kDb);

  bed.PutSetting(u"Unit09_ 2_0", LONG(-20 * kDb));
  bed.PutSetting(u"Unit09_ 2_1", LONG(-3 * kDb));
  EXPECT_EQ(volume->SetOutputType(PIN_CATEGORY_HP, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(volume->GetGain(0), LevelToGain(-20 * kDb));
  EXPECT_EQ(volume->GetGain(1), LevelToGain(-3 * kDb));
  EXPECT_NEAR(LevelToGain(-20 * kDb), 0.1f, 1e-6f);
}

// ---- Clock and selector-input mute --------------------------------------------------------------

// A clock entity whose rate changes can be refused.
class RefusingClock final : public CClockNode {
 public:
  RefusingClock(PUNKNOWN outer, ULONG id) : CClockNode(outer, id) {}
  NTSTATUS STDMETHODCALLTYPE SetRate(ULONG rate) override {
    return refuse ? STATUS_DEVICE_NOT_READY : CClockNode::SetRate(rate);
  }
  bool refuse = false;
};

TEST_F(ControlNodesTest, ClockNodeTakesItsRatesFromTheUnitAndSetsThroughIt) {
  Held<RefusingClock> entity;
  const ULONG rates[] = {44100, 48000, 96000};
  ASSERT_EQ(entity->Init(3, rates), STATUS_SUCCESS);
  Held<CUacClockNode> clock;
  ASSERT_EQ(clock->InitFromUnit(entity.get()), STATUS_SUCCESS);
  ULONG copied[3] = {};
  ULONG count = 2;
  EXPECT_EQ(clock->GetRateList(&count, copied), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(copied[0], 0u);
  count = 3;
  ASSERT_EQ(clock->GetRateList(&count, copied), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(copied, copied + 3), std::vector<ULONG>(rates, rates + 3));

  EXPECT_EQ(clock->SetRate(48000), STATUS_SUCCESS);
  ULONG rate = 0;
  entity->GetRate(&rate);
  EXPECT_EQ(rate, 48000u);
  entity->refuse = true;
  EXPECT_EQ(clock->SetRate(96000), STATUS_DEVICE_NOT_READY);
  clock->GetRate(&rate);
  EXPECT_EQ(rate, 48000u);
  UCHAR valid = 0;
  EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, TRUE);

  // An entity without rates, and a unit that is no clock.
  Held<RefusingClock> empty;
  ASSERT_EQ(empty->Init(0, rates), STATUS_SUCCESS);
  Held<CUacClockNode> none;
  EXPECT_EQ(none->InitFromUnit(empty.get()), STATUS_UNSUCCESSFUL);
  Held<CUacVendorSwitchNode> notAClock;
  Held<CUacClockNode> wrong;
  EXPECT_FALSE(NT_SUCCESS(wrong->InitFromUnit(notAClock.get())));
}

TEST_F(ControlNodesTest, SelectorInputMuteKnowsItsInput) {
  Held<CUacSelectorInputMuteNode> mute;
  EXPECT_TRUE(mute->IsSelectedInput());  // never registered: both 0
  ISelectorInputNode* input = nullptr;
  ASSERT_EQ(mute->QueryInterface(IID_ISelectorInputNode, reinterpret_cast<PVOID*>(&input)), STATUS_SUCCESS);
  input->SetInputIndex(3);
  input->SetSelectedInput(1);
  EXPECT_FALSE(mute->IsSelectedInput());
  input->SetSelectedInput(3);
  EXPECT_TRUE(mute->IsSelectedInput());
  input->Release();
  EXPECT_EQ(mute->GetType(), NODE_TYPE_MUTE);
}

}  // namespace
