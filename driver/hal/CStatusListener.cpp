#include "driver/hal/CStatusListener.h"

#include "usb/usbdlib.h"

namespace {

LONGLONG Doubled(LONGLONG pause) {
  return pause * 2 < STATUS_RETRY_LONGEST_PAUSE ? pause * 2 : STATUS_RETRY_LONGEST_PAUSE;
}

bool SameChange(const StatusChange& a, const StatusChange& b) {
  return a.originator == b.originator && a.selector == b.selector && a.channel == b.channel;
}

}  // namespace

LARGE_INTEGER CRetryPause::Next() {
  m_Last = m_Last == 0 ? STATUS_RETRY_FIRST_PAUSE : Doubled(m_Last);
  LARGE_INTEGER pause;
  pause.QuadPart = -m_Last;
  return pause;
}

bool IsDeviceGone(NTSTATUS status) { return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DELETE_PENDING; }

// ============================================================================
// One transfer

CStatusTransfer::CStatusTransfer(ULONG tag, ULONG urbBytes, ULONG bufferBytes)
    : m_Tag(tag), m_UrbBytes(urbBytes), m_BufferBytes(bufferBytes) {
  KeInitializeEvent(&m_Event, NotificationEvent, TRUE);
}

NTSTATUS CStatusTransfer::Completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The IRP stays the thread's, which sends it again.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CStatusTransfer::Send(IUsbDevice* usb, USBD_PIPE_HANDLE pipe) {
  PAGED_CODE();
  if (!m_Urb) m_Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, m_UrbBytes, m_Tag));
  if (!m_Buffer) m_Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, m_BufferBytes, m_Tag));
  if (!m_Irp && m_Urb && m_Buffer) m_Irp = usb->AllocateIrp();
  if (!m_Irp) return STATUS_INSUFFICIENT_RESOURCES;
  if (m_Used) IoReuseIrp(m_Irp, STATUS_NOT_SUPPORTED);
  RtlZeroMemory(m_Urb, m_UrbBytes);
  UsbBuildInterruptOrBulkTransferRequest(m_Urb, static_cast<USHORT>(m_UrbBytes), pipe, m_Buffer, nullptr,
                                         m_BufferBytes, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  IoSetNextIrpStackLocation(m_Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = m_Urb;
  IoSetCompletionRoutine(m_Irp, Completion, &m_Event, TRUE, TRUE, TRUE);
  KeClearEvent(&m_Event);
  m_Used = true;
  usb->CallLowerDriver(m_Irp);
  return STATUS_SUCCESS;
}

ULONG CStatusTransfer::Bytes() const {
  if (!m_Urb) return 0;
  const ULONG bytes = m_Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  return bytes < m_BufferBytes ? bytes : m_BufferBytes;
}

void CStatusTransfer::Finish(IUsbDevice* usb) {
  PAGED_CODE();
  if (m_Irp && !KeReadStateEvent(&m_Event)) IoCancelIrp(m_Irp);
  KeWaitForSingleObject(&m_Event, Executive, KernelMode, FALSE, nullptr);
  if (m_Irp) {
    if (usb)
      usb->FreeIrp(m_Irp);
    else
      IoFreeIrp(m_Irp);
  }
  if (m_Urb) ExFreePool(m_Urb);
  if (m_Buffer) ExFreePool(m_Buffer);
  m_Irp = nullptr;
  m_Urb = nullptr;
  m_Buffer = nullptr;
  m_Used = false;
}

// ============================================================================
// The listener

CStatusListener::CStatusListener(IAudioHal* model, PKEVENT stop, STATUS_MESSAGE_HANDLER handler, PVOID context,
                                 const char* owner)
    : m_Model(model), m_Stop(stop), m_Handler(handler), m_Context(context), m_Owner(owner) {}

CStatusListener::~CStatusListener() {
  PAGED_CODE();
  IUsbDevice* usb = QueryUsb();
  for (ULONG i = 0; i < m_ListenedCount; ++i) m_Listened[i].transfer->Finish(usb);
  if (usb) usb->Release();
}

void CStatusListener::Add(CStatusTransfer* transfer, USBD_PIPE_HANDLE pipe) {
  if (m_ListenedCount < STATUS_LISTENER_TRANSFERS) m_Listened[m_ListenedCount++] = Listened{transfer, pipe, {}, true};
}

IUsbDevice* CStatusListener::QueryUsb() {
  PVOID object = nullptr;
  return NT_SUCCESS(m_Model->QueryInterface(IID_IUsbDevice, &object)) ? static_cast<IUsbDevice*>(object) : nullptr;
}

bool CStatusListener::Pause(LARGE_INTEGER pause) {
  return KeWaitForSingleObject(m_Stop, Executive, KernelMode, FALSE, &pause) == STATUS_TIMEOUT;
}

void CStatusListener::End(const char* why) { DbgPrint("%s: the status thread ends: %s\n", m_Owner, why); }

bool CStatusListener::Send() {
  PAGED_CODE();
  for (;;) {
    bool unsent = false;
    for (ULONG i = 0; i < m_ListenedCount; ++i) {
      Listened& listened = m_Listened[i];
      if (!listened.idle) continue;
      IUsbDevice* usb = QueryUsb();
      if (!usb) {
        End("the device object no longer answers");
        return false;
      }
      listened.idle = !NT_SUCCESS(listened.transfer->Send(usb, listened.pipe));
      usb->Release();
      unsent |= listened.idle;
    }
    if (!unsent) {
      m_MemoryPause.Reset();
      return true;
    }
    // The pool may have room again after a while.
    if (!m_MemoryPause.Failing()) DbgPrint("%s: no memory for a status transfer; trying again\n", m_Owner);
    if (!Pause(m_MemoryPause.Next())) return false;
  }
}

bool CStatusListener::Next(PULONG index) {
  PAGED_CODE();
  for (;;) {
    if (!Send()) return false;
    PVOID events[1 + STATUS_LISTENER_TRANSFERS] = {m_Stop};
    for (ULONG i = 0; i < m_ListenedCount; ++i) events[1 + i] = m_Listened[i].transfer->Event();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -m_KeptPause;
    const NTSTATUS wait = KeWaitForMultipleObjects(1 + m_ListenedCount, events, WaitAny, Executive, KernelMode, FALSE,
                                                   m_KeptCount ? &timeout : nullptr, nullptr);
    if (wait == STATUS_TIMEOUT) {
      HandleKept();
      continue;
    }
    if (wait == STATUS_WAIT_0) return false;
    const ULONG done = static_cast<ULONG>(wait - STATUS_WAIT_0 - 1);
    if (done >= m_ListenedCount) continue;
    Listened& listened = m_Listened[done];
    listened.idle = true;
    const NTSTATUS status = listened.transfer->Status();
    if (IsDeviceGone(status)) {
      End("the device is gone");
      return false;
    }
    if (NT_SUCCESS(status)) {
      listened.pause.Reset();
      *index = done;
      return true;
    }
    if (!listened.pause.Failing())
      DbgPrint("%s: status transfer failed 0x%08X; sent again after a pause\n", m_Owner, static_cast<unsigned>(status));
    if (IUsbDevice* usb = QueryUsb()) {
      URB reset;
      RtlZeroMemory(&reset, sizeof reset);
      reset.UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
      reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
      reset.UrbPipeRequest.PipeHandle = listened.pipe;
      usb->SubmitUrb(&reset);
      usb->Release();
    }
    if (!Pause(listened.pause.Next())) return false;
  }
}

void CStatusListener::Keep(const StatusChange& message) {
  if (m_KeptCount == 0) m_KeptPause = STATUS_RETRY_FIRST_PAUSE;
  ULONG slot = m_KeptCount;
  for (ULONG i = 0; i < m_KeptCount; ++i)
    if (SameChange(m_Kept[i].message, message)) slot = i;
  if (slot == STATUS_MESSAGES_KEPT) {
    // All places taken: the one closest to giving up makes room.
    slot = 0;
    for (ULONG i = 1; i < m_KeptCount; ++i)
      if (m_Kept[i].triesLeft < m_Kept[slot].triesLeft) slot = i;
  }
  if (slot == m_KeptCount) ++m_KeptCount;
  m_Kept[slot] = Kept{message, STATUS_MESSAGE_RETRIES};
}

void CStatusListener::HandleKept() {
  PAGED_CODE();
  for (ULONG i = 0; i < m_KeptCount;) {
    Kept& kept = m_Kept[i];
    if (NT_SUCCESS(m_Handler(m_Context, kept.message)) || --kept.triesLeft == 0) {
      m_Kept[i] = m_Kept[--m_KeptCount];
      continue;
    }
    ++i;
  }
  if (m_KeptCount) m_KeptPause = Doubled(m_KeptPause);
}
