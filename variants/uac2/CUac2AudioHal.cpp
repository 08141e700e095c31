#include "variants/uac2/CUac2AudioHal.h"

#include <algorithm>

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "topology/CUacUnit.h"
#include "usb/usbdlib.h"

namespace {

constexpr USHORT STATUS_MESSAGE_BYTES = USB_AUDIO2_STATUS_MESSAGE_BYTES;

constexpr WCHAR kUpdateMiniportDelay[] = u"UpdateMiniportDelay";

// The headset's capability records, and every other device's masks.
constexpr ULONG HEADSET_HP_MASK = 0x603F;
constexpr ULONG HEADSET_HP_FLAGS = 3;
constexpr ULONG HEADSET_MIC_MASK = 0x29000;
constexpr ULONG CAPTURE_FLAGS = 0x12;
constexpr ULONG CAPTURE_MASK = 0x28000;
constexpr ULONG RENDER_MASK = 0x3FE0FF;

}  // namespace

CUac2AudioHal::CUac2AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CUacAudioHal(outerUnknown, vendorId, productId, UAC2_HAL_TAG) {
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ThreadEndedEvent, NotificationEvent, FALSE);
}

CUac2AudioHal::~CUac2AudioHal() {
  PAGED_CODE();
  StopStatusThread();
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
}

NTSTATUS CUac2AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  PAGED_CODE();
  if (!innerUnknown) return STATUS_INVALID_PARAMETER;
  auto* hal = new (NonPagedPool, UAC2_HAL_TAG) CUac2AudioHal(outerUnknown, vendorId, productId);
  if (!hal) return STATUS_INSUFFICIENT_RESOURCES;
  hal->NonDelegatingAddRef();
  *innerUnknown = hal->GetInnerUnknown();
  return STATUS_SUCCESS;
}

NTSTATUS CUac2AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  NTSTATUS status = UsbParseAudioControlInterface();
  Refuse("UsbParseAudioControlInterface", "the AudioControl interface could not be parsed", status);
  if (NT_SUCCESS(status)) {
    status = UsbParseAudioStreamInterface();
    Refuse("UsbParseAudioStreamInterface", "no Audio Class 2.0 AudioStreaming interface could be parsed", status);
  }
  return status;
}

// ============================================================================
// Capabilities

NTSTATUS CUac2AudioHal::GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) {
  if (!caps) return STATUS_UNSUCCESSFUL;
  DeviceCapsRecord record{};
  if (m_VendorId == UAC2_HEADSET_VENDOR && m_ProductId == UAC2_HEADSET_PRODUCT) {
    if (pinCategory == PIN_CATEGORY_HP) {
      record.CapabilityMask = HEADSET_HP_MASK;
      record.Flags = HEADSET_HP_FLAGS;
    } else if (pinCategory == PIN_CATEGORY_MIC) {
      record.CapabilityMask = HEADSET_MIC_MASK;
    }
  } else if (direction == STREAM_DIRECTION_CAPTURE) {
    if (pinCategory != PIN_CATEGORY_SPDIF) {
      record.Flags = CAPTURE_FLAGS;
      if (pinCategory == PIN_CATEGORY_MIC || pinCategory == PIN_CATEGORY_FMIC || pinCategory == PIN_CATEGORY_REC)
        record.CapabilityMask = m_Caps.CapabilityMask & CAPTURE_MASK;
    }
  } else if (pinCategory == PIN_CATEGORY_SPDIF) {
    // S/PDIF keeps the model's flags only as the one stream of the device.
    if (GetStreamEngineCount() == 1) record.Flags = m_Caps.Flags;
  } else {
    record.CapabilityMask = m_Caps.CapabilityMask & RENDER_MASK;
    record.Flags = m_Caps.Flags;
  }
  *caps = record;
  return STATUS_SUCCESS;
}

// ============================================================================
// Start, stop and the status thread

NTSTATUS CUac2AudioHal::Start() {
  PAGED_CODE();
  if (m_StatusPipeIndex != UAC2_NO_STATUS_PIPE) {
    // A thread that ended by itself (the device went away) is reaped so
    // that this start gets a new one; one that still runs keeps running
    // alone.
    if (!KeReadStateEvent(&m_ThreadEndedEvent)) return STATUS_INVALID_DEVICE_STATE;
    StopStatusThread();
  }
  ULONG pipes = 0;
  NTSTATUS status = SelectControlInterface(&m_PipeInformation, &pipes);
  if (!NT_SUCCESS(status) || !m_PipeInformation) return status;
  // A second pipe of a kind already found ends the scan.
  for (ULONG i = 0; i < pipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = m_PipeInformation->Pipes[i];
    if (!(pipe.EndpointAddress & 0x80)) continue;
    const bool status6 = pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == STATUS_MESSAGE_BYTES;
    const bool bulk = pipe.PipeType == UsbdPipeTypeBulk;
    if ((status6 && m_StatusPipeIndex != UAC2_NO_STATUS_PIPE) || (bulk && m_BulkPipeIndex != UAC2_NO_STATUS_PIPE))
      break;
    if (status6) m_StatusPipeIndex = static_cast<UCHAR>(i);
    if (bulk) m_BulkPipeIndex = static_cast<UCHAR>(i);
  }
  if (m_StatusPipeIndex != UAC2_NO_STATUS_PIPE) {
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ThreadEndedEvent);
    status = StartModelThread(StatusThreadRoutine, UAC2_STATUS_THREAD_PRIORITY, &m_StatusThread);
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
  }
  // No thread runs: nothing may wait for one.
  ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
  m_StatusPipeIndex = UAC2_NO_STATUS_PIPE;
  m_BulkPipeIndex = UAC2_NO_STATUS_PIPE;
  return status;
}

NTSTATUS CUac2AudioHal::Stop() {
  PAGED_CODE();
  StopStatusThread();
  return STATUS_SUCCESS;
}

void CUac2AudioHal::StopStatusThread() {
  PAGED_CODE();
  if (m_StatusPipeIndex == UAC2_NO_STATUS_PIPE) return;
  EndModelThread(&m_StopEvent, &m_ThreadEndedEvent, &m_StatusThread);
  if (m_PipeInformation) ExFreePool(m_PipeInformation);
  m_PipeInformation = nullptr;
  m_StatusPipeIndex = UAC2_NO_STATUS_PIPE;
  m_BulkPipeIndex = UAC2_NO_STATUS_PIPE;
}

void CUac2AudioHal::StatusThreadRoutine(PVOID context) {
  auto* hal = static_cast<CUac2AudioHal*>(context);
  hal->StatusThreadMain();
  // Every way out, the early ones included, tells Stop the thread is done.
  KeSetEvent(&hal->m_ThreadEndedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CUac2AudioHal::HandleStatusMessage(PVOID context, const StatusChange& message) {
  return static_cast<CUac2AudioHal*>(context)->OnStatusInterrupt(message.originator, message.selector,
                                                                  message.channel);
}

void CUac2AudioHal::StatusThreadMain() {
  PAGED_CODE();
  static_assert(sizeof(URB_BULK_OR_INTERRUPT_TRANSFER) <= UAC2_STATUS_URB_BYTES);
  CStatusTransfer bulk(UAC2_HAL_TAG, UAC2_STATUS_URB_BYTES, UAC2_BULK_BUFFER_BYTES);
  CStatusTransfer interrupt(UAC2_HAL_TAG, UAC2_STATUS_URB_BYTES, STATUS_MESSAGE_BYTES);
  CStatusListener listener(static_cast<IAudioHal*>(this), &m_StopEvent, HandleStatusMessage, this, "CUac2AudioHal");
  // The bulk pipe's data is not read; its transfer only keeps the pipe
  // drained.
  const bool hasBulk = m_BulkPipeIndex != UAC2_NO_STATUS_PIPE;
  if (hasBulk) listener.Add(&bulk, m_PipeInformation->Pipes[m_BulkPipeIndex].PipeHandle);
  listener.Add(&interrupt, m_PipeInformation->Pipes[m_StatusPipeIndex].PipeHandle);
  const ULONG interruptIndex = hasBulk ? 1 : 0;

  ULONG index = 0;
  while (listener.Next(&index)) {
    if (index != interruptIndex) continue;
    // bInfo (class-specific, from the interface), bAttribute (CUR),
    // wValue, wIndex; a message shorter than 6 bytes names nothing.
    const UCHAR* message = interrupt.Data();
    if (interrupt.Bytes() != STATUS_MESSAGE_BYTES || (message[0] & 0x03) != 0 || message[1] != USB_AUDIO2_CUR ||
        message[4] != m_ControlInterfaceNumber)
      continue;
    listener.HandleKept();
    const StatusChange named = {message[5], message[3], message[2]};
    if (!NT_SUCCESS(HandleStatusMessage(this, named))) listener.Keep(named);
  }
}

NTSTATUS CUac2AudioHal::OnStatusInterrupt(UCHAR entityId, UCHAR controlSelector, UCHAR channel) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  NTSTATUS status = FindUnitById(entityId, &node);
  if (!NT_SUCCESS(status)) return status;
  const ULONG type = node->GetType();
  ULONG nodeId = 0;
  status = static_cast<IUacUnit*>(CUacUnit::FromUnitNode(node))->OnControlChange(controlSelector, channel, &nodeId);
  if (!NT_SUCCESS(status)) return status;
  if (type != UAC_SUBTYPE_INPUT_TERMINAL && type != UAC_SUBTYPE_OUTPUT_TERMINAL) {
    NotifyControlChange(nodeId);
    return STATUS_SUCCESS;
  }
  return controlSelector == USB_AUDIO2_TE_CONNECTOR_CONTROL ? UpdateAllSubdevices() : STATUS_SUCCESS;
}

// ============================================================================
// Subdevices and power

NTSTATUS CUac2AudioHal::RefreshSubdevices(ULONG) {
  PAGED_CODE();
  m_SubdeviceMutex.Lock();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    status = GetStreamEngine(i, &engine);
    if (!NT_SUCCESS(status)) break;
    if (!TakeOutputTypeChange(engine)) continue;
    CPoolBuffer name(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), AUDIO_HAL_NAME_TAG);
    NTSTATUS renamed = name ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    const NTSTATUS removed = engine->RemoveSubdevice(m_DeviceObject);
    if (NT_SUCCESS(renamed) && NT_SUCCESS(removed)) {
      renamed = NameEngine(engine, name.As<WCHAR>(), STREAM_ENGINE_NAME_CHARS);
      if (NT_SUCCESS(renamed)) renamed = engine->SetName(name.As<WCHAR>());
    }
    ULONG delayMs = 0;
    if (NT_SUCCESS(AccessSetting(m_DeviceObject, SETTINGS_READ, &delayMs, sizeof delayMs, kUpdateMiniportDelay))) {
      LARGE_INTEGER delay;
      delay.QuadPart = -static_cast<LONGLONG>(std::min(delayMs, UAC2_MAX_UPDATE_MINIPORT_DELAY_MS)) * 10000;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    name.Free();
    if (!NT_SUCCESS(removed)) {
      status = removed;
      break;
    }
    // A removed wave filter comes back, under its old name when the new one
    // could not be set.
    status = engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
    if (!NT_SUCCESS(renamed)) status = renamed;
    if (!NT_SUCCESS(status)) break;
  }
  m_SubdeviceMutex.Unlock();
  return status;
}

void CUac2AudioHal::PowerChangeState(POWER_STATE newState) {
  PAGED_CODE();
  const DEVICE_POWER_STATE state = newState.DeviceState;
  if (state == m_DevicePowerState || state < PowerDeviceD0 || state > PowerDeviceD3) return;
  if (state == PowerDeviceD0) ApplyNodesToDevice();
  m_DevicePowerState = state;

  m_SubdeviceMutex.Lock();
  const ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || !NT_SUCCESS(engine->PowerChangeState(state))) break;
    if (state == PowerDeviceD0 &&
        !NT_SUCCESS(engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this))))
      break;
  }
  m_SubdeviceMutex.Unlock();

  if (state == PowerDeviceD0)
    static_cast<IAudioHal*>(this)->Start();
  else
    static_cast<IAudioHal*>(this)->Stop();
}
