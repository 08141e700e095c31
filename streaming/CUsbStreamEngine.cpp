#include "streaming/CUsbStreamEngine.h"

#include "driver/common/NamedCallback.h"
#include "driver/common/OwnedLists.h"
#include "dsp/CPeakLimiter.h"

namespace {

// "\Callback\CyclicControlAddr" and an address, in wide characters.
constexpr size_t CYCLIC_CALLBACK_NAME_CHARS = 49;

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
        while (m_StreamState == STREAM_STATE_RUNNING && NT_SUCCESS(SendStreamUrb())) {
        }
      } else if (work == USB_STREAM_WORK_ERROR) {
        DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", static_cast<int>(m_StreamState));
        NTSTATUS status = STATUS_SUCCESS;
        if (m_StreamState == STREAM_STATE_RUNNING) {
          status = RecoverFromError();
          if (status == STATUS_DEVICE_NOT_CONNECTED) KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        }
        DbgPrint("Error_ErrorOccur ntStatus = %x\n", static_cast<unsigned>(status));
      }
    }
    m_EngineMutex.Unlock();
    if (wait == STATUS_WAIT_0 + 1) {
      KeSetEvent(&m_ThreadEndedEvent, 8, FALSE);
      return;
    }
  }
}

// ---- Streaming operations: the direction classes and the streaming work fill these in -------

NTSTATUS CUsbStreamEngine::RegisterClient(ULONG, const WAVEFORMATEXTENSIBLE*, ULONG, ULONG, PCALLBACK_FUNCTION,
                                          PVOID, StreamClientRecord** record) {
  if (record) *record = nullptr;
  return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS CUsbStreamEngine::UnregisterClient(PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::StartClient(PVOID, ULONG, PULONG, IToneNode*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::StopClient(PVOID, IToneNode*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::PrepareClient(PVOID, PULONG, PULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::UnprepareClient(PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CUsbStreamEngine::SelectAlternateSetting(UCHAR, StreamClientRecord*) { return STATUS_NOT_IMPLEMENTED; }
void CUsbStreamEngine::FreePackets() {}
NTSTATUS CUsbStreamEngine::AbortPipe() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::RecoverFromError() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::ResetInterface() { return SelectAlternateSetting(0, nullptr); }
NTSTATUS CUsbStreamEngine::Restart() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::SendStreamUrb() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::OnUrbComplete(PDEVICE_OBJECT, PIRP, StreamPacket*) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS CUsbStreamEngine::OpenForFormat(StreamClientRecord*, PULONG) { return STATUS_UNSUCCESSFUL; }
NTSTATUS CUsbStreamEngine::Close() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::Start(ULONG, BOOLEAN) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbStreamEngine::Stop() { return STATUS_NOT_IMPLEMENTED; }
