#include "driver/DriverEntry.h"

#include <atomic>

#include "driver/AsioIoctlTable.h"
#include "driver/CHeadsetUsbDevice.h"
#include "driver/common/SystemVersion.h"
#include "topology/CMiniportTopology.h"
#include "topology/CMiniportWaveCyclic.h"

namespace {

// Driver-wide counted strings, built by DriverEntry.
UNICODE_STRING g_AsioReferenceString;
UNICODE_STRING g_AsioFileName;
UNICODE_STRING g_EnumReferenceString;

std::atomic<PFNCREATEMINIPORT> g_TopologyFactory{CreateMiniportTopology};
std::atomic<PFNCREATEWAVEMINIPORT> g_WaveFactory{CreateMiniportWaveCyclic};

DeviceExtension* ExtensionOf(PDEVICE_OBJECT deviceObject) {
  return deviceObject && deviceObject->DeviceExtension ? GetDeviceExtension(deviceObject) : nullptr;
}

bool IsAsioFile(PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack ? stack->FileObject : nullptr;
  return file && file->FileName.Buffer && RtlCompareUnicodeString(&file->FileName, &g_AsioFileName, TRUE) == 0;
}

// Every request but a start first wakes a suspended device.
void CancelIdle(DeviceExtension* extension) {
  if (extension && extension->Adapter) extension->Adapter->CancelIdleRequest();
}

// The port class driver's version, from a port it makes.
NTSTATUS CheckPortClassVersion() {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
  if (!NT_SUCCESS(status)) return status;
  PVOID object = nullptr;
  status = port->QueryInterface(IID_IPortClsVersion, &object);
  DWORD version = 0;
  if (NT_SUCCESS(status)) {
    version = static_cast<IPortClsVersion*>(object)->GetVersion();
    static_cast<IPortClsVersion*>(object)->Release();
  }
  port->Release();
  return NT_SUCCESS(status) && version >= DRIVER_MINIMUM_PORTCLS_VERSION ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Stops the model and takes every engine's wave filter down, up to the
// first engine that cannot be fetched or removed.
void StopAndRemoveEngines(PDEVICE_OBJECT deviceObject, IAudioHal* adapter, bool report) {
  adapter->Stop();
  ULONG count = adapter->GetStreamEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(adapter->GetStreamEngine(i, &engine)) || !engine) break;
    if (!NT_SUCCESS(engine->RemoveSubdevice(deviceObject))) {
      if (report) DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", static_cast<int>(i));
      break;
    }
  }
}

void DisableInterface(UCHAR* enabled, PUNICODE_STRING link) {
  if (*enabled) {
    IoSetDeviceInterfaceState(link, FALSE);
    *enabled = 0;
  }
}

void ForgetInterface(UCHAR* registered, PUNICODE_STRING link) {
  if (*registered) {
    RtlFreeUnicodeString(link);
    *registered = 0;
  }
}

// The enumeration interface's link, once per device.
NTSTATUS RegisterEnumInterface(DeviceExtension* extension) {
  if (extension->EnumInterfaceRegistered) return STATUS_SUCCESS;
  const NTSTATUS status = IoRegisterDeviceInterface(extension->PhysicalDeviceObject, &GUID_ENUM_PRIVATE_INTERFACE,
                                                    &g_EnumReferenceString, &extension->EnumInterfaceLink);
  if (NT_SUCCESS(status)) extension->EnumInterfaceRegistered = 1;
  return status;
}

void UnregisterTopology(PDEVICE_OBJECT deviceObject, PUNKNOWN topologyPort) {
  PVOID object = nullptr;
  if (!NT_SUCCESS(topologyPort->QueryInterface(IID_IUnregisterSubdevice, &object)) || !object) return;
  auto* unregister = static_cast<IUnregisterSubdevice*>(object);
  if (!NT_SUCCESS(unregister->UnregisterSubdevice(deviceObject, topologyPort)))
    DbgPrint("Remove Topology Miniport Failed\n");
  unregister->Release();
}

// A stop (a resource rebalance) undoes a successful start, so that the next
// start finds the device as AddDevice left it: the model stopped, every
// filter and connection unregistered, the interfaces disabled (their links
// stay registered), the power callbacks withdrawn and the name counters back
// at zero, so that the filters come back under the same names. The device
// object goes with the adapter reference, after the framework has seen the
// request.
NTSTATUS StopStartedDevice(PDEVICE_OBJECT deviceObject, DeviceExtension* extension, PIRP irp) {
  DisableInterface(&extension->AsioInterfaceEnabled, &extension->AsioInterfaceLink);
  DisableInterface(&extension->EnumInterfaceEnabled, &extension->EnumInterfaceLink);
  IAudioHal* adapter = extension->Adapter;
  PUNKNOWN topologyPort = extension->TopologyPort;
  extension->Adapter = nullptr;
  extension->TopologyPort = nullptr;
  if (adapter) {
    StopAndRemoveEngines(deviceObject, adapter, true);
    PcUnregisterAdapterPowerManagement(deviceObject);
  }
  if (topologyPort) UnregisterTopology(deviceObject, topologyPort);
  std::memset(extension->OutputNameCounters, 0, sizeof extension->OutputNameCounters);
  std::memset(extension->InputNameCounters, 0, sizeof extension->InputNameCounters);
  NTSTATUS status = PcDispatchIrp(deviceObject, irp);
  if (topologyPort) topologyPort->Release();
  if (adapter) adapter->Release();
  return status;
}

// Keeps why the start refused the device: the model's record, else the
// device object's, else the start's own step that failed. The device
// object and its model go with the failed start, the extension stays.
void KeepStartRefusal(PUNKNOWN device, IAudioHal* adapter, const ModelRefusal& step, DeviceExtension* extension) {
  PVOID object = nullptr;
  if (device && NT_SUCCESS(device->QueryInterface(IID_IUsbAudioHal, &object)) && object) {
    static_cast<IUsbAudioHal*>(object)->GetRefusal(&extension->StartRefusal);
    static_cast<IUsbAudioHal*>(object)->Release();
  }
  if (!extension->StartRefusal.step && adapter)
    extension->StartRefusal = static_cast<CUsbAudioDevice*>(adapter)->GetConfigurationRefusal();
  if (!extension->StartRefusal.step) extension->StartRefusal = step;
  const ModelRefusal& kept = extension->StartRefusal;
  DbgPrint("the start refused the device at %s (0x%08X)\n", kept.step ? kept.step : "?",
           static_cast<unsigned>(kept.status));
}

NTSTATUS CompleteWithStatus(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Create and close of a file of the ASIO interface.
NTSTATUS DispatchAsioOpenClose(DeviceExtension* extension, PIO_STACK_LOCATION stack, PIRP irp, bool create) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  // Before a successful start there is no device object to serve the host.
  if (extension->Adapter) {
    PVOID object = nullptr;
    if (NT_SUCCESS(extension->Adapter->QueryInterface(IID_IAsioPrivate, &object))) {
      auto* asio = static_cast<IAsioPrivate*>(object);
      status = create ? asio->Open(stack->FileObject) : asio->Close(stack->FileObject);
      asio->Release();
      if (!NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    }
  }
  return CompleteWithStatus(irp, status);
}

NTSTATUS DispatchCreateOrClose(PDEVICE_OBJECT deviceObject, PIRP irp, bool create) {
  PAGED_CODE();
  DeviceExtension* extension = ExtensionOf(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (extension && stack) CancelIdle(extension);
  if (extension && IsAsioFile(stack)) return DispatchAsioOpenClose(extension, stack, irp, create);
  return PcDispatchIrp(deviceObject, irp);
}

}  // namespace

MiniportFactories SetMiniportFactories(const MiniportFactories& factories) {
  return {g_TopologyFactory.exchange(factories.topology), g_WaveFactory.exchange(factories.wave)};
}

MiniportFactories GetMiniportFactories() { return {g_TopologyFactory.load(), g_WaveFactory.load()}; }

// ============================================================================
// Entry and AddDevice
// ============================================================================

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  PAGED_CODE();
  if (!IsSystemAtLeast(DRIVER_MINIMUM_DDI_VERSION)) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
  if (NT_SUCCESS(status)) {
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  }
  RtlInitUnicodeString(&g_AsioReferenceString, ASIO_REFERENCE_STRING);
  RtlInitUnicodeString(&g_AsioFileName, ASIO_FILE_NAME);
  RtlInitUnicodeString(&g_EnumReferenceString, ENUM_REFERENCE_STRING);
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(physicalDeviceObject);
  NTSTATUS status =
      PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, DRIVER_MAX_SUBDEVICES, DRIVER_EXTENSION_SIZE);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(lower);
    return status;
  }

  PDEVICE_OBJECT adapterDevice = IoGetAttachedDeviceReference(physicalDeviceObject);
  DeviceExtension* extension = GetDeviceExtension(adapterDevice);
  std::memset(static_cast<void*>(extension), 0, sizeof(DeviceExtension));
  extension->FunctionalDeviceObject = adapterDevice;
  extension->LowerDeviceObject = lower;
  extension->PhysicalDeviceObject = physicalDeviceObject;
  KeInitializeMutex(&extension->Mutex, 0);
  ObDereferenceObject(adapterDevice);

  RegisterEnumInterface(extension);
  status = IoRegisterDeviceInterface(physicalDeviceObject, &GUID_ASIO_PRIVATE_INTERFACE, &g_AsioReferenceString,
                                     &extension->AsioInterfaceLink);
  if (NT_SUCCESS(status)) {
    extension->AsioInterfaceRegistered = 1;
    return status;
  }
  // The plug-and-play manager forgets a device whose AddDevice failed: what
  // was made for it goes, or the driver could never unload.
  ForgetInterface(&extension->EnumInterfaceRegistered, &extension->EnumInterfaceLink);
  extension->LowerDeviceObject = nullptr;
  IoDetachDevice(lower);
  IoDeleteDevice(adapterDevice);
  ObDereferenceObject(lower);
  return status;
}

// ============================================================================
// Start
// ============================================================================

NTSTATUS FormatEngineName(DeviceExtension* extension, ULONG isCapture, ULONG pinCategory, PWSTR name) {
  ULONG category = ClampPinCategory(pinCategory);
  UCHAR* counters = isCapture ? extension->InputNameCounters : extension->OutputNameCounters;
  ULONG number = counters[category]++;
  return RtlStringCchPrintfW(name, STREAM_ENGINE_NAME_CHARS, isCapture ? u"%sIn%02d" : u"%sOut%02d",
                             PinCategoryPrefix(category), static_cast<int>(number));
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId, REFCLSID miniportClassId,
                          PFNCREATEMINIPORT factory, PUNKNOWN adapter, PUNKNOWN* port, PUNKNOWN* miniport) {
  PAGED_CODE();
  if (!adapter) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = adapter->QueryInterface(IID_IAudioHal, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* hal = static_cast<IAudioHal*>(object);

  PPORT newPort = nullptr;
  PUNKNOWN newMiniport = nullptr;
  ISubdeviceInfo* info = nullptr;
  status = PcNewPort(&newPort, portClassId);
  if (NT_SUCCESS(status) && !factory) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status)) status = factory(&newMiniport, miniportClassId, nullptr, NonPagedPool);
  if (NT_SUCCESS(status)) status = newPort->Init(deviceObject, irp, newMiniport, adapter, nullptr);
  if (NT_SUCCESS(status)) {
    object = nullptr;
    status = newMiniport->QueryInterface(IID_ISubdeviceInfo, &object);
    info = static_cast<ISubdeviceInfo*>(object);
  }
  PWSTR name = nullptr;
  if (NT_SUCCESS(status)) status = info->GetName(&name);
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(deviceObject, name, newPort);
  if (NT_SUCCESS(status) && port) {
    object = nullptr;
    status = newPort->QueryInterface(IID_IUnknown, &object);
    *port = static_cast<PUNKNOWN>(object);
  }
  // The registered port keeps its miniport; the caller's pointer leans on
  // that.
  if (NT_SUCCESS(status) && miniport) *miniport = newMiniport;

  if (info) info->Release();
  if (newMiniport) newMiniport->Release();
  if (newPort) newPort->Release();
  hal->Release();
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(deviceObject);
  const MiniportFactories factories = GetMiniportFactories();
  PUNKNOWN device = nullptr;
  IAudioHal* adapter = nullptr;
  PUNKNOWN topologyPort = nullptr;
  PUNKNOWN topologyMiniport = nullptr;
  PWSTR name = nullptr;
  bool asioCapable = false;
  extension->StartRefusal = ModelRefusal{};

  // The step under way, for the refusal record when neither the model nor
  // the device object names one.
  ModelRefusal step;
  auto at = [&](const char* name, const char* reason, ULONG value = 0) {
    step.step = name;
    step.reason = reason;
    step.values[0] = value;
  };
  at("CheckPortClassVersion", "the port class driver made no port to ask for its version");
  NTSTATUS status = CheckPortClassVersion();
  at("CHeadsetUsbDevice::Create", "the device object could not be made");
  if (NT_SUCCESS(status)) status = CHeadsetUsbDevice::Create(&device);
  if (NT_SUCCESS(status)) {
    PVOID object = nullptr;
    status = device->QueryInterface(IID_IAudioHal, &object);
    adapter = static_cast<IAudioHal*>(object);
  }
  at("IAudioHal::Init", "the device object's configuration failed");
  if (NT_SUCCESS(status))
    status = adapter->Init(resourceList, deviceObject, extension->LowerDeviceObject, extension->PhysicalDeviceObject);
  at("PcRegisterAdapterPowerManagement", "the port class driver refused the adapter's power management");
  if (NT_SUCCESS(status)) status = PcRegisterAdapterPowerManagement(adapter, deviceObject);
  at("InstallSubdevice", "no memory for the stream engines' names");
  if (NT_SUCCESS(status)) {
    name =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), ENGINE_NAME_TAG));
    if (!name) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  at("InstallSubdevice", "the topology filter could not be made or registered");
  if (NT_SUCCESS(status))
    status = InstallSubdevice(deviceObject, irp, CLSID_PortTopology, CLSID_PortTopology, factories.topology, device,
                              &topologyPort, &topologyMiniport);

  ULONG engines = NT_SUCCESS(status) ? adapter->GetStreamEngineCount() : 0;
  for (ULONG i = 0; NT_SUCCESS(status) && i < engines; ++i) {
    at("IStreamEngine::UpdateSubdevice", "stream engine %u's wave filter could not be made or registered", i);
    IStreamEngine* engine = nullptr;
    status = adapter->GetStreamEngine(i, &engine);
    if (NT_SUCCESS(status) && !engine) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) status = FormatEngineName(extension, engine->IsCapture(), engine->GetPinCategory(), name);
    if (NT_SUCCESS(status)) status = engine->SetName(name);
    if (NT_SUCCESS(status)) status = engine->SetWaveMiniportFactory(factories.wave, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) status = engine->SetTopology(topologyPort, topologyMiniport);
    if (NT_SUCCESS(status)) status = engine->UpdateSubdevice(deviceObject, irp, device);
    if (NT_SUCCESS(status)) {
      DeviceCapsRecord caps{};
      status = adapter->GetStreamEngineCaps(i, &caps);
      if (NT_SUCCESS(status) && (caps.Flags & DEVICE_CAPS_FLAG_ASIO)) asioCapable = true;
    }
  }

  at("IAudioHal::Start", "the hardware model did not start");
  if (NT_SUCCESS(status)) status = adapter->Start();
  if (NT_SUCCESS(status) && asioCapable && NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioInterfaceLink, TRUE)))
    extension->AsioInterfaceEnabled = 1;
  // A registration AddDevice could not make is made now, or the start
  // could never enable the interface.
  at("IoSetDeviceInterfaceState", "the enumeration interface could not be registered or enabled");
  if (NT_SUCCESS(status)) status = RegisterEnumInterface(extension);
  if (NT_SUCCESS(status)) {
    status = IoSetDeviceInterfaceState(&extension->EnumInterfaceLink, TRUE);
    if (NT_SUCCESS(status)) extension->EnumInterfaceEnabled = 1;
  }
  if (NT_SUCCESS(status)) {
    extension->Adapter = adapter;
    adapter->AddRef();
    extension->TopologyPort = topologyPort;
    topologyPort = nullptr;
  }

  if (!NT_SUCCESS(status)) {
    step.status = status;
    KeepStartRefusal(device, adapter, step, extension);
  }
  if (adapter) adapter->Release();
  if (device) device->Release();
  if (topologyPort) topologyPort->Release();
  if (name) ExFreePool(name);
  return status;
}

// ============================================================================
// Dispatch
// ============================================================================

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(deviceObject);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor != IRP_MN_START_DEVICE) CancelIdle(extension);

  if (minor == IRP_MN_REMOVE_DEVICE) {
    DisableInterface(&extension->AsioInterfaceEnabled, &extension->AsioInterfaceLink);
    ForgetInterface(&extension->AsioInterfaceRegistered, &extension->AsioInterfaceLink);
    DisableInterface(&extension->EnumInterfaceEnabled, &extension->EnumInterfaceLink);
    ForgetInterface(&extension->EnumInterfaceRegistered, &extension->EnumInterfaceLink);
    if (extension->Adapter) StopAndRemoveEngines(deviceObject, extension->Adapter, true);
    // The framework deletes the adapter device while it handles the
    // request: what the extension holds is taken out first, and released
    // whatever the framework answers, so that the device object never
    // outlives its device.
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    IAudioHal* adapter = extension->Adapter;
    PUNKNOWN topologyPort = extension->TopologyPort;
    extension->LowerDeviceObject = nullptr;
    extension->Adapter = nullptr;
    extension->TopologyPort = nullptr;
    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    if (lower) ObDereferenceObject(lower);
    if (topologyPort) topologyPort->Release();
    if (adapter) adapter->Release();
    return status;
  }

  if (minor == IRP_MN_STOP_DEVICE) return StopStartedDevice(deviceObject, extension, irp);

  if (minor == IRP_MN_SURPRISE_REMOVAL) {
    if (extension->Adapter) StopAndRemoveEngines(deviceObject, extension->Adapter, false);
    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    DisableInterface(&extension->AsioInterfaceEnabled, &extension->AsioInterfaceLink);
    DisableInterface(&extension->EnumInterfaceEnabled, &extension->EnumInterfaceLink);
    return status;
  }

  return PcDispatchIrp(deviceObject, irp);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return DispatchCreateOrClose(deviceObject, irp, true);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return DispatchCreateOrClose(deviceObject, irp, false);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DeviceExtension* extension = ExtensionOf(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (extension && stack) CancelIdle(extension);
  if (!extension || !IsAsioFile(stack)) return PcDispatchIrp(deviceObject, irp);

  irp->IoStatus.Information = 0;
  AsioIoctlRequest request{};
  request.FileObject = stack->FileObject;
  request.Irp = irp;
  request.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  request.Buffer = irp->AssociatedIrp.SystemBuffer;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.From32bitProcess = IoIs32bitProcess(irp);

  IAsioPrivate* asio = nullptr;
  if (extension->Adapter) {
    PVOID object = nullptr;
    if (NT_SUCCESS(extension->Adapter->QueryInterface(IID_IAsioPrivate, &object)))
      asio = static_cast<IAsioPrivate*>(object);
  }
  ULONG_PTR information = 0;
  // Without the interface (no successful start yet) the dispatch answers
  // STATUS_INVALID_PARAMETER for every code of the table.
  NTSTATUS status = DispatchAsioIoctl(asio, request, &information);
  if (asio) asio->Release();
  if (status == STATUS_PENDING) return status;
  irp->IoStatus.Information = information;
  return CompleteWithStatus(irp, status);
}
