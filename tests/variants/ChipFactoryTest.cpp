// The base device object's chip-identifying factory on simulated devices:
// which model it creates for an AudioControl protocol and the chip's vendor
// string, what it asks the device, and what it leaves behind when it fails.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "driver/CUsbAudioDevice.h"
#include "driver/hal/CUac1AudioHal.h"
#include "driver/hal/ChipString.h"
#include "sim/device/SimDevice.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/support/KernelTest.h"
#include "usb/HubPort.h"
#include "variants/7753/C7753AudioHal.h"
#include "variants/CChipAudioHals.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace {

using namespace haltest;

// The device object with only what the factory needs: the descriptors read
// from the device and the synchronous request path to it.
class FactoryProbe : public CUsbAudioDevice {
 public:
  explicit FactoryProbe(PDEVICE_OBJECT pdo) : CUsbAudioDevice(nullptr) {
    m_LowerDeviceObject = pdo;
    m_IrpStackSize = static_cast<CCHAR>(pdo->StackSize + 1);
    m_DevicePresent = TRUE;
  }
  IAudioHal* CachedHal() const { return m_ModelHal; }
  IUsbAudioHal* CachedUsbHal() const { return m_ModelUsbHal; }
  IAdapterPowerManagement* CachedPower() const { return m_ModelPower; }
  ULONG References() {
    IAudioHal* self = this;
    self->AddRef();
    return self->Release();
  }
};

class ChipFactoryTest : public testsupport::KernelTest {
 protected:
  void TearDown() override {
    TearDownProbe();
    KernelTest::TearDown();
  }

  void TearDownProbe() {
    if (m_Probe) static_cast<IAudioHal*>(m_Probe)->Release();
    m_Probe = nullptr;
    m_Port.reset();
    m_Device.reset();
  }

  // Plugs the set in and reads its descriptors as a start does.
  void Plug(const sim::DescriptorSet& set) {
    TearDownProbe();
    m_Device = std::make_unique<sim::SimDevice>(set, PlainProfile());
    m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
    m_Probe = new (NonPagedPool, USB_AUDIO_DEVICE_TAG) FactoryProbe(m_Port->Pdo());
    static_cast<IAudioHal*>(m_Probe)->AddRef();
    ASSERT_EQ(m_Probe->ReadDescriptors(), STATUS_SUCCESS);
    m_Device->ClearRequests();
  }

  // The string descriptor indices the factory asked for, in order.
  std::string StringRequests() const {
    std::string out;
    for (const sim::RequestRecord& r : m_Device->Requests()) {
      if (r.setup.bRequest != USB_REQUEST_GET_DESCRIPTOR || (r.setup.wValue >> 8) != USB_STRING_DESCRIPTOR_TYPE)
        continue;
      EXPECT_EQ(r.setup.wIndex, 0x0409);
      EXPECT_EQ(r.setup.wLength, UAC1_PROBE_STRING_BYTES);
      char text[8];
      std::snprintf(text, sizeof text, "%s%02X", out.empty() ? "" : " ", r.setup.wValue & 0xFF);
      out += text;
    }
    return out;
  }

  static size_t PoolBlocks(ULONG tag) {
    for (const auto& usage : platform::pool::Outstanding())
      if (usage.tag == tag) return usage.allocations;
    return 0;
  }

  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  FactoryProbe* m_Probe = nullptr;
};

sim::DescriptorSet WithProtocol(uint8_t protocol) {
  if (protocol == 0x20) return ProtocolTwoDevice();
  sim::DescriptorSet set = StereoHeadset({0, 0, 0});
  sim::Bytes& c = set.configurations[0];
  for (size_t i = 0; i + 8 < c.size() && c[i] >= 2; i += c[i])
    if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[i + 5] == 1 && c[i + 6] == 1) c[i + 7] = protocol;
  return set;
}

enum class Model { None, Generic, C7746, C7762, TQ4187, Uac2, C7753 };

// The class of the model behind the device object's cached IAudioHal.
Model ModelOf(IAudioHal* hal) {
  if (!hal) return Model::None;
  const auto* model = static_cast<CAudioHal*>(hal);
  if (typeid(*model) == typeid(C7746AudioHal)) return Model::C7746;
  if (typeid(*model) == typeid(C7762AudioHal)) return Model::C7762;
  if (typeid(*model) == typeid(CTQ4187AudioHal)) return Model::TQ4187;
  if (typeid(*model) == typeid(C7753AudioHal)) return Model::C7753;
  if (typeid(*model) == typeid(CUac1AudioHal)) return Model::Generic;
  if (typeid(*model) == typeid(CUac2AudioHal)) return Model::Uac2;
  return Model::None;
}

TEST_F(ChipFactoryTest, ProtocolAndChipStringChooseTheModel) {
  struct Case {
    const char* name;
    uint8_t protocol;
    std::optional<std::u16string> primary, fallback;  // nullopt: the device has no such string
    NTSTATUS status;
    Model model;
    const char* requests;
  };
  const std::u16string k7753{0x000B, u'S', u'w'};
  const Case cases[] = {
      // Audio Class 2.0 is known by its protocol: no string is read.
      {"Audio Class 2.0", 0x20, u"7746", u"7746", STATUS_SUCCESS, Model::Uac2, ""},
      {"another protocol", 0x10, u"7746", {}, STATUS_UNSUCCESSFUL, Model::None, ""},
      {"7753 marker", 0, k7753 + u"xx", {}, STATUS_SUCCESS, Model::C7753, "50"},
      {"7753 marker cut short", 0, k7753.substr(0, 2), {}, STATUS_SUCCESS, Model::Generic, "50"},
      {"five units of the TQ4187 marker", 0, u"VZR41", {}, STATUS_SUCCESS, Model::Generic, "50"},
      {"an empty string", 0, u"", u"7746", STATUS_SUCCESS, Model::Generic, "50"},
      {"7746 with more after it", 0, u"7746abc", {}, STATUS_SUCCESS, Model::C7746, "50"},
      {"7746 from the fallback string", 0, {}, u"7746", STATUS_SUCCESS, Model::C7746, "50 32"},
      {"7762", 0, u"7762", u"7746", STATUS_SUCCESS, Model::C7762, "50"},
      {"7762 cut short", 0, u"776", {}, STATUS_SUCCESS, Model::Generic, "50"},
      {"TQ4187", 0, u"VZR419 7.1", {}, STATUS_SUCCESS, Model::TQ4187, "50"},
      {"no chip string at all", 0, {}, {}, STATUS_SUCCESS, Model::Generic, "50 32"},
      {"a marker in lower case", 0, u"vzr419", {}, STATUS_SUCCESS, Model::Generic, "50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = WithProtocol(c.protocol);
    if (c.primary) set.strings[UAC1_PROBE_STRING_PRIMARY] = *c.primary;
    if (c.fallback) set.strings[UAC1_PROBE_STRING_FALLBACK] = *c.fallback;
    Plug(set);
    const ULONG references = m_Probe->References();
    EXPECT_EQ(m_Probe->CreateAudioHal(), c.status);
    EXPECT_EQ(StringRequests(), c.requests);
    EXPECT_EQ(m_Probe->GetControlInterfaceNumber(), 0);
    // The model's interfaces are the device object's own: they cost it
    // nothing.
    EXPECT_EQ(m_Probe->References(), references);
    EXPECT_EQ(PoolBlocks(UAC1_PROBE_TAG), 0u);
    EXPECT_EQ(ModelOf(m_Probe->CachedHal()), c.model);
    if (c.model == Model::None) {
      EXPECT_EQ(m_Probe->GetModelUnknown(), nullptr);
    } else {
      EXPECT_NE(m_Probe->CachedPower(), nullptr);
      // The chips' own models keep IUsbAudioHal to themselves, but for the
      // 7753's, which is a generic model with more.
      EXPECT_EQ(m_Probe->CachedUsbHal() != nullptr,
                c.model == Model::Generic || c.model == Model::Uac2 || c.model == Model::C7753);
    }
    TearDownProbe();
  }
}

TEST_F(ChipFactoryTest, FallbackStringDecidesWhenThePrimaryCannotBeRead) {
  sim::DescriptorSet set = WithProtocol(0);
  set.strings[UAC1_PROBE_STRING_PRIMARY] = u"7746";
  set.strings[UAC1_PROBE_STRING_FALLBACK] = u"Generic";
  Plug(set);
  m_Device->AddFault({sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE), sim::FaultAction::Stall, 0, 0, 1});
  EXPECT_EQ(m_Probe->CreateAudioHal(), STATUS_SUCCESS);
  EXPECT_EQ(StringRequests(), "50 32");
  EXPECT_EQ(ModelOf(m_Probe->CachedHal()), Model::Generic);
}

TEST_F(ChipFactoryTest, FailuresLeaveNoModelAndNoPool) {
  struct Case {
    const char* name;
    ULONG tag;
    size_t nth;
  };
  const Case cases[] = {
      {"string buffer", UAC1_PROBE_TAG, 1},
      {"URB", UAC1_PROBE_TAG, 2},
      {"model", UAC1_HAL_TAG, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = WithProtocol(0);
    set.strings[UAC1_PROBE_STRING_PRIMARY] = u"Generic";
    Plug(set);
    const ULONG references = m_Probe->References();
    platform::pool::FailNthAllocationWithTag(c.tag, c.nth);
    EXPECT_EQ(m_Probe->CreateAudioHal(), STATUS_INSUFFICIENT_RESOURCES);
    platform::pool::ClearFailures();
    EXPECT_EQ(m_Probe->GetModelUnknown(), nullptr);
    EXPECT_EQ(m_Probe->CachedHal(), nullptr);
    EXPECT_EQ(m_Probe->References(), references);
    EXPECT_EQ(PoolBlocks(UAC1_PROBE_TAG), 0u);
    EXPECT_EQ(PoolBlocks(UAC1_HAL_TAG), 0u);
    TearDownProbe();
  }
}

TEST_F(ChipFactoryTest, ConfigurationWithoutAudioControlInterfaceGetsNoModel) {
  sim::DescriptorSet set = WithProtocol(0);
  sim::Bytes& c = set.configurations[0];
  for (size_t i = 0; i + 8 < c.size() && c[i] >= 2; i += c[i])
    if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[i + 6] == 1) c[i + 6] = 0xFF;
  Plug(set);
  EXPECT_EQ(m_Probe->CreateAudioHal(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(StringRequests(), "");
  EXPECT_EQ(m_Probe->GetModelUnknown(), nullptr);
}

}  // namespace
