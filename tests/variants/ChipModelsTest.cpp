// The 7746 and 7762 chips' hardware models on simulated devices: their
// capability records, the unit classes their parsers choose, what they
// leave out of the generic model, and the order of their configuration.
#include <gtest/gtest.h>

#include <memory>
#include <typeinfo>

#include "sim/device/ChipDevices.h"
#include "sim/device/DescriptorBuilder.h"
#include "streaming/CUac1Render.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"
#include "topology/CUac1Terminal.h"
#include "usb/usbaudio.h"
#include "variants/CChipAudioHals.h"
#include "variants/CChipTerminals.h"
#include "variants/CFixedRangeFeatureUnits.h"

namespace {

using namespace haltest;

constexpr uint32_t kMute = 1u << (USB_AUDIO_FU_MUTE_CONTROL - 1);

// IT 1 -> FU a -> FU b -> ... -> OT `terminal` of `terminalType`.
sim::DescriptorSet FeatureChain(const std::vector<uint8_t>& units, uint8_t terminal = 3,
                                uint16_t terminalType = USB_AUDIO_TERMINAL_SPEAKER, uint16_t vendor = 0x0D8C) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1).AcHeader({}).InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3);
  uint8_t source = 1;
  for (uint8_t id : units) {
    c.FeatureUnit(id, source, 1, {kMute});
    source = id;
  }
  c.OutputTerminal(terminal, terminalType, source);
  return MakeSet(c.Build(), vendor);
}

class ChipModelsTest : public testsupport::KernelTest {
 protected:
  static std::string UnitClass(ModelBench& bench, UCHAR id) {
    ITopoNode* unit = nullptr;
    if (!NT_SUCCESS(bench.Model()->FindUnitById(id, &unit))) return "none";
    const CUacUnit* object = CUacUnit::FromUnitNode(unit);
    return typeid(*object).name();
  }
  template <typename T>
  static std::string Name() {
    return typeid(T).name();
  }
};

TEST_F(ChipModelsTest, CapabilityRecordsArePerChipAndDevice) {
  struct Case {
    const char* name;
    AudioHalFactory factory;
    uint16_t vendor, product;
    ULONG mask, value;
  };
  const Case cases[] = {
      {"7746", C7746AudioHal::Create, 0x0D8C, 0x0170, 0x3FE02F, 12},
      {"7746 of the vendor with its own 7762 mask", C7746AudioHal::Create, 0x1B1C, 0x0A06, 0x3FE02F, 12},
      {"7762", C7762AudioHal::Create, 0x0D8C, 0x0162, 0x0F, 0},
      {"7762 of the one product with its own mask", C7762AudioHal::Create, 0x1B1C, 0x0A06, 0x24, 0},
      {"7762 of the vendor's other product", C7762AudioHal::Create, 0x1B1C, 0x0A04, 0x0F, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModelBench bench(StereoHeadset({0, 0, 0}, c.vendor, c.product), PlainProfile(), c.factory);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    DeviceCapsRecord caps{};
    ASSERT_EQ(bench.Hal()->GetChannelCaps(STREAM_DIRECTION_RENDER, PIN_CATEGORY_HP, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.CapabilityMask, c.mask);
    EXPECT_EQ(caps.ModelValue, c.value);
    EXPECT_EQ(caps.Flags, 0u);
    // The models keep the generic model's streams and formats.
    EXPECT_EQ(bench.Hal()->GetStreamEngineCount(), 2u);
    // Their own unknown answers IAudioHal and the power interface, not
    // IUsbAudioHal.
    PUNKNOWN inner = bench.Model()->GetInnerUnknown();
    PVOID object = nullptr;
    EXPECT_EQ(inner->QueryInterface(IID_IUsbAudioHal, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
    for (const GUID* iid : {&IID_IAudioHal, &IID_IAdapterPowerManagement}) {
      ASSERT_EQ(inner->QueryInterface(*iid, &object), STATUS_SUCCESS);
      static_cast<IUnknown*>(object)->Release();
    }
  }
}

TEST_F(ChipModelsTest, ParsersChooseFeatureUnitClassesByUnitId) {
  const std::vector<uint8_t> ids = {9, 10, 11, 12, 13, 14, 15};
  {
    ModelBench bench(FeatureChain(ids), PlainProfile(), C7746AudioHal::Create);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    EXPECT_EQ(UnitClass(bench, 9), Name<C7746FeatureUnit9>());
    for (UCHAR id : {10, 11, 12}) EXPECT_EQ(UnitClass(bench, id), Name<C7746FeatureUnit10>()) << int(id);
    for (UCHAR id : {13, 14}) EXPECT_EQ(UnitClass(bench, id), Name<C7746FeatureUnit13>()) << int(id);
    EXPECT_EQ(UnitClass(bench, 15), Name<CUac1FeatureUnit>());
    EXPECT_EQ(UnitClass(bench, 1), Name<C7746InputTerminal>());
    EXPECT_EQ(UnitClass(bench, 3), Name<C7746OutputTerminal>());
  }
  {
    ModelBench bench(FeatureChain(ids), PlainProfile(), C7762AudioHal::Create);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    EXPECT_EQ(UnitClass(bench, 9), Name<C7762FeatureUnit9>());
    EXPECT_EQ(UnitClass(bench, 10), Name<C7762FeatureUnit10>());
    EXPECT_EQ(UnitClass(bench, 13), Name<C7762FeatureUnit13>());
    for (UCHAR id : {11, 12, 14, 15}) EXPECT_EQ(UnitClass(bench, id), Name<CUac1FeatureUnit>()) << int(id);
    EXPECT_EQ(UnitClass(bench, 1), Name<C7762InputTerminal>());
    EXPECT_EQ(UnitClass(bench, 3), Name<C7762OutputTerminal>());
  }
}

// The chips' terminals build their pins without asking the device: one
// type, the terminal's own, no jacks.
TEST_F(ChipModelsTest, TerminalsAskTheDeviceNothing) {
  sim::DeviceProfile profile = PlainProfile();
  profile.answersVendorRequests = true;
  ModelBench bench(FeatureChain({9}, 3, USB_AUDIO_TERMINAL_HEADSET), profile, C7746AudioHal::Create);
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  for (const sim::RequestRecord& r : bench.Device().Requests())
    EXPECT_NE(r.setup.bmRequestType & 0x60, 0x40) << "vendor request " << int(r.setup.bRequest);
  ITopoNode* unit = nullptr;
  ASSERT_EQ(bench.Model()->FindUnitById(3, &unit), STATUS_SUCCESS);
  ITerminal* terminal = nullptr;
  ASSERT_EQ(unit->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)), STATUS_SUCCESS);
  ULONG types = 0, jacks = 7;
  PinCategory category = 0;
  EXPECT_EQ(terminal->GetTypeCount(&types), STATUS_SUCCESS);
  EXPECT_EQ(types, 1u);
  EXPECT_EQ(terminal->GetCategory(&category), STATUS_SUCCESS);
  EXPECT_EQ(category, PIN_CATEGORY_HEADSET);
  EXPECT_EQ(terminal->GetJackCount(&jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks, 0u);
  terminal->Release();
}

// The 7762 announces one vendor's speaker terminal 6 as headphones; the
// generic model's terminal 16 and layout check are not the chips'.
TEST_F(ChipModelsTest, OnlyThe7762RewritesItsVendorsSpeakerTerminal) {
  struct Case {
    const char* name;
    AudioHalFactory factory;
    uint8_t terminal;
    uint16_t vendor;
    uint16_t type;
  };
  const Case cases[] = {
      {"7762, the vendor's terminal 6", C7762AudioHal::Create, 6, 0x1B1C, USB_AUDIO_TERMINAL_HEADPHONES},
      {"7762, another vendor", C7762AudioHal::Create, 6, 0x0D8C, USB_AUDIO_TERMINAL_SPEAKER},
      {"7762, the vendor's terminal 16", C7762AudioHal::Create, 16, 0x1B1C, USB_AUDIO_TERMINAL_SPEAKER},
      {"7746, the vendor's terminal 16", C7746AudioHal::Create, 16, 0x1B1C, USB_AUDIO_TERMINAL_SPEAKER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = FeatureChain({9}, c.terminal, USB_AUDIO_TERMINAL_SPEAKER, c.vendor);
    // The generic model's layout check would refuse this product.
    set.device[10] = 0x04;
    set.device[11] = 0x0A;
    ModelBench bench(set, PlainProfile(), c.factory);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    ITopoNode* unit = nullptr;
    ASSERT_EQ(bench.Model()->FindUnitById(c.terminal, &unit), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<CUac1Terminal*>(CUacUnit::FromUnitNode(unit))->TerminalType(), c.type);
  }
}

// A test 7746 that counts its hardware-state restores.
class Counting7746 : public C7746AudioHal {
 public:
  using C7746AudioHal::C7746AudioHal;
  static NTSTATUS Create(PUNKNOWN* inner, PUNKNOWN outer, USHORT vendorId, USHORT productId) {
    return CreateModel<Counting7746>(inner, outer, vendorId, productId, C7746_HAL_TAG);
  }
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override {
    ++restores;
    return STATUS_SUCCESS;
  }
  static inline int restores = 0;
};

TEST_F(ChipModelsTest, HardwareStateIsRestoredOnlyAfterBothParses) {
  struct Case {
    const char* name;
    sim::DescriptorSet set;
    bool configures;
  };
  const Case cases[] = {
      {"both parses succeed", StereoHeadset({0, 0, 0}), true},
      {"the AudioControl parse fails", ProcessingUnitDevice(), false},
      {"the AudioStreaming parse fails", RenderDeviceWith({FormatType(1, 2, 2, 16, {48000}), AsGeneral(1)}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Counting7746::restores = 0;
    ModelBench bench(c.set, PlainProfile(), Counting7746::Create);
    EXPECT_EQ(NT_SUCCESS(bench.Init()), c.configures);
    EXPECT_EQ(Counting7746::restores, c.configures ? 1 : 0);
  }
}

// ---- TQ4187 ------------------------------------------------------------------------------------

TEST_F(ChipModelsTest, Tq4187ProfilesFollowTheChipsRelease) {
  struct Case {
    const char* name;
    int profile;
    uint16_t vendor, product;
    ULONG mask, value, flags;
  };
  const Case cases[] = {
      {"first profile", 1, sim::tq4187::kVendorId, sim::tq4187::kProductId, 0x3E1084, 0, 0x40},
      {"first profile of the one product with its own record", 1, 0x17EF, 0x6073, 0x3E0084, 0, 0x41},
      {"second profile", 2, sim::tq4187::kVendorId, sim::tq4187::kProductId, 0x20006, 8, 0},
      {"second profile of that product", 2, 0x17EF, 0x6073, 0x20006, 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = sim::tq4187::Descriptors(c.profile);
    set.device[8] = static_cast<uint8_t>(c.vendor);
    set.device[9] = static_cast<uint8_t>(c.vendor >> 8);
    set.device[10] = static_cast<uint8_t>(c.product);
    set.device[11] = static_cast<uint8_t>(c.product >> 8);
    ModelBench bench(set, sim::tq4187::Profile(), CTQ4187AudioHal::Create);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<CTQ4187AudioHal*>(bench.Model())->Profile(), ULONG(c.profile));
    DeviceCapsRecord caps{};
    ASSERT_EQ(bench.Hal()->GetChannelCaps(STREAM_DIRECTION_RENDER, PIN_CATEGORY_HP, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.CapabilityMask, c.mask);
    EXPECT_EQ(caps.ModelValue, c.value);
    EXPECT_EQ(caps.Flags, c.flags);
    PVOID object = nullptr;
    EXPECT_EQ(bench.Model()->GetInnerUnknown()->QueryInterface(IID_IUsbAudioHal, &object), STATUS_INVALID_PARAMETER);
  }
}

// Render formats are 7.1 whatever the interface carries; capture keeps the
// generic model's formats.
TEST_F(ChipModelsTest, Tq4187AnnouncesRenderAsSevenPointOne) {
  ModelBench bench(sim::tq4187::Descriptors(1), sim::tq4187::Profile(), CTQ4187AudioHal::Create);
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  ASSERT_EQ(bench.Hal()->GetStreamEngineCount(), 2u);
  IStreamEngine* render = nullptr;
  IStreamEngine* capture = nullptr;
  ASSERT_EQ(bench.Hal()->GetStreamEngine(0, &render), STATUS_SUCCESS);
  ASSERT_EQ(bench.Hal()->GetStreamEngine(1, &capture), STATUS_SUCCESS);
  EXPECT_EQ(typeid(*static_cast<CUsbStreamEngine*>(render)), typeid(CTQ4187Render));
  ASSERT_EQ(render->GetFormatCount(), 2u);
  for (ULONG i = 0; i < 2; ++i) {
    WAVEFORMATEXTENSIBLE f{};
    ASSERT_EQ(render->GetFormat(i, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, 8);
    EXPECT_EQ(f.dwChannelMask, 0x63Fu);
    EXPECT_EQ(f.Format.nBlockAlign, 16);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nSamplesPerSec * 16);
  }
  // Mono capture: each rate with the centre channel, then without a layout.
  std::vector<std::pair<ULONG, DWORD>> formats;
  for (ULONG i = 0; i < capture->GetFormatCount(); ++i) {
    WAVEFORMATEXTENSIBLE f{};
    ASSERT_EQ(capture->GetFormat(i, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, 1);
    formats.emplace_back(f.Format.nSamplesPerSec, f.dwChannelMask);
  }
  EXPECT_EQ(formats, (std::vector<std::pair<ULONG, DWORD>>{{48000, 0x4}, {16000, 0x4}, {48000, 0}, {16000, 0}}));
}

TEST_F(ChipModelsTest, Tq4187FeatureUnitWithoutMuteFailsTheParse) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .FeatureUnit(2, 1, 1, {1u << (USB_AUDIO_FU_VOLUME_CONTROL - 1)})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_HEADPHONES, 2);
  ModelBench bench(MakeSet(c.Build()), sim::tq4187::Profile(), CTQ4187AudioHal::Create);
  EXPECT_EQ(bench.Init(), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
