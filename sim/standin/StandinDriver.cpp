#include "sim/standin/StandinDriver.h"

#include "portcls/forwardunknown.h"
#include "sim/standin/StandinMiniports.h"

namespace sim::standin {
namespace {

constexpr ULONG kTag = MakeTag("SIdr");

// The driver's share of the adapter extension.
struct StandinExtension {
  PUNKNOWN topologyMiniport;  // weak: the ports keep the miniports alive
  PUNKNOWN waveMiniport;
};

StandinExtension* ExtensionOf(PDEVICE_OBJECT fdo) {
  return reinterpret_cast<StandinExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                             PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// The adapter object: it only follows power changes.
class CStandinAdapter : public CUnknownBase, public IAdapterPowerManagement {
 public:
  CStandinAdapter() : CUnknownBase(nullptr) {}
  STANDIN_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IAdapterPowerManagement) || IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = static_cast<IAdapterPowerManagement*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE state) override { m_State = state.DeviceState; }
  NTSTATUS STDMETHODCALLTYPE QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
    caps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
  }

 private:
  DEVICE_POWER_STATE m_State = PowerDeviceD0;
};

NTSTATUS Install(PDEVICE_OBJECT fdo, PIRP irp, REFCLSID portClass, PUNKNOWN miniport, PUNKNOWN adapter,
                 PPORT* outPort) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (!NT_SUCCESS(status)) return status;
  status = port->Init(fdo, irp, miniport, adapter, nullptr);
  PVOID info = nullptr;
  if (NT_SUCCESS(status)) status = miniport->QueryInterface(IID_ISubdeviceInfo, &info);
  if (NT_SUCCESS(status)) {
    PWSTR name = nullptr;
    status = static_cast<ISubdeviceInfo*>(info)->GetName(&name);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, name, port);
    static_cast<ISubdeviceInfo*>(info)->Release();
  }
  if (NT_SUCCESS(status)) {
    *outPort = port;
  } else {
    port->Release();
  }
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST) {
  auto* adapter = new (NonPagedPool, kTag) CStandinAdapter();
  if (!adapter) return STATUS_INSUFFICIENT_RESOURCES;
  adapter->NonDelegatingAddRef();
  PUNKNOWN adapterUnknown = static_cast<IAdapterPowerManagement*>(adapter);

  PUNKNOWN topology = nullptr, wave = nullptr;
  PPORT topologyPort = nullptr, wavePort = nullptr;
  NTSTATUS status = CreateStandinTopology(&topology, CLSID_PortTopology, nullptr, NonPagedPool);
  if (NT_SUCCESS(status)) status = Install(fdo, irp, CLSID_PortTopology, topology, adapterUnknown, &topologyPort);
  if (NT_SUCCESS(status)) status = CreateNamedStandinWave(&wave, CLSID_PortWaveCyclic, nullptr, NonPagedPool, kEngineName);
  if (NT_SUCCESS(status)) status = Install(fdo, irp, CLSID_PortWaveCyclic, wave, adapterUnknown, &wavePort);
  if (NT_SUCCESS(status))
    status = PcRegisterPhysicalConnection(fdo, wavePort, 1, topologyPort, kStreamPin);
  if (NT_SUCCESS(status)) status = PcRegisterAdapterPowerManagement(adapterUnknown, fdo);
  if (NT_SUCCESS(status)) {
    ExtensionOf(fdo)->topologyMiniport = topology;
    ExtensionOf(fdo)->waveMiniport = wave;
  }
  if (wavePort) wavePort->Release();
  if (topologyPort) topologyPort->Release();
  if (wave) wave->Release();
  if (topology) topology->Release();
  adapter->NonDelegatingRelease();
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driverObject, pdo, StartDevice, 20,
                            PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(StandinExtension));
}

}  // namespace

NTSTATUS StandinDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
}

PUNKNOWN StandinTopologyMiniport(PDEVICE_OBJECT adapterDevice) { return ExtensionOf(adapterDevice)->topologyMiniport; }
PUNKNOWN StandinWaveMiniport(PDEVICE_OBJECT adapterDevice) { return ExtensionOf(adapterDevice)->waveMiniport; }

}  // namespace sim::standin
