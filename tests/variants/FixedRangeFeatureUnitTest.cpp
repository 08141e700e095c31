// The 7746 and 7762 chips' fixed-range feature units on a simulated device:
// the conversions between the chips' values and levels, the fixed ranges,
// which entry a logical channel addresses, and descriptors they refuse.
#include <gtest/gtest.h>

#include <memory>

#include "sim/device/DescriptorBuilder.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"
#include "usb/usbaudio.h"
#include "variants/CChipAudioHals.h"
#include "variants/CChipTerminals.h"
#include "variants/CFixedRangeFeatureUnits.h"

namespace {

using namespace haltest;

constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
constexpr uint32_t kMute = Bit(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint32_t kVolume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
constexpr uint32_t kBass = Bit(USB_AUDIO_FU_BASS_CONTROL);
constexpr LONG kDb = 65536;

// IT 1 -> FU 9 (master: mute, bass; L/R: volume) -> FU 10 (master: mute;
// channel 1 only: volume) -> FU 13 (master: mute, volume) -> OT 3 speaker.
sim::DescriptorSet ThreeUnits(std::vector<uint32_t> unit9 = {kMute | kBass, kVolume, kVolume}) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .FeatureUnit(9, 1, 1, unit9)
      .FeatureUnit(10, 9, 1, {kMute, kVolume})
      .FeatureUnit(13, 10, 1, {kMute | kVolume})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 13);
  return MakeSet(c.Build());
}

// Every value the chips use is accepted.
sim::DeviceProfile WideProfile(bool twoByteBass) {
  sim::DeviceProfile p = PlainProfile();
  p.controlRanges[USB_AUDIO_FU_VOLUME_CONTROL] = {-32768, 32767, 1, 0};
  if (twoByteBass) {
    p.controlSizes[USB_AUDIO_FU_BASS_CONTROL] = 2;
    p.controlRanges[USB_AUDIO_FU_BASS_CONTROL] = {-32768, 32767, 1, 0};
  }
  return p;
}

class FixedRangeFeatureUnitTest : public testsupport::KernelTest {
 protected:
  void Start(AudioHalFactory factory, const sim::DescriptorSet& set = ThreeUnits()) {
    m_Bench = std::make_unique<ModelBench>(set, WideProfile(factory == C7762AudioHal::Create), factory);
    ASSERT_EQ(m_Bench->CreateStatus(), STATUS_SUCCESS);
    ASSERT_EQ(m_Bench->Init(), STATUS_SUCCESS);
    m_Bench->Device().ClearRequests();
  }
  void TearDown() override {
    m_Bench.reset();
    KernelTest::TearDown();
  }

  ILevelControl* Levels(UCHAR unitId) { return Query<ILevelControl>(unitId, IID_ILevelControl); }
  ISwitchControl* Switches(UCHAR unitId) { return Query<ISwitchControl>(unitId, IID_ISwitchControl); }

  template <typename T>
  T* Query(UCHAR unitId, REFIID iid) {
    ITopoNode* unit = nullptr;
    EXPECT_EQ(m_Bench->Model()->FindUnitById(unitId, &unit), STATUS_SUCCESS);
    PVOID object = nullptr;
    if (!unit || !NT_SUCCESS(unit->QueryInterface(iid, &object))) return nullptr;
    static_cast<T*>(object)->Release();  // the model keeps the unit
    return static_cast<T*>(object);
  }

  void SetDevice(UCHAR unit, UCHAR cs, UCHAR entry, LONG value, int bytes = 2) {
    sim::Bytes b{static_cast<uint8_t>(value)};
    if (bytes == 2) b.push_back(static_cast<uint8_t>(value >> 8));
    ASSERT_TRUE(m_Bench->Device().SetControlValue(unit, cs, entry, b, false));
  }
  LONG DeviceValue(UCHAR unit, UCHAR cs, UCHAR entry) {
    const sim::Bytes b = m_Bench->Device().ControlValue(unit, cs, entry);
    if (b.size() == 1) return static_cast<signed char>(b[0]);
    return b.size() == 2 ? static_cast<SHORT>(b[0] | b[1] << 8) : 0x7FFFFFFF;
  }
  // wValue of the class requests the device saw since the last clear.
  std::vector<USHORT> RequestValues() {
    std::vector<USHORT> out;
    for (const sim::RequestRecord& r : m_Bench->Device().Requests()) out.push_back(r.setup.wValue);
    m_Bench->Device().ClearRequests();
    return out;
  }

  std::unique_ptr<ModelBench> m_Bench;
};

struct Vector {
  const char* name;
  UCHAR unit;
  LONG device;  // two-byte value of the volume control
  LONG level;
};

// Device value -> level of each class, from the chips' documented points.
TEST_F(FixedRangeFeatureUnitTest, ReadsConvertTheChipsValues) {
  const Vector k7746[] = {
      {"unit 9 at 0", 9, 0, 0},
      {"unit 9 one step down reads its mapped level", 9, -256, -49152},
      {"unit 9 two steps down", 9, -512, -1 * kDb},
      {"unit 9 at its last step reads the raw value", 9, -9472, -37 * kDb},
      {"unit 9 just above its last step", 9, -9471, -8294 * 256},
      {"unit 9 silence", 9, -32768, LEVEL_MINUS_INFINITY},
      {"unit 10 reads 1.5 dB per count from +6.5 dB", 10, 3 * 256, 11 * kDb},
      {"unit 13 at its minimum", 13, -28 * 256, -36 * kDb},
      {"unit 13 at its maximum", 13, 11 * 256, 22 * kDb + kDb / 2},
  };
  const Vector k7762[] = {
      {"unit 9 one decibel down", 9, -208, -1 * kDb},
      {"unit 9 at its top", 9, -16, 0},
      {"unit 10 in the class scale", 10, 1000, 1000 * 256},
      {"unit 13 at 0 reads its minimum", 13, 0, -13 * kDb - kDb / 2},
      {"unit 13 at its maximum", 13, 5760, 9 * kDb},
      {"unit 13 silence", 13, -32768, LEVEL_MINUS_INFINITY},
  };
  const std::pair<AudioHalFactory, std::vector<Vector>> chips[] = {
      {C7746AudioHal::Create, {std::begin(k7746), std::end(k7746)}},
      {C7762AudioHal::Create, {std::begin(k7762), std::end(k7762)}},
  };
  for (const auto& [factory, vectors] : chips) {
    Start(factory);
    for (const Vector& v : vectors) {
      SCOPED_TRACE(v.name);
      // Units 10 and 13 carry volume on one entry: channel 1, the master.
      const UCHAR entry = v.unit == 13 ? 0 : 1;
      SetDevice(v.unit, USB_AUDIO_FU_VOLUME_CONTROL, entry, v.device);
      LONG level = 0;
      ASSERT_EQ(Levels(v.unit)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
      EXPECT_EQ(level, v.level);
    }
    m_Bench.reset();
  }
}

// Level -> device value.
TEST_F(FixedRangeFeatureUnitTest, WritesConvertLevelsToTheChipsValues) {
  const Vector k7746[] = {
      {"unit 9 at -0.75 dB", 9, -256, -49152},
      {"unit 9 anything from -0.75 dB up to 0 dB", 9, -256, -1},
      {"unit 9 at -0.5 dB", 9, -256, -kDb / 2},
      {"unit 9 at 0 dB", 9, 0, 0},
      {"unit 9 at -1 dB", 9, -512, -1 * kDb},
      {"unit 9 at its minimum", 9, -9472, -33 * kDb},
      {"unit 9 silence", 9, -32768, LEVEL_MINUS_INFINITY},
      {"unit 10 at +6.5 dB, count 0", 10, 0, 6 * kDb + kDb / 2},
      {"unit 10 above 0 dB goes to the count beyond", 10, 3 * 256, 10 * kDb},
      {"unit 10 below 0 dB goes to the count beyond", 10, -7 * 256, -3 * kDb},
      {"unit 10 at its maximum stays inside the range", 10, 17 * 256, 33 * kDb},
      {"unit 10 at its minimum stays inside the range", 10, -8 * 256, -6 * kDb},
      {"unit 13 at its minimum round-trips", 13, -28 * 256, -36 * kDb},
  };
  const Vector k7762[] = {
      {"unit 9 at -1 dB", 9, -208, -1 * kDb},
      {"unit 9 at 0 dB", 9, -16, 0},
      {"unit 9 between decibels rounds up", 9, -16, -kDb / 2},
      {"unit 10 in the class scale", 10, 1000, 1000 * 256},
      {"unit 13 at +9 dB", 13, 5760, 9 * kDb},
      {"unit 13 at its minimum", 13, 0, -13 * kDb - kDb / 2},
  };
  const std::pair<AudioHalFactory, std::vector<Vector>> chips[] = {
      {C7746AudioHal::Create, {std::begin(k7746), std::end(k7746)}},
      {C7762AudioHal::Create, {std::begin(k7762), std::end(k7762)}},
  };
  for (const auto& [factory, vectors] : chips) {
    Start(factory);
    for (const Vector& v : vectors) {
      SCOPED_TRACE(v.name);
      const UCHAR entry = v.unit == 13 ? 0 : 1;
      ASSERT_EQ(Levels(v.unit)->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, v.level), STATUS_SUCCESS);
      EXPECT_EQ(DeviceValue(v.unit, USB_AUDIO_FU_VOLUME_CONTROL, entry), v.device);
    }
    m_Bench.reset();
  }
}

// A start reads unit 10 of the 7746 and writes what it read back: the
// device keeps its level. The unit's write is the exact inverse of its read
// at every count of its range.
TEST_F(FixedRangeFeatureUnitTest, The7746Unit10KeepsItsLevelWhenReadAndWrittenBack) {
  Start(C7746AudioHal::Create);
  for (LONG count = -8; count <= 17; ++count) {
    SetDevice(10, USB_AUDIO_FU_VOLUME_CONTROL, 1, count * 256);
    LONG level = 0;
    ASSERT_EQ(Levels(10)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
    ASSERT_EQ(Levels(10)->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, level), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(10, USB_AUDIO_FU_VOLUME_CONTROL, 1), count * 256) << count;
  }
  m_Bench.reset();

  // The whole start, where the level node cuts what it writes to the 1.5 dB
  // step. Counts -5 (-1 dB) and -4 (+0.5 dB) both reach its 0 dB step,
  // which can stand for only one of them.
  for (LONG count : {-8, -6, -4, 0, 3, 17}) {
    SCOPED_TRACE(count);
    platform::registry::Reset();
    m_Bench = std::make_unique<ModelBench>(ThreeUnits(), WideProfile(false), C7746AudioHal::Create);
    SetDevice(10, USB_AUDIO_FU_VOLUME_CONTROL, 1, count * 256);
    ASSERT_EQ(m_Bench->Init(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(10, USB_AUDIO_FU_VOLUME_CONTROL, 1), count * 256);
    bool written = false;
    for (const sim::RequestRecord& r : m_Bench->Device().Requests())
      written |= r.setup.bRequest == USB_AUDIO_SET_CUR && r.setup.wIndex >> 8 == 10 &&
                 r.setup.wValue == (USB_AUDIO_FU_VOLUME_CONTROL << 8 | 1);
    EXPECT_TRUE(written);
    m_Bench.reset();
  }
}

TEST_F(FixedRangeFeatureUnitTest, BassIsOneQuarterDecibelByteOnThe7746AndTheClassFormulaOnThe7762) {
  Start(C7746AudioHal::Create);
  LONG level = 0;
  SetDevice(9, USB_AUDIO_FU_BASS_CONTROL, 0, -8, 1);
  ASSERT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -2 * kDb);
  ASSERT_EQ(Levels(9)->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, -3 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(DeviceValue(9, USB_AUDIO_FU_BASS_CONTROL, 0), -12);
  LONG maximum = 0, minimum = 0, step = 0;
  ASSERT_EQ(Levels(9)->GetLevelRange(USB_AUDIO_FU_BASS_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, 12 * kDb);  // the device's 48 quarter decibels
  EXPECT_EQ(minimum, -12 * kDb);
  EXPECT_EQ(step, 1 * kDb);
  m_Bench.reset();

  Start(C7762AudioHal::Create);
  SetDevice(9, USB_AUDIO_FU_BASS_CONTROL, 0, -208);
  ASSERT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -1 * kDb);
  ASSERT_EQ(Levels(9)->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, -2 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(DeviceValue(9, USB_AUDIO_FU_BASS_CONTROL, 0), -16 - 2 * 192);
  ASSERT_EQ(Levels(9)->GetLevelRange(USB_AUDIO_FU_BASS_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(minimum, LONG(0xFFDB0000));
}

TEST_F(FixedRangeFeatureUnitTest, RangesAreFixedWhateverTheDeviceAnswersButItsFailuresAreNot) {
  struct Range {
    AudioHalFactory factory;
    UCHAR unit;
    LONG maximum, minimum, step;
  };
  const Range ranges[] = {
      {C7746AudioHal::Create, 9, 0, LONG(0xFFDF0000), 0x2000},
      {C7746AudioHal::Create, 10, 0x210000, LONG(0xFFFA0000), 0x18000},
      {C7746AudioHal::Create, 13, 0x168000, LONG(0xFFDC0000), 0x18000},
      {C7762AudioHal::Create, 9, 0, LONG(0xFFDB0000), 0x10000},
      {C7762AudioHal::Create, 10, 0x168000, 0, 0x18000},
      {C7762AudioHal::Create, 13, 0x90001, LONG(0xFFF28000), 0x18000},
  };
  for (const Range& r : ranges) {
    SCOPED_TRACE(testing::Message() << (r.factory == C7746AudioHal::Create ? "7746" : "7762") << " unit "
                                    << int(r.unit));
    Start(r.factory);
    LONG maximum = 1, minimum = 1, step = 1;
    ASSERT_EQ(Levels(r.unit)->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, r.maximum);
    EXPECT_EQ(minimum, r.minimum);
    EXPECT_EQ(step, r.step);
    // MAX, MIN, RES in that order, each asked of the first channel that
    // carries the control.
    const UCHAR entry = r.unit == 13 ? 0 : 1;
    const USHORT value = static_cast<USHORT>(USB_AUDIO_FU_VOLUME_CONTROL << 8 | entry);
    EXPECT_EQ(RequestValues(), (std::vector<USHORT>{value, value, value}));

    m_Bench->Device().AddFault({sim::RequestMatch::ClassToUnit(r.unit, USB_AUDIO_GET_MIN), sim::FaultAction::Stall});
    maximum = minimum = step = 7;
    EXPECT_NE(Levels(r.unit)->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 7);
    EXPECT_EQ(minimum, 7);
    EXPECT_EQ(step, 7);
    m_Bench.reset();
  }
}

TEST_F(FixedRangeFeatureUnitTest, LogicalChannelsAddressTheEntriesThatCarryTheControl) {
  Start(C7746AudioHal::Create);
  ULONG count = 0;
  LONG level = 0;
  // Volume on L and R: two channels, entries 1 and 2.
  ASSERT_EQ(Levels(9)->GetLevelChannelCount(USB_AUDIO_FU_VOLUME_CONTROL, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 1, &level), STATUS_SUCCESS);
  EXPECT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 2, &level), STATUS_INVALID_PARAMETER);
  // Bass on the master alone: one channel, the master.
  EXPECT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, &level), STATUS_SUCCESS);
  // Volume on channel 1 alone (mute on the master): one channel, which is
  // channel 1's entry, not the master's.
  ASSERT_EQ(Levels(10)->GetLevelChannelCount(USB_AUDIO_FU_VOLUME_CONTROL, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  RequestValues();
  EXPECT_EQ(Levels(10)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(Levels(10)->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(Levels(9)->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(RequestValues(), (std::vector<USHORT>{0x0201, 0x0201, 0x0201}));
  // A control no entry carries has no channels.
  EXPECT_EQ(Levels(10)->GetLevelChannelCount(USB_AUDIO_FU_BASS_CONTROL, &count), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);

  // Switches: one channel, the master, whatever the bitmaps.
  UCHAR value = 0;
  ASSERT_EQ(Switches(9)->GetSwitchChannelCount(USB_AUDIO_FU_VOLUME_CONTROL, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Switches(9)->GetSwitchValue(USB_AUDIO_FU_MUTE_CONTROL, 1, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Switches(9)->SetSwitchValue(USB_AUDIO_FU_MUTE_CONTROL, 1, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Switches(9)->GetSwitchValue(USB_AUDIO_FU_MUTE_CONTROL, 0, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Switches(9)->SetSwitchValue(USB_AUDIO_FU_MUTE_CONTROL, 0, 1), STATUS_SUCCESS);
  ASSERT_EQ(Switches(9)->GetSwitchValue(USB_AUDIO_FU_MUTE_CONTROL, 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
}

TEST_F(FixedRangeFeatureUnitTest, DescriptorsTheUnitsCannotUseFailTheParse) {
  struct Case {
    const char* name;
    sim::Bytes unit9;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"no mute", {10, 0x24, 6, 9, 1, 1, 0x02, 0x02, 0x02, 0}, STATUS_INSUFFICIENT_RESOURCES},
      {"control size 0", {7, 0x24, 6, 9, 1, 0, 0}, STATUS_UNSUCCESSFUL},
      {"no room for the master entry", {7, 0x24, 6, 9, 1, 2, 0x01}, STATUS_UNSUCCESSFUL},
  };
  for (AudioHalFactory factory : {C7746AudioHal::Create, C7762AudioHal::Create}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      sim::ConfigBuilder b;
      b.Interface(0, 0, 0, 1, 1)
          .AcHeader({})
          .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
          .Raw(c.unit9)
          .OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 9);
      ModelBench bench(MakeSet(b.Build()), WideProfile(false), factory);
      ASSERT_EQ(bench.CreateStatus(), STATUS_SUCCESS);
      EXPECT_EQ(bench.Init(), c.status);
    }
  }
}

TEST(OutputTerminalCapsCategoryTest, MapsTerminalTypesToPinCategories) {
  const std::pair<USHORT, PinCategory> rows[] = {
      {0x0302, PIN_CATEGORY_HP},   {0x0401, PIN_CATEGORY_HANDSET}, {0x0402, PIN_CATEGORY_HEADSET},
      {0x0601, PIN_CATEGORY_LINE}, {0x0603, PIN_CATEGORY_LINE},    {0x0605, PIN_CATEGORY_SPDIF},
      {0x0301, PIN_CATEGORY_SPK},  {0x0602, PIN_CATEGORY_SPK},     {0x0101, PIN_CATEGORY_SPK},
  };
  for (const auto& [type, category] : rows) EXPECT_EQ(OutputTerminalCapsCategory(type), category) << std::hex << type;
}

}  // namespace
