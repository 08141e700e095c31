#include "sim/host/RunningDriver.h"

#include <chrono>
#include <thread>

#include "sim/device/DeviceFactory.h"
#include "topology/CMiniportTopology.h"

namespace sim::host {

RunningDriver::RunningDriver(const DescriptorSet& descriptors, const DeviceProfile& profile,
                             platform::usb::Speed speed, AudioHalChoice factory,
                             const platform::usb::HubPortConfig& port)
    : m_PreviousChoice(CHeadsetUsbDevice::SetAudioHalChoice(factory)),
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
      m_PreviousChoice(CHeadsetUsbDevice::SetAudioHalChoice(factory)),
      m_Device(std::move(device)),
      m_Port(std::make_unique<platform::usb::HubPort>(m_Device.get(), port)) {
  Load();
}

void RunningDriver::Load() {
  entryStatus = m_Host.LoadDriver(DriverEntry, u"headset");
  if (NT_SUCCESS(entryStatus)) addStatus = m_Host.AddDevice(m_Port->Pdo());
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
  CHeadsetUsbDevice::SetAudioHalChoice(m_PreviousChoice);
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
