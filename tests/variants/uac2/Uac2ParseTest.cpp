// The Audio Class 2.0 model's descriptor parsers: every descriptor shorter
// than the fields read from it ends the parse, a stream's terminal must be
// clocked by a clock source, entities nothing stands for refuse the device,
// and the formats follow the clock's rates and the format bits.
#include <gtest/gtest.h>

#include "streaming/CUsbStreamEngine.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

using namespace uac2test;

class Uac2ParseTest : public haltest::ModelTest {
 protected:
  static NTSTATUS Parse(const SmallDevice& shape, const sim::DeviceProfile& profile = sim::DefaultProfile()) {
    auto bench = Bench(Build(shape), profile);
    return bench->Init();
  }
};

constexpr uint32_t kMuteVolume = ReadWrite(USB_AUDIO_FU_MUTE_CONTROL) | ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL);

TEST_F(Uac2ParseTest, DescriptorShorterThanItsFieldsEndsTheParse) {
  // Each descriptor cut to the shortest length its fields allow, then one
  // byte shorter; a cut AudioControl descriptor keeps its place in the
  // speaker's chain (CS 9 -> IT 1 -> FU 2 -> OT 3), spare units hang off
  // the input terminal. The shortest feature unit has no control entries,
  // so no mute, which the unit needs: it is refused, but not for its length.
  const Bytes interface1 = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 1, 2, 1, 2, USB_AUDIO_PROTOCOL_UAC2, 0};
  struct Case {
    const char* name;
    size_t minimum;
    NTSTATUS whole;
    std::function<void(SmallDevice&, size_t)> cut;
  };
  auto unit = [](size_t index, Bytes d) {
    return [index, d](SmallDevice& s, size_t length) { s.units[index] = Cut(d, length); };
  };
  auto spare = [](Bytes d) { return [d](SmallDevice& s, size_t length) { s.units.push_back(Cut(d, length)); }; };
  auto stream = [](size_t index, Bytes d) {
    return [index, d](SmallDevice& s, size_t length) { s.streaming[index] = Cut(d, length); };
  };
  const Case cases[] = {
      {"clock source", 4, STATUS_SUCCESS, unit(0, ClockSource(9))},
      {"input terminal", 16, STATUS_SUCCESS, unit(1, InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9))},
      {"feature unit", 5, STATUS_INSUFFICIENT_RESOURCES, unit(2, FeatureUnit(2, 1, {kMuteVolume, 0, 0}))},
      {"output terminal", 11, STATUS_SUCCESS, unit(3, OutputTerminal(3, 0x0301, 2, 9))},
      {"mixer unit", 5 + 2, STATUS_SUCCESS, spare(MixerUnit(7, {1, 1}))},
      {"selector unit", 5 + 2, STATUS_SUCCESS, spare(SelectorUnit(7, {1, 1}))},
      {"extension unit", 7 + 2, STATUS_SUCCESS, spare(ExtensionUnit(7, {1, 1}))},
      {"AS_GENERAL", 15, STATUS_SUCCESS, stream(0, AsGeneral(1))},
      {"FORMAT_TYPE", 6, STATUS_SUCCESS, stream(1, FormatType())},
      {"interface", 9, STATUS_SUCCESS,
       [interface1](SmallDevice& s, size_t length) { s.streaming.insert(s.streaming.end(), Cut(interface1, length)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallDevice whole = Speaker(), shortened = Speaker();
    c.cut(whole, c.minimum);
    c.cut(shortened, c.minimum - 1);
    EXPECT_EQ(Parse(whole), c.whole);
    EXPECT_EQ(Parse(shortened), STATUS_UNSUCCESSFUL);
  }
}

TEST_F(Uac2ParseTest, StreamTerminalMustBeClockedByAClockSource) {
  struct Case {
    const char* name;
    uint8_t clock;
    NTSTATUS status;
  };
  for (const Case& c : {Case{"clock source", 9, STATUS_SUCCESS}, Case{"no such entity", 7, STATUS_UNSUCCESSFUL},
                        Case{"a feature unit", 2, STATUS_UNSUCCESSFUL}}) {
    SCOPED_TRACE(c.name);
    SmallDevice shape = Speaker();
    shape.units[1] = InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, c.clock);
    EXPECT_EQ(Parse(shape), c.status);
  }
}

TEST_F(Uac2ParseTest, EntitiesWithoutAModelClassRefuseTheDevice) {
  const Bytes selector = Descriptor([](sim::ConfigBuilder& c) { c.Uac2ClockSelector(8, {9}); });
  const Bytes multiplier = Descriptor([](sim::ConfigBuilder& c) { c.Uac2ClockMultiplier(8, 9); });
  const Bytes processing = {9, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_PROCESSING_UNIT, 8, 0x01, 0, 1, 1, 0};
  for (const Bytes& d : {selector, multiplier, processing}) {
    SCOPED_TRACE(testing::Message() << "subtype " << int(d[2]));
    SmallDevice shape = Speaker();
    shape.units.push_back(d);
    EXPECT_EQ(Parse(shape), STATUS_UNSUCCESSFUL);
  }
}

struct FormatSeen {
  ULONG rate;
  GUID subFormat;
  bool operator==(const FormatSeen& o) const {
    return rate == o.rate && IsEqualGUIDAligned(subFormat, o.subFormat);
  }
};

std::vector<FormatSeen> Formats(haltest::ModelBench& bench) {
  IStreamEngine* engine = nullptr;
  EXPECT_EQ(bench.Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
  std::vector<FormatSeen> out;
  for (ULONG i = 0; engine && i < engine->GetFormatCount(); ++i) {
    WAVEFORMATEXTENSIBLE f{};
    EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
    out.push_back({f.Format.nSamplesPerSec, f.SubFormat});
  }
  return out;
}

GUID WaveTag(WORD tag) {
  GUID g = KSDATAFORMAT_SUBTYPE_PCM;
  g.Data1 = tag;
  return g;
}

TEST_F(Uac2ParseTest, FormatsFollowTheClockRatesAndTheFormatBits) {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.clockRates[9] = {44100, 48000, 96000};
  const GUID pcm = KSDATAFORMAT_SUBTYPE_PCM, raw = KSDATAFORMAT_SUBTYPE_UAC2_RAW_DATA;
  // The clock refuses its second rate; the interface's valid settings are
  // only setting 0 (a raw-only interface then has no format at all).
  sim::RequestMatch setRate = sim::RequestMatch::ClassToUnit(9, USB_AUDIO2_CUR);
  setRate.in = false;
  const sim::ControlFault refuseSecondRate{setRate, sim::FaultAction::Stall, 0, 1, 1};
  sim::RequestMatch validSettings = sim::RequestMatch::Class();
  validSettings.index = 1;
  validSettings.valueHigh = USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL;
  const sim::ControlFault onlySettingZero{validSettings, sim::FaultAction::ReplyWith, 0, 0, -1, {1, 0x01}};
  struct Case {
    const char* name;
    uint32_t formats;
    uint8_t formatType;
    std::vector<sim::ControlFault> faults;
    std::vector<FormatSeen> expected;
  };
  const Case cases[] = {
      {"PCM", USB_AUDIO2_FORMAT_PCM, 1, {}, {{44100, pcm}, {48000, pcm}, {96000, pcm}}},
      {"PCM and raw: only PCM", USB_AUDIO2_FORMAT_PCM | USB_AUDIO2_FORMAT_RAW_DATA, 1, {refuseSecondRate},
       {{44100, pcm}, {48000, pcm}, {96000, pcm}}},
      {"raw: the rates the clock takes", USB_AUDIO2_FORMAT_RAW_DATA, 1, {refuseSecondRate},
       {{44100, raw}, {96000, raw}}},
      {"raw, bit 15", 0x8000, 1, {}, {{44100, raw}, {48000, raw}, {96000, raw}}},
      {"raw on a setting the interface calls invalid", USB_AUDIO2_FORMAT_RAW_DATA, 1, {onlySettingZero}, {}},
      {"type III", USB_AUDIO2_FORMAT_IEC61937_AC3 | USB_AUDIO2_FORMAT_IEC61937_WMA, 3, {},
       {{44100, WaveTag(0x0092)}, {44100, WaveTag(0x0164)}, {48000, WaveTag(0x0092)}, {48000, WaveTag(0x0164)},
        {96000, WaveTag(0x0092)}, {96000, WaveTag(0x0164)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallDevice shape = Speaker();
    shape.streaming = {AsGeneral(1, c.formats, c.formatType), FormatType(c.formatType)};
    auto bench = Bench(Build(shape), profile);
    for (const sim::ControlFault& f : c.faults) bench->Device().AddFault(f);
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    EXPECT_EQ(Formats(*bench), c.expected);
  }
}

std::vector<ULONG> Rates(haltest::ModelBench& bench) {
  std::vector<ULONG> out;
  for (const FormatSeen& f : Formats(bench)) out.push_back(f.rate);
  return out;
}

TEST_F(Uac2ParseTest, OnlyRatesTheBusCanCarryBecomeFormats) {
  // A clock may name any 32-bit rate; what no stream could carry (0, more
  // frames than a high-speed endpoint moves even one byte each) is left out
  // of the clock, and a format keeps only the rates whose frames fit what
  // its bus moves in a second (1023 bytes a frame at full speed: 16-byte
  // frames at 96 kHz do not).
  using platform::usb::Speed;
  struct Case {
    const char* name;
    Speed speed;
    uint8_t channels, subslot;
    std::vector<uint32_t> rates;
    std::vector<ULONG> offered;
  };
  const Case cases[] = {
      {"rates past any bus", Speed::High, 2, 2, {0, 48000, 0xFFFFFC18, 0xFFFFFFFF, 24576001, 96000}, {48000, 96000}},
      {"full speed", Speed::Full, 4, 4, {48000, 96000}, {48000}},
      {"high speed", Speed::High, 4, 4, {48000, 96000}, {48000, 96000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DeviceProfile profile = sim::DefaultProfile();
    profile.clockRates[9] = c.rates;
    SmallDevice shape = Speaker();
    shape.streaming = {AsGeneral(1, USB_AUDIO2_FORMAT_PCM, 1, c.channels), FormatType(1, c.subslot, 8 * c.subslot)};
    auto bench = Bench(Build(shape), profile, c.speed);
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    EXPECT_EQ(Rates(*bench), c.offered);
  }
}

TEST_F(Uac2ParseTest, FormatTypeIsOfferedOnlyWhenItsSubslotHoldsItsBits) {
  struct Case {
    uint8_t subslot, bits;
    bool offered;
  };
  const Case cases[] = {{0, 0, false}, {5, 40, false}, {2, 17, false}, {3, 32, false}, {1, 8, true},
                        {2, 16, true}, {3, 24, true},  {4, 24, true},  {4, 32, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.subslot) << "-byte subslot, " << int(c.bits) << " bits");
    SmallDevice shape = Speaker();
    shape.streaming = {AsGeneral(1), FormatType(1, c.subslot, c.bits)};
    auto bench = Bench(Build(shape));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(bench->Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetFormatCount(), c.offered ? sim::kDefaultClockRates.size() : 0u);
    WAVEFORMATEXTENSIBLE f{};
    if (c.offered && NT_SUCCESS(engine->GetFormat(0, &f))) {
      EXPECT_EQ(f.Format.wBitsPerSample, 8 * c.subslot);
      EXPECT_EQ(f.Samples.wValidBitsPerSample, c.bits);
    }
  }
}

TEST_F(Uac2ParseTest, DescriptorsOfOtherKindsDoNotEndAnInterface) {
  // A SuperSpeed endpoint companion after each setting's data endpoint, or
  // vendor data there: the second setting is still the same interface's.
  const Bytes companion = {6, 0x30, 0, 0, 0, 0};
  const Bytes vendor = {5, 0x41, 1, 2, 3};
  for (const Bytes& extra : {companion, vendor}) {
    SCOPED_TRACE(testing::Message() << "descriptor type 0x" << std::hex << int(extra[1]));
    SmallDevice shape = Speaker();
    shape.settingWithoutFeedback = true;
    shape.endpointExtras = {extra};
    auto bench = Bench(Build(shape));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    ASSERT_EQ(bench->Hal()->GetStreamEngineCount(), 1u);
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(bench->Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    auto* usbEngine = static_cast<CUsbStreamEngine*>(engine);
    // Both settings' formats, each rate once per setting.
    EXPECT_EQ(usbEngine->GetFormatRecordCount(), 2 * sim::kDefaultClockRates.size());
  }
}

TEST_F(Uac2ParseTest, BareTerminalsGetASoftwareMute) {
  SmallDevice shape = Speaker();
  shape.units = {ClockSource(9), InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9), OutputTerminal(3, 0x0301, 1, 9)};
  auto bench = Bench(Build(shape));
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  // Clock 0, IT pin 1, OT pin 2, the software mute 3.
  IStreamEngine* engine = nullptr;
  ASSERT_EQ(bench->Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
  ASSERT_EQ(engine->GetAttachedNodeCount(), 3u);
  ITopoNode* mute = nullptr;
  ASSERT_EQ(engine->GetAttachedNode(2, &mute), STATUS_SUCCESS);
  EXPECT_EQ(mute->GetType(), NODE_TYPE_MUTE);
  EXPECT_EQ(mute->GetId(), 3u);
}

TEST_F(Uac2ParseTest, OutputTypeWiringEndsWhereFeatureUnitsFeedEachOther) {
  // OT 3 (speaker or headphones) hangs off FU 2, and FU 2 and FU 5 feed
  // each other: the walk for the type node's listeners must come back.
  SmallDevice shape = Speaker();
  shape.units = {ClockSource(9), InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9),
                 FeatureUnit(2, 5, {kMuteVolume, 0, 0}), FeatureUnit(5, 2, {kMuteVolume, 0, 0}),
                 OutputTerminal(3, 0x0301, 2, 9)};
  shape.streaming.clear();
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.terminals[3].outputTypes = {{0x0301, {}}, {0x0302, {}}};
  EXPECT_EQ(Parse(shape, profile), STATUS_SUCCESS);
}

}  // namespace
