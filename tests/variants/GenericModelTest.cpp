// The generic Audio Class 1.0 model on simulated devices: what the chip
// probe makes of strings, registers and IDs, the formats its streams
// announce, its AudioControl rules, and descriptors gone wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/hal/CUac1AudioHal.h"
#include "driver/hal/ChipString.h"
#include "sim/device/DescriptorBuilder.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"

namespace {

using namespace haltest;

constexpr GUID kAc3 = DEFINE_GUID_VALUE(0x00000092, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
constexpr GUID kWmaPro = DEFINE_GUID_VALUE(0x00000164, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

class GenericModelTest : public ModelTest {
 protected:
  // A device whose chip string names no chip the probe knows.
  static sim::DescriptorSet Named(sim::DescriptorSet set, const char16_t* text = u"Generic") {
    set.strings[UAC1_PROBE_STRING_PRIMARY] = text;
    return set;
  }

  static std::unique_ptr<ModelBench> Bench(const sim::DescriptorSet& set,
                                           const sim::DeviceProfile& profile = PlainProfile()) {
    return std::make_unique<ModelBench>(set, profile, CUac1AudioHal::Create);
  }

  static CUac1AudioHal* Generic(ModelBench& bench) {
    return static_cast<CUac1AudioHal*>(bench.Model());
  }

  static std::vector<WAVEFORMATEXTENSIBLE> Formats(ModelBench& bench, ULONG engineIndex = 0) {
    IStreamEngine* engine = nullptr;
    EXPECT_EQ(bench.Hal()->GetStreamEngine(engineIndex, &engine), STATUS_SUCCESS);
    if (!engine) return {};
    std::vector<WAVEFORMATEXTENSIBLE> formats(engine->GetFormatCount());
    for (ULONG i = 0; i < formats.size(); ++i) EXPECT_EQ(engine->GetFormat(i, &formats[i]), STATUS_SUCCESS);
    return formats;
  }
};

// ---- The chip probe ---------------------------------------------------------------------------

TEST_F(GenericModelTest, ProbeFillsTheCapabilityRecordFromStringRegistersAndIds) {
  struct Case {
    const char* name;
    std::u16string primary, fallback;  // empty: the device has no such string
    uint16_t vendor, product;
    std::vector<std::pair<std::tuple<uint8_t, uint16_t, uint16_t>, uint8_t>> registers;
    bool configures;
    ULONG mask, value, flags;
  };
  const auto chipId = std::make_tuple(uint8_t{2}, uint16_t{0x51}, uint16_t{0});
  const auto regA = std::make_tuple(uint8_t{0}, uint16_t{0x1A}, uint16_t{0});
  const auto regB = std::make_tuple(uint8_t{0}, uint16_t{0x20}, uint16_t{0});
  const Case cases[] = {
      {"7794 with chip id 0x1F", u"7794 audio", u"", 0x0D8C, 0x0014, {{chipId, 0x1F}}, true, 0x3E10A0, 0, 0x41},
      {"7794 of the vendor with its own mask", u"7794", u"", 0x09DA, 0x2702, {{chipId, 0x1F}}, true, 0x3E00A5, 0, 0x41},
      {"7794 of the product without bit 12", u"7794", u"", 0x6B3E, 0x4E25, {{chipId, 0x1F}}, true, 0x3E00A0, 0, 0x41},
      {"7794 with another chip id", u"7794", u"", 0x0D8C, 0x0014, {{chipId, 0x1E}}, true, 0, 0, 0},
      {"7794 whose register cannot be read", u"7794", u"", 0x0D8C, 0x0014, {}, false, 0, 0, 0},
      {"VZR417 kind 8 from the fallback string", u"", u"VZR417", 0x0D8C, 0x0014,
       {{regA, 0x08}, {regB, 0x00}}, true, 0x3E087, 0, 0},
      {"VZR417 kind 0xE", u"VZR417", u"", 0x0D8C, 0x0014, {{regA, 0xFE}, {regB, 0x01}}, true, 0x3E087, 0, 2},
      {"VZR417 with bit 1 of B", u"VZR417", u"", 0x0D8C, 0x0014, {{regA, 0x08}, {regB, 0x02}}, false, 0, 0, 0},
      {"VZR417 of another kind", u"VZR417", u"", 0x0D8C, 0x0014, {{regA, 0x04}, {regB, 0x00}}, false, 0, 0, 0},
      {"VZR419", u"VZR419", u"", 0x0D8C, 0x0014, {}, true, 0, 0, 0},
      {"a string too short for the prefix", u"779", u"", 0x0D8C, 0x0014, {{chipId, 0x1F}}, true, 0, 0, 0},
      {"no string, known product", u"", u"", 0x5E1F, 0xB9E5, {}, true, 0x3C0264, 12, 0},
      {"no string, any other device", u"", u"", 0x0D8C, 0x0014, {}, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = StereoHeadset({0, 0, 0}, c.vendor, c.product);
    if (!c.primary.empty()) set.strings[UAC1_PROBE_STRING_PRIMARY] = c.primary;
    if (!c.fallback.empty()) set.strings[UAC1_PROBE_STRING_FALLBACK] = c.fallback;
    sim::DeviceProfile profile = PlainProfile();
    profile.answersVendorRequests = true;
    for (const auto& [key, byte] : c.registers) profile.otherRegisters[key] = byte;
    auto bench = Bench(set, profile);
    ASSERT_EQ(bench->CreateStatus(), STATUS_SUCCESS);
    const NTSTATUS status = bench->Init();
    EXPECT_EQ(NT_SUCCESS(status), c.configures) << std::hex << status;
    if (!c.configures) continue;
    DeviceCapsRecord caps{};
    ASSERT_EQ(bench->Hal()->GetChannelCaps(0, PIN_CATEGORY_HP, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.CapabilityMask, c.mask);
    EXPECT_EQ(caps.ModelValue, c.value);
    EXPECT_EQ(caps.Flags, c.flags);
    EXPECT_EQ(bench->Hal()->GetStreamEngineCount(), 2u);
  }
}

// ---- Formats ----------------------------------------------------------------------------------

TEST_F(GenericModelTest, FormatsCarryTheDeviceChannelsAndEveryRateNamed) {
  struct Format {
    WORD channels;
    ULONG rate;
    WORD bits;
    DWORD mask;
  };
  struct Case {
    const char* name;
    bool render;
    std::vector<Bytes> streaming;
    std::vector<Format> formats;
  };
  const Case cases[] = {
      {"render stereo at a low rate and 48000", true,
       {AsGeneral(1), FormatType(1, 2, 2, 16, {22050, 48000})},
       {{2, 22050, 16, 0x3}, {2, 48000, 16, 0x3}}},
      {"render layouts by channel count", true,
       {AsGeneral(1), FormatType(1, 1, 2, 16, {48000}), FormatType(1, 4, 2, 16, {48000}),
        FormatType(1, 5, 3, 24, {48000}), FormatType(1, 6, 2, 16, {48000}), FormatType(1, 8, 4, 32, {24000})},
       {{1, 48000, 16, 0x4}, {4, 48000, 16, 0x33}, {5, 48000, 24, 0}, {6, 48000, 16, 0x3F}, {8, 24000, 32, 0x63F}}},
      {"a discrete list as it stands, repeats and odd rates included", true,
       {AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 12345, 48000})},
       {{2, 48000, 16, 3}, {2, 12345, 16, 3}, {2, 48000, 16, 3}}},
      {"formats without channels or samples, or with wider samples, are left out", true,
       {AsGeneral(1), FormatType(1, 0, 2, 16, {48000}), FormatType(1, 2, 0, 0, {48000}),
        FormatType(1, 2, 5, 40, {48000}), FormatType(1, 2, 2, 16, {44100})},
       {{2, 44100, 16, 3}}},
      {"mono capture twice, with and without its layout", false,
       {AsGeneral(3), FormatType(1, 1, 2, 16, {16000})},
       {{1, 16000, 16, 0x4}, {1, 16000, 16, 0}}},
      {"capture beyond stereo has no layout and is announced once", false,
       {AsGeneral(3), FormatType(1, 4, 2, 16, {48000}), FormatType(1, 5, 2, 16, {48000})},
       {{4, 48000, 16, 0}, {5, 48000, 16, 0}}},
      {"continuous 44100..48000", true,
       {AsGeneral(1), ContinuousFormatType(1, 2, 2, 16, 44100, 48000)},
       {{2, 44100, 16, 3}, {2, 48000, 16, 3}}},
      {"continuous between two table rates", true,
       {AsGeneral(1), ContinuousFormatType(1, 2, 2, 16, 45000, 47000)},
       {{2, 48000, 16, 3}}},
      {"continuous up to the lowest table rate", true,
       {AsGeneral(1), ContinuousFormatType(1, 2, 2, 16, 4000, 8000)},
       {{2, 8000, 16, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bench = Bench(Named(c.render ? RenderDeviceWith(c.streaming) : CaptureDeviceWith(c.streaming)));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    const auto formats = Formats(*bench);
    ASSERT_EQ(formats.size(), c.formats.size());
    for (size_t i = 0; i < formats.size(); ++i) {
      const WAVEFORMATEXTENSIBLE& f = formats[i];
      const Format& e = c.formats[i];
      EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
      EXPECT_EQ(f.Format.nChannels, e.channels);
      EXPECT_EQ(f.Format.nSamplesPerSec, e.rate);
      EXPECT_EQ(f.Format.wBitsPerSample, e.bits);
      EXPECT_EQ(f.Format.nBlockAlign, e.channels * e.bits / 8);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, e.rate * f.Format.nBlockAlign);
      EXPECT_EQ(f.dwChannelMask, e.mask);
      EXPECT_TRUE(IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    }
  }
}

// 2 ch 16-bit takes 4 bytes a frame: a 200-byte packet a millisecond
// carries 50 frames, so rates up to 50000 Hz. The generic model still
// offers every rate its descriptor names.
TEST_F(GenericModelTest, FormatTypesOfferEveryRateWhateverTheirEndpointCarries) {
  struct Case {
    const char* name;
    bool render;
    std::vector<Bytes> streaming;
    uint16_t maxPacket;
    std::vector<ULONG> rates;  // as offered, each once
  };
  const Case cases[] = {
      {"48000 fits, 96000 does not", true, {AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 96000})}, 200,
       {48000, 96000}},
      {"in the descriptor's order", true, {AsGeneral(1), FormatType(1, 2, 2, 16, {96000, 48000, 44100})}, 192,
       {96000, 48000, 44100}},
      {"a continuous range to its end", false, {AsGeneral(3), ContinuousFormatType(1, 2, 2, 16, 8000, 96000)}, 200,
       {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000}},
      {"no rate fits", true, {AsGeneral(1), FormatType(1, 2, 2, 16, {96000}), FormatType(1, 1, 2, 16, {48000})}, 150,
       {96000, 48000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bench = Bench(Named(c.render ? RenderDeviceWith(c.streaming, c.maxPacket)
                                      : CaptureDeviceWith(c.streaming, c.maxPacket)));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    std::vector<ULONG> rates;
    for (const WAVEFORMATEXTENSIBLE& f : Formats(*bench))
      if (f.dwChannelMask != 0 || c.render) rates.push_back(f.Format.nSamplesPerSec);
    EXPECT_EQ(rates, c.rates);
  }
}

TEST_F(GenericModelTest, TypeThreeAndRefusedFormats) {
  {
    auto bench = Bench(Named(RenderDeviceWith({AsGeneral(1, 0x2001), FormatType(3, 2, 2, 16, {44100, 48000})})));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    const auto formats = Formats(*bench);
    ASSERT_EQ(formats.size(), 4u);
    EXPECT_TRUE(IsEqualGUIDAligned(formats[0].SubFormat, kAc3));
    EXPECT_TRUE(IsEqualGUIDAligned(formats[1].SubFormat, kWmaPro));
    EXPECT_EQ(formats[3].Format.nSamplesPerSec, 48000u);
  }
  const struct {
    const char* name;
    std::vector<Bytes> streaming;
    NTSTATUS status;
    uint16_t maxPacket = 1023;
  } refused[] = {
      {"Type III without an IEC 61937 tag offers nothing", {AsGeneral(1, 0x0002), FormatType(3, 2, 2, 16, {48000})},
       STATUS_UNSUCCESSFUL},
      {"a range beyond 96000 Hz", {AsGeneral(1), ContinuousFormatType(1, 2, 2, 16, 44100, 192000)},
       STATUS_INVALID_PARAMETER},
      {"Type II", {AsGeneral(1), FormatType(2, 2, 2, 16, {48000})}, STATUS_INVALID_PARAMETER},
      {"Type II on an endpoint too small for it", {AsGeneral(1), FormatType(2, 2, 2, 16, {96000})},
       STATUS_INVALID_PARAMETER, 200},
      {"a format before its AS_GENERAL", {FormatType(1, 2, 2, 16, {48000}), AsGeneral(1)}, STATUS_INVALID_PARAMETER},
      {"a link to a feature unit", {AsGeneral(2), FormatType(1, 2, 2, 16, {48000})}, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    auto bench = Bench(Named(RenderDeviceWith(c.streaming, c.maxPacket)));
    EXPECT_EQ(bench->Init(), c.status);
  }
}

// ---- AudioControl -----------------------------------------------------------------------------

// IT 1 -> OT 16 (speaker) and IT 1 -> FU 2 -> OT `secondId` (`secondType`).
sim::DescriptorSet TwoOutputs(uint16_t vendor, uint16_t product, uint8_t secondId, bool secondIsTerminal) {
  sim::ConfigBuilder b;
  b.Interface(0, 0, 0, 1, 1).AcHeader({1});
  b.InputTerminal(1, 0x0101, 2, 3);
  b.OutputTerminal(16, 0x0301, 1);
  b.FeatureUnit(2, 1, 1, {0x01});
  if (secondIsTerminal)
    b.OutputTerminal(secondId, 0x0302, 2);
  else
    b.FeatureUnit(secondId, 2, 1, {0x01});
  b.Interface(1, 0, 0, 1, 2).Interface(1, 1, 1, 1, 2);
  b.AsGeneral(1, 1, 1).FormatType(1, 2, 2, 16, {48000}).Endpoint(0x01, 0x09, 192, 1).CsEndpoint(0);
  sim::DescriptorSet set = MakeSet(b.Build(), vendor, product);
  set.strings[UAC1_PROBE_STRING_PRIMARY] = u"Generic";
  return set;
}

uint16_t StoredTerminalType(ModelBench& bench, uint8_t terminalId) {
  const auto* config = reinterpret_cast<const UCHAR*>(bench.Usb().GetConfigurationDescriptor());
  const ULONG total = config[2] | config[3] << 8;
  for (ULONG at = 0; at + 6 <= total && config[at] >= 2; at += config[at]) {
    const UCHAR* d = config + at;
    if (d[1] == 0x24 && d[2] == 3 && d[3] == terminalId) return static_cast<uint16_t>(d[4] | d[5] << 8);
  }
  return 0;
}

TEST_F(GenericModelTest, VendorSpeakerTerminalIsStoredAsHeadphonesAndItsLayoutIsChecked) {
  const struct {
    const char* name;
    uint16_t vendor, product;
    uint8_t secondId;
    bool secondIsTerminal;
    NTSTATUS status;
    uint16_t terminal16;
  } cases[] = {
      {"the vendor's layout", 0x1B1C, 0x0A04, 64, true, STATUS_SUCCESS, 0x0302},
      {"the vendor's product without terminal 64", 0x1B1C, 0x0A04, 65, true, STATUS_UNSUCCESSFUL, 0x0302},
      {"unit 64 is no output terminal", 0x1B1C, 0x0A04, 64, false, STATUS_UNSUCCESSFUL, 0x0302},
      {"another product of the vendor", 0x1B1C, 0x0A05, 65, true, STATUS_SUCCESS, 0x0302},
      {"another vendor", 0x0D8C, 0x0A04, 65, true, STATUS_SUCCESS, 0x0301},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bench = Bench(TwoOutputs(c.vendor, c.product, c.secondId, c.secondIsTerminal));
    EXPECT_EQ(bench->Init(), c.status);
    EXPECT_EQ(StoredTerminalType(*bench, 16), c.terminal16);
  }
}

TEST_F(GenericModelTest, ProcessingUnitsRefuseTheDevice) {
  auto bench = Bench(Named(ProcessingUnitDevice()));
  EXPECT_EQ(bench->Init(), STATUS_UNSUCCESSFUL);
  ModelRefusal refusal;
  ASSERT_EQ(bench->Model()->GetRefusal(&refusal), STATUS_SUCCESS);
  EXPECT_STREQ(refusal.step, "UsbParseAudioControlInterface");
}

TEST_F(GenericModelTest, StartsAndStopsItsStatusThread) {
  auto bench = Bench(Named(StereoHeadset()));
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  EXPECT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
  EXPECT_NE(bench->Model()->GetStatusThread(), nullptr);
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(bench->Model()->GetStatusThread(), nullptr);
}

TEST_F(GenericModelTest, MalformedDescriptorsGetAStatusAndLoseNothing) {
  for (const auto& c : sim::malformed::Catalogue()) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    auto bench = Bench(Named(c.build()));
    if (!NT_SUCCESS(bench->CreateStatus())) continue;  // the configuration itself was refused
    const NTSTATUS status = bench->Init();
    if (NT_SUCCESS(status)) {
      EXPECT_GE(bench->Hal()->GetStreamEngineCount(), 1u);
    } else {
      EXPECT_EQ(bench->Hal()->GetStreamEngineCount(), 0u);
    }
  }
}

}  // namespace
