#include "tests/sim/host/support/HostBench.h"

#include "driver/DriverEntry.h"
#include "portcls/framework.h"
#include "sim/device/DefaultHeadset.h"

namespace hosttest {

void HostTest::SetUp() {
  KernelTest::SetUp();
  platform::portcls::ResetForTest();
}

void HostTest::TearDown() {
  platform::portcls::ResetForTest();
  KernelTest::TearDown();
}

HostBench::HostBench() { loadStatus = m_Host.LoadDriver(DriverEntry, u"headset"); }

HostBench::~HostBench() {
  m_Host.Unload();
  m_Port.reset();
  m_Device.reset();
  KeFlushQueuedDpcs();
  platform::workitem::Drain();
}

void HostBench::Plug(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile) {
  m_Device = std::make_unique<sim::SimDevice>(descriptors, profile);
  m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
}

void HostBench::Plug() { Plug(sim::headset::Descriptors(), sim::headset::Profile()); }

NTSTATUS HostBench::AddAndStart() {
  NTSTATUS status = m_Host.AddDevice(m_Port->Pdo());
  return NT_SUCCESS(status) ? m_Host.Start() : status;
}

NTSTATUS HostBench::RemoveAndUnplug() {
  const NTSTATUS status = m_Host.Remove();
  m_Port.reset();
  m_Device.reset();
  KeFlushQueuedDpcs();
  platform::workitem::Drain();
  return status;
}

NTSTATUS HostBench::Stream(bool render, double seconds) {
  sim::host::FilterHandle* filter = nullptr;
  NTSTATUS status = m_Host.OpenFilter(render ? u"HeadSetOut00Wave" : u"HeadSetIn00Wave", &filter);
  if (!NT_SUCCESS(status)) return status;
  const sim::host::WavData format = sim::host::SineWav(48000, render ? 2 : 1, 440.0, seconds, 0.25);
  sim::host::WavData recorded;
  status = render ? m_Host.Render(filter, format, false) : m_Host.Capture(filter, format, seconds, false, &recorded);
  delete filter;
  return status;
}

}  // namespace hosttest
