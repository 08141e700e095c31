#include "driver/CUsbAudioDevice.h"

#include "driver/DeviceParameter.h"
#include "driver/IniImporter.h"
#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "usb/usbdlib.h"
#include "variants/ChipFactory.h"

namespace {

constexpr USHORT LANGUAGE_ID_US_ENGLISH = 0x0409;
constexpr LONG USB_CLASS_AUDIO = 1;
constexpr LONG USB_SUBCLASS_AUDIOCONTROL = 1;
constexpr ULONG DEVICE_DESCRIPTOR_BYTES = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG CONFIGURATION_HEADER_BYTES = sizeof(USB_CONFIGURATION_DESCRIPTOR);
// A string descriptor is read into 256 bytes of a 260-byte buffer, so that
// the terminator after its longest text still fits.
constexpr ULONG STRING_BUFFER_BYTES = 260;
constexpr ULONG STRING_READ_BYTES = 256;
constexpr USHORT BUS_INTERFACE_SIZE = sizeof(USB_BUS_INTERFACE_USBDI_V1);

// Vendors whose ASIO hosts expect another sample type than 16 when none is
// stored yet.

// The one vendor whose manufacturer string is written only for two products,
// whatever index the device names.
constexpr USHORT MFG_SPECIAL_VENDOR = 0x6B3E;
constexpr USHORT MFG_SPECIAL_PRODUCT_A = 0x4E2A;
constexpr USHORT MFG_SPECIAL_PRODUCT_B = 0x4E2B;

// The length field of a control transfer's URB: asked for on the way down,
// what came on the way up.
ULONG& ControlTransferLength(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                 urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
                 urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT
             ? urb->UrbControlDescriptorRequest.TransferBufferLength
             : urb->UrbControlVendorClassRequest.TransferBufferLength;
}

bool IsDescriptorRead(PURB urb) {
  const USHORT f = urb->UrbHeader.Function;
  return f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
         f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
}

// Whether `urb` reads from the device over the default pipe into a buffer
// (a descriptor, or a class or vendor IN request); its buffer and the bytes
// it asks for.
bool IsControlRead(PURB urb, PVOID* buffer, PULONG asked) {
  const USHORT f = urb->UrbHeader.Function;
  if (IsDescriptorRead(urb)) {
    *buffer = urb->UrbControlDescriptorRequest.TransferBuffer;
  } else if ((f >= URB_FUNCTION_VENDOR_DEVICE && f <= URB_FUNCTION_CLASS_ENDPOINT) || f == URB_FUNCTION_CLASS_OTHER ||
             f == URB_FUNCTION_VENDOR_OTHER) {
    if (!(urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) return false;
    *buffer = urb->UrbControlVendorClassRequest.TransferBuffer;
  } else {
    return false;
  }
  *asked = ControlTransferLength(urb);
  return *buffer != nullptr && *asked != 0;
}

// Whether the reply to a control read is shorter than it should be: a
// descriptor shorter than it says it is (its bLength, a configuration's
// wTotalLength) within what was asked; a class or vendor reply shorter
// than asked unless the request allows that.
bool ReplyCameShort(PURB urb, ULONG asked) {
  const ULONG got = ControlTransferLength(urb);
  if (!IsDescriptorRead(urb)) {
    return got < asked && !(urb->UrbControlVendorClassRequest.TransferFlags & USBD_SHORT_TRANSFER_OK);
  }
  const auto* bytes = static_cast<const UCHAR*>(urb->UrbControlDescriptorRequest.TransferBuffer);
  if (got < 2) return got < asked;
  ULONG declared = bytes[0];
  if (urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && got >= 4)
    declared = ULONG(bytes[2]) | ULONG(bytes[3]) << 8;
  return got < (declared < asked ? declared : asked);
}

void BuildGetDescriptor(PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length) {
  std::memset(urb, 0, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer, nullptr,
                               length, nullptr);
}

}  // namespace

// ============================================================================
// Construction and destruction
// ============================================================================

CUsbAudioDevice::CUsbAudioDevice(PUNKNOWN outerUnknown) : CAudioHal(outerUnknown) {
  // The selective-suspend objects exist from the start, so that the
  // destructor can wait on them whatever point a start failed at.
  KeInitializeSpinLock(&m_IdleLock);
  KeInitializeDpc(&m_IdleDpc, &CUsbAudioDevice::IdleTimerDpc, this);
  KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
  KeInitializeEvent(&m_IdleIrpEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&m_WakeEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&m_IdleWorkEvent, NotificationEvent, TRUE);
  ExSetTimerResolution(10000, TRUE);
}

CUsbAudioDevice::~CUsbAudioDevice() {
  PAGED_CODE();
  // Nothing of the idle path may outlive the object: no work item, no idle
  // IRP, no wake request and no timer. The model goes after that, since a
  // wake request reaches it.
  DrainSelectiveSuspend();
  // ASIO clients still open: their streams stop while the model is there.
  m_Asio.AsioShutdown(STATUS_DELETE_PENDING);
  m_Asio.AsioFreeClients();

  if (m_ModelUnknown) {
    PUNKNOWN model = m_ModelUnknown;
    m_ModelUnknown = nullptr;
    m_ModelHal = nullptr;
    m_ModelPower = nullptr;
    m_ModelUsbHal = nullptr;
    model->Release();
  }
  if (m_InterfaceInformation) {
    for (ULONG i = 0; i < m_InterfaceCount; ++i)
      if (m_InterfaceInformation[i]) ExFreePool(m_InterfaceInformation[i]);
    ExFreePool(m_InterfaceInformation);
    m_InterfaceInformation = nullptr;
  }
  if (m_ConfigurationDescriptor) ExFreePool(m_ConfigurationDescriptor);
  m_ConfigurationDescriptor = nullptr;
  m_ConfigurationHandle = nullptr;
  // The bus interface was referenced for us when it was handed out.
  if (m_BusInterface.BusContext && m_BusInterface.InterfaceDereference)
    m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
  m_BusInterface = {};
  ExSetTimerResolution(0, FALSE);
}

NTSTATUS CUsbAudioDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  IUnknown* answer = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    answer = static_cast<IUsbDevice*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IAsioPrivate)) {
    answer = &m_Asio;
  } else if (IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    if (!m_ModelUsbHal) return STATUS_INVALID_PARAMETER;
    answer = m_ModelUsbHal;
  } else {
    return CAudioHal::NonDelegatingQueryInterface(iid, object);
  }
  answer->AddRef();
  *object = answer;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::AdoptAudioHal(PUNKNOWN modelInnerUnknown) {
  m_ModelUnknown = modelInnerUnknown;
  PVOID object = nullptr;
  NTSTATUS status = modelInnerUnknown->QueryInterface(IID_IAudioHal, &object);
  if (!NT_SUCCESS(status)) return status;
  m_ModelHal = static_cast<IAudioHal*>(object);
  object = nullptr;
  if (NT_SUCCESS(modelInnerUnknown->QueryInterface(IID_IUsbAudioHal, &object)))
    m_ModelUsbHal = static_cast<IUsbAudioHal*>(object);
  object = nullptr;
  status = modelInnerUnknown->QueryInterface(IID_IAdapterPowerManagement, &object);
  if (NT_SUCCESS(status)) m_ModelPower = static_cast<IAdapterPowerManagement*>(object);
  // The model forwards AddRef to this object: each query above added a
  // reference to us that would keep this object alive for ever.
  for (PVOID cached :
       {static_cast<PVOID>(m_ModelHal), static_cast<PVOID>(m_ModelUsbHal), static_cast<PVOID>(m_ModelPower)})
    if (cached) Release();
  return status;
}

PUSB_INTERFACE_DESCRIPTOR CUsbAudioDevice::FindControlInterface() {
  PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
  if (!configuration) return nullptr;
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
      configuration, configuration, -1, -1, USB_CLASS_AUDIO, USB_SUBCLASS_AUDIOCONTROL, -1);
  if (control) m_ControlInterfaceNumber = control->bInterfaceNumber;
  return control;
}

NTSTATUS CUsbAudioDevice::CreateAudioHal() {
  PAGED_CODE();
  PUSB_INTERFACE_DESCRIPTOR control = FindControlInterface();
  if (!control) return STATUS_UNSUCCESSFUL;
  AudioHalFactory factory = nullptr;
  NTSTATUS status = ChooseChipModel(this, control, &factory);
  if (!NT_SUCCESS(status)) return status;
  return CreateModel(factory);
}

NTSTATUS CUsbAudioDevice::CreateModel(AudioHalFactory factory) {
  PUNKNOWN model = nullptr;
  NTSTATUS status = factory(&model, static_cast<IAudioHal*>(this), m_VendorId, m_ProductId);
  if (!NT_SUCCESS(status)) return status;
  return AdoptAudioHal(model);
}

// ============================================================================
// IAudioHal
// ============================================================================

NTSTATUS CUsbAudioDevice::GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) {
  return m_ModelHal ? m_ModelHal->GetStreamEngineCaps(engineIndex, caps) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioDevice::GetComponentId(PKSCOMPONENTID componentId) {
  if (!componentId) return STATUS_INVALID_PARAMETER;
  *componentId = {};
  INIT_USBAUDIO_MID(&componentId->Manufacturer, m_VendorId);
  INIT_USBAUDIO_PID(&componentId->Product, m_ProductId);
  componentId->Component = KSCOMPONENTID_USBAUDIO;
  return STATUS_SUCCESS;
}

ULONG CUsbAudioDevice::GetStreamEngineCount() { return m_ModelHal ? m_ModelHal->GetStreamEngineCount() : 0; }

NTSTATUS CUsbAudioDevice::GetStreamEngine(ULONG index, IStreamEngine** engine) {
  if (m_ModelHal) return m_ModelHal->GetStreamEngine(index, engine);
  if (engine) *engine = nullptr;
  return STATUS_UNSUCCESSFUL;
}

ULONG CUsbAudioDevice::GetNodeCount() { return m_ModelHal ? m_ModelHal->GetNodeCount() : 0; }

NTSTATUS CUsbAudioDevice::GetNode(ULONG index, ITopoNode** node) {
  if (m_ModelHal) return m_ModelHal->GetNode(index, node);
  if (node) *node = nullptr;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioDevice::Start() { return m_ModelHal ? m_ModelHal->Start() : STATUS_UNSUCCESSFUL; }

NTSTATUS CUsbAudioDevice::Stop() {
  PAGED_CODE();
  StopSelectiveSuspend();
  // The ASIO streams end before the engines do: no notification may reach
  // a ring after this.
  m_Asio.AsioShutdown(STATUS_DELETE_PENDING);
  return m_ModelHal ? m_ModelHal->Stop() : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioDevice::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context, PVOID* registration) {
  if (m_ModelHal) return m_ModelHal->RegisterCallback(callback, context, registration);
  if (registration) *registration = nullptr;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioDevice::UnregisterCallback(PVOID registration) {
  return m_ModelHal ? m_ModelHal->UnregisterCallback(registration) : STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                               PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  m_DevicePresent = TRUE;
  NTSTATUS status = ImportIniPresets(deviceObject);
  if (!NT_SUCCESS(status)) return status;

  status = CAudioHal::Init(resourceList, deviceObject, lowerDeviceObject, physicalDeviceObject);

  ULONG enabled = 0;
  ReadDeviceInstanceParameter(physicalDeviceObject, DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED, sizeof(enabled),
                              &enabled);
  m_SelectiveSuspendEnabled = enabled != 0;
  m_OutstandingCount = 1;
  m_BusyCount = 0;
  if (NT_SUCCESS(status) && m_SelectiveSuspendEnabled) ArmIdleTimer();
  return status;
}

NTSTATUS CUsbAudioDevice::ConfigureDevice() {
  PAGED_CODE();
  m_RetryReads = TRUE;
  const NTSTATUS status = ConfigureFromDevice();
  m_RetryReads = FALSE;
  return status;
}

NTSTATUS CUsbAudioDevice::ConfigureFromDevice() {
  PAGED_CODE();
  m_IrpStackSize = static_cast<CCHAR>(m_DeviceObject->StackSize + 1);
  m_Refusal = ModelRefusal{};
  // The model keeps its own record of what it refused; these are the steps
  // before it exists.
  auto note = [&](const char* step, const char* reason, NTSTATUS status) {
    if (!NT_SUCCESS(status) && !m_Refusal.step) {
      m_Refusal = ModelRefusal{step, reason, status, m_VendorId, m_ProductId};
      DbgPrint("%s failed 0x%08X: %s\n", step, static_cast<unsigned>(status), reason);
    }
    return status;
  };
  NTSTATUS status = note("ReadDescriptors", "the device's descriptors could not be read whole", ReadDescriptors());
  if (NT_SUCCESS(status))
    status = note("SelectConfiguration", "the bus driver refused the configuration (SELECT_CONFIGURATION)",
                  SelectConfiguration());
  if (NT_SUCCESS(status))
    status = note("QueryBusInterface", "the bus driver offers no USBDI interface", QueryBusInterface());
  // Through the interface, so that the product's device object makes its
  // own model.
  if (NT_SUCCESS(status))
    status = note("CreateAudioHal", "no hardware model takes the device's AudioControl interface",
                  static_cast<IUsbDevice*>(this)->CreateAudioHal());
  if (NT_SUCCESS(status))
    status = m_ModelHal->Init(nullptr, m_DeviceObject, m_LowerDeviceObject, m_PhysicalDeviceObject);
  if (!NT_SUCCESS(status)) return status;

  StoreStringDescriptors();

  return m_Asio.ConfigureEngines();
}

NTSTATUS CUsbAudioDevice::AsioProductName(PWSTR text, ULONG* chars, ULONG maxChars) {
  if (!m_ProductIndex) return STATUS_NOT_FOUND;
  return ReadStringDescriptor(m_ProductIndex, USB_DEVICE_DATA_TAG, text, chars, maxChars);
}

// ============================================================================
// IUsbDevice: the request path
// ============================================================================

NTSTATUS CUsbAudioDevice::SetDevicePresent(UCHAR present) {
  m_DevicePresent = present;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::CallLowerDriver(PIRP irp) { return IofCallDriver(m_LowerDeviceObject, irp); }

PIRP CUsbAudioDevice::AllocateIrp() { return m_IrpStackSize > 0 ? IoAllocateIrp(m_IrpStackSize, FALSE) : nullptr; }

NTSTATUS CUsbAudioDevice::FreeIrp(PIRP irp) {
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::SignalEventCompletionRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The IRP stays the sender's, who frees it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbAudioDevice::SubmitUrb(PURB urb) {
  PAGED_CODE();
  PVOID buffer = nullptr;
  ULONG asked = 0;
  if (!m_RetryReads || !IsControlRead(urb, &buffer, &asked)) return SubmitUrbOnce(urb);
  // A stall, a time-out, a short reply or a missing IRP is taken as the
  // device's answer only when it comes again.
  LARGE_INTEGER pause;
  pause.QuadPart = START_READ_FIRST_PAUSE;
  NTSTATUS status = SubmitUrbOnce(urb);
  for (ULONG attempt = 1; attempt < START_READ_ATTEMPTS; ++attempt) {
    if (NT_SUCCESS(status) && !ReplyCameShort(urb, asked)) break;
    if (!m_DevicePresent || status == STATUS_DEVICE_NOT_CONNECTED) break;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    pause.QuadPart *= 2;
    // The stack put the length of the failed reply where the request's was.
    ControlTransferLength(urb) = asked;
    RtlZeroMemory(buffer, asked);
    status = SubmitUrbOnce(urb);
  }
  return status;
}

NTSTATUS CUsbAudioDevice::SubmitUrbOnce(PURB urb) {
  PAGED_CODE();
  if (!m_DevicePresent) return STATUS_UNSUCCESSFUL;
  PIRP irp = AllocateIrp();
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletionRoutine, &done, TRUE, TRUE, TRUE);
  InterlockedIncrement(&m_OutstandingCount);
  NTSTATUS status = IofCallDriver(m_LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = SUBMIT_URB_TIMEOUT;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
  }
  if (status == STATUS_DEVICE_NOT_CONNECTED) m_DevicePresent = FALSE;
  IoFreeIrp(irp);
  InterlockedDecrement(&m_OutstandingCount);
  return status;
}

NTSTATUS CUsbAudioDevice::QueryBusTime(PULONG currentFrame) {
  if (!currentFrame) return STATUS_INVALID_PARAMETER;
  *currentFrame = 0;
  if (!m_BusInterface.QueryBusTime) return STATUS_UNSUCCESSFUL;
  ULONG frame = 0;
  NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame);
  if (NT_SUCCESS(status)) *currentFrame = frame;
  return status;
}

// ============================================================================
// Descriptors and configuration
// ============================================================================

NTSTATUS CUsbAudioDevice::ReadDescriptors() {
  PAGED_CODE();
  CPoolBuffer urbBuffer(NonPagedPool, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DATA_TAG);
  CPoolBuffer deviceBuffer(NonPagedPool, DEVICE_DESCRIPTOR_BYTES, USB_DEVICE_DATA_TAG);
  if (!urbBuffer || !deviceBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  auto* urb = urbBuffer.As<URB>();
  auto& request = urb->UrbControlDescriptorRequest;

  // A short answer leaves zeros, never stale pool bytes.
  std::memset(deviceBuffer.Get(), 0, DEVICE_DESCRIPTOR_BYTES);
  BuildGetDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, deviceBuffer.Get(), DEVICE_DESCRIPTOR_BYTES);
  NTSTATUS status = SubmitUrb(urb);
  if (!NT_SUCCESS(status)) return status;
  auto* device = deviceBuffer.As<USB_DEVICE_DESCRIPTOR>();
  m_VendorId = device->idVendor;
  m_ProductId = device->idProduct;
  m_ManufacturerIndex = device->iManufacturer;
  m_ProductIndex = device->iProduct;

  // The header first, for the length of the whole descriptor.
  std::memset(deviceBuffer.Get(), 0, DEVICE_DESCRIPTOR_BYTES);
  BuildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, deviceBuffer.Get(), CONFIGURATION_HEADER_BYTES);
  status = SubmitUrb(urb);
  if (!NT_SUCCESS(status)) return status;
  if (request.TransferBufferLength < CONFIGURATION_HEADER_BYTES) return STATUS_UNSUCCESSFUL;
  ULONG totalLength = deviceBuffer.As<USB_CONFIGURATION_DESCRIPTOR>()->wTotalLength;
  if (totalLength < CONFIGURATION_HEADER_BYTES) return STATUS_UNSUCCESSFUL;

  auto* configuration =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, totalLength, USB_DEVICE_DATA_TAG));
  if (!configuration) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(configuration, 0, totalLength);
  BuildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, totalLength);
  status = SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    // Every parser walks the cached copy by its wTotalLength: it must name
    // the bytes that really arrived, whatever the device claims the second
    // time.
    ULONG transferred = request.TransferBufferLength < totalLength ? request.TransferBufferLength : totalLength;
    ULONG claimed = configuration->wTotalLength;
    ULONG real = claimed < transferred ? claimed : transferred;
    if (real < CONFIGURATION_HEADER_BYTES) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      configuration->wTotalLength = static_cast<USHORT>(real);
    }
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(configuration);
    return status;
  }
  m_ConfigurationDescriptor = configuration;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::SelectConfiguration() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
  if (!configuration) return STATUS_UNSUCCESSFUL;
  ULONG wanted = configuration->bNumInterfaces;
  CPoolBuffer listBuffer(NonPagedPool, (SIZE_T(wanted) + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), USB_DEVICE_DATA_TAG);
  if (!listBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(listBuffer.Get(), 0, listBuffer.Bytes());
  auto* list = listBuffer.As<USBD_INTERFACE_LIST_ENTRY>();
  ULONG found = 0;
  for (ULONG number = 0; number <= 0xFF && found < wanted; ++number) {
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, static_cast<LONG>(number), 0, -1, -1, -1);
    if (descriptor) list[found++].InterfaceDescriptor = descriptor;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  if (list[0].Interface) {
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG p = 0; p < first->NumberOfPipes; ++p) {
      first->Pipes[p].MaximumTransferSize = 0xFFFFFFFF;
      first->Pipes[p].PipeFlags = 0;
      first->Pipes[p].PipeHandle = nullptr;
    }
  }

  NTSTATUS status = SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    auto** copies = static_cast<PUSBD_INTERFACE_INFORMATION*>(
        ExAllocatePoolWithTag(NonPagedPool, (found ? found : 1) * sizeof(PVOID), USB_DEVICE_DATA_TAG));
    if (!copies) status = STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; NT_SUCCESS(status) && i < found; ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      copies[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(
          ExAllocatePoolWithTag(NonPagedPool, info->Length, USB_DEVICE_DATA_TAG));
      if (!copies[i]) {
        for (ULONG k = 0; k < i; ++k) ExFreePool(copies[k]);
        ExFreePool(copies);
        copies = nullptr;
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      std::memcpy(copies[i], info, info->Length);
    }
    if (NT_SUCCESS(status)) {
      m_InterfaceInformation = copies;
      m_InterfaceCount = found;
      m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS CUsbAudioDevice::QueryBusInterface() {
  PAGED_CODE();
  PIRP irp = AllocateIrp();
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetNextIrpStackLocation(irp);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletionRoutine, &done, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = BUS_INTERFACE_SIZE;
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  m_HighSpeed = FALSE;

  NTSTATUS status = CallLowerDriver(irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (NT_SUCCESS(status) && m_BusInterface.BusContext) {
    if (m_BusInterface.IsDeviceHighSpeed) m_HighSpeed = m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext);
    return status;
  }
  m_BusInterface.BusContext = nullptr;
  return STATUS_UNSUCCESSFUL;
}

// ============================================================================
// Strings in the device's key
// ============================================================================

NTSTATUS CUsbAudioDevice::ReadStringDescriptor(UCHAR index, ULONG tag, PWSTR text, ULONG* chars, ULONG maxChars) {
  PAGED_CODE();
  *chars = 0;
  text[0] = 0;
  CPoolBuffer urbBuffer(NonPagedPool, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DATA_TAG);
  CPoolBuffer stringBuffer(NonPagedPool, STRING_BUFFER_BYTES, tag);
  if (!urbBuffer || !stringBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(stringBuffer.Get(), 0, STRING_BUFFER_BYTES);
  auto* urb = urbBuffer.As<URB>();
  BuildGetDescriptor(urb, USB_STRING_DESCRIPTOR_TYPE, index, LANGUAGE_ID_US_ENGLISH, stringBuffer.Get(),
                     STRING_READ_BYTES);
  NTSTATUS status = SubmitUrb(urb);
  if (!NT_SUCCESS(status)) return status;

  // The text is what both the descriptor's bLength and the transfer cover.
  auto* bytes = stringBuffer.As<UCHAR>();
  ULONG transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
  if (transferred > STRING_READ_BYTES) transferred = STRING_READ_BYTES;
  ULONG length = bytes[0];
  if (length > transferred) length = transferred;
  if (length < 2) length = 2;
  ULONG count = (length - 2) / sizeof(WCHAR);
  if (count > maxChars) count = maxChars;
  for (ULONG i = 0; i < count; ++i) {
    WCHAR c;
    std::memcpy(&c, bytes + 2 + i * sizeof(WCHAR), sizeof(c));
    text[i] = c;
  }
  text[count] = 0;
  // A terminator inside the descriptor ends the text there.
  for (ULONG i = 0; i < count; ++i)
    if (text[i] == 0) count = i;
  while (count > 0 && text[count - 1] == u' ') --count;
  text[count] = 0;
  *chars = count;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::StoreStringDescriptors() {
  PAGED_CODE();
  WCHAR text[DEVICE_STRING_MAX_CHARS + 1];
  ULONG chars = 0;
  if (m_ProductIndex && NT_SUCCESS(ReadStringDescriptor(m_ProductIndex, USB_DEVICE_DATA_TAG, text, &chars)))
    WriteDeviceKeyString(DEVICE_KEY_FRIENDLY_NAME, chars * sizeof(WCHAR) + sizeof(WCHAR), text);

  bool special = m_VendorId == MFG_SPECIAL_VENDOR;
  bool writeMfg = special ? (m_ProductId == MFG_SPECIAL_PRODUCT_A || m_ProductId == MFG_SPECIAL_PRODUCT_B)
                          : m_ManufacturerIndex != 0;
  if (writeMfg && NT_SUCCESS(ReadStringDescriptor(m_ManufacturerIndex, STRING_DESCRIPTOR_TAG, text, &chars)))
    WriteDeviceKeyString(DEVICE_KEY_MFG, chars * sizeof(WCHAR) + sizeof(WCHAR), text);
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::WriteDeviceKeyString(ULONG selector, ULONG length, PCWSTR data) {
  PAGED_CODE();
  PCWSTR valueName = selector == DEVICE_KEY_MFG             ? u"Mfg"
                     : selector == DEVICE_KEY_FRIENDLY_NAME ? u"FriendlyName"
                                                            : nullptr;
  if (!valueName || !data) return STATUS_INVALID_PARAMETER;
  CDeviceInstanceKeys keys;
  NTSTATUS status = keys.Init(m_PhysicalDeviceObject);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  // Every hardware ID's key gets the value; one written is enough.
  bool written = false;
  status = STATUS_OBJECT_NAME_NOT_FOUND;
  for (PCWSTR id = keys.NextHardwareId(nullptr); id; id = keys.NextHardwareId(id)) {
    HANDLE key = nullptr;
    status = keys.OpenInstanceKey(id, nullptr, &key);
    if (NT_SUCCESS(status)) {
      status = ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<PWSTR>(data), length);
      ZwClose(key);
    }
    written |= NT_SUCCESS(status);
  }
  return written ? STATUS_SUCCESS : status;
}

// ============================================================================
// Port status and recovery
// ============================================================================

NTSTATUS CUsbAudioDevice::SendPortRequest(ULONG ioControlCode, PVOID argument1, bool* built) {
  PAGED_CODE();
  KEVENT done;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(ioControlCode, m_LowerDeviceObject, nullptr, 0, nullptr, 0, TRUE, &done, &ioStatus);
  *built = irp != nullptr;
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
  NTSTATUS status = IofCallDriver(m_LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

void CUsbAudioDevice::TellModelPower(DEVICE_POWER_STATE state) {
  if (!m_ModelPower) return;
  POWER_STATE power;
  power.DeviceState = state;
  m_ModelPower->PowerChangeState(power);
}

BOOLEAN CUsbAudioDevice::IsDeviceRemoved() {
  PAGED_CODE();
  if (!m_DevicePresent) return TRUE;
  // Only the port's answer marks the device gone: a request that could not
  // be built asked nothing, and the last answer stands.
  m_PortMutex.Lock();
  ULONG portStatus = 0;
  bool built = false;
  NTSTATUS status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &built);
  if (built && NT_SUCCESS(status)) {
    if (!(portStatus & USBD_PORT_CONNECTED)) m_DevicePresent = FALSE;
  } else if (built && status == STATUS_NO_SUCH_DEVICE) {
    LARGE_INTEGER delay;
    delay.QuadPart = PORT_STATUS_RETRY_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    portStatus = 0;
    status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &built);
    if (built && !NT_SUCCESS(status)) {
      CyclePort();
    } else if (built && !(portStatus & USBD_PORT_CONNECTED)) {
      m_DevicePresent = FALSE;
    } else if (built) {
      // The device is there but its port was lost: reset it and let the
      // model bring its state back.
      SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &built);
      if (built) {
        TellModelPower(PowerDeviceD3);
        TellModelPower(PowerDeviceD0);
      }
    }
  } else if (built) {
    m_DevicePresent = FALSE;
  }
  BOOLEAN removed = !m_DevicePresent;
  m_PortMutex.Unlock();
  return removed;
}

BOOLEAN CUsbAudioDevice::CyclePort() {
  PAGED_CODE();
  if (InterlockedExchange(&m_PortCycled, 1) == 0) {
    bool built = false;
    SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, &built);
    // The device enumerates again under a new device object. A cycle that
    // could not be sent changed nothing and may be asked for again.
    if (built)
      m_DevicePresent = FALSE;
    else
      InterlockedExchange(&m_PortCycled, 0);
  }
  return !m_DevicePresent;
}
