// A simulated physical device and an adapter device attached above it, as
// the plug-and-play manager and a driver's AddDevice leave them; torn down
// in the order a removal takes. For tests of the I/O manager, the registry
// keys of a device, and the driver code that uses them.
#pragma once

#include <string>

#include "kernel/nt.h"

namespace testsupport {

inline platform::io::PhysicalDeviceConfig HeadsetPdoConfig() {
  platform::io::PhysicalDeviceConfig config;
  config.hardwareIds = {u"USB\\VID_0D8C&PID_0014&REV_0100", u"USB\\VID_0D8C&PID_0014"};
  config.instanceId = u"5&2f3c6a1&0&2";
  config.deviceDescription = u"USB Audio Device";
  config.manufacturer = u"(Generic USB Audio)";
  config.driverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007";
  config.capabilities.SurpriseRemovalOK = 1;
  config.capabilities.DeviceD2 = 1;
  return config;
}

class DeviceStack {
 public:
  explicit DeviceStack(const platform::io::PhysicalDeviceConfig& config = HeadsetPdoConfig(),
                       ULONG extensionSize = 64) {
    m_Driver = platform::io::CreateDriverObject(u"\\Driver\\TestDriver");
    m_Pdo = platform::io::CreatePhysicalDevice(config);
    IoCreateDevice(m_Driver, extensionSize, nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &m_Fdo);
    m_Lower = IoAttachDeviceToDeviceStack(m_Fdo, m_Pdo);
    m_Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~DeviceStack() {
    IoDetachDevice(m_Lower);
    IoDeleteDevice(m_Fdo);
    platform::io::DeletePhysicalDevice(m_Pdo);
    platform::io::DeleteDriverObject(m_Driver);
  }
  DeviceStack(const DeviceStack&) = delete;
  DeviceStack& operator=(const DeviceStack&) = delete;

  PDRIVER_OBJECT Driver() const { return m_Driver; }
  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  PDEVICE_OBJECT Fdo() const { return m_Fdo; }
  PDEVICE_OBJECT Lower() const { return m_Lower; }

 private:
  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_Pdo = nullptr;
  PDEVICE_OBJECT m_Fdo = nullptr;
  PDEVICE_OBJECT m_Lower = nullptr;
};

// Kernel paths of the default device's keys.
inline const std::u16string kEnumInstanceKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0D8C&PID_0014\\5&2f3c6a1&0&2";
inline const std::u16string kDriverKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007";

}  // namespace testsupport
