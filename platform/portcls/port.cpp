// The topology and wave-cyclic ports: they bind a miniport, keep its filter
// description, deliver its events and forward power changes to it.
#include "portcls/internal.h"

namespace platform::portcls {

CPort::CPort(bool waveCyclic) : CUnknownBase(nullptr), m_WaveCyclic(waveCyclic) {
  KeInitializeSpinLock(&m_EventLock);
  ListInit(&m_EventList);
}

CPort::~CPort() {
  // Subscriptions belong to open filters, which hold a reference to the port;
  // none can be left by the time the last reference goes.
  KERNEL_RULE(ListEmpty(&m_EventList), "port destroyed with events still in its list");
  if (m_Adapter) UnbindPort(m_Adapter, this);
  ReleaseChildren();
}

NTSTATUS CPort::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IPort)) {
    *object = AsPort();
  } else if (IsEqualGUIDAligned(iid, IID_IPortTopology) && !m_WaveCyclic) {
    *object = static_cast<IPortTopology*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IPortWaveCyclic) && m_WaveCyclic) {
    *object = static_cast<IPortWaveCyclic*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IPortEvents)) {
    *object = static_cast<IPortEvents*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IPortClsVersion)) {
    *object = static_cast<IPortClsVersion*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUnregisterSubdevice)) {
    *object = static_cast<IUnregisterSubdevice*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUnregisterPhysicalConnection)) {
    *object = static_cast<IUnregisterPhysicalConnection*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IStandInPort)) {
    *object = this;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

CPort* PortFromUnknown(PUNKNOWN unknown) {
  if (!unknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IStandInPort, &object))) return nullptr;
  CPort* port = static_cast<CPort*>(object);
  port->NonDelegatingRelease();  // the caller holds its own reference
  return port;
}

NTSTATUS CPort::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                     PRESOURCELIST resourceList) {
  PAGED_CODE();
  if (!deviceObject || !unknownMiniport) return STATUS_INVALID_PARAMETER;
  if (m_Miniport) return STATUS_INVALID_DEVICE_STATE;  // a port binds one miniport once

  NTSTATUS status;
  PVOID object = nullptr;
  if (m_WaveCyclic) {
    status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, &object);
    if (!NT_SUCCESS(status)) return status;
    m_WaveMiniport = static_cast<IMiniportWaveCyclic*>(object);
    m_Miniport = m_WaveMiniport;
  } else {
    status = unknownMiniport->QueryInterface(IID_IMiniportTopology, &object);
    if (!NT_SUCCESS(status)) return status;
    m_TopologyMiniport = static_cast<IMiniportTopology*>(object);
    m_Miniport = m_TopologyMiniport;
  }
  m_Miniport->AddRef();
  m_DeviceObject = deviceObject;

  // The miniport may call back into the port (events, registry) from Init.
  status = m_WaveCyclic ? m_WaveMiniport->Init(unknownAdapter, resourceList, static_cast<IPortWaveCyclic*>(this))
                        : m_TopologyMiniport->Init(unknownAdapter, resourceList, static_cast<IPortTopology*>(this));
  if (NT_SUCCESS(status)) {
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    status = m_Miniport->GetDescription(&descriptor);
    if (NT_SUCCESS(status) && !descriptor) status = STATUS_INVALID_DEVICE_STATE;
    if (NT_SUCCESS(status)) m_Descriptor = descriptor;
  }
  if (!NT_SUCCESS(status)) {
    if (m_WaveMiniport) m_WaveMiniport->Release();
    if (m_TopologyMiniport) m_TopologyMiniport->Release();
    m_Miniport->Release();
    m_Miniport = nullptr;
    m_WaveMiniport = nullptr;
    m_TopologyMiniport = nullptr;
    m_DeviceObject = nullptr;
    return status;
  }
  object = nullptr;
  if (NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify, &object))) {
    m_PowerNotify = static_cast<IPowerNotify*>(object);
  }
  if (AdapterContext* adapter = GetAdapterContext(deviceObject)) {
    m_Adapter = adapter;
    BindPort(adapter, this);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CPort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength, PVOID propertyBuffer,
                                  PULONG resultLength) {
  if (!m_DeviceObject) return STATUS_INVALID_DEVICE_STATE;
  return PcGetDeviceProperty(m_DeviceObject, deviceProperty, bufferLength, propertyBuffer, resultLength);
}

NTSTATUS CPort::NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, PVOID, ULONG, PULONG) {
  // Drivers of this system open their keys with PcNewRegistryKey.
  return STATUS_NOT_IMPLEMENTED;
}

void CPort::Notify(PSERVICEGROUP serviceGroup) {
  // The stream calls this under its own spin lock; the service group runs
  // its members later, from its DPC.
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IPortWaveCyclic::Notify above DISPATCH_LEVEL");
  if (serviceGroup) serviceGroup->RequestService();
}

NTSTATUS CPort::NewSlaveDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, ULONG, BOOLEAN, ULONG) {
  // A USB function has no system DMA: its streams are their own channels.
  if (dmaChannel) *dmaChannel = nullptr;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS CPort::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, BOOLEAN, BOOLEAN, ULONG,
                                    ULONG) {
  if (dmaChannel) *dmaChannel = nullptr;
  return STATUS_NOT_SUPPORTED;
}

void CPort::AddEventToEventList(PKSEVENT_ENTRY eventEntry) {
  if (!eventEntry) return;
  auto* entry = reinterpret_cast<PCEVENT_ENTRY*>(eventEntry);
  KIRQL irql;
  KeAcquireSpinLock(&m_EventLock, &irql);
  if (!entry->InList) {
    ListInsertTail(&m_EventList, &entry->EventEntry.ListEntry);
    entry->InList = TRUE;
  }
  KeReleaseSpinLock(&m_EventLock, irql);
}

void CPort::RemoveEventEntry(PCEVENT_ENTRY* entry) {
  KIRQL irql;
  KeAcquireSpinLock(&m_EventLock, &irql);
  if (entry->InList) {
    ListRemove(&entry->EventEntry.ListEntry);
    entry->InList = FALSE;
  }
  KeReleaseSpinLock(&m_EventLock, irql);
}

void CPort::GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent, ULONG nodeId) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "GenerateEventList above DISPATCH_LEVEL");
  KIRQL irql;
  KeAcquireSpinLock(&m_EventLock, &irql);
  for (LIST_ENTRY* link = m_EventList.Flink; link != &m_EventList; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, PCEVENT_ENTRY, EventEntry.ListEntry);
    if (set && !(*entry->EventEntry.EventSet == *set)) continue;
    if (entry->EventEntry.EventId != eventId) continue;
    if (pinEvent && entry->PinId != pinId) continue;
    if (nodeEvent && entry->NodeId != nodeId) continue;
    ++entry->Delivered;
    PKSEVENTDATA data = entry->EventEntry.EventData;
    if (data && data->NotificationType == KSEVENTF_EVENT_OBJECT && data->EventObject.Event)
      KeSetEvent(data->EventObject.Event, data->EventObject.Increment, FALSE);
  }
  KeReleaseSpinLock(&m_EventLock, irql);
}

DWORD CPort::GetVersion() { return PortClsVersion(); }

void CPort::ReleaseChildren() {
  if (m_PowerNotify) m_PowerNotify->Release();
  if (m_TopologyMiniport) m_TopologyMiniport->Release();
  if (m_WaveMiniport) m_WaveMiniport->Release();
  if (m_Miniport) m_Miniport->Release();
  m_PowerNotify = nullptr;
  m_TopologyMiniport = nullptr;
  m_WaveMiniport = nullptr;
  m_Miniport = nullptr;
}

void CPort::PowerChangeNotify(POWER_STATE state) {
  if (m_PowerNotify) m_PowerNotify->PowerChangeNotify(state);
}

NTSTATUS CPort::UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  CPort* port = PortFromUnknown(unknown);
  if (!adapter || !port) return STATUS_INVALID_PARAMETER;
  for (const PhysicalConnection& c : adapter->connections) {
    // A registered connection would be left pointing at a filter that is gone.
    if (c.from == port || c.to == port) return STATUS_INVALID_DEVICE_STATE;
  }
  for (size_t i = 0; i < adapter->subdevices.size(); ++i) {
    if (adapter->subdevices[i].port == port) {
      RemoveSubdevice(adapter, i);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS CPort::UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                             PUNKNOWN toUnknown, ULONG toPin) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  CPort* from = PortFromUnknown(fromUnknown);
  CPort* to = PortFromUnknown(toUnknown);
  if (!adapter || !from || !to) return STATUS_INVALID_PARAMETER;
  auto& list = adapter->connections;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].from == from && list[i].fromPin == fromPin && list[i].to == to && list[i].toPin == toPin) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS CPort::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNICODE_STRING, ULONG) {
  return STATUS_NOT_FOUND;  // external connections are never registered here
}

NTSTATUS CPort::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT, PUNICODE_STRING, ULONG, PUNKNOWN, ULONG) {
  return STATUS_NOT_FOUND;
}

}  // namespace platform::portcls

NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId) {
  if (!outPort) return STATUS_INVALID_PARAMETER;
  *outPort = nullptr;
  bool wave = IsEqualGUIDAligned(classId, CLSID_PortWaveCyclic);
  if (!wave && !IsEqualGUIDAligned(classId, CLSID_PortTopology)) return STATUS_INVALID_PARAMETER;
  auto* port = new (NonPagedPool, platform::portcls::kPoolTag) platform::portcls::CPort(wave);
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  port->NonDelegatingAddRef();
  *outPort = port->AsPort();
  return STATUS_SUCCESS;
}
