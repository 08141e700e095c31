// The driver loaded the way the system loads it, over a simulated USB
// device: DriverEntry, AddDevice on the hub port's PDO, and plug-and-play
// requests from the host. The hardware model is the test model and the
// miniports are the test miniports, installed through the driver's seams
// for the duration of a test.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/DriverEntry.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "tests/driver/support/TestAudioHal.h"
#include "tests/driver/support/TestMiniports.h"
#include "tests/support/KernelTest.h"
#include "tests/support/SystemThreads.h"
#include "usb/HubPort.h"

namespace drivertest {

using testsupport::Join;
using testsupport::RunOnSystemThread;

class DriverHarness : public testsupport::KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The simulated device on its hub port (the default headset unless the
  // test plugs another first). Plugging again unplugs the device before.
  void Plug(const sim::DescriptorSet& descriptors = sim::headset::Descriptors(),
            const sim::DeviceProfile& profile = sim::headset::Profile());
  // Removes the device if it is still there, unloads the driver and takes
  // the device off its port.
  void Unplug();
  // DriverEntry and AddDevice (plugging the default headset if nothing is).
  NTSTATUS LoadAndAdd();
  // LoadAndAdd when not done yet, then IRP_MN_START_DEVICE.
  NTSTATUS Start();
  NTSTATUS Remove() { return m_Host.Remove(); }
  NTSTATUS SurpriseRemove() { return m_Host.SurpriseRemove(); }
  // Every kernel thread quiet: queued DPCs and work items have run.
  void Settle();

  sim::SimDevice& Device() { return *m_Device; }
  platform::usb::HubPort& Port() { return *m_Port; }
  sim::host::Host& Host() { return m_Host; }
  PDEVICE_OBJECT Pdo() const { return m_Port ? m_Port->Pdo() : nullptr; }
  PDEVICE_OBJECT Fdo() const { return m_Host.AdapterDevice(); }
  DeviceExtension* Extension() const { return GetDeviceExtension(Fdo()); }
  // The started device object, or null.
  CUsbAudioDevice* DeviceObject() const;
  // The model the device object made (the latest), or null when none is alive.
  testsupport::TestAudioHal* Model() const;
  std::vector<std::u16string> SubdeviceNames() const;
  // Registered driver interfaces of a class on our PDO: how many, and how
  // many of them enabled.
  size_t InterfaceCount(const GUID& interfaceClass, bool enabledOnly) const;

  // An open, close or I/O control as an application sends it (null file:
  // the ASIO interface's file name).
  PFILE_OBJECT OpenFile(const std::u16string& name);
  void CloseFile(PFILE_OBJECT file);
  NTSTATUS SendCreate(PFILE_OBJECT file);
  NTSTATUS SendClose(PFILE_OBJECT file);
  NTSTATUS SendIoctl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                     ULONG outputLength, bool from32bit = false, ULONG_PTR* information = nullptr);

  // Writes "SelectiveSuspendEnabled" into the device's Device Parameters
  // key (before Start).
  void EnableSelectiveSuspend(ULONG value = 1);

  void UseModel(const testsupport::TestHalConfig& config) { testsupport::TestAudioHal::SetNextConfig(config); }

 private:
  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  sim::host::Host m_Host;
  bool m_Added = false;
  std::vector<PFILE_OBJECT> m_Files;
  AudioHalFactories m_PreviousModels{};
  MiniportFactories m_PreviousMiniports{};
};

}  // namespace drivertest
