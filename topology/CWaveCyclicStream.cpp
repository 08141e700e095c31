// The wave stream: its cyclic buffer, its life as a client of the stream
// engine, and the data and position work of the engine's notifications.
#include "topology/CWaveCyclicStream.h"

#include <algorithm>
#include <cstring>

#include "dsp/CDspConverter.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CyclicClient.h"

namespace {

// The performance counter in units of 10 microseconds, split so that the
// product cannot overflow however long the system has run.
LONGLONG NowIn10us() {
  LARGE_INTEGER frequency{};
  const LONGLONG counter = KeQueryPerformanceCounter(&frequency).QuadPart;
  if (frequency.QuadPart <= 0) return 0;
  return (counter / frequency.QuadPart) * 100000 + (counter % frequency.QuadPart) * 100000 / frequency.QuadPart;
}

constexpr ULONG kUnitsPerSecond = 100000;

}  // namespace

CWaveCyclicStream::CWaveCyclicStream(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {
  KeInitializeSpinLock(&m_Lock);
}

CWaveCyclicStream::~CWaveCyclicStream() {
  PAGED_CODE();
  // Down one state at a time, whatever a step answers: the registration
  // with the engine must be gone before the stream is.
  while (m_State != KSSTATE_STOP) {
    const auto next = static_cast<KSSTATE>(m_State - 1);
    if (!NT_SUCCESS(SetState(next))) m_State = next;
  }
  FreeBuffer();
  if (m_ServiceGroup) m_ServiceGroup->Release();
  m_ServiceGroup = nullptr;
  if (m_Engine) m_Engine->Release();
  m_Engine = nullptr;
  delete m_Converter;
  m_Converter = nullptr;
  if (m_Miniport) {
    if (m_Counted) m_Miniport->StreamDeleted();
    m_Miniport->SetStreamBusy(0);
  }
}

NTSTATUS CWaveCyclicStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniportWaveCyclicStream)) {
    *object = static_cast<IMiniportWaveCyclicStream*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IDmaChannel)) {
    *object = static_cast<IDmaChannel*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IDrmAudioStream)) {
    *object = static_cast<IDrmAudioStream*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

// ---- Init and format -----------------------------------------------------------------------

ULONG CWaveCyclicStream::BufferBytesFor(const WAVEFORMATEX& format) {
  // Whole frames only: the capture path writes frame by frame up to the end.
  const ULONG bytes = format.nAvgBytesPerSec / 20;
  return format.nBlockAlign ? bytes - bytes % format.nBlockAlign : bytes;
}

void CWaveCyclicStream::TakeFormat(const WAVEFORMATEX* format) {
  const SIZE_T bytes = std::min<SIZE_T>(sizeof(WAVEFORMATEX) + format->cbSize, sizeof(WAVEFORMATEXTENSIBLE));
  m_StreamFormat = {};
  std::memcpy(&m_StreamFormat, format, bytes);
}

NTSTATUS CWaveCyclicStream::Init(IWaveCyclicStreamOwner* miniport, ULONG, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                 IStreamEngine* engine, PSERVICEGROUP* serviceGroup) {
  PAGED_CODE();
  if (!miniport || !engine) return STATUS_INSUFFICIENT_RESOURCES;
  m_Miniport = miniport;
  m_Engine = engine;
  m_Engine->AddRef();

  NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
  if (NT_SUCCESS(status)) {
    m_Converter = new (NonPagedPool, WAVE_STREAM_BUFFER_TAG) CDspInterleaveSrc;
    if (!m_Converter || !m_Converter->Init()) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  PWAVEFORMATEX wave = nullptr;
  if (NT_SUCCESS(status)) {
    m_State = KSSTATE_STOP;
    m_Capture = capture ? 1 : 0;
    m_NotificationInterval = WAVE_STREAM_NOTIFICATION_MS;
    ClearPositions();
    status = miniport->ValidateFormat(dataFormat, &wave);
  }
  if (NT_SUCCESS(status)) {
    TakeFormat(wave);
    status = AllocateBuffer(BufferBytesFor(m_StreamFormat.Format), nullptr);
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s failed 0x%08X\n", "CWaveCyclicStream::Init", status);
    if (m_ServiceGroup) m_ServiceGroup->Release();
    m_ServiceGroup = nullptr;
    m_Engine->Release();
    m_Engine = nullptr;
    m_Miniport = nullptr;
    return status;
  }
  m_CopyOffset = 0;
  if (serviceGroup) {
    m_ServiceGroup->AddRef();
    *serviceGroup = m_ServiceGroup;
  }
  miniport->StreamCreated();
  m_Counted = 1;
  miniport->SetStreamBusy(1);
  m_DeviceFormat = m_StreamFormat;
  return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::SetFormat(PKSDATAFORMAT dataFormat) {
  PAGED_CODE();
  if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
  if (!m_Miniport) return STATUS_INVALID_DEVICE_STATE;
  PWAVEFORMATEX wave = nullptr;
  NTSTATUS status = m_Miniport->ValidateFormat(dataFormat, &wave);
  if (!NT_SUCCESS(status)) return status;
  const WAVEFORMATEX& current = m_StreamFormat.Format;
  if (wave->nSamplesPerSec == current.nSamplesPerSec && wave->nChannels == current.nChannels &&
      wave->wBitsPerSample == current.wBitsPerSample)
    return STATUS_SUCCESS;
  status = AllocateBuffer(BufferBytesFor(*wave), nullptr);
  if (NT_SUCCESS(status)) TakeFormat(wave);
  m_CopyOffset = 0;
  return status;
}

ULONG CWaveCyclicStream::SetNotificationFreq(ULONG, PULONG framingSize) {
  const WAVEFORMATEX& f = m_StreamFormat.Format;
  if (framingSize) *framingSize = (f.wBitsPerSample / 8) * (f.nSamplesPerSec * 10 / 1000) * f.nChannels;
  m_NotificationInterval = WAVE_STREAM_NOTIFICATION_MS;
  return m_NotificationInterval;
}

// ---- State ---------------------------------------------------------------------------------

void CWaveCyclicStream::ClearPositions() {
  m_Position = 0;
  m_ReportedPosition = 0;
  m_CopyOffset = 0;
  m_History = {};
}

NTSTATUS CWaveCyclicStream::LeaveEngine(ICyclicControl* control) {
  return LeaveCyclicClient(control, nullptr, &m_ClientRecord, &m_ClientHandle);
}

NTSTATUS CWaveCyclicStream::JoinEngine(ICyclicControl* control) {
  if (!m_Buffer) return STATUS_UNSUCCESSFUL;
  m_StreamError = STATUS_SUCCESS;
  m_StreamBytesPerMs = m_StreamFormat.Format.nAvgBytesPerSec / 1000;
  m_StreamThousandths = m_StreamFormat.Format.nAvgBytesPerSec % 1000;
  m_StreamAccumulator = 0;

  const CyclicClientRequest request{CYCLIC_CLIENT_WAVE, &m_StreamFormat, WAVE_STREAM_MS_PER_URB,
                                    WAVE_STREAM_URB_COUNT, OnCyclicControl, this, nullptr, &m_Lock};
  ULONG msPerUrb = 0;
  NTSTATUS status = JoinCyclicClient(control, request, &m_ClientRecord, &m_ClientHandle, &msPerUrb);
  if (!NT_SUCCESS(status)) return status;
  // An engine that already ran may have moved the position meanwhile.
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_TimeStamp = NowIn10us();
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::SetState(KSSTATE state) {
  PAGED_CODE();
  if (!m_Engine) return STATUS_INVALID_DEVICE_STATE;
  PVOID object = nullptr;
  NTSTATUS status = m_Engine->QueryInterface(IID_ICyclicControl, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* control = static_cast<ICyclicControl*>(object);
  if (state == m_State) {
    control->Release();
    return STATUS_SUCCESS;
  }

  // Whatever state follows RUN, the engine must no longer call back into a
  // stream that may be about to go.
  if (m_State == KSSTATE_RUN) status = LeaveEngine(control);
  switch (state) {
    case KSSTATE_STOP:
    case KSSTATE_ACQUIRE:
      ClearPositions();
      break;
    case KSSTATE_PAUSE:
      m_ReportedPosition = m_Position;
      break;
    case KSSTATE_RUN:
      status = JoinEngine(control);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  control->Release();
  if (NT_SUCCESS(status) || (m_State == KSSTATE_RUN && state != KSSTATE_RUN)) m_State = state;
  return status;
}

// ---- Positions -----------------------------------------------------------------------------

NTSTATUS CWaveCyclicStream::GetPosition(PULONG position) {
  if (!position) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  // A stream its engine gave up on stays where it stopped, and says why.
  if (m_State == KSSTATE_RUN && !NT_SUCCESS(m_StreamError)) {
    *position = m_ReportedPosition;
    const NTSTATUS failure = m_StreamError;
    KeReleaseSpinLock(&m_Lock, irql);
    return failure;
  }
  if (m_State == KSSTATE_RUN && m_AllocatedSize) {
    const WAVEFORMATEX& f = m_StreamFormat.Format;
    const LONGLONG ticks = std::max<LONGLONG>(NowIn10us() - m_TimeStamp, 0);
    const ULONGLONG elapsed =
        std::min<ULONGLONG>(static_cast<ULONGLONG>(ticks) * f.nAvgBytesPerSec / kUnitsPerSecond, m_InFlightCap);
    if (m_Capture) {
      ULONGLONG lag = m_InFlightCap - elapsed;
      if (f.nBlockAlign) lag -= lag % f.nBlockAlign;
      lag %= m_AllocatedSize;
      m_ReportedPosition = static_cast<ULONG>((m_AllocatedSize + m_Position - lag) % m_AllocatedSize);
    } else {
      m_ReportedPosition = static_cast<ULONG>((m_Position + elapsed) % m_AllocatedSize);
    }
  }
  *position = m_ReportedPosition;
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG physicalPosition) {
  if (!physicalPosition) return STATUS_INVALID_PARAMETER;
  const WAVEFORMATEX& f = m_StreamFormat.Format;
  const ULONG bytesPerFrame = static_cast<ULONG>(f.wBitsPerSample / 8) * f.nChannels;
  if (!bytesPerFrame || !f.nSamplesPerSec) return STATUS_SUCCESS;
  const LONGLONG unitsPerByte = static_cast<LONG>(10000000u / bytesPerFrame);
  *physicalPosition = unitsPerByte * *physicalPosition / static_cast<LONGLONG>(f.nSamplesPerSec);
  return STATUS_SUCCESS;
}

// ---- The buffer ----------------------------------------------------------------------------

bool CWaveCyclicStream::InsideBuffer(const void* start, ULONG byteCount) const {
  if (!m_Buffer || !start) return false;
  const auto begin = reinterpret_cast<ULONG_PTR>(m_Buffer);
  const auto end = begin + m_AllocatedSize;
  const auto p = reinterpret_cast<ULONG_PTR>(start);
  return p >= begin && p <= end && byteCount <= end - p;
}

void CWaveCyclicStream::Silence(PVOID buffer, ULONG byteCount) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (InsideBuffer(buffer, byteCount) && reinterpret_cast<PUCHAR>(buffer) < m_Buffer + m_AllocatedSize)
    std::memset(buffer, m_StreamFormat.Format.wBitsPerSample == 8 ? 0x80 : 0, byteCount);
  KeReleaseSpinLock(&m_Lock, irql);
}

NTSTATUS CWaveCyclicStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) {
  PAGED_CODE();
  if (bufferSize == 0) return STATUS_INVALID_PARAMETER;
  auto* buffer =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, bufferSize, WAVE_STREAM_BUFFER_TAG));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(buffer, 0, bufferSize);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PUCHAR old = m_Buffer;
  m_Buffer = buffer;
  m_Position = 0;
  m_ReportedPosition = 0;
  m_InFlightCap = 0;
  m_AllocatedSize = bufferSize;
  m_BufferSize = bufferSize;
  KeReleaseSpinLock(&m_Lock, irql);
  if (old) ExFreePool(old);
  return STATUS_SUCCESS;
}

void CWaveCyclicStream::FreeBuffer() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PUCHAR old = m_Buffer;
  m_Buffer = nullptr;
  m_AllocatedSize = 0;
  m_Position = 0;
  KeReleaseSpinLock(&m_Lock, irql);
  if (old) ExFreePool(old);
}

void CWaveCyclicStream::SetBufferSize(ULONG bufferSize) {
  if (bufferSize < m_AllocatedSize) m_BufferSize = bufferSize;
}

PHYSICAL_ADDRESS CWaveCyclicStream::PhysicalAddress() {
  PHYSICAL_ADDRESS address{};
  return address;
}

void CWaveCyclicStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount) {
  KeAcquireSpinLockAtDpcLevel(&m_Lock);
  if (source && InsideBuffer(destination, byteCount)) std::memcpy(destination, source, byteCount);
  KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

void CWaveCyclicStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount) {
  KeAcquireSpinLockAtDpcLevel(&m_Lock);
  if (destination && InsideBuffer(source, byteCount)) std::memcpy(destination, source, byteCount);
  KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

NTSTATUS CWaveCyclicStream::SetContentId(ULONG contentId, PCDRMRIGHTS) {
  PAGED_CODE();
  if (!m_Engine) return STATUS_INVALID_DEVICE_STATE;
  PVOID object = nullptr;
  NTSTATUS status = m_Engine->QueryInterface(IID_IDrmContentForward, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* forward = static_cast<IDrmContentForward*>(object);
  status = forward->ForwardContentId(contentId);
  forward->Release();
  return status;
}

// ---- The engine's notifications --------------------------------------------------------------

void CWaveCyclicStream::OnCyclicControl(PVOID context, PVOID argument1, PVOID) {
  auto* stream = static_cast<CWaveCyclicStream*>(context);
  const auto* notify = static_cast<const CyclicControlNotify*>(argument1);
  if (!stream || !notify) return;
  KIRQL irql;
  KeAcquireSpinLock(&stream->m_Lock, &irql);
  switch (notify->Command) {
    case CYCLIC_COMMAND_POSITION:
      if (stream->OwnRecordStarted()) stream->AdvancePosition(notify->Value.Bytes);
      break;
    case CYCLIC_COMMAND_FORMAT:
      if (notify->Client) stream->HandleFormat(*notify);
      break;
    case CYCLIC_COMMAND_RENDER_FILL:
      if (stream->OwnRecordStarted())
        stream->FillRenderBuffer(static_cast<PUCHAR>(notify->Value.Buffer), notify->Length,
                                 notify->Client && notify->Client->Handle == stream->m_ClientHandle);
      break;
    case CYCLIC_COMMAND_CAPTURE_DATA:
      if (stream->OwnRecordStarted())
        stream->StoreCaptureData(static_cast<const UCHAR*>(notify->Value.Buffer), notify->Length);
      break;
    case CYCLIC_COMMAND_ERROR:
      if (stream->OwnRecordStarted()) stream->StreamFailed(notify->Value.Status);
      break;
    default:
      break;
  }
  KeReleaseSpinLock(&stream->m_Lock, irql);
}

void CWaveCyclicStream::HandleFormat(const CyclicControlNotify& notify) {
  bool changed = (notify.Value.Format.MsPerUrb & CYCLIC_FORMAT_CHANGED) != 0;
  const WAVEFORMATEXTENSIBLE& active = notify.Client->Format;
  if (std::memcmp(&active, &m_DeviceFormat, sizeof(WAVEFORMATEXTENSIBLE)) != 0) {
    m_DeviceFormat = active;
    changed = true;
  }
  const ULONG msPerUrb = notify.Value.Format.MsPerUrb & ~CYCLIC_FORMAT_CHANGED;
  if (changed) {
    if (m_Converter) {
      m_Converter->Reset();
      m_Converter->SetFormat(&m_DeviceFormat, &m_StreamFormat);
    }
    m_Position = 0;
    m_ReportedPosition = 0;
    m_InFlightCap = 0;
    m_History = {};
    m_CopyOffset = 0;
    if (!m_Capture && m_AllocatedSize) {
      // The first packets come from the end of the buffer, one pipeline
      // depth behind position 0; a pipeline deeper than the buffer still
      // starts inside it.
      const WAVEFORMATEX& f = m_StreamFormat.Format;
      const ULONGLONG depth =
          static_cast<ULONGLONG>(f.nSamplesPerSec / 1000) * f.nBlockAlign * msPerUrb * notify.Value.Format.UrbCount;
      m_CopyOffset = static_cast<ULONG>((m_AllocatedSize - depth % m_AllocatedSize) % m_AllocatedSize);
    }
  }
  SetRateConversion(m_DeviceFormat);
}

void CWaveCyclicStream::SetRateConversion(const WAVEFORMATEXTENSIBLE& deviceFormat) {
  const ULONG streamRate = m_StreamFormat.Format.nAvgBytesPerSec;
  m_StreamBytesPerMs = streamRate / 1000;
  m_StreamThousandths = streamRate % 1000;
  m_StreamAccumulator = 0;
  const ULONG deviceRate = deviceFormat.Format.nAvgBytesPerSec;
  m_RatesDiffer = deviceRate != streamRate;
  if (m_RatesDiffer) {
    m_DeviceBytesPerMs = deviceRate / 1000;
    m_DeviceThousandths = deviceRate % 1000;
    m_DeviceAccumulator = 0;
    m_DeviceRemainder = 0;
  }
}

// Device bytes become whole milliseconds of audio (the rest carried to the
// next call), and milliseconds become stream bytes; both byte rates keep
// their thousandths in accumulators so that nothing drifts.
ULONG CWaveCyclicStream::DeviceToStreamBytes(ULONG deviceBytes) {
  if (m_DeviceBytesPerMs == 0) return 0;
  const LONGLONG available = static_cast<LONGLONG>(m_DeviceRemainder) + deviceBytes;
  const LONGLONG ms = std::max<LONGLONG>(available / m_DeviceBytesPerMs, 0);
  const LONGLONG t = static_cast<LONGLONG>(m_DeviceThousandths) * ms + m_DeviceAccumulator;
  m_DeviceRemainder = static_cast<LONG>(available - static_cast<LONGLONG>(m_DeviceBytesPerMs) * ms - t / 1000);
  m_DeviceAccumulator = static_cast<LONG>(t % 1000);
  const LONGLONG u = static_cast<LONGLONG>(m_StreamThousandths) * ms + m_StreamAccumulator;
  m_StreamAccumulator = static_cast<LONG>(u % 1000);
  return static_cast<ULONG>(static_cast<LONGLONG>(m_StreamBytesPerMs) * ms + u / 1000);
}

void CWaveCyclicStream::FillRenderBuffer(PUCHAR packet, ULONG length, bool copy) {
  if (!m_AllocatedSize) return;
  ULONG recorded = length;
  if (!m_RatesDiffer) {
    if (length >= m_AllocatedSize) return;
    m_CopyOffset %= m_AllocatedSize;
    if (copy && packet) {
      const ULONG first = std::min(length, m_AllocatedSize - m_CopyOffset);
      std::memcpy(packet, m_Buffer + m_CopyOffset, first);
      if (length > first) std::memcpy(packet + first, m_Buffer, length - first);
    }
    m_CopyOffset = (m_CopyOffset + length) % m_AllocatedSize;
  } else {
    recorded = DeviceToStreamBytes(length);
  }
  if (m_History.read == m_History.write) m_InFlightCap = recorded;
  m_History.bytes[m_History.write] = recorded;
  m_History.write = (m_History.write + 1) % WAVE_STREAM_HISTORY;
}

void CWaveCyclicStream::AdvancePosition(ULONG deviceBytes) {
  if (!m_AllocatedSize) return;
  const ULONG n = m_RatesDiffer ? DeviceToStreamBytes(deviceBytes) : deviceBytes;
  m_Position = static_cast<ULONG>((static_cast<ULONGLONG>(m_Position) + n) % m_AllocatedSize);
  m_TimeStamp = NowIn10us();
  if (m_Capture) {
    m_InFlightCap = n;
  } else if (m_History.read == m_History.write) {
    m_InFlightCap = 0;
  } else {
    m_History.read = (m_History.read + 1) % WAVE_STREAM_HISTORY;
    m_InFlightCap = m_History.bytes[m_History.read];
  }
  if (m_Miniport && m_Miniport->GetPort() && m_ServiceGroup) m_Miniport->GetPort()->Notify(m_ServiceGroup);
}

void CWaveCyclicStream::StreamFailed(NTSTATUS status) {
  m_StreamError = status;
  m_ReportedPosition = m_Position;
  // The port asks for the position at once and learns of the failure.
  if (m_Miniport && m_Miniport->GetPort() && m_ServiceGroup) m_Miniport->GetPort()->Notify(m_ServiceGroup);
}

void CWaveCyclicStream::StoreCaptureData(const UCHAR* data, ULONG length) {
  const ULONG deviceFrame = m_DeviceFormat.Format.nBlockAlign;
  const ULONG streamFrame = m_StreamFormat.Format.nBlockAlign;
  if (!data || !m_Converter || !m_AllocatedSize || !deviceFrame || !streamFrame) return;
  ULONG frames = length / deviceFrame;
  while (frames > 0) {
    // Less than a frame of room before the end: the next frame goes to the
    // start, as it would on a buffer of whole frames.
    if (m_AllocatedSize - std::min(m_CopyOffset, m_AllocatedSize) < streamFrame) m_CopyOffset = 0;
    const ULONG room = (m_AllocatedSize - m_CopyOffset) / streamFrame;
    if (room == 0) break;  // a buffer smaller than one frame
    // Offer no more than fits before the end: what the converter cannot
    // write there it would keep until the next delivery, and the buffer's
    // start would stay stale for a period.
    const ULONG streamRate = m_StreamFormat.Format.nSamplesPerSec, deviceRate = m_DeviceFormat.Format.nSamplesPerSec;
    ULONGLONG fits = streamRate ? static_cast<ULONGLONG>(room) * deviceRate / streamRate : frames;
    uint32_t consumed = static_cast<uint32_t>(std::clamp<ULONGLONG>(fits, 1, frames));
    uint32_t produced = room;
    if (!m_Converter->Process(data, &consumed, m_Buffer + m_CopyOffset, &produced)) break;
    if (consumed == 0 && produced == 0) break;
    m_CopyOffset += produced * streamFrame;
    if (m_CopyOffset >= m_AllocatedSize) m_CopyOffset = 0;
    data += static_cast<SIZE_T>(consumed) * deviceFrame;
    frames -= std::min(frames, consumed);
  }
}
