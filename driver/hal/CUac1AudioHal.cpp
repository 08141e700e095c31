#include "driver/hal/CUac1AudioHal.h"

#include "driver/common/PoolBuffer.h"
#include "topology/CUacUnit.h"
#include "usb/usbdlib.h"

CUac1AudioHal::CUac1AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CUacAudioHal(outerUnknown, vendorId, productId, UAC1_HAL_TAG) {
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ExitedEvent, NotificationEvent, FALSE);
}

CUac1AudioHal::~CUac1AudioHal() {
  PAGED_CODE();
  CUac1AudioHal::Stop();
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
}

// ============================================================================
// Capabilities

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

// ============================================================================
// Start, stop and the status thread

NTSTATUS CUac1AudioHal::Start() {
  PAGED_CODE();
  // A thread that ended by itself (a transfer error) is reaped, so that a
  // new start gets a new one; a thread that still runs is kept.
  if (m_StatusPipeIndex != UAC1_NO_STATUS_PIPE && KeReadStateEvent(&m_ExitedEvent)) StopStatusThread();
  if (m_StatusPipeIndex != UAC1_NO_STATUS_PIPE) return CAudioHal::Start();

  ULONG pipes = 0;
  NTSTATUS status = SelectControlInterface(&m_PipeInformation, &pipes);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < pipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = m_PipeInformation->Pipes[i];
    if ((pipe.EndpointAddress & 0x80) && pipe.PipeType == UsbdPipeTypeInterrupt &&
        pipe.MaximumPacketSize == UAC1_STATUS_WORD_BYTES) {
      m_StatusPipeIndex = static_cast<UCHAR>(i);
      break;
    }
  }
  if (m_StatusPipeIndex != UAC1_NO_STATUS_PIPE) {
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ExitedEvent);
    status = StartModelThread(StatusThreadStart, UAC1_STATUS_THREAD_PRIORITY, &m_StatusThread);
  }
  if (m_StatusPipeIndex == UAC1_NO_STATUS_PIPE || !NT_SUCCESS(status)) {
    // No thread runs: the model stays stoppable without waiting for one.
    if (m_PipeInformation) ExFreePool(m_PipeInformation);
    m_PipeInformation = nullptr;
    m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
    if (!NT_SUCCESS(status)) return status;
  }
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
  EndModelThread(&m_StopEvent, &m_ExitedEvent, &m_StatusThread);
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
  m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
}

void CUac1AudioHal::StatusThreadStart(PVOID context) {
  auto* hal = static_cast<CUac1AudioHal*>(context);
  hal->StatusThreadMain();
  KeSetEvent(&hal->m_ExitedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CUac1AudioHal::HandleUnitMessage(PVOID context, const StatusChange& message) {
  return static_cast<CUac1AudioHal*>(context)->HandleUnitStatus(message.originator);
}

void CUac1AudioHal::StatusThreadMain() {
  PAGED_CODE();
  static_assert(sizeof(URB_BULK_OR_INTERRUPT_TRANSFER) <= UAC1_STATUS_URB_BYTES);
  CStatusTransfer transfer(UAC1_HAL_TAG, UAC1_STATUS_URB_BYTES, UAC1_STATUS_WORD_BYTES);
  CStatusListener listener(static_cast<IAudioHal*>(this), &m_StopEvent, HandleUnitMessage, this, "CUac1AudioHal");
  listener.Add(&transfer, m_PipeInformation->Pipes[m_StatusPipeIndex].PipeHandle);
  if (!listener.Send()) return;

  // Every unit shows the device's state once before the first word. A stop
  // asked for meanwhile ends the read-out after the node under way: a
  // device that lets every request time out would otherwise hold the
  // removal for half a second per request.
  const ULONG units = GetUnitCount();
  for (ULONG i = 0; i < units && !KeReadStateEvent(&m_StopEvent); ++i) {
    ITopoNode* unit = nullptr;
    if (!NT_SUCCESS(GetUnit(i, &unit))) continue;
    const ULONG unitId = unit->GetId();
    if (!NT_SUCCESS(HandleUnitStatus(unitId))) listener.Keep({static_cast<UCHAR>(unitId), 0, 0});
  }

  ULONG index = 0;
  while (listener.Next(&index)) {
    // A word shorter than two bytes names no unit.
    const UCHAR* word = transfer.Data();
    if (transfer.Bytes() != UAC1_STATUS_WORD_BYTES || (word[0] & 0x0F) != 0) continue;
    const UCHAR unitId = word[1];
    listener.HandleKept();
    if (!NT_SUCCESS(HandleUnitStatus(unitId))) listener.Keep({unitId, 0, 0});
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
    // A node that could not read its value keeps the one it had; the
    // failure has the word handled again.
    const NTSTATUS refreshed = member->RefreshFromDevice();
    if (!NT_SUCCESS(refreshed)) status = refreshed;
    NotifyControlChange(member->GetId());
  }
  return status;
}

// ============================================================================
// Subdevices and power

NTSTATUS CUac1AudioHal::RefreshSubdevices(ULONG unitId) {
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
    NTSTATUS renamed = NameEngine(engine, name.As<WCHAR>(), STREAM_ENGINE_NAME_CHARS);
    if (NT_SUCCESS(renamed)) renamed = engine->SetName(name.As<WCHAR>());
    // Back in the system whatever became of the name (a refused one keeps
    // the old): a subdevice left removed would take the device's stream away.
    status = engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
    AfterSubdeviceRefresh(unitId);
    if (NT_SUCCESS(status)) status = renamed;
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
