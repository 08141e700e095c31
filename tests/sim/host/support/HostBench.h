// The host side of the tests that plug, stream and pull the headset through
// the whole driver: a fixture with fresh port-class state, and a bench that
// keeps the driver loaded while devices come and go.
#pragma once

#include <memory>

#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "tests/support/KernelTest.h"
#include "usb/HubPort.h"

namespace hosttest {

class HostTest : public testsupport::KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// The driver loaded once; a default headset plugged in and pulled as a
// test asks.
class HostBench {
 public:
  HostBench();
  ~HostBench();

  NTSTATUS loadStatus;
  sim::host::Host& HostSide() { return m_Host; }
  sim::SimDevice& Device() { return *m_Device; }
  platform::usb::HubPort& Port() { return *m_Port; }

  // A new device (the default headset unless named) on a new port (no
  // driver on it yet).
  void Plug(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile);
  void Plug();
  // AddDevice and the start.
  NTSTATUS AddAndStart();
  // The removal, then the device off its port, every DPC and work item run.
  NTSTATUS RemoveAndUnplug();
  // Opens the wave filter of a direction and plays or records `seconds`.
  NTSTATUS Stream(bool render, double seconds);

 private:
  sim::host::Host m_Host;
  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
};

}  // namespace hosttest
