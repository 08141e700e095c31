// The driver loaded and started on one simulated device, the way the system
// does it: DriverEntry, AddDevice on the hub port's PDO, IRP_MN_START_DEVICE.
// Keeps it running for as long as the object lives, then removes the device,
// unloads the driver and lets every queued DPC and work item finish.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/DriverEntry.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "usb/HubPort.h"

namespace sim::host {

// Writes the device's choice of model factory into its hardware key, as an
// installed driver's configuration would; the driver's device object reads
// it when it picks the device's model.
NTSTATUS ChooseModelFactory(PDEVICE_OBJECT pdo, AudioHalChoice factory);

class RunningDriver {
 public:
  // The driver with its own miniports, as the system loads it. `factory`:
  // whose hardware-model factory the device's configuration asks for.
  // `port`: the hub port the device is plugged into (its instance id).
  RunningDriver(const DescriptorSet& descriptors, const DeviceProfile& profile,
                platform::usb::Speed speed = platform::usb::Speed::Full,
                AudioHalChoice factory = AudioHalChoice::Product, const platform::usb::HubPortConfig& port = {});
  // The driver with `wave` in place of its own wave miniport (beside its
  // own topology miniport), for as long as the object lives.
  RunningDriver(const DescriptorSet& descriptors, const DeviceProfile& profile, PFNCREATEWAVEMINIPORT wave,
                platform::usb::Speed speed = platform::usb::Speed::Full,
                AudioHalChoice factory = AudioHalChoice::Product, const platform::usb::HubPortConfig& port = {});
  // The same over a device made (and scripted) by the caller.
  RunningDriver(std::unique_ptr<SimDevice> device, PFNCREATEWAVEMINIPORT wave,
                AudioHalChoice factory = AudioHalChoice::Product, const platform::usb::HubPortConfig& port = {});
  ~RunningDriver();
  RunningDriver(const RunningDriver&) = delete;
  RunningDriver& operator=(const RunningDriver&) = delete;

  NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
  NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  bool Started() const { return NT_SUCCESS(startStatus); }

  SimDevice& Device() { return *m_Device; }
  platform::usb::HubPort& Port() { return *m_Port; }
  Host& HostSide() { return m_Host; }
  // The driver's topology filter, opened on first use; null (with the
  // status in `status`) when it cannot be opened.
  FilterHandle* Topology(NTSTATUS* status = nullptr);

  // Moves the manual clock a millisecond at a time, letting the model's
  // status thread and timers run, until `done` holds or `limitMs` passed.
  bool AdvanceUntil(const std::function<bool()>& done, ULONG limitMs = 500);

 private:
  void Load();

  std::optional<MiniportFactories> m_Previous;
  AudioHalChoice m_Factory;
  std::unique_ptr<SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  Host m_Host;
  FilterHandle* m_Topology = nullptr;
  NTSTATUS m_TopologyStatus = STATUS_UNSUCCESSFUL;
};

}  // namespace sim::host
