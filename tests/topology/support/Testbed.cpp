#include "tests/topology/support/Testbed.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kernel/nt.h"
#include "sim/device/Uac2Device.h"
#include "usb/usbaudio.h"
#include "tests/support/UsbRequests.h"
#include "usb/usbdlib.h"

namespace topotest {

namespace {

constexpr ULONG kTag = MakeTag("TopT");

const std::u16string kSettingsKey = testsupport::kDriverKey + u"\\Settings";

}  // namespace

// ---- TestUsbDevice -------------------------------------------------------------------------

NTSTATUS TestUsbDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    *object = static_cast<IUsbDevice*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknownBase::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestUsbDevice::SubmitUrb(PURB urb) {
  ++m_Urbs;
  return testsupport::SubmitUrbAndWait(m_Pdo, urb);
}

NTSTATUS TestUsbDevice::SelectConfiguration(const Bytes& bytes) {
  auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), kTag));
  std::memcpy(config, bytes.data(), bytes.size());
  ++m_Urbs;
  NTSTATUS status = testsupport::SelectEveryInterface(m_Pdo, config);
  ExFreePool(config);
  return status;
}

// ---- TestModel -----------------------------------------------------------------------------

NTSTATUS TestModel::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    if (!answerUsbDevice) {
      *object = nullptr;
      return STATUS_INVALID_PARAMETER;
    }
    return m_Usb->QueryInterface(iid, object);
  }
  if (IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    *object = static_cast<IUsbAudioHal*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestModel::GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) {
  capsRequests.emplace_back(direction, pinCategory);
  if (!caps) return STATUS_INVALID_PARAMETER;
  *caps = DeviceCapsRecord{};
  caps->ModelValue = 0x100 + pinCategory;
  return STATUS_SUCCESS;
}

NTSTATUS TestModel::RefreshSubdevices(ULONG unitId) {
  refreshedUnits.push_back(unitId);
  if (onRefresh) onRefresh();
  return refreshStatus;
}

NTSTATUS TestModel::GetCallbackObject(PCALLBACK_OBJECT* callbackObject) {
  if (!callbackObject) return STATUS_INVALID_PARAMETER;
  *callbackObject = GetHalCallbackObject();
  return callbackObjectStatus;
}

// ---- Testbed -------------------------------------------------------------------------------

Testbed::Testbed(const std::vector<Bytes>& unitDescriptors, sim::DeviceProfile profile)
    : Testbed(unitDescriptors, std::move(profile), false) {}

Testbed::Testbed(const std::vector<Bytes>& unitDescriptors, sim::DeviceProfile profile, bool audioClass2) {
  platform::registry::Reset();
  sim::ConfigBuilder config;
  if (audioClass2)
    config.Interface(0, 0, 0, 1, 1, USB_AUDIO_PROTOCOL_UAC2).Uac2AcHeader(0);
  else
    config.Interface(0, 0, 0, 1, 1).AcHeader({});
  for (const Bytes& d : unitDescriptors) config.Raw(d);
  sim::DescriptorSet set;
  sim::DeviceDescriptorFields fields;
  fields.idVendor = 0x0D8C;
  fields.idProduct = 0x0014;
  set.device = sim::BuildDeviceDescriptor(fields);
  set.configurations = {config.Build()};
  if (audioClass2)
    m_Device = std::make_unique<sim::Uac2Device>(set, std::move(profile), platform::usb::Speed::Full);
  else
    m_Device = std::make_unique<sim::SimDevice>(set, std::move(profile));
  m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
  m_Stack = std::make_unique<testsupport::DeviceStack>();

  m_Usb = new (NonPagedPool, kTag) TestUsbDevice(m_Port->Pdo(), 0);
  m_Usb->NonDelegatingAddRef();
  EXPECT_EQ(m_Usb->SelectConfiguration(set.Configuration()), STATUS_SUCCESS);
  m_Model = new (NonPagedPool, kTag) TestModel(m_Usb);
  m_Model->NonDelegatingAddRef();
  EXPECT_EQ(m_Model->Init(nullptr, m_Stack->Fdo(), m_Stack->Lower(), m_Stack->Pdo()), STATUS_SUCCESS);
  m_Device->ClearRequests();
}

Testbed::~Testbed() {
  for (CUacUnit* unit : m_Units) unit->NonDelegatingRelease();
  m_Model->NonDelegatingRelease();
  m_Usb->NonDelegatingRelease();
  m_Stack.reset();
  m_Port.reset();
  m_Device.reset();
}

ITopoNode* Testbed::Node(ULONG index) {
  ITopoNode* node = nullptr;
  return NT_SUCCESS(Hal()->GetNode(index, &node)) ? node : nullptr;
}

std::vector<sim::RequestRecord> Testbed::TakeRequests() {
  std::vector<sim::RequestRecord> requests = m_Device->Requests();
  m_Device->ClearRequests();
  return requests;
}

bool Testbed::HasSetting(const std::u16string& name) {
  std::vector<UCHAR> data;
  return platform::registry::GetValue(kSettingsKey, name, nullptr, &data);
}

std::vector<UCHAR> Testbed::Setting(const std::u16string& name) {
  std::vector<UCHAR> data;
  platform::registry::GetValue(kSettingsKey, name, nullptr, &data);
  return data;
}

void Testbed::PutSetting(const std::u16string& name, const void* data, size_t length) {
  platform::registry::SetValue(kSettingsKey, name, REG_BINARY, data, length);
}

// ---- Descriptors ---------------------------------------------------------------------------

Bytes FeatureUnitDescriptor(UCHAR id, UCHAR source, UCHAR controlSize, const std::vector<ULONG>& bitmaps,
                            UCHAR iFeature) {
  Bytes d{static_cast<UCHAR>(7 + bitmaps.size() * controlSize), 0x24, 6, id, source, controlSize};
  for (ULONG bitmap : bitmaps)
    for (UCHAR b = 0; b < controlSize; ++b) d.push_back(static_cast<UCHAR>(bitmap >> (8 * b)));
  d.push_back(iFeature);
  return d;
}

Bytes InputTerminalDescriptor(UCHAR id, USHORT terminalType) {
  return {12, 0x24, 2, id, static_cast<UCHAR>(terminalType), static_cast<UCHAR>(terminalType >> 8), 0, 2, 3, 0, 0, 0};
}

Bytes OutputTerminalDescriptor(UCHAR id, USHORT terminalType, UCHAR source) {
  return {9, 0x24, 3, id, static_cast<UCHAR>(terminalType), static_cast<UCHAR>(terminalType >> 8), 0, source, 0};
}

Bytes SelectorUnitDescriptor(UCHAR id, const std::vector<UCHAR>& sources) {
  Bytes d{static_cast<UCHAR>(6 + sources.size()), 0x24, 5, id, static_cast<UCHAR>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(0);  // iSelector
  return d;
}

Bytes MixerUnitDescriptor(UCHAR id, const std::vector<UCHAR>& sources) {
  Bytes d{static_cast<UCHAR>(11 + sources.size()), 0x24, 4, id, static_cast<UCHAR>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.insert(d.end(), {2, 3, 0, 0, 0, 0});  // two channels, L R, no names, one control byte, no string
  return d;
}

}  // namespace topotest
