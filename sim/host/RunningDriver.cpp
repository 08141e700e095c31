#include "sim/host/RunningDriver.h"

#include <chrono>
#include <thread>

#include "sim/device/DeviceFactory.h"
#include "topology/CMiniportTopology.h"

namespace sim::host {

NTSTATUS ChooseModelFactory(PDEVICE_OBJECT pdo, AudioHalChoice factory) {
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, MODEL_FACTORY_VALUE);
  ULONG value = static_cast<ULONG>(factory);
  status = ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
  ZwClose(key);
  return status;
}

RunningDriver::RunningDriver(const DescriptorSet& descriptors, const DeviceProfile& profile,
                             platform::usb::Speed speed, AudioHalChoice factory,
                             const platform::usb::HubPortConfig& port)
    : m_Factory(factory),
      m_Device(CreateSimDevice(descriptors, profile, speed)),
      m_Port(std::make_unique<platform::usb::HubPort>(m_Device.get(), port)) {
  Load();
}

RunningDriver::RunningDriver(const DescriptorSet& descriptors, const DeviceProfile& profile,
                             PFNCREATEWAVEMINIPORT wave, platform::usb::Speed speed, AudioHalChoice factory,
                             const platform::usb::HubPortConfig& port)
    : RunningDriver(CreateSimDevice(descriptors, profile, speed), wave, factory, port) {}

RunningDriver::RunningDriver(std::unique_ptr<SimDevice> device, PFNCREATEWAVEMINIPORT wave, AudioHalChoice factory,
                             const platform::usb::HubPortConfig& port)
    : m_Previous(SetMiniportFactories({CreateMiniportTopology, wave})),
      m_Factory(factory),
      m_Device(std::move(device)),
      m_Port(std::make_unique<platform::usb::HubPort>(m_Device.get(), port)) {
  Load();
}

void RunningDriver::Load() {
  entryStatus = m_Host.LoadDriver(DriverEntry, u"headset");
  // The device's configuration is in place before the driver sees it.
  if (NT_SUCCESS(entryStatus)) addStatus = ChooseModelFactory(m_Port->Pdo(), m_Factory);
  if (NT_SUCCESS(addStatus)) addStatus = m_Host.AddDevice(m_Port->Pdo());
  if (NT_SUCCESS(addStatus)) startStatus = m_Host.Start();
}

RunningDriver::~RunningDriver() {
  delete m_Topology;
  m_Host.Unload();
  KeFlushQueuedDpcs();
  platform::workitem::Drain();
  m_Port.reset();
  m_Device.reset();
  if (m_Previous) SetMiniportFactories(*m_Previous);
}

FilterHandle* RunningDriver::Topology(NTSTATUS* status) {
  if (!m_Topology && Started()) m_TopologyStatus = m_Host.OpenFilter(u"GlobalTopo", &m_Topology);
  if (status) *status = m_Topology ? STATUS_SUCCESS : Started() ? m_TopologyStatus : startStatus;
  return m_Topology;
}

bool RunningDriver::AdvanceUntil(const std::function<bool()>& done, ULONG limitMs) {
  for (ULONG ms = 0; ms < limitMs; ++ms) {
    if (done()) return true;
    if (platform::clock::GetMode() == platform::clock::Mode::Manual)
      platform::clock::AdvanceMs(1);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace sim::host
