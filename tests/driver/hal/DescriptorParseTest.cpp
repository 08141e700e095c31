// The descriptor parsers in detail: the format records an AudioStreaming
// interface gives, the AudioControl rules, and the software nodes and
// wiring the AudioStreaming post-steps add.
#include <algorithm>

#include "driver/hal/CK784AudioHal.h"
#include "sim/device/DescriptorBuilder.h"
#include "streaming/CUsbStreamEngine.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelShapes.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio.h"

namespace {

using namespace haltest;

constexpr GUID kAc3 = DEFINE_GUID_VALUE(0x00000092, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
constexpr GUID kWmaPro = DEFINE_GUID_VALUE(0x00000164, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

class DescriptorParseTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }
  void TearDown() override {
    platform::version::ResetForTest();
    DriverHarness::TearDown();
  }

  NTSTATUS StartWith(const sim::DescriptorSet& set, const sim::DeviceProfile& profile = PlainProfile()) {
    platform::registry::Reset();
    Plug(set, profile);
    return Start();
  }

  IAudioHal* Hal() { return DeviceObject(); }

  CUsbStreamEngine* Engine(ULONG index) {
    IStreamEngine* engine = nullptr;
    if (!DeviceObject() || !NT_SUCCESS(Hal()->GetStreamEngine(index, &engine))) return nullptr;
    return static_cast<CUsbStreamEngine*>(engine);
  }

  static std::vector<WAVEFORMATEXTENSIBLE> Formats(IStreamEngine* engine) {
    std::vector<WAVEFORMATEXTENSIBLE> formats(engine->GetFormatCount());
    for (ULONG i = 0; i < formats.size(); ++i) EXPECT_EQ(engine->GetFormat(i, &formats[i]), STATUS_SUCCESS);
    return formats;
  }

  std::vector<ULONG> Sources(ULONG nodeId) {
    ITopoNode* node = nullptr;
    EXPECT_EQ(Hal()->GetNode(nodeId, &node), STATUS_SUCCESS);
    return SourceIds(node);
  }
};

// ---- Format records ----------------------------------------------------------------------------

TEST_F(DescriptorParseTest, FormatRecordsFollowTheFormatTypeDescriptors) {
  struct Rate {
    ULONG channels, rate, bits, mask;
  };
  struct Case {
    const char* name;
    bool render;
    std::vector<Bytes> streaming;
    std::vector<Rate> formats;
    uint16_t maxPacket = 1023;
  };
  const Bytes general = AsGeneral(3);
  const Case cases[] = {
      {"render stereo 44100 and 48000 is announced as eight channels",
       true,
       {AsGeneral(1), FormatType(1, 2, 2, 16, {44100, 48000})},
       {{8, 44100, 16, 0x63F}, {8, 48000, 16, 0x63F}}},
      {"render keeps the rates its 200-byte endpoint carries",
       true,
       {AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 96000})},
       {{8, 48000, 16, 0x63F}},
       200},
      {"render takes only stereo formats",
       true,
       {AsGeneral(1), FormatType(1, 1, 2, 16, {48000}), FormatType(1, 2, 3, 24, {48000})},
       {{8, 48000, 24, 0x63F}}},
      {"no bytes per sample, or more than four, is left out",
       true,
       {AsGeneral(1), FormatType(1, 2, 0, 16, {48000}), FormatType(1, 2, 5, 40, {48000}),
        FormatType(1, 2, 4, 32, {48000})},
       {{8, 48000, 32, 0x63F}}},
      {"capture mono continuous 16000-48000, then again without a layout",
       false,
       {general, ContinuousFormatType(1, 1, 2, 16, 16000, 48000)},
       {{1, 16000, 16, 4}, {1, 22050, 16, 4}, {1, 32000, 16, 4}, {1, 44100, 16, 4}, {1, 48000, 16, 4},
        {1, 16000, 16, 0}, {1, 22050, 16, 0}, {1, 32000, 16, 0}, {1, 44100, 16, 0}, {1, 48000, 16, 0}}},
      {"capture stereo 24-bit",
       false,
       {general, FormatType(1, 2, 3, 24, {96000})},
       {{2, 96000, 24, 3}, {2, 96000, 24, 0}}},
      {"capture with three channels has no layout either way",
       false,
       {general, FormatType(1, 3, 2, 16, {48000})},
       {{3, 48000, 16, 0}, {3, 48000, 16, 0}}},
      {"capture without channels or above eight, and a rate of 0, are left out",
       false,
       {general, FormatType(1, 0, 2, 16, {48000}), FormatType(1, 9, 2, 16, {48000}),
        FormatType(1, 8, 2, 16, {0, 48000})},
       {{8, 48000, 16, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(StartWith(c.render ? RenderDeviceWith(c.streaming, c.maxPacket)
                                 : CaptureDeviceWith(c.streaming, c.maxPacket)),
              STATUS_SUCCESS);
    CUsbStreamEngine* engine = Engine(0);
    ASSERT_NE(engine, nullptr);
    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(engine);
    ASSERT_EQ(formats.size(), c.formats.size());
    for (size_t i = 0; i < formats.size(); ++i) {
      const WAVEFORMATEXTENSIBLE& f = formats[i];
      EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
      EXPECT_EQ(f.Format.nChannels, c.formats[i].channels);
      EXPECT_EQ(f.Format.nSamplesPerSec, c.formats[i].rate);
      EXPECT_EQ(f.Format.wBitsPerSample, c.formats[i].bits);
      EXPECT_EQ(f.Format.nBlockAlign, c.formats[i].channels * c.formats[i].bits / 8);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nBlockAlign * c.formats[i].rate);
      EXPECT_EQ(f.Format.cbSize, 22);
      EXPECT_EQ(f.Samples.wValidBitsPerSample, c.formats[i].bits);
      EXPECT_EQ(f.dwChannelMask, c.formats[i].mask);
      EXPECT_TRUE(IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
      UCHAR alternate = 0;
      EXPECT_EQ(engine->FindAlternateSetting(&f, &alternate), STATUS_SUCCESS);
      EXPECT_EQ(alternate, 1);
    }
    Unplug();
  }
}

TEST_F(DescriptorParseTest, AlternateSettingsWhoseEndpointCannotStreamAreLeftOut) {
  // Alternate setting 1 carries 48000 Hz stereo 16-bit (192 bytes a
  // millisecond) over the endpoint of the case; alternate setting 2 carries
  // 44100 Hz over a good one and is always offered.
  struct Case {
    const char* name;
    bool render;
    uint8_t address, attributes;
    uint16_t maxPacketSize;
    bool offered;
  };
  constexpr uint8_t kIsoAdaptive = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE;
  const Case cases[] = {
      {"room for exactly one millisecond", true, 0x01, kIsoAdaptive, 192, true},
      {"wMaxPacketSize 0", true, 0x01, kIsoAdaptive, 0, false},
      {"one frame short", true, 0x01, kIsoAdaptive, 188, false},
      {"two transactions a microframe count", true, 0x01, kIsoAdaptive, 0x0800 | 96, true},
      {"bulk", true, 0x01, USB_ENDPOINT_TYPE_BULK, 192, false},
      {"interrupt", true, 0x01, USB_ENDPOINT_TYPE_INTERRUPT, 192, false},
      {"a render setting with an IN endpoint", true, 0x81, kIsoAdaptive, 192, false},
      {"a feedback endpoint first", true, 0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | 0x10, 192, false},
      {"capture with an OUT endpoint", false, 0x01, 0x05, 192, false},
      {"capture that fits", false, 0x81, 0x05, 192, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ConfigBuilder b;
    b.Interface(0, 0, 0, 1, 1).AcHeader({1});
    if (c.render) {
      b.InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3).OutputTerminal(3, 0x0301, 1);
    } else {
      b.InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 2, 0x3).OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 1);
    }
    const uint8_t link = c.render ? 1 : 3, good = c.render ? 0x01 : 0x81;
    b.Interface(1, 0, 0, 1, 2)
        .Interface(1, 1, 1, 1, 2)
        .AsGeneral(link, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000})
        .Endpoint(c.address, c.attributes, c.maxPacketSize, 1)
        .Interface(1, 2, 1, 1, 2)
        .AsGeneral(link, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {44100})
        .Endpoint(good, c.render ? kIsoAdaptive : 0x05, 180, 1);
    ASSERT_EQ(StartWith(MakeSet(b.Build())), STATUS_SUCCESS);
    std::vector<ULONG> rates;
    for (const WAVEFORMATEXTENSIBLE& f : Formats(Engine(0))) rates.push_back(f.Format.nSamplesPerSec);
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    const std::vector<ULONG> expected = c.offered ? std::vector<ULONG>{44100, 48000} : std::vector<ULONG>{44100};
    EXPECT_EQ(rates, expected);
    Unplug();
  }
}

TEST_F(DescriptorParseTest, TypeThreeStreamsAreOfferedAsIec61937WhenTheTagAllowsIt) {
  ASSERT_EQ(StartWith(RenderDeviceWith({AsGeneral(1, USB_AUDIO_FORMAT_IEC1937_AC3), FormatType(3, 2, 2, 16, {48000})})),
            STATUS_SUCCESS);
  std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(Engine(0));
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_TRUE(IsEqualGUIDAligned(formats[0].SubFormat, kAc3));
  EXPECT_TRUE(IsEqualGUIDAligned(formats[1].SubFormat, kWmaPro));
  for (const auto& f : formats) EXPECT_EQ(f.Format.nSamplesPerSec, 48000u);
}

TEST_F(DescriptorParseTest, StreamingInterfacesThisProductCannotUseAreRefused) {
  struct Case {
    const char* name;
    bool render;
    std::vector<Bytes> streaming;
    NTSTATUS status;
    uint16_t maxPacket = 1023;
  };
  // The product's own rules come before its endpoint's: an endpoint too
  // small for every rate does not hide them.
  const Case cases[] = {
      {"render rates all below 44100", true, {AsGeneral(1), FormatType(1, 2, 2, 16, {16000, 32000})},
       STATUS_UNSUCCESSFUL},
      {"render rates all below 44100 on an endpoint too small for them", true,
       {AsGeneral(1), FormatType(1, 2, 2, 16, {16000, 32000})}, STATUS_UNSUCCESSFUL, 40},
      {"a continuous range above 96000", false, {AsGeneral(3), ContinuousFormatType(1, 1, 2, 16, 8000, 192000)},
       STATUS_INVALID_PARAMETER},
      {"type III with a tag that is no IEC 61937 stream", true,
       {AsGeneral(1, USB_AUDIO_FORMAT_AC3), FormatType(3, 2, 2, 16, {48000})}, STATUS_UNSUCCESSFUL},
      {"a format type before AS_GENERAL", true, {FormatType(1, 2, 2, 16, {48000}), AsGeneral(1)},
       STATUS_INVALID_PARAMETER},
      {"format type II", true, {AsGeneral(1), FormatType(2, 2, 2, 16, {48000})}, STATUS_INVALID_PARAMETER},
      {"format type II on an endpoint too small for it", true, {AsGeneral(1), FormatType(2, 2, 2, 16, {48000})},
       STATUS_INVALID_PARAMETER, 100},
      {"a terminal link naming a feature unit", true, {AsGeneral(2), FormatType(1, 2, 2, 16, {48000})},
       STATUS_INVALID_PARAMETER},
      {"a terminal link naming nothing", true, {AsGeneral(9), FormatType(1, 2, 2, 16, {48000})}, STATUS_UNSUCCESSFUL},
      {"an AS_GENERAL shorter than its fields", true, {Bytes{5, 0x24, 1, 1, 1}}, STATUS_UNSUCCESSFUL},
      {"a FORMAT_TYPE shorter than its fields", true, {AsGeneral(1), Bytes{6, 0x24, 2, 1, 2, 2}},
       STATUS_UNSUCCESSFUL},
      {"a continuous FORMAT_TYPE without its upper bound", true,
       {AsGeneral(1), Bytes{11, 0x24, 2, 1, 2, 2, 16, 0, 0x44, 0xAC, 0x00}}, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StartWith(c.render ? RenderDeviceWith(c.streaming, c.maxPacket)
                                 : CaptureDeviceWith(c.streaming, c.maxPacket)),
              c.status);
    EXPECT_EQ(DeviceObject(), nullptr);
    EXPECT_STREQ(Extension()->StartRefusal.step, "UsbParseAudioStreamInterface");
    Unplug();
  }
}

// ---- AudioControl ------------------------------------------------------------------------------

TEST_F(DescriptorParseTest, UnitsOfKindsThisProductDoesNotSupportRefuseTheDevice) {
  sim::ConfigBuilder extension;
  extension.Interface(0, 0, 0, 1, 1)
      .AcHeader({})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .ExtensionUnit(2, 0x1234, {1}, 2, 0x3, {0x01})
      .OutputTerminal(3, 0x0301, 2);
  sim::ConfigBuilder shortUnit;
  shortUnit.Interface(0, 0, 0, 1, 1).AcHeader({}).Raw({3, 0x24, USB_AUDIO_AC_INPUT_TERMINAL});
  for (const sim::DescriptorSet& set : {ProcessingUnitDevice(), MakeSet(extension.Build()), MakeSet(shortUnit.Build())}) {
    EXPECT_EQ(StartWith(set), STATUS_UNSUCCESSFUL);
    EXPECT_STREQ(Extension()->StartRefusal.step, "UsbParseAudioControlInterface");
    Unplug();
  }
}

TEST_F(DescriptorParseTest, UnitsAreConnectedWhateverTheOrderUpToNineSources) {
  // OT 1 <- FU 2 <- IT 3, described downstream first; selectors with nine
  // and ten inputs over ten input terminals (ids 10-19).
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({})
      .OutputTerminal(1, 0x0301, 2)
      .FeatureUnit(2, 3, 1, {1})
      .InputTerminal(3, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0);
  std::vector<uint8_t> inputs;
  for (uint8_t id = 10; id < 20; ++id) {
    c.InputTerminal(id, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0);
    inputs.push_back(id);
  }
  c.SelectorUnit(30, std::vector<uint8_t>(inputs.begin(), inputs.begin() + 9)).SelectorUnit(31, inputs);
  ASSERT_EQ(StartWith(MakeSet(c.Build())), STATUS_SUCCESS);
  // Nodes: OT pin 0, mute 1, IT pin 2, IT pins 3-12, selectors 13 and 14.
  EXPECT_EQ(Sources(0), (std::vector<ULONG>{1}));
  EXPECT_EQ(Sources(1), (std::vector<ULONG>{2}));
  EXPECT_EQ(Sources(13), (std::vector<ULONG>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
  // Ten sources are more than the parser connects.
  const std::vector<ULONG> tenPins = {3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(Sources(14).size(), 10u);
  EXPECT_NE(Sources(14), tenPins);
}

// ---- Post-steps ----------------------------------------------------------------------------------

TEST_F(DescriptorParseTest, CaptureBeforeVistaGetsAPassThroughSelectorInFrontOfItsOutput) {
  sim::ConfigBuilder bare;
  bare.Interface(0, 0, 0, 1, 1)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .OutputTerminal(2, USB_AUDIO_TERMINAL_USB_STREAMING, 1)
      .Interface(1, 0, 0, 1, 2)
      .Interface(1, 1, 1, 1, 2)
      .AsGeneral(2, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(1, 1, 2, 16, {48000})
      .Endpoint(0x81, 0x05, 100, 1);
  struct Case {
    const char* name;
    sim::DescriptorSet set;
    ULONG system;
    std::vector<ULONG> pinSources;
    std::vector<ULONG> attached;
    ULONG selectorSource;  // of the pass-through selector 3, when there is one
  };
  const std::vector<Bytes> withMute = {AsGeneral(3), FormatType(1, 1, 2, 16, {48000})};
  const Case cases[] = {
      // IT pin 0, OT pin 1; the mute 2 (and the selector 3).
      {"bare terminals, XP", MakeSet(bare.Build()), NTDDI_WINXPSP3, {3}, {1, 0, 2, 3}, 2},
      {"bare terminals, Vista", MakeSet(bare.Build()), NTDDI_VISTA, {2}, {1, 0, 2}, 0},
      // IT pin 0, mute 1, OT pin 2; the selector 3.
      {"a feature unit between, XP", CaptureDeviceWith(withMute), NTDDI_WINXPSP3, {3}, {2, 1, 0, 3}, 1},
      {"a feature unit between, Windows 7", CaptureDeviceWith(withMute), NTDDI_WIN7, {1}, {2, 1, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::version::SetSystem(c.system);
    ASSERT_EQ(StartWith(c.set), STATUS_SUCCESS);
    CUsbStreamEngine* engine = Engine(0);
    ITopoNode* pin = nullptr;
    ASSERT_EQ(engine->GetAttachedNode(0, &pin), STATUS_SUCCESS);
    EXPECT_EQ(Sources(pin->GetId()), c.pinSources);
    EXPECT_EQ(AttachedNodeIds(engine), c.attached);
    if (c.attached.size() == 4) {
      ITopoNode* selector = nullptr;
      ASSERT_EQ(Hal()->GetNode(3, &selector), STATUS_SUCCESS);
      EXPECT_EQ(selector->GetType(), NODE_TYPE_SELECTOR);
      EXPECT_EQ(Sources(3), (std::vector<ULONG>{c.selectorSource}));
    }
    Unplug();
  }
}

TEST_F(DescriptorParseTest, OutputTypeChangesReachTheNodesUpstreamOfTheTerminal) {
  // IT 1 -> FU 2 (mute and volume on four channels) -> OT 3 speaker or
  // headphones: nodes IT pin 0, mute 1, volume 2, pins 3 and 4, type node 5.
  // Beside it, OT 6 with types fed by two feature units that feed each
  // other: its wiring must end where the loop closes.
  const uint32_t both = 0x3;
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 4, 0x33)
      .FeatureUnit(2, 1, 1, {0, both, both, both, both})
      .OutputTerminal(3, 0x0301, 2)
      .FeatureUnit(7, 8, 1, {1})
      .FeatureUnit(8, 7, 1, {1})
      .OutputTerminal(6, 0x0301, 8)
      .Interface(1, 0, 0, 1, 2)
      .Interface(1, 1, 1, 1, 2)
      .AsGeneral(1, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(1, 2, 2, 16, {48000})
      .Endpoint(0x01, 0x01, 196, 1);
  sim::DeviceProfile profile = PlainProfile();
  profile.answersVendorRequests = true;
  for (uint8_t terminal : {3, 6}) profile.terminals[terminal].outputTypes = {{0x0301, {}}, {0x0302, {}}};
  ASSERT_EQ(StartWith(MakeSet(c.Build()), profile), STATUS_SUCCESS);

  auto channels = [&](ULONG nodeId, REFIID iid) {
    ITopoNode* node = nullptr;
    Hal()->GetNode(nodeId, &node);
    ULONG count = 0;
    if (IsEqualGUIDAligned(iid, IID_ISwitchNode)) {
      ISwitchNode* s = nullptr;
      node->QueryInterface(iid, reinterpret_cast<PVOID*>(&s));
      s->GetChannelCount(&count);
      s->Release();
    } else {
      ILevelNode* l = nullptr;
      node->QueryInterface(iid, reinterpret_cast<PVOID*>(&l));
      l->GetChannelCount(&count);
      l->Release();
    }
    return count;
  };
  // Speakers show every channel; headphones at most two.
  EXPECT_EQ(channels(1, IID_ISwitchNode), 4u);
  EXPECT_EQ(channels(2, IID_ILevelNode), 4u);
  ITopoNode* typeNode = nullptr;
  ASSERT_EQ(Hal()->GetNode(5, &typeNode), STATUS_SUCCESS);
  ASSERT_EQ(typeNode->GetType(), NODE_TYPE_OUTPUT_TYPE);
  IOutputTypeNode* type = nullptr;
  ASSERT_EQ(typeNode->QueryInterface(IID_IOutputTypeNode, reinterpret_cast<PVOID*>(&type)), STATUS_SUCCESS);
  EXPECT_EQ(type->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_EQ(channels(1, IID_ISwitchNode), 2u);
  EXPECT_EQ(channels(2, IID_ILevelNode), 2u);
  EXPECT_EQ(type->SelectType(PIN_CATEGORY_SPK), STATUS_SUCCESS);
  EXPECT_EQ(channels(2, IID_ILevelNode), 4u);
  type->Release();
  // The engine carries the switch and takes its category from it.
  EXPECT_EQ(AttachedNodeIds(Engine(0)), (std::vector<ULONG>{3, 2, 1, 0, 4, 5}));
  EXPECT_EQ(Engine(0)->GetPinCategory(), PIN_CATEGORY_SPK);
}

}  // namespace
