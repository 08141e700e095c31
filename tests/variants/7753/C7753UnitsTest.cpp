// The 7753's units on a simulated board: the level scales and maps of its
// feature units, the mute LED, the output terminal's types, registers and
// jacks, and the recording selector's codes.
#include <gtest/gtest.h>

#include "sim/device/Device7753.h"
#include "tests/support/KernelTest.h"
#include "tests/variants/7753/Board7753.h"
#include "variants/7753/C7753FeatureUnits.h"
#include "variants/7753/C7753Terminals.h"

namespace {

using test7753::Board;
using Writes = std::vector<std::pair<UCHAR, USHORT>>;
namespace chip = sim::chip7753;

constexpr LONG kDb = 65536;
constexpr ULONG kMute = 1, kVolume = 2;

sim::Bytes Le16(LONG value) { return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8)}; }
LONG Device16(const sim::Bytes& b) { return b.size() == 2 ? static_cast<SHORT>(b[0] | b[1] << 8) : 0x7FFFFFFF; }

class C7753UnitsTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
  // The evaluation board with a profile of its own.
  static std::unique_ptr<Board> EvaluationWith(const sim::DeviceProfile& profile) {
    return std::make_unique<Board>(chip::EvaluationBoardDescriptors(), profile);
  }
};

// ---- Unit 13 ----------------------------------------------------------------------------------

TEST_F(C7753UnitsTest, MasterUnitVolumeGoesThroughTheMap) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  auto* unit = board->Unit<C7753FeatureUnit13>(chip::kMasterUnit);
  ASSERT_NE(unit, nullptr);

  const struct {
    LONG device;
    LONG reported;
  } reads[] = {
      {0, 0},
      {-256, -62 * 256},       // -1 dB on the device reads as the chip's -0.24 dB
      {-512, -128 * 256},
      {-9728, -9728 * 256},    // -38 dB: below every entry, as it is
      {-32768, LEVEL_MINUS_INFINITY},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(r.device);
    board->Device().SetControlValue(chip::kMasterUnit, kVolume, 1, Le16(r.device), false);
    LONG level = 0;
    ASSERT_EQ(unit->GetLevel(kVolume, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, r.reported);
  }

  const struct {
    LONG level;
    LONG device;
  } sets[] = {
      {-25559, -512},        // -0.39 dB reaches the -0.5 dB entry: -2 dB on the device
      {-40 * kDb, -9728},    // below the map's reported range: its last entry
      {0, 0},
      {6 * kDb, 0},
  };
  for (const auto& s : sets) {
    SCOPED_TRACE(s.level);
    ASSERT_EQ(unit->SetLevel(kVolume, 0, s.level), STATUS_SUCCESS);
    EXPECT_EQ(Device16(board->Device().ControlValue(chip::kMasterUnit, kVolume, 1)), s.device);
  }

  // Every device level of the map reads back and sets to itself.
  for (ULONG i = 0; i < C7753_DB_MAP_ENTRIES; ++i) {
    SCOPED_TRACE(i);
    board->Device().SetControlValue(chip::kMasterUnit, kVolume, 1, Le16(C7753DeviceLevels[i]), false);
    LONG level = 0;
    ASSERT_EQ(unit->GetLevel(kVolume, 0, &level), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(kVolume, 0, level), STATUS_SUCCESS);
    EXPECT_EQ(Device16(board->Device().ControlValue(chip::kMasterUnit, kVolume, 1)), C7753DeviceLevels[i]);
  }

  // Logical channels 4 and 5 are USB channels 7 and 8 on the wire.
  ASSERT_EQ(unit->SetLevel(kVolume, 4, -3 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(Device16(board->Device().ControlValue(chip::kMasterUnit, kVolume, 7)), -2816);  // the -3.14 dB entry
  EXPECT_EQ(unit->SetLevel(kVolume, 8, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(C7753UnitsTest, MasterUnitRangeIsMappedInQuarterDecibels) {
  for (const auto& [deviceMinimum, reportedMinimum] : {std::pair{-9728, -9728}, std::pair{-8960, -7578}}) {
    SCOPED_TRACE(deviceMinimum);
    sim::DeviceProfile profile = chip::EvaluationBoardProfile();
    profile.unitControlRanges[{chip::kMasterUnit, kVolume}] = {deviceMinimum, 0, 0x100, 0};
    auto board = EvaluationWith(profile);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    LONG maximum = 1, minimum = 0, step = 0;
    ASSERT_EQ(board->Unit<C7753FeatureUnit13>(chip::kMasterUnit)->GetLevelRange(kVolume, &maximum, &minimum, &step),
              STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(minimum, reportedMinimum * 256);
    EXPECT_EQ(step, 0x4000);
    EXPECT_EQ(board->Unit<C7753FeatureUnit13>(chip::kMasterUnit)->GetLevelRange(kVolume, nullptr, &minimum, &step),
              STATUS_INVALID_PARAMETER);
  }
}

TEST_F(C7753UnitsTest, MasterUnitMuteDrivesTheLedWhenTheBoardHasOne) {
  const struct {
    const char* name;
    ULONG need, reverse;
    Writes mute, unmute;
  } cases[] = {
      {"LED", 1, 0, {{1, 0x3032}}, {{1, 0x3012}}},
      {"reversed LED", 1, 1, {{1, 0x3012}}, {{1, 0x3032}}},
      {"another reverse value reverses nothing", 1, 2, {{1, 0x3032}}, {{1, 0x3012}}},
      {"no LED", 0, 1, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto board = Board::Evaluation();
    board->PutSetting(C7753_NEED_MUTE_LED, c.need, 1);
    board->PutSetting(C7753_REVERSE_MUTE_LED, c.reverse, 1);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    auto* unit = board->Unit<C7753FeatureUnit13>(chip::kMasterUnit);
    board->TakeCodecWrites();
    ASSERT_EQ(unit->SetSwitchValue(kMute, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(board->TakeCodecWrites(), c.mute);
    EXPECT_EQ(board->DeviceMute(chip::kMasterUnit), 1);
    ASSERT_EQ(unit->SetSwitchValue(kMute, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(board->TakeCodecWrites(), c.unmute);
  }
}

// ---- Scaled units -----------------------------------------------------------------------------

TEST_F(C7753UnitsTest, MonitorAndRecordingUnitsStretchTheDeviceLevels) {
  sim::DeviceProfile profile = chip::EvaluationBoardProfile();
  // Maximums with low bits the units do not mean.
  profile.unitControlRanges[{chip::kMicMonitorUnit, kVolume}] = {-0x2280, 0x0C0F, 0x80, 0};
  profile.unitControlRanges[{chip::kMicRecordUnit, kVolume}] = {-0x0C00, 0x0CFF, 0x100, 0};
  auto board = EvaluationWith(profile);
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  const struct {
    const char* name;
    UCHAR unitId;
    LONG minusOneDb, plusOneDb;  // as reported
    LONG maximum, minimum;       // of the range, as reported
  } cases[] = {
      {"monitor unit 9", chip::kMicMonitorUnit, -98304, 196608, 3 * 0x0C00 * 256, -13248 * 256},
      {"recording unit 8", chip::kMicRecordUnit, -24576, 196608, 3 * 0x0C00 * 256, -1152 * 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto* unit = board->Unit<C7753ScaledFeatureUnit>(c.unitId);
    ASSERT_NE(unit, nullptr);
    LONG level = 0;
    board->Device().SetControlValue(c.unitId, kVolume, 1, Le16(-256), false);
    ASSERT_EQ(unit->GetLevel(kVolume, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.minusOneDb);
    board->Device().SetControlValue(c.unitId, kVolume, 1, Le16(256), false);
    ASSERT_EQ(unit->GetLevel(kVolume, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.plusOneDb);
    // What the unit reports for -1 dB sends -1 dB; silence passes as silence.
    ASSERT_EQ(unit->SetLevel(kVolume, 0, c.minusOneDb), STATUS_SUCCESS);
    EXPECT_EQ(Device16(board->Device().ControlValue(c.unitId, kVolume, 1)), -256);
    ASSERT_EQ(unit->SetLevel(kVolume, 0, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);
    EXPECT_EQ(Device16(board->Device().ControlValue(c.unitId, kVolume, 1)), -32768);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(unit->GetLevelRange(kVolume, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, c.maximum);
    EXPECT_EQ(minimum, c.minimum);
    EXPECT_EQ(step, 0x18000);
  }
  // Conversions truncate toward zero and keep the extremes inside a level.
  auto* nine = board->Unit<C7753ScaledFeatureUnit>(chip::kMicMonitorUnit);
  EXPECT_EQ(nine->ToReported(-1), -1);
  EXPECT_EQ(nine->ToDevice(5), 1);
  EXPECT_EQ(nine->ToDevice(-2147483647), -1431655764);
  auto* two = board->Unit<C7753ScaledFeatureUnit>(chip::kMicRecordUnit);
  EXPECT_EQ(two->ToDevice(-2147483647), LEVEL_MINUS_INFINITY + 1);
}

// ---- Output terminal 3 -------------------------------------------------------------------------

TEST_F(C7753UnitsTest, OutputTypesFollowTheSwitchesAndSelectThroughTheCodec) {
  auto board = Board::Evaluation();
  board->PutSwitches({{C7753_SUPPORT_HP_OUT, 0}});
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  auto* terminal = board->Unit<C7753OutputTerminal>(chip::kSpeakerTerminal);
  ASSERT_NE(terminal, nullptr);
  ULONG count = 0;
  PinCategory types[4] = {};
  ASSERT_EQ(terminal->GetTypeCount(&count), STATUS_SUCCESS);
  ASSERT_EQ(terminal->GetTypeList(types), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(types[0], PIN_CATEGORY_SPK);
  EXPECT_EQ(types[1], PIN_CATEGORY_SPDIF);
  // The jacks of index 1 are the S/PDIF output's: one optical jack.
  ULONG jacks = 0;
  ASSERT_EQ(terminal->GetJackCount(&jacks, 1), STATUS_SUCCESS);
  EXPECT_EQ(jacks, 1u);
  JackRecord record{};
  ASSERT_EQ(terminal->GetJackDescriptions(sizeof record, &record, 1), STATUS_SUCCESS);
  EXPECT_EQ(record.ConnectionType, 5u);
  EXPECT_EQ(record.Color, 0u);
  EXPECT_EQ(record.IsConnected, 0u);

  board->TakeCodecWrites();
  ASSERT_EQ(terminal->SelectType(PIN_CATEGORY_SPDIF), STATUS_SUCCESS);
  EXPECT_EQ(board->TakeCodecWrites(), (Writes{{2, 0xE7F8}, {1, 0x3000}, {0, 0xA004}}));
  PinCategory current = 0;
  terminal->GetCategory(&current);
  EXPECT_EQ(current, PIN_CATEGORY_SPDIF);
  EXPECT_EQ(terminal->SelectType(PIN_CATEGORY_HP), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(board->TakeCodecWrites().empty());
  ASSERT_EQ(terminal->SelectType(PIN_CATEGORY_SPK), STATUS_SUCCESS);
  EXPECT_EQ(board->TakeCodecWrites(), (Writes{{2, 0xE000}, {1, 0x3002}, {0, 0x2004}}));
}

TEST_F(C7753UnitsTest, AStoredTypeCountsOnlyWhenTheTerminalOffersIt) {
  const struct {
    const char* name;
    ULONG stored;
    bool headphoneAndSpdif;
    PinCategory current;
    USHORT register2;
  } cases[] = {
      {"S/PDIF offered", 3, true, PIN_CATEGORY_SPDIF, 0xE7F8},
      {"headphone offered", 2, true, PIN_CATEGORY_HP, 0xFFE0},
      {"S/PDIF not offered", 3, false, PIN_CATEGORY_SPK, 0xE000},
      {"a type of no table", 19, true, PIN_CATEGORY_SPK, 0xE000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto board = Board::Evaluation();
    board->PutSwitches(c.headphoneAndSpdif
                           ? test7753::Switches{}
                           : test7753::Switches{{C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0}});
    board->PutSetting(u"UACUnit03", c.stored);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    PinCategory current = 0;
    board->Unit<C7753OutputTerminal>(chip::kSpeakerTerminal)->GetCategory(&current);
    EXPECT_EQ(current, c.current);
    EXPECT_EQ(board->Model()->GetCodecRegister(2).value, c.register2);
    EXPECT_EQ(board->Engine(false)->GetPinCategory(), c.current);
  }
}

TEST_F(C7753UnitsTest, JacksDescribeEachTypeAndTellWhichAreConnected) {
  for (ULONG allConnected : {0u, 1u}) {
    SCOPED_TRACE(allConnected);
    auto board = Board::Evaluation();
    board->PutSetting(C7753_JACKS_CONNECTED, allConnected);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    auto* terminal = board->Unit<C7753OutputTerminal>(chip::kSpeakerTerminal);
    JackRecord speaker[3] = {};
    EXPECT_EQ(terminal->GetJackDescriptions(2 * sizeof(JackRecord), speaker, 0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(terminal->GetJackDescriptions(sizeof speaker, speaker, 0), STATUS_SUCCESS);
    const ULONG mappings[3] = {0x03, 0x0C, 0x30}, colors[3] = {0x00FF00, 0xFF8000, 0x000000};
    for (ULONG i = 0; i < 3; ++i) {
      EXPECT_EQ(speaker[i].ChannelMapping, mappings[i]);
      EXPECT_EQ(speaker[i].Color, colors[i]);
      EXPECT_EQ(speaker[i].ConnectionType, 1u);
      EXPECT_EQ(speaker[i].GeoLocation, 1u);
      EXPECT_EQ(speaker[i].IsConnected, 1u);  // the current type
    }
    JackRecord headphone{};
    ASSERT_EQ(terminal->GetJackDescriptions(sizeof headphone, &headphone, 1), STATUS_SUCCESS);
    EXPECT_EQ(headphone.IsConnected, allConnected);
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof headphone, &headphone, 3), STATUS_INVALID_PARAMETER);
    ULONG count = 9;
    ASSERT_EQ(terminal->GetJackCount(&count, 3), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    // A status word naming the terminal refreshes its pins; the last stands for it.
    ULONG node = 0;
    EXPECT_EQ(terminal->OnControlChange(0, 0, &node), STATUS_SUCCESS);
    ULONG last = 0;
    terminal->GetOutputNodeId(&last);
    EXPECT_EQ(node, last - 1);  // the output-type node comes after the pins
  }
  // The chip's input terminals ask for no jacks.
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  for (const auto& r : board->Device().Requests())
    EXPECT_FALSE((r.setup.bmRequestType & 0x60) == 0x40 && r.setup.wValue == 0x02FF) << r.setup.wIndex;
}

// ---- Recording selector -----------------------------------------------------------------------

TEST_F(C7753UnitsTest, SelectorSendsAndReadsTheChipsCodes) {
  auto board = Board::Evaluation();  // sources 8, 15, 16
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  auto* selector = board->Unit<C7753SelectorUnit>(chip::kRecordSelector);
  ASSERT_NE(selector, nullptr);
  auto deviceCode = [&] { return board->Device().ControlValue(chip::kRecordSelector, 0, 0).at(0); };

  ASSERT_EQ(selector->SetInput(3), STATUS_SUCCESS);
  EXPECT_EQ(deviceCode(), 3);
  board->Device().SetControlValue(chip::kRecordSelector, 0, 0, {2}, false);
  ULONG input = 0;
  ASSERT_EQ(selector->GetInput(&input), STATUS_SUCCESS);
  EXPECT_EQ(input, 2u);
  // A code no input has: input 1, and its code goes out again.
  board->Device().SetControlValue(chip::kRecordSelector, 0, 0, {0}, false);
  ASSERT_EQ(selector->GetInput(&input), STATUS_SUCCESS);
  EXPECT_EQ(input, 1u);
  EXPECT_EQ(deviceCode(), 1);
  EXPECT_EQ(selector->SetInput(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(selector->SetInput(4), STATUS_INVALID_PARAMETER);

  // Without the microphone's recording unit, the line's is input 1 and
  // still the chip's code 2.
  auto noMic = Board::Evaluation();
  noMic->PutSwitches({{C7753_DISABLE_MIC_IN_REC_UNIT, 1}});
  ASSERT_EQ(noMic->Start(), STATUS_SUCCESS);
  ASSERT_EQ(noMic->Unit<C7753SelectorUnit>(chip::kRecordSelector)->SetInput(1), STATUS_SUCCESS);
  EXPECT_EQ(noMic->Device().ControlValue(chip::kRecordSelector, 0, 0).at(0), 2);
}

TEST_F(C7753UnitsTest, ASelectorWithMoreInputsThanTheChipsIsRefused) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  for (UCHAR inputs : {UCHAR{7}, UCHAR{8}}) {
    SCOPED_TRACE(int(inputs));
    // An AudioControl interface with a selector of `inputs` sources, all unit 8.
    sim::Bytes control = {9, 4, 0, 0, 0, 1, 1, 0, 0, static_cast<UCHAR>(6 + inputs), 0x24, 5, 30, inputs};
    control.insert(control.end(), inputs, 8);
    control.push_back(0);
    const NTSTATUS status = board->Model()->UsbParseAudioControlInterface(
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(control.data()), static_cast<ULONG>(control.size()));
    EXPECT_EQ(status, inputs <= 7 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  }
}

}  // namespace
