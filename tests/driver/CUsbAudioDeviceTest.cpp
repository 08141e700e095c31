#include <string>
#include <vector>

#include "kernel/format.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/support/TestAdapter.h"
#include "usb/usbdlib.h"

namespace {

using drivertest::DriverHarness;
using drivertest::Join;
using drivertest::RunOnSystemThread;
using testsupport::TestAudioHal;
using testsupport::TestHalConfig;

constexpr size_t kVendorOffset = 8;
constexpr size_t kProductOffset = 10;
constexpr size_t kManufacturerIndexOffset = 14;

sim::DescriptorSet HeadsetWithIds(uint16_t vendor, uint16_t product) {
  sim::DescriptorSet set = sim::headset::Descriptors();
  set.device[kVendorOffset] = vendor & 0xFF;
  set.device[kVendorOffset + 1] = vendor >> 8;
  set.device[kProductOffset] = product & 0xFF;
  set.device[kProductOffset + 1] = product >> 8;
  return set;
}

// The AudioControl interface's bInterfaceProtocol.
void SetControlProtocol(sim::DescriptorSet& set, uint8_t protocol) {
  sim::Bytes& c = set.configurations[0];
  for (size_t i = 0; i + 8 < c.size() && c[i] >= 2; i += c[i])
    if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[i + 5] == 1 && c[i + 6] == 1) c[i + 7] = protocol;
}

std::u16string InstanceKey(uint16_t vendor, uint16_t product) {
  char text[64];
  std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X\\", vendor, product);
  return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + platform::Widen(text) +
         platform::usb::HubPortConfig{}.instanceId;
}

// A REG_SZ value of the device's instance key, terminator included; empty
// when there is none.
std::u16string DeviceKeyString(uint16_t vendor, uint16_t product, const char16_t* name, size_t* bytes = nullptr) {
  ULONG type = 0;
  std::vector<UCHAR> data;
  if (!platform::registry::GetValue(InstanceKey(vendor, product), name, &type, &data)) return {};
  EXPECT_EQ(type, REG_SZ);
  if (bytes) *bytes = data.size();
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), text.size() * 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

class CUsbAudioDeviceTest : public DriverHarness {
 protected:
  // A GET_DESCRIPTOR request through the device object's synchronous path.
  NTSTATUS GetDescriptor(UCHAR type, UCHAR index, ULONG length = 18) {
    URB urb{};
    m_Buffer.assign(length, 0);
    UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, m_Buffer.data(), nullptr,
                                 length, nullptr);
    return DeviceObject()->SubmitUrb(&urb);
  }
  std::vector<UCHAR> m_Buffer;
};

// ---- The synchronous request path -----------------------------------------------------

TEST_F(CUsbAudioDeviceTest, SubmitUrbRefusesAnAbsentDeviceWithoutReachingTheStack) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Device().ClearRequests();
  DeviceObject()->SetDevicePresent(FALSE);
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Device().Requests().empty());
  EXPECT_EQ(DeviceObject()->GetOutstandingCount(), 1);
}

TEST_F(CUsbAudioDeviceTest, DeviceNotConnectedMarksTheDeviceGoneForLaterRequests) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Port().Unplug();
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(DeviceObject()->IsDevicePresent());
  Device().ClearRequests();
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Device().Requests().empty());
  EXPECT_EQ(DeviceObject()->GetOutstandingCount(), 1);
}

TEST_F(CUsbAudioDeviceTest, RequestTheDeviceNeverAnswersIsCancelledAfter500ms) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Device().AddFault({sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE), sim::FaultAction::Timeout});
  const size_t irps = platform::io::OutstandingIrps();
  const LONGLONG began = platform::clock::Now();
  NTSTATUS status = STATUS_PENDING;
  LONGLONG ended = 0;
  PKTHREAD thread = RunOnSystemThread([&] {
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 64);
    ended = platform::clock::Now();
  });
  platform::clock::AdvanceMs(499);
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(DeviceObject()->GetOutstandingCount(), 2);
  platform::clock::AdvanceMs(1);
  Join(thread);
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(ended - began, 500 * 10000);
  EXPECT_EQ(platform::io::OutstandingIrps(), irps);
  EXPECT_EQ(DeviceObject()->GetOutstandingCount(), 1);
  EXPECT_TRUE(DeviceObject()->IsDevicePresent());
}

// ---- The hardware model ----------------------------------------------------------------

struct FactoryCalls {
  static inline int k784 = 0;
  static inline int c7719 = 0;
  static NTSTATUS K784(PUNKNOWN* inner, PUNKNOWN outer, USHORT vendor, USHORT product) {
    ++k784;
    return TestAudioHal::Create(inner, outer, vendor, product);
  }
  static NTSTATUS C7719(PUNKNOWN* inner, PUNKNOWN outer, USHORT vendor, USHORT product) {
    ++c7719;
    return TestAudioHal::Create(inner, outer, vendor, product);
  }
};

TEST_F(CUsbAudioDeviceTest, ModelIsChosenByVendorAndProduct) {
  struct Case {
    uint16_t vendor, product;
    bool k784;
  };
  for (const Case& c : {Case{0x5E1F, 0xB9E4, true}, Case{0x5E1F, 0xB9E5, false}, Case{0x1209, 0x0001, false}}) {
    SCOPED_TRACE(c.product);
    FactoryCalls::k784 = FactoryCalls::c7719 = 0;
    CHeadsetUsbDevice::SetAudioHalFactories({FactoryCalls::K784, FactoryCalls::C7719});
    Plug(HeadsetWithIds(c.vendor, c.product));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(FactoryCalls::k784, c.k784 ? 1 : 0);
    EXPECT_EQ(FactoryCalls::c7719, c.k784 ? 0 : 1);
    EXPECT_EQ(Model()->idVendor, c.vendor);
    EXPECT_EQ(Model()->idProduct, c.product);
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
  }
}

TEST_F(CUsbAudioDeviceTest, AudioClassOtherThanOneFailsTheStart) {
  sim::DescriptorSet set = sim::headset::Descriptors();
  SetControlProtocol(set, 0x20);
  Plug(set);
  EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(TestAudioHal::Models().empty());
}

TEST_F(CUsbAudioDeviceTest, NoModelInstalledFailsTheStart) {
  CHeadsetUsbDevice::SetAudioHalFactories({nullptr, nullptr});
  EXPECT_EQ(Start(), STATUS_NOT_IMPLEMENTED);
}

TEST_F(CUsbAudioDeviceTest, UsbAudioHalIsTheModelsAndOnlyWhenItAnswersIt) {
  for (bool answers : {true, false}) {
    SCOPED_TRACE(answers);
    TestHalConfig config;
    config.engines = {testsupport::RenderEngine(PIN_CATEGORY_HEADSET)};
    config.answersUsbAudioHal = answers;
    UseModel(config);
    Plug();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PVOID object = reinterpret_cast<PVOID>(1);
    NTSTATUS status = DeviceObject()->QueryInterface(IID_IUsbAudioHal, &object);
    if (answers) {
      ASSERT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(object, static_cast<IUsbAudioHal*>(Model()));
      static_cast<IUsbAudioHal*>(object)->Release();
    } else {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(object, nullptr);
    }
    // The units reach the device object through the model.
    object = nullptr;
    ASSERT_EQ(static_cast<IAudioHal*>(Model())->QueryInterface(IID_IUsbDevice, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IUsbDevice*>(DeviceObject()));
    static_cast<IUsbDevice*>(object)->Release();

    // Cached model interfaces hold no reference: removal destroys both.
    TestAudioHal* model = Model();
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(TestAudioHal::IsAlive(model));
    for (const auto& usage : platform::pool::Outstanding()) {
      EXPECT_NE(usage.tag, USB_AUDIO_DEVICE_TAG);
      EXPECT_NE(usage.tag, testsupport::TEST_AUDIO_HAL_TAG);
    }
  }
}

TEST_F(CUsbAudioDeviceTest, ComponentIdIsFormedFromTheUsbIds) {
  Plug(HeadsetWithIds(0x5E1F, 0xB9E4));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  KSCOMPONENTID id;
  std::memset(&id, 0xAB, sizeof(id));
  ASSERT_EQ(DeviceObject()->GetComponentId(&id), STATUS_SUCCESS);
  EXPECT_EQ(id.Manufacturer.Data1, 0x4E1D4AF1u);
  EXPECT_EQ(id.Product.Data1, 0xABCD1442u);
  EXPECT_EQ(id.Component, KSCOMPONENTID_USBAUDIO);
  EXPECT_EQ(id.Name, GUID{});
  EXPECT_EQ(id.Version, 0u);
  EXPECT_EQ(id.Revision, 0u);
}

// ---- Descriptors and configuration ---------------------------------------------------------

TEST_F(CUsbAudioDeviceTest, CachedConfigurationNamesOnlyTheBytesThatArrived) {
  // The device claims a longer configuration on its second read than the
  // buffer was sized by.
  sim::DescriptorSet set = sim::headset::Descriptors();
  const uint16_t real = static_cast<uint16_t>(set.Configuration().size());
  Plug(set);
  Device().ChangeConfigurationLengthOnRereads(sim::malformed::GrownTotalLength(set));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  PUSB_CONFIGURATION_DESCRIPTOR configuration = DeviceObject()->GetConfigurationDescriptor();
  ASSERT_NE(configuration, nullptr);
  EXPECT_EQ(configuration->wTotalLength, real);
  EXPECT_EQ(platform::usb::ConfigurationExtent(configuration), real);
}

TEST_F(CUsbAudioDeviceTest, ConfigurationHeaderShorterThanNineBytesFailsTheStart) {
  struct Case {
    const char* name;
    uint32_t replyLength;  // of the configuration reads; 0: no fault
    uint16_t totalLength;  // what the header claims; 0: the truth
  };
  for (const Case& c :
       {Case{"short header transfer", 4, 0}, Case{"wTotalLength 0", 0, 1}, Case{"wTotalLength 5", 0, 5}}) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = sim::headset::Descriptors();
    if (c.totalLength) {
      uint16_t claimed = c.totalLength == 1 ? 0 : c.totalLength;
      set.configurations[0][2] = claimed & 0xFF;
      set.configurations[0][3] = claimed >> 8;
    }
    Plug(set);
    if (c.replyLength)
      Device().AddFault({sim::RequestMatch::GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE),
                         sim::FaultAction::ShortReply, c.replyLength});
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(TestAudioHal::Models().empty());
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
  }
  // A header that comes short once is read again.
  Plug();
  Device().AddFault({sim::RequestMatch::GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE),
                     sim::FaultAction::ShortReply, 4, 0, 1});
  EXPECT_EQ(Start(), STATUS_SUCCESS);
}

TEST_F(CUsbAudioDeviceTest, SelectsEveryInterfaceWhateverItsNumber) {
  // Interface numbers 0, 2 and 3: three interfaces, three copies.
  sim::ConfigBuilder c;
  c.Interface(0, 0, 1, 1, 1).AcHeader({2, 3}).Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 2, 16, false);
  c.Interface(2, 0, 0, 1, 2).Interface(2, 1, 1, 1, 2).Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS, 196, 1);
  c.Interface(3, 0, 0, 1, 2).Interface(3, 1, 1, 1, 2).Endpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 98, 1);
  sim::DescriptorSet set = sim::headset::Descriptors();
  set.configurations = {c.Build()};
  ASSERT_EQ(set.configurations[0][4], 3);
  Plug(set, sim::DeviceProfile{});
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(DeviceObject()->GetInterfaceCount(), 3u);
  EXPECT_EQ(DeviceObject()->GetInterfaceInformation(0)->InterfaceNumber, 0);
  EXPECT_EQ(DeviceObject()->GetInterfaceInformation(1)->InterfaceNumber, 2);
  EXPECT_EQ(DeviceObject()->GetInterfaceInformation(2)->InterfaceNumber, 3);
  PUSBD_INTERFACE_INFORMATION control = DeviceObject()->GetInterfaceInformation(0);
  ASSERT_EQ(control->NumberOfPipes, 1u);
  EXPECT_EQ(control->Pipes[0].MaximumTransferSize, 0xFFFFFFFFu);
  EXPECT_NE(DeviceObject()->GetConfigurationHandle(), nullptr);
}

TEST_F(CUsbAudioDeviceTest, HighSpeedAndBusTimeComeFromTheBusInterfaceWhichIsGivenBack) {
  Plug(sim::headset::Descriptors());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_FALSE(DeviceObject()->IsHighSpeed());
  ULONG frame = 0;
  ASSERT_EQ(DeviceObject()->QueryBusTime(&frame), STATUS_SUCCESS);
  EXPECT_EQ(frame, Port().CurrentFrame());
  EXPECT_EQ(Port().BusInterfaceReferences(), 1);
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(Port().BusInterfaceReferences(), 0);
}

// Every allocation of a start, made to fail in turn: the start fails or
// succeeds, and removal leaves nothing behind either way.
TEST_F(CUsbAudioDeviceTest, EveryAllocationFailureOfTheStartIsCleanedUp) {
  ASSERT_EQ(LoadAndAdd(), STATUS_SUCCESS);
  size_t before = platform::pool::AllocationCount();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const size_t allocations = platform::pool::AllocationCount() - before;
  Unplug();
  const size_t baseline = platform::pool::OutstandingCount();
  for (size_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE(n);
    Plug();
    ASSERT_EQ(LoadAndAdd(), STATUS_SUCCESS);
    platform::pool::FailNthAllocation(n);
    Start();
    platform::pool::ClearFailures();
    Unplug();
    EXPECT_EQ(platform::pool::OutstandingCount(), baseline) << platform::pool::Describe(platform::pool::Outstanding());
    EXPECT_TRUE(platform::callback::Names().empty());
    EXPECT_EQ(platform::clock::ScheduledCount(), 0u);
  }
}

// ---- Strings in the device's key -----------------------------------------------------------

TEST_F(CUsbAudioDeviceTest, ProductStringBecomesTheFriendlyNameWithoutTrailingBlanks) {
  sim::DescriptorSet set = sim::headset::Descriptors();
  set.strings[2] = u"Headset   ";
  set.strings[1] = u"Maker";
  Plug(set);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  size_t bytes = 0;
  EXPECT_EQ(DeviceKeyString(sim::headset::kVendorId, sim::headset::kProductId, u"FriendlyName", &bytes), u"Headset");
  EXPECT_EQ(bytes, 16u);
  EXPECT_EQ(DeviceKeyString(sim::headset::kVendorId, sim::headset::kProductId, u"Mfg"), u"Maker");
}

TEST_F(CUsbAudioDeviceTest, LongProductStringIsCutTo50Characters) {
  sim::DescriptorSet set = sim::headset::Descriptors();
  std::u16string name;
  for (int i = 0; i < 60; ++i) name.push_back(static_cast<char16_t>(u'A' + i % 26));
  set.strings[2] = name;
  Plug(set);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  size_t bytes = 0;
  EXPECT_EQ(DeviceKeyString(sim::headset::kVendorId, sim::headset::kProductId, u"FriendlyName", &bytes),
            name.substr(0, 50));
  EXPECT_EQ(bytes, 102u);
}

TEST_F(CUsbAudioDeviceTest, StringTextIsWhatBothLengthAndTransferCover) {
  // The descriptor's bLength promises the whole name; only 8 bytes arrive.
  sim::DescriptorSet set = sim::headset::Descriptors();
  set.strings[2] = u"Headset Pro";
  Plug(set);
  sim::RequestMatch productString = sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE);
  productString.value = USB_STRING_DESCRIPTOR_TYPE << 8 | 2;
  Device().AddFault({productString, sim::FaultAction::ShortReply, 8});
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceKeyString(sim::headset::kVendorId, sim::headset::kProductId, u"FriendlyName"), u"Hea");
}

TEST_F(CUsbAudioDeviceTest, ManufacturerIsWrittenByIndexExceptForOneVendor) {
  struct Case {
    uint16_t vendor, product;
    uint8_t manufacturerIndex;
    bool written;
  };
  for (const Case& c : {Case{0x1209, 0x0001, 1, true}, Case{0x1209, 0x0001, 0, false}, Case{0x6B3E, 0x4E2A, 1, true},
                        Case{0x6B3E, 0x4E2B, 1, true}, Case{0x6B3E, 0x1234, 1, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product << " index "
                                    << int(c.manufacturerIndex));
    sim::DescriptorSet set = HeadsetWithIds(c.vendor, c.product);
    set.device[kManufacturerIndexOffset] = c.manufacturerIndex;
    set.strings[1] = u"Maker";
    Unplug();
    platform::registry::Reset();
    Plug(set);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceKeyString(c.vendor, c.product, u"Mfg") == u"Maker", c.written);
  }
}

// ---- Port status and recovery --------------------------------------------------------------

TEST_F(CUsbAudioDeviceTest, PortNotConnectedMeansRemovedAndLaterRequestsAreRefused) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Port().ReportPortStatus(USBD_PORT_ENABLED);
  EXPECT_TRUE(DeviceObject()->IsDeviceRemoved());
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Port().PortCycles(), 0u);
}

TEST_F(CUsbAudioDeviceTest, LostPortIsResetAndTheModelRestoredOrCycledOnce) {
  struct Case {
    const char* name;
    int failures;  // port-status queries that fail with STATUS_NO_SUCH_DEVICE
    BOOLEAN removed;
    ULONG resets, cycles;
  };
  for (const Case& c : {Case{"answers on the retry", 1, FALSE, 1, 0}, Case{"fails twice", 2, TRUE, 0, 1}}) {
    SCOPED_TRACE(c.name);
    Plug();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Model()->powerStates.clear();
    Port().FailPortStatus(STATUS_NO_SUCH_DEVICE, c.failures);
    BOOLEAN removed = 2;
    PKTHREAD thread = RunOnSystemThread([&] { removed = DeviceObject()->IsDeviceRemoved(); });
    platform::clock::AdvanceMs(100);
    Join(thread);
    EXPECT_EQ(removed, c.removed);
    EXPECT_EQ(Port().PortResets(), c.resets);
    EXPECT_EQ(Port().PortCycles(), c.cycles);
    if (c.resets) {
      EXPECT_EQ(Model()->powerStates, (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    }
    // A second cycle sends nothing.
    EXPECT_EQ(DeviceObject()->CyclePort(), TRUE);
    EXPECT_EQ(Port().PortCycles(), 1u);
  }
}

// A request the driver could not build asked the port nothing: whatever
// step it was, the device stays present and the next query asks again.
TEST_F(CUsbAudioDeviceTest, PortRequestThatCannotBeBuiltLeavesTheDevicePresent) {
  struct Case {
    const char* name;
    int noSuchDevice;  // port-status queries answered STATUS_NO_SUCH_DEVICE first
    size_t unbuilt;    // the port request, counted from the first, whose IRP cannot be allocated
    ULONG resets;
  };
  for (const Case& c : {Case{"the status query", 0, 1, 0}, Case{"its retry", 1, 2, 0},
                        Case{"the port reset", 1, 3, 0}, Case{"the port cycle", 2, 3, 0}}) {
    SCOPED_TRACE(c.name);
    Plug();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Port().FailPortStatus(STATUS_NO_SUCH_DEVICE, c.noSuchDevice);
    BOOLEAN removed = 2;
    platform::pool::FailNthAllocationWithTag(MakeTag("Irp "), c.unbuilt);
    PKTHREAD thread = RunOnSystemThread([&] { removed = DeviceObject()->IsDeviceRemoved(); });
    platform::clock::AdvanceMs(100);
    Join(thread);
    platform::pool::ClearFailures();
    EXPECT_EQ(removed, FALSE);
    EXPECT_TRUE(DeviceObject()->IsDevicePresent());
    EXPECT_EQ(Port().PortResets(), c.resets);
    EXPECT_EQ(Port().PortCycles(), 0u);
    EXPECT_FALSE(DeviceObject()->IsDeviceRemoved()) << "the port is asked again";
    // A cycle that was never sent can still be asked for.
    EXPECT_EQ(DeviceObject()->CyclePort(), TRUE);
    EXPECT_EQ(Port().PortCycles(), 1u);
  }
}

// ---- ASIO settings ---------------------------------------------------------------------

// A device object on an adapter with a driver key, with the test model, for
// the settings it loads at configuration.
class AsioSettingsProbe : public CHeadsetUsbDevice {
 public:
  using CHeadsetUsbDevice::CHeadsetUsbDevice;
  NTSTATUS Prepare(const testsupport::TestAdapter& adapter, USHORT vendor, USHORT product) {
    m_DeviceObject = adapter.Fdo();
    m_VendorId = vendor;
    m_ProductId = product;
    PUNKNOWN model = nullptr;
    NTSTATUS status = TestAudioHal::Create(&model, static_cast<IAudioHal*>(this), vendor, product);
    if (NT_SUCCESS(status)) status = AdoptAudioHal(model);
    if (NT_SUCCESS(status)) status = m_ModelHal->Init(nullptr, adapter.Fdo(), adapter.Lower(), adapter.Pdo());
    return status;
  }
  using CUsbAudioDevice::LoadAsioSettings;
  void SetPhysicalDevice(PDEVICE_OBJECT pdo) { m_PhysicalDeviceObject = pdo; }
};

class AsioSettingsTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    TestAudioHal::Reset();
  }
  void TearDown() override {
    TestAudioHal::Reset();
    KernelTest::TearDown();
  }
  static std::u16string Settings() {
    return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
           std::u16string(testsupport::kTestAdapterDriverKey) + u"\\Settings";
  }
  static void Store(const char16_t* name, ULONG value) {
    platform::registry::CreateKey(Settings());
    platform::registry::SetValue(Settings(), name, REG_BINARY, &value, sizeof(value));
  }
  static int Stored(const char16_t* name) {
    std::vector<UCHAR> data;
    if (!platform::registry::GetValue(Settings(), name, nullptr, &data) || data.size() != 4) return -1;
    ULONG v;
    std::memcpy(&v, data.data(), 4);
    return static_cast<int>(v);
  }
  // Loads the settings for a device with an ASIO-capable engine (or not).
  void Load(USHORT vendor, USHORT product, bool asioCapable = true) {
    TestHalConfig config;
    config.engines = {testsupport::RenderEngine(PIN_CATEGORY_HEADSET)};
    config.engines[0].asio = asioCapable;
    TestAudioHal::SetNextConfig(config);
    testsupport::TestAdapter adapter;
    auto* probe = new (NonPagedPool, USB_AUDIO_DEVICE_TAG) AsioSettingsProbe(nullptr);
    probe->NonDelegatingAddRef();
    ASSERT_EQ(probe->Prepare(adapter, vendor, product), STATUS_SUCCESS);
    probe->LoadAsioSettings();
    active = probe->GetAsioActiveSampleType();
    selected = probe->GetAsioSelectedSampleType();
    latency = probe->GetAsioLatencyIndex();
    rate = probe->GetAsioSampleRate();
    probe->NonDelegatingRelease();
  }
  ULONG active = 0, selected = 0, latency = 0, rate = 0;
};

TEST_F(AsioSettingsTest, StartValuesWithoutStoredSettings) {
  Load(0x1209, 0x0001);
  EXPECT_EQ(active, 16u);
  EXPECT_EQ(selected, 16u);
  EXPECT_EQ(latency, 4u);
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), -1) << "another vendor's default is not written";
}

TEST_F(AsioSettingsTest, VendorDefaultsApplyWhenNoSampleTypeIsStored) {
  struct Case {
    USHORT vendor, product;
    int sampleType;
    bool written;
  };
  for (const Case& c :
       {Case{0x0B05, 0x17F3, 17, true}, Case{0x0B05, 0x17A8, 27, true}, Case{0x0B05, 0x17CD, 27, true},
        Case{0x1043, 0x8592, 27, true}, Case{0x1043, 0x8593, 27, true}, Case{0x1043, 0x8594, 16, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
    platform::registry::Reset();
    Load(c.vendor, c.product);
    EXPECT_EQ(active, static_cast<ULONG>(c.sampleType));
    EXPECT_EQ(selected, static_cast<ULONG>(c.sampleType));
    EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), c.written ? c.sampleType : -1);
  }
  // A stored type is kept, and a device without an ASIO-capable engine
  // gets no vendor default.
  platform::registry::Reset();
  Store(u"ASIOMLDataBitDepth", 24);
  Load(0x1043, 0x8593);
  EXPECT_EQ(active, 24u);
  EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), 24);
  platform::registry::Reset();
  Load(0x1043, 0x8593, false);
  EXPECT_EQ(active, 16u);
  EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), -1);
}

TEST_F(AsioSettingsTest, StoredValuesOutsideWhatAHostCanChooseFallBack) {
  struct Case {
    ULONG bitDepth, latencyIndex, sampleRate;
    ULONG expectBitDepth, expectLatency, expectRate;
  };
  // DSD (33) is only ever reported, never chosen; an index past the table
  // stops at its end.
  for (const Case& c : {Case{24, 8, 44100, 24, 8, 44100}, Case{27, 0, 96000, 27, 0, 96000},
                        Case{33, 3, 96000, 16, 3, 96000}, Case{19, 9, 0, 16, 8, 48000},
                        Case{0xFFFFFFFF, 0xFFFFFFFF, 0, 16, 8, 48000}}) {
    SCOPED_TRACE(c.bitDepth);
    platform::registry::Reset();
    Store(u"ASIOMLDataBitDepth", c.bitDepth);
    Store(u"ASIOMLDataLatency", c.latencyIndex);
    Store(u"ASIOMLSampleRate", c.sampleRate);
    Load(0x1209, 0x0001);
    EXPECT_EQ(active, c.expectBitDepth);
    EXPECT_EQ(selected, c.expectBitDepth);
    EXPECT_EQ(latency, c.expectLatency);
    EXPECT_EQ(rate, c.expectRate);
  }
}

TEST_F(AsioSettingsTest, DeviceKeyStringCountsAsWrittenWhenAnyHardwareIdTookIt) {
  // Only the first hardware ID has an instance key.
  platform::io::PhysicalDeviceConfig config;
  config.hardwareIds = {u"USB\\VID_1209&PID_0003", u"USB\\VID_1209&PID_0003&MI_00"};
  config.deviceId = config.hardwareIds.front();
  PDEVICE_OBJECT pdo = platform::io::CreatePhysicalDevice(config);
  auto* probe = new (NonPagedPool, USB_AUDIO_DEVICE_TAG) AsioSettingsProbe(nullptr);
  probe->NonDelegatingAddRef();
  probe->SetPhysicalDevice(pdo);
  const std::u16string name = u"Headset";
  EXPECT_EQ(probe->WriteDeviceKeyString(DEVICE_KEY_FRIENDLY_NAME, 16, name.c_str()), STATUS_SUCCESS);
  std::vector<UCHAR> data;
  EXPECT_TRUE(platform::registry::GetValue(
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_0003\\" + config.instanceId,
      u"FriendlyName", nullptr, &data));
  EXPECT_EQ(data.size(), 16u);
  EXPECT_EQ(probe->WriteDeviceKeyString(7, 16, name.c_str()), STATUS_INVALID_PARAMETER);
  probe->NonDelegatingRelease();
  platform::io::DeletePhysicalDevice(pdo);
}

}  // namespace
