#include "driver/hal/CUac1AudioHal.h"

#include "driver/common/OwnedLists.h"
#include "driver/common/PoolBuffer.h"
#include "driver/common/SystemVersion.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CSelectorNode.h"
#include "topology/CSoftwareMuteNode.h"
#include "topology/CUacUnit.h"
#include "usb/usbdlib.h"

namespace {

constexpr LONG USB_CLASS_AUDIO = 1;
constexpr LONG USB_SUBCLASS_AUDIOCONTROL = 1;
constexpr LONG USB_SUBCLASS_AUDIOSTREAMING = 2;
// A unit descriptor has at most 255 sources.
constexpr ULONG MAX_SOURCES_READ = 256;

// The ids a walk has taken, by node id. Node ids are the model's node
// numbers, so every id of the model is below the node count; an id at or
// above it names no node of the model.
class CTakenSet {
 public:
  explicit CTakenSet(ULONG count) : m_Count(count), m_Bits(PagedPool, count ? count : 1, UAC1_HAL_TAG) {
    if (m_Bits) RtlZeroMemory(m_Bits.Get(), m_Bits.Bytes());
  }
  explicit operator bool() const { return static_cast<bool>(m_Bits); }
  bool Contains(ULONG id) const { return id < m_Count && m_Bits.As<UCHAR>()[id]; }
  bool Valid(ULONG id) const { return id < m_Count; }
  void Add(ULONG id) {
    if (id < m_Count) m_Bits.As<UCHAR>()[id] = 1;
  }
  void Clear() { RtlZeroMemory(m_Bits.Get(), m_Bits.Bytes()); }

 private:
  ULONG m_Count;
  CPoolBuffer m_Bits;
};

// A ring of node ids for the breadth-first walks.
class CIdRing {
 public:
  bool Empty() const { return m_Size == 0; }
  ULONG Free() const { return UAC1_WALK_RING - m_Size; }
  void Push(ULONG id) {
    m_Ids[(m_Head + m_Size) % UAC1_WALK_RING] = id;
    ++m_Size;
  }
  ULONG Pop() {
    ULONG id = m_Ids[m_Head];
    m_Head = (m_Head + 1) % UAC1_WALK_RING;
    --m_Size;
    return id;
  }

 private:
  ULONG m_Ids[UAC1_WALK_RING] = {};
  ULONG m_Head = 0;
  ULONG m_Size = 0;
};

template <typename T>
T* QueryNode(IUnknown* node, REFIID iid) {
  PVOID object = nullptr;
  if (!node || !NT_SUCCESS(node->QueryInterface(iid, &object))) return nullptr;
  return static_cast<T*>(object);
}

bool SameName(PCWSTR a, PCWSTR b) {
  for (ULONG i = 0; i < STREAM_ENGINE_NAME_CHARS; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

}  // namespace

CUac1AudioHal::CUac1AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CAudioHal(outerUnknown), m_VendorId(vendorId), m_ProductId(productId) {
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ExitedEvent, NotificationEvent, FALSE);
}

CUac1AudioHal::~CUac1AudioHal() {
  PAGED_CODE();
  CUac1AudioHal::Stop();
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
  ReleaseUnits();
  FreePointerList(m_Units);
}

NTSTATUS CUac1AudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  IUnknown* answer = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IAudioHal)) {
    answer = static_cast<IAudioHal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IAdapterPowerManagement)) {
    answer = static_cast<IAdapterPowerManagement*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    answer = static_cast<IUsbAudioHal*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  *object = answer;
  answer->AddRef();
  return STATUS_SUCCESS;
}

IUsbDevice* CUac1AudioHal::QueryUsbDevice() {
  PVOID object = nullptr;
  if (!NT_SUCCESS(static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object))) return nullptr;
  return static_cast<IUsbDevice*>(object);
}

NTSTATUS CUac1AudioHal::Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                             PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  if (!m_Units) m_Units = NewPointerList(NonPagedPool, UAC1_HAL_TAG);
  if (!m_Units) return STATUS_INSUFFICIENT_RESOURCES;
  return CAudioHal::Init(resourceList, deviceObject, lowerDeviceObject, physicalDeviceObject);
}

// ============================================================================
// Units

NTSTATUS CUac1AudioHal::FindUnitById(ULONG unitId, ITopoNode** unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  *unit = nullptr;
  if (!m_Units) return STATUS_UNSUCCESSFUL;
  PVOID item = nullptr;
  for (auto position = m_Units->GetHeadPosition(); m_Units->GetNext(&position, &item);)
    if (item && static_cast<ITopoNode*>(item)->GetId() == unitId) *unit = static_cast<ITopoNode*>(item);
  return *unit ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1AudioHal::AddUnit(ITopoNode* unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  if (!m_Units) return STATUS_INSUFFICIENT_RESOURCES;
  unit->AddRef();
  if (!m_Units->AddTail(unit)) {
    unit->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void CUac1AudioHal::ReleaseUnits() {
  if (!m_Units) return;
  PVOID item = nullptr;
  while (m_Units->RemoveHead(&item))
    if (item) static_cast<ITopoNode*>(item)->Release();
}

ULONG CUac1AudioHal::GetUnitCount() const { return m_Units ? static_cast<ULONG>(m_Units->GetCount()) : 0; }

NTSTATUS CUac1AudioHal::GetUnit(ULONG index, ITopoNode** unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  *unit = nullptr;
  PVOID item = nullptr;
  if (!m_Units || !m_Units->GetAt(index, &item) || !item) return STATUS_INVALID_PARAMETER;
  *unit = static_cast<ITopoNode*>(item);
  return STATUS_SUCCESS;
}

CUacUnit* CUac1AudioHal::FindUnitByOutputNode(ULONG unitType, ULONG nodeId) {
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetUnit(i, &node)) || node->GetType() != unitType) continue;
    CUacUnit* unit = CUacUnit::FromUnitNode(node);
    ULONG output = 0;
    if (NT_SUCCESS(unit->GetOutputNodeId(&output)) && output == nodeId) return unit;
  }
  return nullptr;
}

// ============================================================================
// Capabilities

NTSTATUS CUac1AudioHal::GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) {
  PAGED_CODE();
  ULONG category = PIN_CATEGORY_STREAM;
  ULONG direction = STREAM_DIRECTION_RENDER;
  ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || !engine) break;
    category = engine->GetPinCategory();
    direction = engine->IsCapture();
    if (i == engineIndex) break;
  }
  NTSTATUS status = static_cast<IAudioHal*>(this)->GetChannelCaps(direction, category, caps);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS CUac1AudioHal::GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) {
  if (!caps) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(caps, sizeof(*caps));
  if (m_VendorId == UAC1_SPECIAL_CAPS_VENDOR && m_ProductId == UAC1_SPECIAL_CAPS_PRODUCT) {
    caps->CapabilityMask = m_Caps.CapabilityMask;
    if (direction == STREAM_DIRECTION_CAPTURE && pinCategory == PIN_CATEGORY_MIC)
      caps->CapabilityMask |= UAC1_SPECIAL_CAPS_MIC_BIT;
    caps->Flags = m_Caps.Flags;
  } else if (pinCategory != PIN_CATEGORY_SPDIF) {
    caps->CapabilityMask = m_Caps.CapabilityMask;
    caps->ModelValue = m_Caps.ModelValue;
    caps->Flags = m_Caps.Flags;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1AudioHal::GetCallbackObject(PCALLBACK_OBJECT* callbackObject) {
  if (!callbackObject) return STATUS_UNSUCCESSFUL;
  *callbackObject = m_CallbackObject;
  return STATUS_SUCCESS;
}

NTSTATUS CUac1AudioHal::GetRefusal(ModelRefusal* refusal) {
  if (!refusal) return STATUS_INVALID_PARAMETER;
  *refusal = m_Refusal;
  return STATUS_SUCCESS;
}

void CUac1AudioHal::Refuse(const char* step, const char* reason, NTSTATUS status) {
  if (NT_SUCCESS(status) || !NT_SUCCESS(m_Refusal.status)) return;
  m_Refusal = ModelRefusal{step, reason, status, m_VendorId, m_ProductId};
}

// ============================================================================
// Start, stop and the status thread

NTSTATUS CUac1AudioHal::Start() {
  PAGED_CODE();
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* usb = static_cast<IUsbDevice*>(object);

  // A thread that ended by itself (a transfer error) is reaped, so that a
  // new start gets a new one; a thread that still runs is kept.
  if (m_StatusPipeIndex != UAC1_NO_STATUS_PIPE && KeReadStateEvent(&m_ExitedEvent)) StopStatusThread();

  PURB select = nullptr;
  do {
    if (m_StatusPipeIndex != UAC1_NO_STATUS_PIPE) break;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = usb->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR control =
        configuration ? USBD_ParseConfigurationDescriptorEx(configuration, configuration, m_ControlInterfaceNumber, 0,
                                                            USB_CLASS_AUDIO, USB_SUBCLASS_AUDIOCONTROL, -1)
                      : nullptr;
    if (!control || control->bNumEndpoints == 0) break;

    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(control->bNumEndpoints);
    select = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UAC1_HAL_URB_TAG));
    if (!select) break;
    RtlZeroMemory(select, size);
    UsbBuildSelectInterfaceRequest(select, size, usb->GetConfigurationHandle(), m_ControlInterfaceNumber, 0);
    status = usb->SubmitUrb(select);
    if (!NT_SUCCESS(status)) {
      ExFreePool(select);
      usb->Release();
      return status;
    }

    PUSBD_INTERFACE_INFORMATION returned = &select->UrbSelectInterface.Interface;
    ULONG length = returned->Length;
    const ULONG room = size - offsetof(URB_SELECT_INTERFACE, Interface);
    if (length > room) length = room;
    m_PipeInformation =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, length, UAC1_HAL_URB_TAG));
    if (!m_PipeInformation) {
      ExFreePool(select);
      usb->Release();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(m_PipeInformation, returned, length);

    // Only pipes the copy really holds are looked at.
    ULONG pipes = control->bNumEndpoints;
    if (pipes > m_PipeInformation->NumberOfPipes) pipes = m_PipeInformation->NumberOfPipes;
    const ULONG held =
        length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes)
            ? (length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION)
            : 0;
    if (pipes > held) pipes = held;
    for (ULONG i = 0; i < pipes; ++i) {
      const USBD_PIPE_INFORMATION& pipe = m_PipeInformation->Pipes[i];
      if ((pipe.EndpointAddress & 0x80) && pipe.PipeType == UsbdPipeTypeInterrupt &&
          pipe.MaximumPacketSize == UAC1_STATUS_WORD_BYTES) {
        m_StatusPipeIndex = static_cast<UCHAR>(i);
        break;
      }
    }
    if (m_StatusPipeIndex == UAC1_NO_STATUS_PIPE) {
      ExFreePool(m_PipeInformation);
      m_PipeInformation = nullptr;
      break;
    }

    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ExitedEvent);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, StatusThreadStart, this);
    if (!NT_SUCCESS(status)) {
      // No thread ran: the model stays stoppable without waiting for one.
      ExFreePool(m_PipeInformation);
      m_PipeInformation = nullptr;
      m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
      ExFreePool(select);
      usb->Release();
      return status;
    }
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr))) {
      m_StatusThread = static_cast<PKTHREAD>(thread);
      KeSetPriorityThread(m_StatusThread, UAC1_STATUS_THREAD_PRIORITY);
    }
    ZwClose(handle);
  } while (false);

  if (select) ExFreePool(select);
  usb->Release();
  return CAudioHal::Start();
}

NTSTATUS CUac1AudioHal::Stop() {
  PAGED_CODE();
  if (!NT_SUCCESS(CAudioHal::Stop())) return STATUS_SUCCESS;
  StopStatusThread();
  return STATUS_SUCCESS;
}

void CUac1AudioHal::StopStatusThread() {
  PAGED_CODE();
  if (m_StatusPipeIndex == UAC1_NO_STATUS_PIPE) return;
  KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&m_ExitedEvent, Executive, KernelMode, FALSE, nullptr);
  if (m_StatusThread) {
    // The thread still leaves its start routine after the event.
    KeWaitForSingleObject(m_StatusThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_StatusThread);
    m_StatusThread = nullptr;
  }
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
  m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
  KeClearEvent(&m_StopEvent);
  KeClearEvent(&m_ExitedEvent);
}

void CUac1AudioHal::StatusThreadStart(PVOID context) {
  auto* hal = static_cast<CUac1AudioHal*>(context);
  hal->StatusThreadMain();
  KeSetEvent(&hal->m_ExitedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CUac1AudioHal::StatusIrpCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The IRP stays the thread's, which reuses it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUac1AudioHal::PrepareStatusTransfer(PIRP irp, PURB urb, PUCHAR buffer, PKEVENT event) {
  RtlZeroMemory(urb, UAC1_STATUS_URB_BYTES);
  UsbBuildInterruptOrBulkTransferRequest(urb, UAC1_STATUS_URB_BYTES, m_PipeInformation->Pipes[m_StatusPipeIndex].PipeHandle,
                                         buffer, nullptr, UAC1_STATUS_WORD_BYTES,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, StatusIrpCompletion, event, TRUE, TRUE, TRUE);
}

void CUac1AudioHal::StatusThreadMain() {
  PAGED_CODE();
  // The event is signalled whenever no transfer is outstanding, so the last
  // wait below never waits for a transfer that was not sent.
  auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), UAC1_HAL_TAG));
  if (!event) return;
  KeInitializeEvent(event, NotificationEvent, TRUE);

  static_assert(sizeof(URB_BULK_OR_INTERRUPT_TRANSFER) <= UAC1_STATUS_URB_BYTES);
  UCHAR word[UAC1_STATUS_WORD_BYTES] = {};
  PURB urb = nullptr;
  PIRP irp = nullptr;
  IUsbDevice* usb = QueryUsbDevice();
  if (usb) urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, UAC1_STATUS_URB_BYTES, UAC1_HAL_TAG));
  if (urb) irp = usb->AllocateIrp();

  if (irp) {
    PrepareStatusTransfer(irp, urb, word, event);
    KeClearEvent(event);
    NTSTATUS status = usb->CallLowerDriver(irp);
    usb->Release();
    usb = nullptr;

    if (NT_SUCCESS(status)) {
      // Every unit shows the device's state once before the first word. A
      // stop asked for meanwhile ends the read-out after the node under
      // way: a device that lets every request time out would otherwise
      // hold the removal for half a second per request.
      ULONG units = GetUnitCount();
      for (ULONG i = 0; i < units && !KeReadStateEvent(&m_StopEvent); ++i) {
        ITopoNode* unit = nullptr;
        if (NT_SUCCESS(GetUnit(i, &unit))) HandleUnitStatus(unit->GetId());
      }

      for (;;) {
        PVOID events[2] = {event, &m_StopEvent};
        NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wait == STATUS_WAIT_0 + 1) {
          IoCancelIrp(irp);
          KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
          break;
        }
        if (wait != STATUS_WAIT_0) continue;
        if (!NT_SUCCESS(irp->IoStatus.Status)) break;
        // A word shorter than two bytes names no unit.
        if (urb->UrbBulkOrInterruptTransfer.TransferBufferLength == UAC1_STATUS_WORD_BYTES && (word[0] & 0x0F) == 0)
          HandleUnitStatus(word[1]);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        PrepareStatusTransfer(irp, urb, word, event);
        usb = QueryUsbDevice();
        if (!usb) break;
        KeClearEvent(event);
        status = usb->CallLowerDriver(irp);
        usb->Release();
        usb = nullptr;
        if (!NT_SUCCESS(status)) break;
      }
    }
  }
  if (usb) usb->Release();

  KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  ExFreePool(event);
  if (urb) ExFreePool(urb);
  if (irp) {
    if (IUsbDevice* owner = QueryUsbDevice()) {
      owner->FreeIrp(irp);
      owner->Release();
    } else {
      IoFreeIrp(irp);
    }
  }
}

NTSTATUS CUac1AudioHal::HandleUnitStatus(ULONG unitId) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  if (!NT_SUCCESS(FindUnitById(unitId, &node))) return STATUS_UNSUCCESSFUL;
  const ULONG type = node->GetType();
  CUacUnit* unit = CUacUnit::FromUnitNode(node);
  ULONG changedNode = 0;
  NTSTATUS status = static_cast<IUacUnit*>(unit)->OnControlChange(0, 0, &changedNode);
  if (!NT_SUCCESS(status)) return status;

  if (type == UAC_SUBTYPE_INPUT_TERMINAL || type == UAC_SUBTYPE_OUTPUT_TERMINAL) {
    NTSTATUS update = UpdateAllSubdevices();
    return NT_SUCCESS(update) ? status : update;
  }

  ULONG count = 0;
  unit->GetNodeCount(&count);
  for (ULONG i = 0; i < count && !KeReadStateEvent(&m_StopEvent); ++i) {
    ITopoNode* member = nullptr;
    if (!NT_SUCCESS(unit->GetNode(i, &member)) || !member) continue;
    member->RefreshFromDevice();
    NotifyControlChange(member->GetId());
  }
  return status;
}

NTSTATUS CUac1AudioHal::UpdateAllSubdevices() {
  PAGED_CODE();
  m_SubdeviceMutex.Lock();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    IStreamEngine* engine = nullptr;
    status = GetStreamEngine(i, &engine);
    if (NT_SUCCESS(status)) status = engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
  }
  m_SubdeviceMutex.Unlock();
  return status;
}

// ============================================================================
// Subdevices and power

BOOLEAN CUac1AudioHal::TakeOutputTypeChange(IStreamEngine* engine) {
  PAGED_CODE();
  ULONG count = engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) return FALSE;
    if (node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    auto* outputType = QueryNode<IOutputTypeNode>(node, IID_IOutputTypeNode);
    if (!outputType) return FALSE;
    BOOLEAN pending = outputType->IsChangePending() ? TRUE : FALSE;
    if (pending) outputType->AckChange();
    outputType->Release();
    return pending;
  }
  return FALSE;
}

NTSTATUS CUac1AudioHal::NameEngine(IStreamEngine* engine, PWSTR name, size_t chars) {
  PAGED_CODE();
  const ULONG category = ClampPinCategory(engine->GetPinCategory());
  const bool capture = engine->IsCapture() == STREAM_DIRECTION_CAPTURE;
  ULONG counter = 0;
  if (m_DeviceObject && m_DeviceObject->DeviceExtension) {
    DeviceExtension* extension = GetDeviceExtension(m_DeviceObject);
    counter = capture ? extension->InputNameCounters[category] : extension->OutputNameCounters[category];
  }
  // The number the counters give, unless another engine already carries
  // that name: then the lowest free number above it, so that two engines
  // never register one subdevice name.
  WCHAR other[STREAM_ENGINE_NAME_CHARS];
  const ULONG engines = GetStreamEngineCount();
  for (ULONG number = counter ? counter - 1 : 0, tries = 0; tries <= engines; ++number, ++tries) {
    NTSTATUS status = RtlStringCchPrintfW(name, chars, capture ? u"%sIn%02d" : u"%sOut%02d",
                                          PinCategoryPrefix(category), static_cast<int>(number));
    if (!NT_SUCCESS(status)) return status;
    bool taken = false;
    for (ULONG i = 0; i < engines && !taken; ++i) {
      IStreamEngine* candidate = nullptr;
      if (!NT_SUCCESS(GetStreamEngine(i, &candidate)) || candidate == engine) continue;
      other[0] = 0;
      if (NT_SUCCESS(candidate->GetName(other))) taken = SameName(other, name);
    }
    if (!taken) return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1AudioHal::RefreshSubdevices(ULONG) {
  PAGED_CODE();
  m_SubdeviceMutex.Lock();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG count = GetStreamEngineCount();
  if (count == 0) status = STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    IStreamEngine* engine = nullptr;
    status = GetStreamEngine(i, &engine);
    if (!NT_SUCCESS(status)) break;
    if (!TakeOutputTypeChange(engine)) continue;
    CPoolBuffer name(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), UAC1_HAL_NAME_TAG);
    if (!name) {
      status = STATUS_UNSUCCESSFUL;
      break;
    }
    status = engine->RemoveSubdevice(m_DeviceObject);
    if (!NT_SUCCESS(status)) break;
    status = NameEngine(engine, name.As<WCHAR>(), STREAM_ENGINE_NAME_CHARS);
    if (NT_SUCCESS(status)) status = engine->SetName(name.As<WCHAR>());
    if (NT_SUCCESS(status)) status = engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
  }
  m_SubdeviceMutex.Unlock();
  return status;
}

void CUac1AudioHal::PowerChangeState(POWER_STATE newState) {
  PAGED_CODE();
  const DEVICE_POWER_STATE state = newState.DeviceState;
  if (state == m_DevicePowerState) return;
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return;
  if (state == PowerDeviceD0) {
    static_cast<IUsbAudioHal*>(this)->RestoreHardwareState();
    ApplyNodesToDevice();
  }
  m_DevicePowerState = state;

  m_SubdeviceMutex.Lock();
  ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || !NT_SUCCESS(engine->PowerChangeState(state))) break;
    if (state == PowerDeviceD0) engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
  }
  m_SubdeviceMutex.Unlock();

  if (state == PowerDeviceD0)
    static_cast<IAudioHal*>(this)->Start();
  else
    static_cast<IAudioHal*>(this)->Stop();
}

// ============================================================================
// Finding the interfaces

namespace {

// The device's first audio interface of `subclass` and the configuration
// bytes from it to the end. A device without a configuration fails; one
// without such an interface succeeds with a null interface.
NTSTATUS FindAudioInterface(IAudioHal* hal, LONG subclass, PUSB_CONFIGURATION_DESCRIPTOR* configuration,
                            PUSB_INTERFACE_DESCRIPTOR* iface, ULONG* remaining) {
  *iface = nullptr;
  PVOID object = nullptr;
  NTSTATUS status = hal->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* usb = static_cast<IUsbDevice*>(object);
  *configuration = usb->GetConfigurationDescriptor();
  usb->Release();
  if (!*configuration) return STATUS_UNSUCCESSFUL;
  *iface = USBD_ParseConfigurationDescriptorEx(*configuration, *configuration, -1, -1, USB_CLASS_AUDIO, subclass, -1);
  if (!*iface) return status;
  const ULONG extent = platform::usb::ConfigurationExtent(*configuration);
  *remaining = extent - static_cast<ULONG>(reinterpret_cast<PUCHAR>(*iface) - reinterpret_cast<PUCHAR>(*configuration));
  return status;
}

}  // namespace

NTSTATUS CUac1AudioHal::UsbParseAudioControlInterface() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
  PUSB_INTERFACE_DESCRIPTOR control = nullptr;
  ULONG remaining = 0;
  NTSTATUS status = FindAudioInterface(this, USB_SUBCLASS_AUDIOCONTROL, &configuration, &control, &remaining);
  if (!NT_SUCCESS(status) || !control) return status;
  m_ControlInterfaceNumber = control->bInterfaceNumber;
  return static_cast<IUsbAudioHal*>(this)->UsbParseAudioControlInterface(control, remaining);
}

NTSTATUS CUac1AudioHal::UsbParseAudioStreamInterface() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
  PUSB_INTERFACE_DESCRIPTOR streaming = nullptr;
  ULONG remaining = 0;
  NTSTATUS status = FindAudioInterface(this, USB_SUBCLASS_AUDIOSTREAMING, &configuration, &streaming, &remaining);
  if (!NT_SUCCESS(status) || !streaming) return status;
  return static_cast<IUsbAudioHal*>(this)->UsbParseAudioStreamInterface(configuration, streaming, remaining);
}

// ============================================================================
// Graph operations

NTSTATUS CUac1AudioHal::SearchUpstream(ULONG pinId, ULONG terminalNodeId, bool* reached) {
  PAGED_CODE();
  *reached = false;
  // Every id enters the ring once: paths that meet are walked once, and a
  // loop ends where it closes.
  CTakenSet taken(GetNodeCount());
  if (!taken) return STATUS_INSUFFICIENT_RESOURCES;
  CIdRing ring;
  ring.Push(pinId);
  taken.Add(pinId);
  while (!ring.Empty()) {
    const ULONG id = ring.Pop();
    if (id == terminalNodeId) {
      *reached = true;
      return STATUS_SUCCESS;
    }
    ITopoNode* node = nullptr;
    if (!taken.Valid(id) || !NT_SUCCESS(FindNodeById(id, &node))) return STATUS_SUCCESS;
    if (node->GetSourceCount() == 0) continue;
    ULONG sources[MAX_SOURCES_READ];
    ULONG count = MAX_SOURCES_READ;
    NTSTATUS status = node->GetSourceIds(&count, sources);
    if (!NT_SUCCESS(status)) return status;
    ULONG fresh = 0;
    for (ULONG i = 0; i < count; ++i) {
      if (taken.Contains(sources[i])) continue;
      taken.Add(sources[i]);
      sources[fresh++] = sources[i];
    }
    if (fresh > ring.Free()) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < fresh; ++i) ring.Push(sources[i]);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1AudioHal::AttachEngineNodes(CUsbStreamEngine* engine, ULONG terminalNodeId) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  if (engine->IsCapture()) return AttachPathNodes(engine, terminalNodeId);

  const ULONG count = GetNodeCount();
  if (count == 0) return STATUS_UNSUCCESSFUL;
  ULONG pins[UAC1_MAX_OUTPUT_PINS];
  ULONG pinCount = 0;
  NTSTATUS lastPinFailure = STATUS_SUCCESS;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    NTSTATUS status = GetNode(i, &node);
    if (!NT_SUCCESS(status)) return status;
    lastPinFailure = STATUS_SUCCESS;
    if (node->GetType() != NODE_TYPE_OUTPUT_PIN) continue;
    PVOID object = nullptr;
    status = node->QueryInterface(IID_ITerminal, &object);
    PinCategory category = PIN_CATEGORY_STREAM;
    if (NT_SUCCESS(status)) {
      status = static_cast<ITerminal*>(object)->GetCategory(&category);
      static_cast<ITerminal*>(object)->Release();
    }
    if (!NT_SUCCESS(status)) {
      lastPinFailure = status;
      continue;
    }
    if (category != PIN_CATEGORY_STREAM && pinCount < UAC1_MAX_OUTPUT_PINS) pins[pinCount++] = node->GetId();
  }
  if (!NT_SUCCESS(lastPinFailure)) return lastPinFailure;
  if (pinCount == 0) return STATUS_INVALID_PARAMETER;

  NTSTATUS status = STATUS_SUCCESS;
  ULONG attached = 0;
  for (ULONG p = 0; p < pinCount; ++p) {
    bool reached = false;
    NTSTATUS search = SearchUpstream(pins[p], terminalNodeId, &reached);
    if (!NT_SUCCESS(search)) {
      status = search;
      continue;
    }
    if (!reached) continue;
    status = AttachPathNodes(engine, pins[p]);
    if (!NT_SUCCESS(status)) break;
    ++attached;
  }
  if (attached == 0 || !NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;

  // An output terminal with selectable types hangs its output-type switch
  // off its first pin, beside the path: the engine takes it too, so that
  // its category (and name) follows the selected type and a change of type
  // re-registers it.
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    ULONG pin = 0;
    ULONG one = 1;
    ITopoNode* attachedPin = nullptr;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSourceIds(&one, &pin)) || one != 1 ||
        !NT_SUCCESS(engine->FindNode(pin, &attachedPin)) || attachedPin->GetType() != NODE_TYPE_OUTPUT_PIN)
      continue;
    status = engine->AttachNode(node);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

NTSTATUS CUac1AudioHal::AttachPathNodes(CUsbStreamEngine* engine, ULONG startNodeId) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  CIdRing ring;
  ring.Push(startNodeId);
  while (!ring.Empty()) {
    const ULONG id = ring.Pop();
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(engine->FindNode(id, &node))) continue;
    NTSTATUS status = FindNodeById(id, &node);
    if (!NT_SUCCESS(status)) return status;
    status = engine->AttachNode(node);
    if (!NT_SUCCESS(status)) return status;
    if (node->GetSourceCount() == 0 || node->GetType() == NODE_TYPE_SUM) continue;
    ULONG sources[MAX_SOURCES_READ];
    ULONG count = MAX_SOURCES_READ;
    status = node->GetSourceIds(&count, sources);
    if (!NT_SUCCESS(status)) return status;
    // Sources already attached, or named twice, are queued no more.
    ULONG fresh = 0;
    for (ULONG i = 0; i < count; ++i) {
      ITopoNode* attachedNode = nullptr;
      if (NT_SUCCESS(engine->FindNode(sources[i], &attachedNode))) continue;
      bool twice = false;
      for (ULONG k = 0; k < fresh && !twice; ++k) twice = sources[k] == sources[i];
      if (!twice) sources[fresh++] = sources[i];
    }
    if (fresh > ring.Free()) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < fresh; ++i) ring.Push(sources[i]);
  }
  return STATUS_SUCCESS;
}

namespace {

// A node the driver adds itself: numbered after the model's last node,
// added to the model and attached to the engine (which registers it as a
// processor when it is one).
template <typename TNode, typename TInit>
NTSTATUS AddSoftwareNode(CAudioHal* hal, CUsbStreamEngine* engine, ULONG* nodeId, TInit init) {
  const ULONG id = hal->GetNodeCount();
  auto* node = new (NonPagedPool, UAC1_HAL_TAG) TNode(nullptr, id);
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  NTSTATUS status = init(node);
  if (NT_SUCCESS(status)) status = hal->AddNode(static_cast<ITopoNode*>(node));
  if (NT_SUCCESS(status)) status = engine->AttachNode(static_cast<ITopoNode*>(node));
  node->NonDelegatingRelease();
  if (NT_SUCCESS(status)) *nodeId = id;
  return status;
}

}  // namespace

NTSTATUS CUac1AudioHal::CreateSoftwareMuteNode(CUsbStreamEngine* engine, ULONG sourceId, ULONG* muteNodeId) {
  PAGED_CODE();
  return AddSoftwareNode<CSoftwareMuteNode>(this, engine, muteNodeId,
                                            [&](CSoftwareMuteNode* mute) { return mute->Init(sourceId, 1); });
}

NTSTATUS CUac1AudioHal::CreatePassThroughSelector(CUsbStreamEngine* engine, ULONG sourceId, ULONG* selectorNodeId) {
  PAGED_CODE();
  return AddSoftwareNode<CSelectorNode>(this, engine, selectorNodeId,
                                        [&](CSelectorNode* selector) { return selector->Init(1, &sourceId); });
}

NTSTATUS CUac1AudioHal::InsertSoftwareMute(CUsbStreamEngine* engine) {
  PAGED_CODE();
  ITopoNode* input = nullptr;
  ITopoNode* output = nullptr;
  ULONG count = engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) continue;
    if (!input && node->GetType() == NODE_TYPE_INPUT_PIN) input = node;
    if (!output && node->GetType() == NODE_TYPE_OUTPUT_PIN) output = node;
  }
  // Only a path of two bare terminals gets the mute; two nodes of any other
  // kind (a pin behind a sum) stay as they are.
  if (!input || !output) return STATUS_SUCCESS;

  ULONG source = 0;
  NTSTATUS status = CreateSoftwareMuteNode(engine, input->GetId(), &source);
  if (!NT_SUCCESS(status)) return status;
  if (engine->IsCapture() && !IsSystemAtLeast(NTDDI_VISTA)) {
    status = CreatePassThroughSelector(engine, source, &source);
    if (!NT_SUCCESS(status)) return status;
  }
  if (CUacUnit* terminal = FindUnitByOutputNode(UAC_SUBTYPE_OUTPUT_TERMINAL, output->GetId()))
    terminal->ConnectInputNode(1, &source);
  return status;
}

NTSTATUS CUac1AudioHal::FixUpStreamGraph(CUsbStreamEngine* engine) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  const ULONG count = engine->GetAttachedNodeCount();
  if (count == 2) return InsertSoftwareMute(engine);
  if (!engine->IsCapture() || count < 2) return STATUS_SUCCESS;

  ULONG selectors = 0, pins = 0;
  ITopoNode* outputPin = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) continue;
    const ULONG type = node->GetType();
    if (type == NODE_TYPE_SELECTOR) ++selectors;
    if (type == NODE_TYPE_INPUT_PIN || type == NODE_TYPE_OUTPUT_PIN) ++pins;
    if (!outputPin && type == NODE_TYPE_OUTPUT_PIN) outputPin = node;
  }
  if (selectors != 0 || pins != 2 || !outputPin || IsSystemAtLeast(NTDDI_VISTA)) return STATUS_SUCCESS;
  ULONG source = 0;
  ULONG one = 1;
  if (outputPin->GetSourceCount() != 1 || !NT_SUCCESS(outputPin->GetSourceIds(&one, &source)) || one != 1)
    return STATUS_SUCCESS;
  ULONG selector = 0;
  NTSTATUS status = CreatePassThroughSelector(engine, source, &selector);
  if (!NT_SUCCESS(status)) return status;
  if (CUacUnit* terminal = FindUnitByOutputNode(UAC_SUBTYPE_OUTPUT_TERMINAL, outputPin->GetId()))
    terminal->ConnectInputNode(1, &selector);
  return status;
}

void CUac1AudioHal::WireOutputTypes() {
  PAGED_CODE();
  const ULONG count = GetNodeCount();
  CTakenSet met(count);
  if (!met) return;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    ULONG sourceId = 0;
    ULONG one = 1;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSourceIds(&one, &sourceId)) || one != 1) continue;
    auto* outputType = QueryNode<IOutputTypeNode>(node, IID_IOutputTypeNode);
    if (!outputType) continue;
    PinCategory category = PIN_CATEGORY_STREAM;
    if (NT_SUCCESS(outputType->GetCategory(&category))) {
      // A chain that runs into a node it has met ends there.
      met.Clear();
      met.Add(node->GetId());
      ULONG id = sourceId;
      while (met.Valid(id) && !met.Contains(id)) {
        met.Add(id);
        ITopoNode* upstream = nullptr;
        if (!NT_SUCCESS(FindNodeById(id, &upstream)) || upstream->GetSourceCount() != 1) break;
        if (auto* sink = QueryNode<IOutputTypeSink>(upstream, IID_IOutputTypeSink)) {
          sink->SetOutputType(category, nullptr);
          outputType->AddListener(sink);
          sink->Release();
        }
        one = 1;
        if (!NT_SUCCESS(upstream->GetSourceIds(&one, &id)) || one != 1) break;
      }
    }
    outputType->Release();
  }
}
