// The stream-client protocol of a USB stream engine: clients register with
// the engine, prepare (the highest prepared kind owns the format the engine
// is opened in), start (the highest running kind is the active client whose
// data and format the pipeline carries), stop, unprepare and unregister.
// Every operation holds the engine mutex; the lists change under the engine
// spin lock so that the data path never sees one half changed.
#include "streaming/CUsbStreamEngine.h"

#include "driver/common/SpinLockScope.h"

namespace {

StreamClientRecord* Head(CPointerList* list) {
  PVOID item = nullptr;
  return list && list->PeekHead(&item) ? static_cast<StreamClientRecord*>(item) : nullptr;
}

PointerListNode* FindClientNode(CPointerList* list, PVOID handle) {
  if (!list) return nullptr;
  for (PointerListNode* node = list->First(); node; node = node->next)
    if (node->item && static_cast<StreamClientRecord*>(node->item)->Handle == handle) return node;
  return nullptr;
}

StreamClientRecord* Unlink(CPointerList* list, PVOID handle) {
  PointerListNode* node = FindClientNode(list, handle);
  if (!node) return nullptr;
  auto* record = static_cast<StreamClientRecord*>(node->item);
  list->RemoveNode(node);
  return record;
}

// Highest kind first; a newcomer goes ahead of records of its own kind.
NTSTATUS InsertByKind(CPointerList* list, StreamClientRecord* record) {
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  PointerListNode* before = nullptr;
  bool sameKind = false;
  for (PointerListNode* node = list->First(); node; node = node->next) {
    const ULONG kind = static_cast<StreamClientRecord*>(node->item)->Kind;
    if (kind <= record->Kind) {
      before = node;
      sameKind = kind == record->Kind;
      break;
    }
  }
  PointerListNode* added = before ? list->InsertBefore(before, record) : list->AddTail(record);
  if (added) return STATUS_SUCCESS;
  return sameKind ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

// ---- Client lists ------------------------------------------------------------------------------

StreamClientRecord* CUsbStreamEngine::FirstPreparedClient() {
  CSpinLockScope lock(m_EngineLock);
  return Head(m_PreparedClients);
}

StreamClientRecord* CUsbStreamEngine::FirstRunningClient() {
  CSpinLockScope lock(m_EngineLock);
  return Head(m_RunningClients);
}

StreamClientRecord* CUsbStreamEngine::FindPreparedClient(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  PointerListNode* node = FindClientNode(m_PreparedClients, handle);
  return node ? static_cast<StreamClientRecord*>(node->item) : nullptr;
}

StreamClientRecord* CUsbStreamEngine::FindRegisteredClient(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  PointerListNode* node = FindClientNode(m_RegisteredClients, handle);
  return node ? static_cast<StreamClientRecord*>(node->item) : nullptr;
}

NTSTATUS CUsbStreamEngine::InsertPreparedClient(StreamClientRecord* record) {
  CSpinLockScope lock(m_EngineLock);
  return InsertByKind(m_PreparedClients, record);
}

NTSTATUS CUsbStreamEngine::InsertRunningClient(StreamClientRecord* record) {
  CSpinLockScope lock(m_EngineLock);
  return InsertByKind(m_RunningClients, record);
}

NTSTATUS CUsbStreamEngine::AddRegisteredClient(StreamClientRecord* record) {
  CSpinLockScope lock(m_EngineLock);
  return m_RegisteredClients && m_RegisteredClients->AddTail(record) ? STATUS_SUCCESS
                                                                      : STATUS_INSUFFICIENT_RESOURCES;
}

void CUsbStreamEngine::MoveToRegisteredClients(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  PointerListNode* node = FindClientNode(m_PreparedClients, handle);
  if (node && m_RegisteredClients) m_RegisteredClients->MoveTail(m_PreparedClients, node);
}

StreamClientRecord* CUsbStreamEngine::RemovePreparedClient(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  return Unlink(m_PreparedClients, handle);
}

StreamClientRecord* CUsbStreamEngine::RemoveRunningClient(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  return Unlink(m_RunningClients, handle);
}

StreamClientRecord* CUsbStreamEngine::RemoveRegisteredClient(PVOID handle) {
  CSpinLockScope lock(m_EngineLock);
  return Unlink(m_RegisteredClients, handle);
}

// ---- Notifications -----------------------------------------------------------------------------

void CUsbStreamEngine::Notify(CyclicControlNotify* notify) {
  if (m_CyclicCallbackObject) ExNotifyCallback(m_CyclicCallbackObject, notify, nullptr);
}

void CUsbStreamEngine::NotifyFormat(StreamClientRecord* client, ULONG flag) {
  if (!client) return;
  CyclicControlNotify notify{};
  notify.Client = client;
  notify.Command = CYCLIC_COMMAND_FORMAT;
  notify.Value.Format.MsPerUrb = client->MsPerUrb | flag;
  notify.Value.Format.UrbCount = client->UrbCount;
  Notify(&notify);
}

// ---- ICyclicControl ----------------------------------------------------------------------------

NTSTATUS CUsbStreamEngine::RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                          ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                          StreamClientRecord** record) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  if (!record) return STATUS_INVALID_PARAMETER;
  *record = nullptr;
  // A URB of no milliseconds carries nothing and would divide by zero
  // wherever the open path sizes its transfers.
  if (!format || !callback || msPerUrb == 0) return STATUS_INVALID_PARAMETER;

  WAVEFORMATEXTENSIBLE query = *format;  // the lookup may rewrite what it is given
  NTSTATUS status = FindFormat(&query.Format);
  if (!NT_SUCCESS(status)) return status;

  auto* client = static_cast<StreamClientRecord*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClientRecord), USB_STREAM_FORMAT_TAG));
  if (!client) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(client, sizeof(*client));
  client->Kind = kind;
  client->MsPerUrb = msPerUrb;
  // The pool has ten packets and a pipeline needs at least one.
  client->UrbCount = urbCount == 0 ? 1 : (urbCount > USB_STREAM_PACKETS ? USB_STREAM_PACKETS : urbCount);
  RtlCopyMemory(&client->Format, format, sizeof(WAVEFORMATEXTENSIBLE));
  client->Direction = IsCapture();
  client->Started = 0;

  client->Handle = m_CyclicCallbackObject ? ExRegisterCallback(m_CyclicCallbackObject, callback, context) : nullptr;
  if (!client->Handle) {
    ExFreePool(client);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = AddRegisteredClient(client);
  if (!NT_SUCCESS(status)) {
    ExUnregisterCallback(client->Handle);
    ExFreePool(client);
    return status;
  }
  *record = client;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::UnregisterClient(PVOID handle) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  StreamClientRecord* client = RemoveRegisteredClient(handle);
  if (!client) return STATUS_UNSUCCESSFUL;
  ExUnregisterCallback(client->Handle);
  ExFreePool(client);
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::ReopenForFormatOwner(StreamClientRecord* owner, PULONG currentFrame) {
  if (m_StreamState == STREAM_STATE_RUNNING) Stop();
  if (m_StreamState == STREAM_STATE_OPEN) Close();
  m_FormatOwner = nullptr;
  NTSTATUS status = OpenForFormat(owner, currentFrame);
  if (!NT_SUCCESS(status)) return status;
  m_FormatOwner = owner;
  m_CurrentWaveFormat = owner->Format;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  StreamClientRecord* client = FindRegisteredClient(handle);
  if (!client) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InsertPreparedClient(client);
  if (!NT_SUCCESS(status)) return status;

  ULONG frame = 0;
  StreamClientRecord* head = FirstPreparedClient();
  if (head != m_FormatOwner) {
    StreamClientRecord* formerOwner = m_FormatOwner;
    status = ReopenForFormatOwner(head, &frame);
    if (!NT_SUCCESS(status)) {
      RemovePreparedClient(client->Handle);
      // The clients that were here before keep their stream: open the
      // engine in the former owner's format again and restart whoever ran.
      if (formerOwner && formerOwner != client) {
        ULONG restartFrame = 0;
        if (NT_SUCCESS(ReopenForFormatOwner(formerOwner, &restartFrame)) && m_ActiveClient) {
          m_CurrentWaveFormat = m_ActiveClient->Format;
          NotifyFormat(m_ActiveClient, CYCLIC_FORMAT_CHANGED);
          if (!NT_SUCCESS(Start(restartFrame + 5, TRUE))) Close();
        }
      }
      return status;
    }
  }
  if (msPerUrb) *msPerUrb = m_FormatOwner ? m_FormatOwner->MsPerUrb : client->MsPerUrb;
  if (currentFrame) *currentFrame = frame;
  RemoveRegisteredClient(client->Handle);
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb, IToneNode* processor) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  if (m_StreamState == STREAM_STATE_CLOSED) return STATUS_INVALID_PARAMETER;
  StreamClientRecord* client = FindPreparedClient(handle);
  // A record on the running list twice would stay there after its owner
  // freed it.
  if (!client || client->Started) return STATUS_INVALID_PARAMETER;
  // The processor's node is had before anything starts: a client that
  // failed to start never ran, and one that runs has its processor.
  CPointerList* processors = processor ? ClientProcessorList(client->Kind) : nullptr;
  PointerListNode* processorNode = processors ? CPointerList::NewNode(processor) : nullptr;
  if (processors && !processorNode) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = InsertRunningClient(client);
  if (!NT_SUCCESS(status)) {
    CPointerList::FreeNode(processorNode);
    return status;
  }

  StreamClientRecord* head = FirstRunningClient();
  if (head == m_ActiveClient) {
    NotifyFormat(m_ActiveClient, 0);
    WriteUCharNoFence(&client->Started, 1);
  } else {
    StreamClientRecord* previous = m_ActiveClient;
    const WAVEFORMATEXTENSIBLE previousFormat = m_CurrentWaveFormat;
    m_ActiveClient = head;
    m_CurrentWaveFormat = head->Format;
    NotifyFormat(head, CYCLIC_FORMAT_CHANGED);
    WriteUCharNoFence(&client->Started, 1);
    status = Start(startFrame, TRUE);
    if (!NT_SUCCESS(status)) {
      Close();
      m_FormatOwner = nullptr;  // the engine is open in nobody's format now
      RemoveRunningClient(client->Handle);
      WriteUCharNoFence(&client->Started, 0);
      m_ActiveClient = previous;
      if (previous) {
        m_CurrentWaveFormat = previousFormat;
        NotifyFormat(previous, 0);
      }
      CPointerList::FreeNode(processorNode);
      return status;
    }
  }

  if (processorNode) AttachProcessor(processors, processorNode);
  if (msPerUrb && m_ActiveClient) *msPerUrb = m_ActiveClient->MsPerUrb;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::StopClient(PVOID handle, IToneNode* processor) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  StreamClientRecord* client = RemoveRunningClient(handle);
  if (!client) return STATUS_INVALID_PARAMETER;

  // A processor that cannot be taken back is reported, but the client has
  // left the running list and the pipeline must follow it: an active client
  // that is no longer running would be freed under the data path.
  NTSTATUS result = processor ? RemoveClientProcessor(client->Kind, processor) : STATUS_SUCCESS;

  WriteUCharNoFence(&client->Started, 0);
  StreamClientRecord* head = FirstRunningClient();
  if (!head) {
    Stop();
    m_ActiveClient = nullptr;
  } else if (head != m_ActiveClient) {
    Stop();
    Close();
    m_ActiveClient = head;
    ULONG frame = 0;
    NTSTATUS status = OpenForFormat(head, &frame);
    if (!NT_SUCCESS(status)) {
      Close();
      m_FormatOwner = nullptr;
      return status;
    }
    m_CurrentWaveFormat = head->Format;
    NotifyFormat(head, CYCLIC_FORMAT_CHANGED);
    if (!NT_SUCCESS(Start(frame + 5, TRUE))) {
      Close();
      m_FormatOwner = nullptr;
    }
  }
  return result;
}

NTSTATUS CUsbStreamEngine::UnprepareClient(PVOID handle) {
  PAGED_CODE();
  CKernelMutexScope mutex(m_EngineMutex);
  StreamClientRecord* client = FindPreparedClient(handle);
  if (!client) return STATUS_INVALID_PARAMETER;
  // A running client stays on the running list; unprepared, it could be
  // freed while the engine still reaches it.
  if (client->Started) return STATUS_INVALID_DEVICE_STATE;
  // Its node moves to the registered list, so that nothing here can fail
  // for want of memory: the record stays where UnregisterClient finds it,
  // even when the reopen below fails.
  MoveToRegisteredClients(handle);

  NTSTATUS status = STATUS_SUCCESS;
  StreamClientRecord* head = FirstPreparedClient();
  if (!head) {
    if (m_StreamState == STREAM_STATE_OPEN) Close();
  } else if (head != m_FormatOwner && m_StreamState == STREAM_STATE_OPEN) {
    ULONG frame = 0;
    status = ReopenForFormatOwner(head, &frame);
    if (!NT_SUCCESS(status)) Close();
  }
  if (NT_SUCCESS(status)) m_FormatOwner = head;
  return status;
}
