#include "streaming/CUsbStreamEngine.h"

#include "driver/common/SpinLockScope.h"
#include "driver/common/NamedCallback.h"
#include "driver/common/OwnedLists.h"
#include "dsp/CPeakLimiter.h"
#include "usb/usbdlib.h"

namespace {

// "\Callback\CyclicControlAddr" and an address, in wide characters.
constexpr size_t CYCLIC_CALLBACK_NAME_CHARS = 49;

constexpr UCHAR USB_CLASS_AUDIO = 1;
constexpr UCHAR USB_SUBCLASS_AUDIOSTREAMING = 2;
constexpr UCHAR UAC_SET_CUR = 0x01;
constexpr USHORT UAC_SAMPLING_FREQ_CONTROL = 0x0100;
constexpr LONG RECOVERY_DELAY_100NS = -1000000;  // 100 ms

void WaitForever(PVOID object) { KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

CUsbStreamEngine::CUsbStreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CStreamEngine(outerUnknown, interfaceNumber), m_TerminalNodeId(terminalNodeId) {
  KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ThreadEndedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_KickEvent, SynchronizationEvent, FALSE);
  KeInitializeSpinLock(&m_SendLock);
  KeInitializeSpinLock(&m_PacketLock);
}

CUsbStreamEngine::~CUsbStreamEngine() {
  PAGED_CODE();
  FreeItemsAndList(m_FormatRecords);

  if (m_StreamThread) {
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_ThreadEndedEvent, Executive, KernelMode, FALSE, nullptr);
    // The thread still has to leave its start routine; its object says when.
    KeWaitForSingleObject(m_StreamThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_StreamThread);
    m_StreamThread = nullptr;
  }

  // An engine destroyed while still open gives its pool back all the same.
  FreePackets();
  DeleteLookasideLists();
  if (m_PipeTable) ExFreePool(m_PipeTable);
  m_PipeTable = nullptr;
  if (m_CaptureRing) ExFreePool(m_CaptureRing);
  m_CaptureRing = nullptr;
  DropNamedCallbackObject(m_CyclicCallbackObject);
  if (m_StreamLimiter) {
    m_StreamLimiter->Free();
    delete m_StreamLimiter;
    m_StreamLimiter = nullptr;
  }
}

NTSTATUS CUsbStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  IUnknown* answer = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IStreamEngine)) {
    answer = static_cast<IStreamEngine*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ICyclicControl)) {
    answer = static_cast<ICyclicControl*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IDrmContentForward)) {
    answer = static_cast<IDrmContentForward*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  *object = answer;
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::Init(ULONG direction, IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = CStreamEngine::Init(direction);
  if (!NT_SUCCESS(status)) return status;

  if (!m_FormatRecords) m_FormatRecords = NewPointerList(NonPagedPool, USB_STREAM_FORMAT_TAG);
  if (!m_FormatRecords) return STATUS_INSUFFICIENT_RESOURCES;

  if (!m_CyclicCallbackObject) {
    WCHAR name[CYCLIC_CALLBACK_NAME_CHARS];
    status = CreateNamedCallbackObject(u"CyclicControlAddr", static_cast<ICyclicControl*>(this), name,
                                       CYCLIC_CALLBACK_NAME_CHARS, &m_CyclicCallbackObject);
    if (!NT_SUCCESS(status)) return status;
  }

  if (!m_StreamThread) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadStart, this);
    if (NT_SUCCESS(status)) {
      PVOID thread = nullptr;
      status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
      if (NT_SUCCESS(status)) {
        m_StreamThread = static_cast<PKTHREAD>(thread);
        KeSetPriorityThread(m_StreamThread, USB_STREAM_THREAD_START_PRIORITY);
        KeSetPriorityThread(m_StreamThread, USB_STREAM_THREAD_PRIORITY);
      } else {
        // A thread nobody could wait for must not outlive the engine.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ThreadEndedEvent, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&m_StopEvent);
        KeClearEvent(&m_ThreadEndedEvent);
      }
      ZwClose(handle);
    }
    if (!NT_SUCCESS(status)) {
      DropNamedCallbackObject(m_CyclicCallbackObject);
      return status;
    }
  }

  m_Owner = owner;
  m_DeviceRemoved = 0;

  if (!m_StreamLimiter) {
    m_StreamLimiter = new (NonPagedPool, USB_STREAM_FORMAT_TAG) CPeakLimiter();
    if (m_StreamLimiter && m_StreamLimiter->Allocate()) {
      m_StreamLimiter->SetMode(0);
      m_StreamLimiter->SetGain(1.0f);
      m_StreamLimiter->SetCeiling(1.0f);
    } else if (m_StreamLimiter) {
      m_StreamLimiter->Free();
      delete m_StreamLimiter;
      m_StreamLimiter = nullptr;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE* format, UCHAR alternateSetting) {
  PAGED_CODE();
  if (!m_FormatRecords) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = CStreamEngine::AddFormat(format);
  if (!NT_SUCCESS(status)) return status;
  auto* record =
      static_cast<UsbFormatRecord*>(ExAllocatePoolWithTag(PagedPool, sizeof(UsbFormatRecord), USB_STREAM_FORMAT_TAG));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  record->AlternateSetting = alternateSetting;
  RtlCopyMemory(&record->Format, format, sizeof(WAVEFORMATEXTENSIBLE));
  if (!m_FormatRecords->AddTail(record)) {
    ExFreePool(record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::RemoveFormats(bool (*match)(const WAVEFORMATEXTENSIBLE& format)) {
  PAGED_CODE();
  auto sweep = [match](CPointerList* list, const WAVEFORMATEXTENSIBLE* (*formatOf)(PVOID item)) {
    if (!list) return;
    for (PointerListNode* node = list->First(); node;) {
      PointerListNode* next = node->next;
      if (node->item && match(*formatOf(node->item))) {
        ExFreePool(node->item);
        list->RemoveNode(node);
      }
      node = next;
    }
  };
  auto plain = [](PVOID item) -> const WAVEFORMATEXTENSIBLE* { return static_cast<PWAVEFORMATEXTENSIBLE>(item); };
  sweep(m_StereoFormats, plain);
  sweep(m_Formats, plain);
  sweep(m_FormatRecords, [](PVOID item) -> const WAVEFORMATEXTENSIBLE* {
    return &static_cast<UsbFormatRecord*>(item)->Format;
  });
}

ULONG CUsbStreamEngine::GetFormatRecordCount() const {
  return m_FormatRecords ? static_cast<ULONG>(m_FormatRecords->GetCount()) : 0;
}

NTSTATUS CUsbStreamEngine::FindAlternateSetting(const WAVEFORMATEXTENSIBLE* format, PUCHAR alternateSetting) {
  if (!format || !alternateSetting || !m_FormatRecords) return STATUS_INVALID_PARAMETER;
  const bool extensible = format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  // An extensible query compares what both records hold, and no more.
  SIZE_T compared = SIZE_T(format->Format.cbSize) + sizeof(WAVEFORMATEX);
  if (compared > sizeof(WAVEFORMATEXTENSIBLE)) compared = sizeof(WAVEFORMATEXTENSIBLE);
  PVOID item = nullptr;
  for (auto position = m_FormatRecords->GetHeadPosition(); m_FormatRecords->GetNext(&position, &item);) {
    auto* record = static_cast<UsbFormatRecord*>(item);
    bool match;
    if (extensible) {
      match = RtlCompareMemory(&record->Format, format, compared) == compared;
    } else {
      const WAVEFORMATEX& stored = record->Format.Format;
      match = stored.nChannels == format->Format.nChannels &&
              stored.nSamplesPerSec == format->Format.nSamplesPerSec &&
              stored.wBitsPerSample == format->Format.wBitsPerSample &&
              static_cast<WORD>(record->Format.SubFormat.Data1 & 0xFFFF) == format->Format.wFormatTag;
    }
    if (match) {
      *alternateSetting = record->AlternateSetting;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUsbStreamEngine::FindNode(ULONG nodeId, ITopoNode** node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  *node = nullptr;
  if (!m_AttachedNodes) return STATUS_UNSUCCESSFUL;
  PVOID item = nullptr;
  for (auto position = m_AttachedNodes->GetHeadPosition(); m_AttachedNodes->GetNext(&position, &item);)
    if (item && static_cast<ITopoNode*>(item)->GetId() == nodeId) *node = static_cast<ITopoNode*>(item);
  return *node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

IUsbDevice* CUsbStreamEngine::QueryUsbDevice() {
  PVOID object = nullptr;
  if (!m_Owner || !NT_SUCCESS(m_Owner->QueryInterface(IID_IUsbDevice, &object))) return nullptr;
  return static_cast<IUsbDevice*>(object);
}

NTSTATUS CUsbStreamEngine::ForwardContentId(ULONG contentId) {
  DRMFORWARD forward{};
  if (m_PipeTable) {
    if (IUsbDevice* usb = QueryUsbDevice()) {
      forward.DeviceObject = usb->GetLowerDevice();
      usb->Release();
    }
    PVOID pipe = m_PipeTable->Pipes[m_PipeIndex].PipeHandle;
    forward.FileObject = static_cast<PFILE_OBJECT>(pipe);
    forward.Context = pipe;
  }
  return PcForwardContentToDeviceObject(contentId, nullptr, &forward);
}

// ---- Stream thread ---------------------------------------------------------------------------

void CUsbStreamEngine::ThreadStart(PVOID context) {
  static_cast<CUsbStreamEngine*>(context)->ThreadMain();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void CUsbStreamEngine::ThreadMain() {
  PAGED_CODE();
  for (;;) {
    PVOID events[2] = {&m_KickEvent, &m_StopEvent};
    NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    m_EngineMutex.Lock();
    if (wait == STATUS_WAIT_0 && m_StreamState == STREAM_STATE_RUNNING) {
      LONG work = InterlockedCompareExchange(&m_WorkFlag, USB_STREAM_WORK_NONE, USB_STREAM_WORK_RESUBMIT);
      if (work == USB_STREAM_WORK_RESUBMIT) {
        // A removed device accepts every send without sending: stop there,
        // or the loop would never end.
        while (m_StreamState == STREAM_STATE_RUNNING && !m_DeviceRemoved && NT_SUCCESS(SendStreamUrb())) {
        }
      } else if (work == USB_STREAM_WORK_ERROR) {
        HandleTransferError();
      }
    }
    m_EngineMutex.Unlock();
    if (wait == STATUS_WAIT_0 + 1) {
      KeSetEvent(&m_ThreadEndedEvent, 8, FALSE);
      return;
    }
  }
}

void CUsbStreamEngine::HandleTransferError() {
  PAGED_CODE();
  DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", static_cast<int>(m_StreamState));
  NTSTATUS status = STATUS_SUCCESS;
  if (m_StreamState == STREAM_STATE_RUNNING) {
    // An endpoint that fails every transfer would otherwise be reset and
    // restarted for ever, with the client waiting on a stream that never
    // moves.
    if (InterlockedIncrement(&m_RecoveriesInARow) > USB_STREAM_MAX_RECOVERIES) {
      status = STATUS_IO_DEVICE_ERROR;
    } else {
      status = RecoverFromError();
      if (status == STATUS_DEVICE_NOT_CONNECTED) KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (!NT_SUCCESS(status)) FailStream(status);
  }
  DbgPrint("Error_ErrorOccur ntStatus = %x\n", static_cast<unsigned>(status));
}

void CUsbStreamEngine::FailStream(NTSTATUS status) {
  PAGED_CODE();
  InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamError), status);
  WaitForever(&m_IdleEvent);
  InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_NONE);
  CyclicControlNotify notify{};
  notify.Client = m_ActiveClient;
  notify.Command = CYCLIC_COMMAND_ERROR;
  notify.Value.Status = status;
  Notify(&notify);
}

ULONG CUsbStreamEngine::GetCurrentFrameNumber() {
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return 0;
  ULONG frame = 0;
  usb->QueryBusTime(&frame);
  usb->Release();
  return frame;
}

PUSB_INTERFACE_DESCRIPTOR CUsbStreamEngine::FindStreamingInterface(IUsbDevice* usb, UCHAR alternateSetting) {
  PUSB_CONFIGURATION_DESCRIPTOR configuration = usb ? usb->GetConfigurationDescriptor() : nullptr;
  if (!configuration) return nullptr;
  return USBD_ParseConfigurationDescriptorEx(configuration, configuration, static_cast<LONG>(m_EngineId),
                                             alternateSetting, USB_CLASS_AUDIO, USB_SUBCLASS_AUDIOSTREAMING, -1);
}

ULONG CUsbStreamEngine::GetPacketsPerFrame(UCHAR alternateSetting) {
  IUsbDevice* usb = QueryUsbDevice();
  // Without the device there is no endpoint to ask; one packet per
  // millisecond keeps every size derived from this number meaningful.
  if (!usb) return 1;
  ULONG packets = 1;
  PUSB_INTERFACE_DESCRIPTOR iface = FindStreamingInterface(usb, alternateSetting);
  if (iface && usb->IsHighSpeed()) {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = usb->GetConfigurationDescriptor();
    const ULONG total = platform::usb::ConfigurationExtent(configuration);
    PUCHAR end = reinterpret_cast<PUCHAR>(configuration) + total;
    PVOID position = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
    while (position < end) {
      auto* descriptor = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
          USBD_ParseDescriptors(configuration, total, position, USB_ENDPOINT_DESCRIPTOR_TYPE));
      if (!descriptor || descriptor->bLength == 0) break;
      // Another interface's endpoints are not ours.
      auto* next = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(
          USBD_ParseDescriptors(configuration, total, position, USB_INTERFACE_DESCRIPTOR_TYPE));
      if (next && reinterpret_cast<PUCHAR>(next) < reinterpret_cast<PUCHAR>(descriptor)) break;
      const bool isochronous = (descriptor->bmAttributes & 0x03) == 0x01;
      const bool data = ((descriptor->bmAttributes >> 4) & 0x03) == 0;
      if (isochronous && data) {
        packets = UsbPacketsPerMs(descriptor->bInterval, true);
        break;
      }
      position = reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
    }
  }
  usb->Release();
  return packets;
}

// ---- Packet pool ---------------------------------------------------------------------------

void CUsbStreamEngine::InitLookasideLists(ULONG urbBytes, ULONG bufferBytes) {
  DeleteLookasideLists();
  ExInitializeNPagedLookasideList(&m_UrbLookaside, nullptr, nullptr, 0, urbBytes, USB_STREAM_URB_TAG, 0);
  ExInitializeNPagedLookasideList(&m_PacketLookaside, nullptr, nullptr, 0, sizeof(StreamPacket), USB_STREAM_URB_TAG,
                                  0);
  ExInitializeNPagedLookasideList(&m_BufferLookaside, nullptr, nullptr, 0, bufferBytes ? bufferBytes : 1,
                                  USB_STREAM_URB_TAG, 0);
  m_PacketBufferBytes = bufferBytes;
  m_LookasideReady = TRUE;
}

void CUsbStreamEngine::DeleteLookasideLists() {
  if (!m_LookasideReady) return;
  ExDeleteNPagedLookasideList(&m_UrbLookaside);
  ExDeleteNPagedLookasideList(&m_PacketLookaside);
  ExDeleteNPagedLookasideList(&m_BufferLookaside);
  m_LookasideReady = FALSE;
  m_PacketBufferBytes = 0;
}

NTSTATUS CUsbStreamEngine::AllocatePacket(StreamPacket** slot) {
  if (!slot) return STATUS_INVALID_PARAMETER;
  *slot = nullptr;
  if (!m_LookasideReady) return STATUS_INSUFFICIENT_RESOURCES;
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_INSUFFICIENT_RESOURCES;

  auto* packet = static_cast<StreamPacket*>(ExAllocateFromNPagedLookasideList(&m_PacketLookaside));
  PUCHAR buffer = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&m_BufferLookaside));
  PURB urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbLookaside));
  PIRP irp = (packet && buffer && urb) ? usb->AllocateIrp() : nullptr;
  usb->Release();
  if (!irp) {
    if (urb) ExFreeToNPagedLookasideList(&m_UrbLookaside, urb);
    if (buffer) ExFreeToNPagedLookasideList(&m_BufferLookaside, buffer);
    if (packet) ExFreeToNPagedLookasideList(&m_PacketLookaside, packet);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(packet, sizeof(*packet));
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  packet->Irp = irp;
  packet->Urb = urb;
  packet->Buffer = buffer;
  packet->Owner = this;
  *slot = packet;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::BuildPacketPool(ULONG urbBytes, ULONG bufferBytes) {
  InitLookasideLists(urbBytes, bufferBytes);
  for (ULONG i = 0; i < USB_STREAM_PACKETS; ++i) {
    StreamPacket* packet = nullptr;
    NTSTATUS status = AllocatePacket(&packet);
    if (!NT_SUCCESS(status)) {
      FreePackets();
      DeleteLookasideLists();
      return status;
    }
    packet->Index = i;
    m_FreeSlots[i] = packet;
    m_InFlightSlots[i] = nullptr;
  }
  return STATUS_SUCCESS;
}

StreamPacket* CUsbStreamEngine::ClaimPacket() { return ClaimFromSlots(m_FreeSlots, m_InFlightSlots, &m_PacketLock); }

StreamPacket* CUsbStreamEngine::ClaimFromSlots(StreamPacket** freeSlots, StreamPacket** inFlightSlots,
                                               KSPIN_LOCK* lock) {
  // Only the first urbCount packets serve; more than the pool holds cannot.
  const ULONG usable = m_UrbCount < USB_STREAM_PACKETS ? m_UrbCount : USB_STREAM_PACKETS;
  StreamPacket* claimed = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  for (ULONG i = 0; i < usable; ++i) {
    StreamPacket* packet = freeSlots[i];
    if (!packet) continue;
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&inFlightSlots[i]), packet, nullptr) ==
        nullptr) {
      freeSlots[i] = nullptr;
      claimed = packet;
      break;
    }
  }
  KeReleaseSpinLock(lock, irql);
  return claimed;
}

void CUsbStreamEngine::ReleasePacket(StreamPacket* packet) {
  ReleaseToSlots(packet, m_FreeSlots, m_InFlightSlots, &m_PacketLock);
}

void CUsbStreamEngine::ReleaseToSlots(StreamPacket* packet, StreamPacket** freeSlots, StreamPacket** inFlightSlots,
                                      KSPIN_LOCK* lock) {
  if (!packet || packet->Index >= USB_STREAM_PACKETS) return;
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  freeSlots[packet->Index] = packet;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&inFlightSlots[packet->Index]), nullptr);
  IoReuseIrp(packet->Irp, STATUS_NOT_SUPPORTED);
  KeReleaseSpinLock(lock, irql);
}

void CUsbStreamEngine::FreePacket(StreamPacket* packet) {
  if (!packet) return;
  if (packet->Buffer) ExFreeToNPagedLookasideList(&m_BufferLookaside, packet->Buffer);
  if (packet->Urb) ExFreeToNPagedLookasideList(&m_UrbLookaside, packet->Urb);
  if (packet->Irp) IoFreeIrp(packet->Irp);
  ExFreeToNPagedLookasideList(&m_PacketLookaside, packet);
}

void CUsbStreamEngine::FreePackets() { FreeSlots(m_FreeSlots, m_InFlightSlots); }

void CUsbStreamEngine::FreeSlots(StreamPacket** freeSlots, StreamPacket** inFlightSlots) {
  for (ULONG i = 0; i < USB_STREAM_PACKETS; ++i) {
    // A packet still in flight belongs to the bus until it completes.
    ASSERT(inFlightSlots[i] == nullptr);
    if (freeSlots[i]) FreePacket(freeSlots[i]);
    freeSlots[i] = nullptr;
  }
}

// ---- Send path -------------------------------------------------------------------------------

void CUsbStreamEngine::BuildIsochUrb(StreamPacket* packet, ULONG packets, ULONG transferFlags) {
  const ULONG urbBytes = UsbStreamUrbBytes(packets);
  RtlZeroMemory(packet->Urb, urbBytes);
  URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(urbBytes);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = m_PipeTable ? m_PipeTable->Pipes[m_PipeIndex].PipeHandle : nullptr;
  iso.TransferFlags = transferFlags;
  iso.TransferBuffer = packet->Buffer;
  iso.NumberOfPackets = packets;
  if (m_ExplicitStartFrames) {
    iso.StartFrame = m_NextStartFrame;
    m_NextStartFrame += m_MsPerUrb;
  } else {
    iso.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
  }
}

void CUsbStreamEngine::AddOutstandingUrb() {
  // Count and event change together, so that a completion bringing the
  // count to 0 cannot signal the idle event after a send has raised it again.
  KIRQL irql;
  KeAcquireSpinLock(&m_PacketLock, &irql);
  if (InterlockedIncrement(&m_OutstandingUrbs) == 1) KeClearEvent(&m_IdleEvent);
  KeReleaseSpinLock(&m_PacketLock, irql);
}

void CUsbStreamEngine::DropOutstandingUrb() {
  KIRQL irql;
  KeAcquireSpinLock(&m_PacketLock, &irql);
  LONG left = InterlockedDecrement(&m_OutstandingUrbs);
  ASSERT(left >= 0);
  if (left <= 0) {
    if (left < 0) InterlockedExchange(&m_OutstandingUrbs, 0);
    KeSetEvent(&m_IdleEvent, 8, FALSE);
  }
  KeReleaseSpinLock(&m_PacketLock, irql);
}

NTSTATUS CUsbStreamEngine::SubmitPacket(IUsbDevice* usb, StreamPacket* packet, PIO_COMPLETION_ROUTINE completion) {
  PIRP irp = packet->Irp;
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = packet->Urb;
  IoSetCompletionRoutine(irp, completion ? completion : UrbCompletionRoutine, packet, TRUE, TRUE, TRUE);
  AddOutstandingUrb();
  // A completion that arrives while the IRP is still being passed down must
  // not resubmit from inside this call (the caller holds the send lock):
  // MayResubmit hands such a resubmission to the stream thread.
  InterlockedIncrement(&m_PassingDown);
  NTSTATUS status = usb->CallLowerDriver(irp);
  InterlockedDecrement(&m_PassingDown);
  return status;
}

void CUsbStreamEngine::ReportTransferError() {
  if (InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_ERROR) != USB_STREAM_WORK_ERROR)
    KeSetEvent(&m_KickEvent, 8, FALSE);
}

BOOLEAN CUsbStreamEngine::MayResubmit() {
  InterlockedExchange(&m_RecoveriesInARow, 0);
  if (InterlockedCompareExchange(&m_WorkFlag, USB_STREAM_WORK_RESUBMIT, USB_STREAM_WORK_NONE) !=
      USB_STREAM_WORK_NONE)
    return FALSE;  // an error is pending, or the thread already refills
  if (ReadNoFence(&m_PassingDown)) {
    KeSetEvent(&m_KickEvent, 8, FALSE);
    return FALSE;
  }
  InterlockedCompareExchange(&m_WorkFlag, USB_STREAM_WORK_NONE, USB_STREAM_WORK_RESUBMIT);
  return TRUE;
}

NTSTATUS CUsbStreamEngine::UrbCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  auto* packet = static_cast<StreamPacket*>(context);
  return packet->Owner->OnUrbComplete(deviceObject, irp, packet);
}

NTSTATUS CUsbStreamEngine::OnUrbComplete(PDEVICE_OBJECT, PIRP irp, StreamPacket* packet) {
  const bool failed = !NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(packet->Urb->UrbHeader.Status);
  // The packet is free again before the thread can be asked to refill: a
  // refill already under way must find it, or this completion's request
  // would be swallowed by the one pending and its slot left empty. It is
  // also back before the count can reach 0, since whoever waits for the idle
  // event may free the pool next.
  ReleasePacket(packet);
  if (StreamRunning()) {
    if (failed) {
      ReportTransferError();
    } else {
      InterlockedExchange(&m_RecoveriesInARow, 0);
      if (InterlockedCompareExchange(&m_WorkFlag, USB_STREAM_WORK_RESUBMIT, USB_STREAM_WORK_NONE) ==
          USB_STREAM_WORK_NONE)
        KeSetEvent(&m_KickEvent, 8, FALSE);
    }
  }
  DropOutstandingUrb();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Interface selection ---------------------------------------------------------------------

NTSTATUS CUsbStreamEngine::SelectAlternateSetting(UCHAR, StreamClientRecord*) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CUsbStreamEngine::SelectStreamingInterface(UCHAR alternateSetting, StreamClientRecord* client,
                                                    BOOLEAN capture) {
  PAGED_CODE();
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  if (m_PipeTable) ExFreePool(m_PipeTable);
  m_PipeTable = nullptr;
  m_PipeIndex = 0;

  PUSB_INTERFACE_DESCRIPTOR iface = FindStreamingInterface(usb, alternateSetting);
  if (!iface) {
    usb->Release();
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT urbBytes = GET_SELECT_INTERFACE_REQUEST_SIZE(iface->bNumEndpoints);
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, USB_STREAM_URB_TAG));
  if (!urb) {
    usb->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, urbBytes);
  UsbBuildSelectInterfaceRequest(urb, urbBytes, usb->GetConfigurationHandle(), static_cast<UCHAR>(m_EngineId),
                                 alternateSetting);
  NTSTATUS status = usb->SubmitUrb(urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(urb);
    usb->Release();
    return status;
  }

  const USBD_INTERFACE_INFORMATION& answer = urb->UrbSelectInterface.Interface;
  const USHORT tableBytes = answer.Length;
  m_PipeTable =
      static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, tableBytes, USB_STREAM_URB_TAG));
  if (!m_PipeTable) {
    // Without a pipe table the streaming setting is of no use: give its
    // bandwidth back.
    URB fallback{};
    UsbBuildSelectInterfaceRequest(&fallback, GET_SELECT_INTERFACE_REQUEST_SIZE(0), usb->GetConfigurationHandle(),
                                   static_cast<UCHAR>(m_EngineId), 0);
    usb->SubmitUrb(&fallback);
    if (m_BusyMarked) {
      m_BusyMarked = FALSE;
      usb->ReleaseBusy();
    }
    ExFreePool(urb);
    usb->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(m_PipeTable, &answer, tableBytes);

  const ULONG pipes = (tableBytes - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION);
  const ULONG listed = m_PipeTable->NumberOfPipes < pipes ? m_PipeTable->NumberOfPipes : pipes;
  for (ULONG i = 0; i < listed; ++i) {
    const bool in = (m_PipeTable->Pipes[i].EndpointAddress & 0x80) != 0;
    if (in == static_cast<bool>(capture)) m_PipeIndex = static_cast<UCHAR>(i);
  }

  if (client && (capture || alternateSetting != 0) && listed > 0) {
    UCHAR rate[3] = {static_cast<UCHAR>(client->Format.Format.nSamplesPerSec),
                     static_cast<UCHAR>(client->Format.Format.nSamplesPerSec >> 8),
                     static_cast<UCHAR>(client->Format.Format.nSamplesPerSec >> 16)};
    URB request{};
    UsbBuildVendorRequest(&request, URB_FUNCTION_CLASS_ENDPOINT, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          UAC_SET_CUR, UAC_SAMPLING_FREQ_CONTROL, m_PipeTable->Pipes[m_PipeIndex].EndpointAddress,
                          rate, nullptr, sizeof(rate), nullptr);
    NTSTATUS rateStatus = usb->SubmitUrb(&request);
    if (capture) status = rateStatus;
  }

  // One busy mark while a streaming setting is selected, however often it
  // is selected again: an unbalanced release would let the device suspend
  // under a running stream.
  if (alternateSetting != 0 && !m_BusyMarked) {
    m_BusyMarked = TRUE;
    usb->AddBusy();
  } else if (alternateSetting == 0 && m_BusyMarked) {
    m_BusyMarked = FALSE;
    usb->ReleaseBusy();
  }
  ExFreePool(urb);
  usb->Release();
  return status;
}

NTSTATUS CUsbStreamEngine::ResetInterface() { return SelectAlternateSetting(0, nullptr); }

NTSTATUS CUsbStreamEngine::AbortPipe() {
  PAGED_CODE();
  if (!m_PipeTable) return STATUS_INVALID_DEVICE_STATE;
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  URB urb{};
  urb.UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb.UrbPipeRequest.PipeHandle = m_PipeTable->Pipes[m_PipeIndex].PipeHandle;
  NTSTATUS status = usb->SubmitUrb(&urb);
  usb->Release();
  return status;
}

// ---- Engine states ---------------------------------------------------------------------------

NTSTATUS CUsbStreamEngine::SendStreamUrb() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::OpenForFormat(StreamClientRecord*, PULONG) { return STATUS_UNSUCCESSFUL; }

NTSTATUS CUsbStreamEngine::Close() {
  PAGED_CODE();
  CKernelMutexScope lock(m_EngineMutex);
  if (m_StreamState != STREAM_STATE_OPEN) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = SelectAlternateSetting(0, nullptr);
  FreePackets();
  InterlockedExchange(StreamStateWord(), STREAM_STATE_CLOSED);
  DeleteLookasideLists();
  if (m_CaptureRing) ExFreePool(m_CaptureRing);
  m_CaptureRing = nullptr;
  if (m_PipeTable) ExFreePool(m_PipeTable);
  m_PipeTable = nullptr;
  if (!NT_SUCCESS(status) && m_DeviceRemoved) status = STATUS_SUCCESS;
  return status;
}

void CUsbStreamEngine::AbandonOpen() {
  PAGED_CODE();
  if (m_CaptureRing) ExFreePool(m_CaptureRing);
  m_CaptureRing = nullptr;
  if (m_PipeTable) ExFreePool(m_PipeTable);
  m_PipeTable = nullptr;
  FreePackets();
  DeleteLookasideLists();
  InterlockedExchange(StreamStateWord(), STREAM_STATE_CLOSED);
}

void CUsbStreamEngine::FillRenderBuffer(StreamPacket* packet, ULONG bytes) {
  // A layout longer than the pool's buffers is the pipe's fault; the client
  // and the signal path still never write past the buffer.
  if (bytes > m_PacketBufferBytes) bytes = m_PacketBufferBytes;
  RtlZeroMemory(packet->Buffer, bytes);
  CyclicControlNotify fill{};
  fill.Client = m_ActiveClient;
  fill.Command = CYCLIC_COMMAND_RENDER_FILL;
  fill.Value.Buffer = packet->Buffer;
  fill.Length = bytes;
  Notify(&fill);
  ProcessBuffer(packet->Buffer, static_cast<LONG>(bytes));
}

NTSTATUS CUsbStreamEngine::SendPipeline() {
  const ULONG count = m_UrbCount < USB_STREAM_PACKETS ? m_UrbCount : USB_STREAM_PACKETS;
  for (ULONG i = 0; i < count; ++i) {
    NTSTATUS status = SendStreamUrb();
    if (status == STATUS_BUFFER_TOO_SMALL) break;  // every usable slot is in flight
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::Start(ULONG startFrame, BOOLEAN explicitStartFrames) {
  PAGED_CODE();
  CKernelMutexScope lock(m_EngineMutex);
  if (InterlockedCompareExchange(StreamStateWord(), STREAM_STATE_RUNNING, STREAM_STATE_OPEN) != STREAM_STATE_OPEN)
    return STATUS_UNSUCCESSFUL;
  if (m_StreamLimiter) m_StreamLimiter->SetFormat(&m_CurrentWaveFormat);
  m_NextStartFrame = startFrame;
  m_ExplicitStartFrames = explicitStartFrames;
  InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_NONE);
  InterlockedExchange(&m_RecoveriesInARow, 0);
  InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_StreamError), STATUS_SUCCESS);
  KeClearEvent(&m_KickEvent);

  if (m_NodeProcessors) {
    PVOID item = nullptr;
    for (auto position = m_NodeProcessors->GetHeadPosition(); m_NodeProcessors->GetNext(&position, &item);)
      if (!NT_SUCCESS(static_cast<IDspProcessor*>(item)->SetFormat(&m_CurrentWaveFormat))) break;
  }

  NTSTATUS status = SendPipeline();
  if (!NT_SUCCESS(status)) {
    WaitForever(&m_IdleEvent);
    InterlockedExchange(StreamStateWord(), STREAM_STATE_OPEN);
  }
  return status;
}

NTSTATUS CUsbStreamEngine::Stop() {
  PAGED_CODE();
  CKernelMutexScope lock(m_EngineMutex);
  if (InterlockedCompareExchange(StreamStateWord(), STREAM_STATE_OPEN, STREAM_STATE_RUNNING) != STREAM_STATE_RUNNING)
    return STATUS_UNSUCCESSFUL;
  WaitForever(&m_IdleEvent);
  NTSTATUS status = STATUS_SUCCESS;
  if (m_NodeProcessors) {
    PVOID item = nullptr;
    for (auto position = m_NodeProcessors->GetHeadPosition(); m_NodeProcessors->GetNext(&position, &item);) {
      status = static_cast<IDspProcessor*>(item)->Reset();
      if (!NT_SUCCESS(status)) break;
    }
  }
  if (m_StreamLimiter) m_StreamLimiter->Reset();
  return status;
}

NTSTATUS CUsbStreamEngine::Restart() {
  PAGED_CODE();
  CKernelMutexScope lock(m_EngineMutex);
  if (!m_ActiveClient) return STATUS_INVALID_PARAMETER;
  UCHAR alternateSetting = 0;
  NTSTATUS status = FindAlternateSetting(&m_ActiveClient->Format, &alternateSetting);
  if (!NT_SUCCESS(status)) return status;
  status = SelectAlternateSetting(alternateSetting, m_ActiveClient);
  if (!NT_SUCCESS(status)) return status;
  m_RingRead = 0;
  m_RingWrite = 0;
  KeClearEvent(&m_KickEvent);
  m_NextStartFrame = GetCurrentFrameNumber() + 2;
  InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_NONE);
  return SendPipeline();
}

NTSTATUS CUsbStreamEngine::RecoverFromError() {
  PAGED_CODE();
  if (!m_Owner) return STATUS_UNSUCCESSFUL;
  CKernelMutexScope lock(m_EngineMutex);
  PDEVICE_OBJECT device = m_Owner->GetDeviceObject();
  if (device) ObReferenceObject(device);
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) {
    if (device) ObDereferenceObject(device);
    return STATUS_UNSUCCESSFUL;
  }

  WaitForever(&m_IdleEvent);
  InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_NONE);

  NTSTATUS status;
  m_DeviceRemoved = usb->IsDeviceRemoved() ? 1 : 0;
  if (m_DeviceRemoved) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    LARGE_INTEGER delay;
    delay.QuadPart = RECOVERY_DELAY_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    status = ResetInterface();
    if (!NT_SUCCESS(status)) {
      usb->CyclePort();
    } else {
      NotifyFormat(m_ActiveClient, CYCLIC_FORMAT_CHANGED);
      status = Restart();
      if (!NT_SUCCESS(status)) usb->CyclePort();
    }
  }
  usb->Release();
  if (device) ObDereferenceObject(device);
  return status;
}
