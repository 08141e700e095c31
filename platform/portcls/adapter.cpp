// The adapter side of the framework: driver initialisation, the adapter
// device and its dispatch, subdevice and connection registration, adapter
// power management and the framework's small services.
#include <mutex>

#include "portcls/internal.h"

namespace platform::portcls {
namespace {

constexpr ULONG kAdapterSignature = MakeTag("PcAd");

struct Globals {
  std::mutex lock;
  DWORD version = kVersionWinVista;
  std::vector<ContentForward> forwards;
};
Globals& G() {
  static Globals g;
  return g;
}

// The empty resource list handed to the start routine: a USB function owns
// no ports, interrupts or DMA channels.
class CEmptyResourceList : public CUnknownBase, public IResourceList {
 public:
  CEmptyResourceList() : CUnknownBase(nullptr) {}
  STANDIN_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IResourceList) || IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = static_cast<IResourceList*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE NumberOfEntries() override { return 0; }
};

UNICODE_STRING MakeCountedString(std::u16string& text) {
  UNICODE_STRING s;
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  s.Buffer = text.data();
  return s;
}

void FreeLink(UNICODE_STRING& link) {
  if (link.Buffer) ExFreePool(link.Buffer);
  link.Buffer = nullptr;
  link.Length = link.MaximumLength = 0;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for the lower drivers to finish with it; the
// IRP stays ours to complete.
NTSTATUS ForwardAndWait(AdapterContext* adapter, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(adapter->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS ForwardAndForget(AdapterContext* adapter, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(adapter->lower, irp);
}

void DisableInterfaces(AdapterContext* adapter) {
  for (Subdevice& s : adapter->subdevices)
    for (UNICODE_STRING& link : s.links) IoSetDeviceInterfaceState(&link, FALSE);
}

void ReleaseAdapterObjects(AdapterContext* adapter) {
  while (!adapter->subdevices.empty()) RemoveSubdevice(adapter, adapter->subdevices.size() - 1);
  adapter->connections.clear();
  // Ports still bound may never have been registered (the registration
  // failed, or the driver gave up before it) and would live on in a cycle
  // with their miniports; for ports whose subdevice went earlier this
  // changes nothing. Each port is held while it lets go, since its miniport
  // may hold the last reference to it; others that go meanwhile take
  // themselves off the list.
  while (!adapter->boundPorts.empty()) {
    CPort* port = adapter->boundPorts.back();
    adapter->boundPorts.pop_back();
    port->Unbind();
    port->NonDelegatingAddRef();
    port->Unregistered();
    port->NonDelegatingRelease();
  }
  if (adapter->power) {
    adapter->power->Release();
    adapter->power = nullptr;
  }
}

void SetDevicePower(AdapterContext* adapter, DEVICE_POWER_STATE state) {
  if (state == adapter->powerState) return;
  POWER_STATE ps;
  ps.DeviceState = state;
  if (adapter->power) adapter->power->PowerChangeState(ps);
  for (Subdevice& s : adapter->subdevices) s.port->PowerChangeNotify(ps);
  adapter->powerState = state;
  PoSetPowerState(adapter->fdo, DevicePowerState, ps);
}

NTSTATUS DispatchPnp(AdapterContext* adapter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(adapter, irp);
      if (NT_SUCCESS(status)) {
        auto* resources = new (NonPagedPool, kPoolTag) CEmptyResourceList();
        if (!resources) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          resources->NonDelegatingAddRef();
          status = adapter->startDevice ? adapter->startDevice(adapter->fdo, irp, resources) : STATUS_SUCCESS;
          resources->NonDelegatingRelease();
        }
        if (NT_SUCCESS(status)) {
          adapter->started = true;
          adapter->powerState = PowerDeviceD0;
        }
      }
      return CompleteWith(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      NTSTATUS status = ForwardAndWait(adapter, irp);
      if (NT_SUCCESS(status) && adapter->power && stack->Parameters.DeviceCapabilities.Capabilities)
        status = adapter->power->QueryDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
      return CompleteWith(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_STOP_DEVICE:
      adapter->started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return ForwardAndForget(adapter, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      DisableInterfaces(adapter);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return ForwardAndForget(adapter, irp);
    case IRP_MN_REMOVE_DEVICE: {
      DisableInterfaces(adapter);
      // Open filters keep their ports; the host closes them when it sees the
      // device go.
      ReleaseAdapterObjects(adapter);
      adapter->removed = true;
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = ForwardAndForget(adapter, irp);
      PDEVICE_OBJECT fdo = adapter->fdo;
      IoDetachDevice(adapter->lower);
      *static_cast<AdapterContext**>(fdo->DeviceExtension) = nullptr;
      adapter->signature = 0;
      delete adapter;
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      return ForwardAndForget(adapter, irp);
  }
}

NTSTATUS DispatchPower(AdapterContext* adapter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type == DevicePowerState) {
    DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && adapter->power) {
      NTSTATUS status = adapter->power->QueryPowerChangeState(stack->Parameters.Power.State);
      if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, status);
      }
    } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
      // Going up, the lower drivers power up first; going down, we do first.
      if (state < adapter->powerState) {
        NTSTATUS status = ForwardAndWait(adapter, irp);
        if (NT_SUCCESS(status)) SetDevicePower(adapter, state);
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, status);
      }
      SetDevicePower(adapter, state);
    }
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(adapter->lower, irp);
}

std::u16string FileNameOf(PFILE_OBJECT file) {
  if (!file || !file->FileName.Buffer) return {};
  std::u16string name(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
  if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
  return name;
}

NTSTATUS DispatchCreate(AdapterContext* adapter, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!file) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
  Filter* filter = nullptr;
  NTSTATUS status = Filter::Open(adapter->fdo, FileNameOf(file), &filter);
  if (NT_SUCCESS(status)) file->FsContext = filter;
  return CompleteWith(irp, status);
}

NTSTATUS DispatchClose(PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (file && file->FsContext) {
    Filter::Close(static_cast<Filter*>(file->FsContext));
    file->FsContext = nullptr;
  }
  return CompleteWith(irp, STATUS_SUCCESS);
}

// Kernel-streaming requests on an open filter. METHOD_NEITHER: the request
// (KSPROPERTY, KSNODEPROPERTY, KSE_NODE ...) is the input buffer, the value
// the output buffer.
NTSTATUS DispatchDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* filter = stack->FileObject ? static_cast<Filter*>(stack->FileObject->FsContext) : nullptr;
  if (!filter) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* in = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (!in) in = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  PVOID out = irp->UserBuffer ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer;

  if (code == IOCTL_KS_PROPERTY) {
    if (!in || inLength < sizeof(KSPROPERTY)) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    auto* property = reinterpret_cast<const KSPROPERTY*>(in);
    ULONG node = ULONG(-1);
    ULONG header = sizeof(KSPROPERTY);
    if (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) {
      if (inLength < sizeof(KSNODEPROPERTY)) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
      node = reinterpret_cast<const KSNODEPROPERTY*>(in)->NodeId;
      header = sizeof(KSNODEPROPERTY);
    }
    ULONG verb = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    ULONG valueSize = outLength;
    NTSTATUS status = filter->Property(property->Set, property->Id, verb, node, in + header, inLength - header,
                                       out, &valueSize, irp);
    return CompleteWith(irp, status, valueSize);
  }
  if (code == IOCTL_KS_ENABLE_EVENT) {
    if (!in || inLength < sizeof(KSEVENT) || !out || outLength < sizeof(KSEVENTDATA))
      return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    auto* event = reinterpret_cast<const KSEVENT*>(in);
    ULONG node = ULONG(-1);
    if (event->Flags & KSEVENT_TYPE_TOPOLOGY) {
      if (inLength < sizeof(KSE_NODE)) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
      node = reinterpret_cast<const KSE_NODE*>(in)->NodeId;
    }
    NTSTATUS status = filter->EnableEvent(event->Set, event->Id, node, static_cast<PKSEVENTDATA>(out), irp);
    return CompleteWith(irp, status);
  }
  if (code == IOCTL_KS_DISABLE_EVENT) {
    if (!in || inLength < sizeof(KSEVENTDATA)) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    // The subscriber names its subscription by the event data it enabled.
    auto* data = reinterpret_cast<PKSEVENTDATA>(in);
    return CompleteWith(irp, filter->DisableEvent(data));
  }
  return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

void SetPortClsVersion(DWORD version) {
  std::lock_guard<std::mutex> lock(G().lock);
  G().version = version;
}
DWORD PortClsVersion() {
  std::lock_guard<std::mutex> lock(G().lock);
  return G().version;
}
std::vector<ContentForward> ForwardedContent() {
  std::lock_guard<std::mutex> lock(G().lock);
  return G().forwards;
}
void ResetForTest() {
  std::lock_guard<std::mutex> lock(G().lock);
  G().version = kVersionWinVista;
  G().forwards.clear();
}

AdapterContext* GetAdapterContext(PDEVICE_OBJECT deviceObject) {
  if (!deviceObject || !deviceObject->DeviceExtension) return nullptr;
  auto* adapter = *static_cast<AdapterContext**>(deviceObject->DeviceExtension);
  if (!adapter || adapter->signature != kAdapterSignature || adapter->fdo != deviceObject) return nullptr;
  return adapter;
}

bool IsAdapterDevice(PDEVICE_OBJECT deviceObject) { return GetAdapterContext(deviceObject) != nullptr; }

Subdevice* FindSubdevice(AdapterContext* adapter, const std::u16string& name) {
  for (Subdevice& s : adapter->subdevices) {
    if (s.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; };
      same = up(s.name[i]) == up(name[i]);
    }
    if (same) return &s;
  }
  return nullptr;
}

void RemoveSubdevice(AdapterContext* adapter, size_t index) {
  Subdevice& s = adapter->subdevices[index];
  for (UNICODE_STRING& link : s.links) {
    IoSetDeviceInterfaceState(&link, FALSE);
    FreeLink(link);
  }
  CPort* port = s.port;
  adapter->subdevices.erase(adapter->subdevices.begin() + static_cast<std::ptrdiff_t>(index));
  port->Unregistered();
  port->NonDelegatingRelease();
}

void BindPort(AdapterContext* adapter, CPort* port) { adapter->boundPorts.push_back(port); }

void UnbindPort(AdapterContext* adapter, CPort* port) {
  auto& ports = adapter->boundPorts;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i] == port) {
      ports.erase(ports.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

std::vector<SubdeviceInfo> Subdevices(PDEVICE_OBJECT adapterDevice) {
  std::vector<SubdeviceInfo> out;
  if (AdapterContext* adapter = GetAdapterContext(adapterDevice))
    for (Subdevice& s : adapter->subdevices)
      out.push_back({s.name, s.port->AsPort(), s.port->Descriptor(), s.port->IsWaveCyclic()});
  return out;
}

std::vector<PhysicalConnectionInfo> PhysicalConnections(PDEVICE_OBJECT adapterDevice) {
  std::vector<PhysicalConnectionInfo> out;
  AdapterContext* adapter = GetAdapterContext(adapterDevice);
  if (!adapter) return out;
  auto nameOf = [&](CPort* port) {
    for (Subdevice& s : adapter->subdevices)
      if (s.port == port) return s.name;
    return std::u16string();
  };
  for (const PhysicalConnection& c : adapter->connections)
    out.push_back({nameOf(c.from), c.fromPin, nameOf(c.to), c.toPin});
  return out;
}

DEVICE_POWER_STATE AdapterPowerState(PDEVICE_OBJECT adapterDevice) {
  AdapterContext* adapter = GetAdapterContext(adapterDevice);
  return adapter ? adapter->powerState : PowerDeviceUnspecified;
}

bool HasAdapterPowerManagement(PDEVICE_OBJECT adapterDevice) {
  AdapterContext* adapter = GetAdapterContext(adapterDevice);
  return adapter && adapter->power;
}

}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING, PDRIVER_ADD_DEVICE addDevice) {
  PAGED_CODE();
  if (!driverObject || !addDevice || !driverObject->DriverExtension) return STATUS_INVALID_PARAMETER;
  driverObject->DriverExtension->AddDevice = addDevice;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER,
                      IRP_MJ_SYSTEM_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_QUERY_SECURITY, IRP_MJ_SET_SECURITY})
    driverObject->MajorFunction[major] = PcDispatchIrp;
  return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize) {
  PAGED_CODE();
  if (!driverObject || !physicalDeviceObject || !startDevice) return STATUS_INVALID_PARAMETER;
  if (deviceExtensionSize == 0) deviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  if (deviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) return STATUS_INVALID_PARAMETER;

  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driverObject, deviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* adapter = new AdapterContext{};
  adapter->signature = MakeTag("PcAd");
  adapter->fdo = fdo;
  adapter->pdo = physicalDeviceObject;
  adapter->startDevice = startDevice;
  adapter->maxObjects = maxObjects;
  adapter->powerState = PowerDeviceUnspecified;
  adapter->lower = IoAttachDeviceToDeviceStack(fdo, physicalDeviceObject);
  if (!adapter->lower) {
    delete adapter;
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  *static_cast<AdapterContext**>(fdo->DeviceExtension) = adapter;
  // A driver whose AddDevice fails after this point detaches and deletes
  // the device itself; the record goes with the device's memory then, as it
  // would inside a real extension. A removal frees it first.
  platform::io::SetDeviceExtensionRelease(fdo, [](PDEVICE_OBJECT device) {
    if (AdapterContext* left = GetAdapterContext(device)) {
      *static_cast<AdapterContext**>(device->DeviceExtension) = nullptr;
      left->signature = 0;
      delete left;
    }
  });
  fdo->StackSize = static_cast<CCHAR>(adapter->lower->StackSize + 1);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  if (!adapter) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return DispatchPnp(adapter, irp);
    case IRP_MJ_POWER:
      return DispatchPower(adapter, irp);
    case IRP_MJ_CREATE:
      return DispatchCreate(adapter, irp);
    case IRP_MJ_CLOSE:
      return DispatchClose(irp);
    case IRP_MJ_CLEANUP:
      return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      return DispatchDeviceControl(irp);
    case IRP_MJ_SYSTEM_CONTROL:
      return ForwardAndForget(adapter, irp);
    default:
      return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS ntStatus) {
  if (!irp) return STATUS_INVALID_PARAMETER;
  irp->IoStatus.Status = ntStatus;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return ntStatus;
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID deviceObject) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(static_cast<PDEVICE_OBJECT>(deviceObject));
  if (!adapter || !unknown) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, &object);
  if (!NT_SUCCESS(status)) return status;
  if (adapter->power) adapter->power->Release();
  adapter->power = static_cast<IAdapterPowerManagement*>(object);
  return STATUS_SUCCESS;
}

NTSTATUS PcUnregisterAdapterPowerManagement(PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  if (!adapter) return STATUS_INVALID_PARAMETER;
  if (!adapter->power) return STATUS_UNSUCCESSFUL;
  adapter->power->Release();
  adapter->power = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength) {
  AdapterContext* adapter = GetAdapterContext(static_cast<PDEVICE_OBJECT>(deviceObject));
  if (!adapter) return STATUS_INVALID_PARAMETER;
  return IoGetDeviceProperty(adapter->pdo, deviceProperty, bufferLength, propertyBuffer, resultLength);
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PWSTR name, PUNKNOWN unknown) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  CPort* port = PortFromUnknown(unknown);
  if (!adapter || !port || !name || !*name) return STATUS_INVALID_PARAMETER;
  if (!port->IsInitialized()) return STATUS_INVALID_DEVICE_STATE;
  std::u16string text = FromWide(name);
  if (FindSubdevice(adapter, text)) return STATUS_OBJECT_NAME_COLLISION;
  for (const Subdevice& s : adapter->subdevices)
    if (s.port == port) return STATUS_OBJECT_NAME_COLLISION;
  if (adapter->subdevices.size() >= adapter->maxObjects) return STATUS_INSUFFICIENT_RESOURCES;

  // One device interface per filter category, with the subdevice name as
  // reference string: that is how the audio stack finds the filter.
  Subdevice sub{text, port, {}};
  const PCFILTER_DESCRIPTOR* d = port->Descriptor();
  for (ULONG i = 0; i < d->CategoryCount && d->Categories; ++i) {
    UNICODE_STRING reference = MakeCountedString(sub.name);
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(adapter->pdo, &d->Categories[i], &reference, &link);
    if (!NT_SUCCESS(status)) {
      for (UNICODE_STRING& l : sub.links) FreeLink(l);
      return status;
    }
    sub.links.push_back(link);
  }
  for (UNICODE_STRING& link : sub.links) IoSetDeviceInterfaceState(&link, TRUE);
  port->NonDelegatingAddRef();
  adapter->subdevices.push_back(std::move(sub));
  return STATUS_SUCCESS;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                      PUNKNOWN toUnknown, ULONG toPin) {
  PAGED_CODE();
  AdapterContext* adapter = GetAdapterContext(deviceObject);
  CPort* from = PortFromUnknown(fromUnknown);
  CPort* to = PortFromUnknown(toUnknown);
  if (!adapter || !from || !to || from == to) return STATUS_INVALID_PARAMETER;
  bool fromRegistered = false, toRegistered = false;
  for (const Subdevice& s : adapter->subdevices) {
    fromRegistered |= s.port == from;
    toRegistered |= s.port == to;
  }
  if (!fromRegistered || !toRegistered) return STATUS_INVALID_PARAMETER;
  if (fromPin >= from->Descriptor()->PinCount || toPin >= to->Descriptor()->PinCount) return STATUS_INVALID_PARAMETER;
  for (const PhysicalConnection& c : adapter->connections)
    if (c.from == from && c.fromPin == fromPin && c.to == to && c.toPin == toPin) return STATUS_OBJECT_NAME_COLLISION;
  adapter->connections.push_back({from, fromPin, to, toPin});
  return STATUS_SUCCESS;
}

NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PVOID, PCDRMFORWARD drmForward) {
  if (!drmForward) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(G().lock);
  G().forwards.push_back({contentId, drmForward->DeviceObject, drmForward->FileObject, drmForward->Context});
  return STATUS_SUCCESS;
}
