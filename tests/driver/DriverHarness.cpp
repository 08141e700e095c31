#include "tests/driver/DriverHarness.h"

#include <cstdio>

#include "kernel/format.h"

namespace drivertest {
namespace {

std::u16string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", v & 0xFFFF);
  return platform::Widen(text);
}

}  // namespace

void DriverHarness::SetUp() {
  KernelTest::SetUp();
  platform::registry::Reset();
  platform::portcls::ResetForTest();
  testsupport::TestAudioHal::Reset();
  testsupport::ResetMiniportControl();
  m_PreviousModels =
      CHeadsetUsbDevice::SetAudioHalFactories({testsupport::TestAudioHal::Create, testsupport::TestAudioHal::Create});
  m_PreviousMiniports =
      SetMiniportFactories({testsupport::CreateTestTopologyMiniport, testsupport::CreateTestWaveMiniport});
}

void DriverHarness::TearDown() {
  for (PFILE_OBJECT file : m_Files) platform::io::DeleteFileObject(file);
  m_Files.clear();
  Unplug();
  CHeadsetUsbDevice::SetAudioHalFactories(m_PreviousModels);
  SetMiniportFactories(m_PreviousMiniports);
  platform::portcls::ResetForTest();
  KernelTest::TearDown();
}

void DriverHarness::Unplug() {
  m_Host.Unload();
  Settle();
  m_Port.reset();
  m_Device.reset();
  m_Added = false;
}

void DriverHarness::Plug(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile) {
  if (m_Port) Unplug();
  m_Device = std::make_unique<sim::SimDevice>(descriptors, profile);
  m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
}

NTSTATUS DriverHarness::LoadAndAdd() {
  if (!m_Port) Plug();
  NTSTATUS status = m_Host.LoadDriver(DriverEntry, u"headset");
  if (NT_SUCCESS(status)) status = m_Host.AddDevice(m_Port->Pdo());
  m_Added = NT_SUCCESS(status);
  return status;
}

NTSTATUS DriverHarness::Start() {
  if (!m_Added) {
    NTSTATUS status = LoadAndAdd();
    if (!NT_SUCCESS(status)) return status;
  }
  return m_Host.Start();
}

void DriverHarness::Settle() {
  KeFlushQueuedDpcs();
  platform::workitem::Drain();
}

CUsbAudioDevice* DriverHarness::DeviceObject() const {
  PDEVICE_OBJECT fdo = Fdo();
  if (!fdo || !Extension()->Adapter) return nullptr;
  return static_cast<CUsbAudioDevice*>(Extension()->Adapter);
}

testsupport::TestAudioHal* DriverHarness::Model() const {
  const auto& models = testsupport::TestAudioHal::Models();
  if (models.empty() || !testsupport::TestAudioHal::IsAlive(models.back())) return nullptr;
  return models.back();
}

std::vector<std::u16string> DriverHarness::SubdeviceNames() const {
  std::vector<std::u16string> names;
  for (const auto& s : m_Host.Filters()) names.push_back(s.name);
  return names;
}

size_t DriverHarness::InterfaceCount(const GUID& interfaceClass, bool enabledOnly) const {
  size_t n = 0;
  for (const auto& i : platform::io::DeviceInterfaces(&interfaceClass))
    if (i.pdo == Pdo() && (!enabledOnly || i.enabled)) ++n;
  return n;
}

PFILE_OBJECT DriverHarness::OpenFile(const std::u16string& name) {
  PFILE_OBJECT file = platform::io::CreateFileObject(Fdo(), name);
  m_Files.push_back(file);
  return file;
}

void DriverHarness::CloseFile(PFILE_OBJECT file) {
  for (auto it = m_Files.begin(); it != m_Files.end(); ++it)
    if (*it == file) {
      m_Files.erase(it);
      break;
    }
  platform::io::DeleteFileObject(file);
}

NTSTATUS DriverHarness::SendCreate(PFILE_OBJECT file) {
  platform::io::Request r;
  r.majorFunction = IRP_MJ_CREATE;
  r.fileObject = file;
  return platform::io::SendRequest(Pdo(), r);
}

NTSTATUS DriverHarness::SendClose(PFILE_OBJECT file) {
  platform::io::Request r;
  r.majorFunction = IRP_MJ_CLOSE;
  r.fileObject = file;
  return platform::io::SendRequest(Pdo(), r);
}

NTSTATUS DriverHarness::SendIoctl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                                  ULONG outputLength, bool from32bit, ULONG_PTR* information) {
  platform::io::Request r;
  r.majorFunction = IRP_MJ_DEVICE_CONTROL;
  r.fileObject = file;
  r.ioControlCode = code;
  r.inputBuffer = input;
  r.inputLength = inputLength;
  r.outputBuffer = output;
  r.outputLength = outputLength;
  r.from32bitProcess = from32bit;
  return platform::io::SendRequest(Pdo(), r, information);
}

void DriverHarness::EnableSelectiveSuspend(ULONG value) {
  if (!m_Port) Plug();
  const sim::DescriptorSet& d = m_Device->Descriptors();
  std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_" + Hex4(d.VendorId()) +
                       u"&PID_" + Hex4(d.ProductId()) + u"\\" + platform::usb::HubPortConfig{}.instanceId +
                       u"\\Device Parameters";
  platform::registry::CreateKey(key);
  platform::registry::SetDwordValue(key, u"SelectiveSuspendEnabled", value);
}

}  // namespace drivertest
