#include "tests/driver/support/TestAdapter.h"

#include "tests/driver/support/TestMiniports.h"

namespace testsupport {
namespace {

NTSTATUS NoAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
NTSTATUS NoStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }

}  // namespace

TestAdapter::TestAdapter() {
  m_Driver = platform::io::CreateDriverObject(u"\\Driver\\TestAdapter");
  platform::io::PhysicalDeviceConfig config;
  config.hardwareIds = {u"USB\\VID_1209&PID_0002&REV_0100", u"USB\\VID_1209&PID_0002"};
  config.deviceDescription = u"USB Headset";
  config.driverKey = kTestAdapterDriverKey;
  m_Pdo = platform::io::CreatePhysicalDevice(config);
  PcInitializeAdapterDriver(m_Driver, nullptr, NoAddDevice);
  m_Lower = IoGetAttachedDeviceReference(m_Pdo);
  if (NT_SUCCESS(PcAddAdapterDevice(m_Driver, m_Pdo, NoStart, 20,
                                    PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DeviceExtension)))) {
    m_Fdo = IoGetAttachedDeviceReference(m_Pdo);
    ObDereferenceObject(m_Fdo);
  }
  ObDereferenceObject(m_Lower);
}

TestAdapter::~TestAdapter() {
  Remove();
  platform::io::DeletePhysicalDevice(m_Pdo);
  platform::io::DeleteDriverObject(m_Driver);
}

NTSTATUS TestAdapter::InstallTopology(PUNKNOWN adapter) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  PUNKNOWN miniport = nullptr;
  status = CreateTestTopologyMiniport(&miniport, CLSID_PortTopology, nullptr, NonPagedPool);
  if (NT_SUCCESS(status)) status = port->Init(m_Fdo, nullptr, miniport, adapter, nullptr);
  WCHAR name[] = u"GlobalTopo";
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(m_Fdo, name, port);
  if (NT_SUCCESS(status)) {
    m_TopologyPort = port;
    m_TopologyMiniport = miniport;
  } else {
    if (miniport) miniport->Release();
    port->Release();
  }
  return status;
}

void TestAdapter::Remove() {
  if (m_TopologyMiniport) m_TopologyMiniport->Release();
  if (m_TopologyPort) m_TopologyPort->Release();
  m_TopologyMiniport = nullptr;
  m_TopologyPort = nullptr;
  if (!m_Fdo) return;
  platform::io::Request remove;
  remove.majorFunction = IRP_MJ_PNP;
  remove.minorFunction = IRP_MN_REMOVE_DEVICE;
  remove.requestorMode = KernelMode;
  platform::io::SendRequest(m_Fdo, remove);
  m_Fdo = nullptr;
}

}  // namespace testsupport
