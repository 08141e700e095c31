// An adapter device as the port-class framework makes one (PcAddAdapterDevice
// over a simulated PDO, with the driver's extension size), without the
// driver's own entry points: for tests of the code that registers
// subdevices on it or keeps Settings values in its driver key. The topology
// filter can be installed from the test topology miniport. Removal (IRP_MN_REMOVE_DEVICE through the framework)
// takes whatever subdevices are still registered with the device.
#pragma once

#include <string>

#include "driver/common/PrivateInterfaces.h"

namespace testsupport {

// The device's driver key below Control\Class, and its Settings key.
inline constexpr char16_t kTestAdapterDriverKey[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0042";
inline const std::u16string kTestAdapterSettingsKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}"
    u"\\0042\\Settings";
// Its first hardware ID.
inline constexpr char kTestAdapterHardwareId[] = "USB\\VID_1209&PID_0002&REV_0100";

class TestAdapter {
 public:
  TestAdapter();
  ~TestAdapter();
  TestAdapter(const TestAdapter&) = delete;
  TestAdapter& operator=(const TestAdapter&) = delete;

  PDEVICE_OBJECT Fdo() const { return m_Fdo; }
  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  PDEVICE_OBJECT Lower() const { return m_Lower; }

  // Registers "GlobalTopo" from the test topology miniport; the adapter
  // keeps a reference on port and miniport until it goes. `adapter` is the
  // IUnknown the port hands the miniport.
  NTSTATUS InstallTopology(PUNKNOWN adapter);
  PUNKNOWN TopologyPort() const { return m_TopologyPort; }
  PUNKNOWN TopologyMiniport() const { return m_TopologyMiniport; }

  // Removes the device now (the destructor does it otherwise).
  void Remove();

 private:
  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_Pdo = nullptr;
  PDEVICE_OBJECT m_Fdo = nullptr;
  PDEVICE_OBJECT m_Lower = nullptr;
  PUNKNOWN m_TopologyPort = nullptr;
  PUNKNOWN m_TopologyMiniport = nullptr;
};

}  // namespace testsupport
