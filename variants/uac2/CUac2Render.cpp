#include "variants/uac2/CUac2Render.h"

#include "streaming/Uac1PipeOpen.h"
#include "usb/usbaudio2.h"
#include "variants/uac2/Uac2Streams.h"

namespace {

// Feedback values a device of the 44.1 kHz family sends rounded: what each
// stands for, by form (16.16 after the 3-byte form's shift).
struct Correction {
  ULONG sent, meant;
};
constexpr Correction kThreeByteCorrections[] = {
    {0x2B9900, 0x2B99A0}, {0x2C1900, 0x2C199A}, {0x2C9900, 0x2C99A0}, {0x57B300, 0x57B338}, {0x583300, 0x583338},
    {0x58B300, 0x58B338}, {0xAFE600, 0xAFE668}, {0xB06600, 0xB06668}, {0xB0E600, 0xB0E668},
};
constexpr Correction kFourByteCorrections[] = {
    {0x57380, 0x57334},   {0x58380, 0x58334},   {0x59380, 0x59334},   {0xAF640, 0xAF667},   {0xB0640, 0xB0667},
    {0xB1640, 0xB1667},   {0x15FC60, 0x15FCCD}, {0x160C60, 0x160CCD}, {0x161C60, 0x161CCD},
};

// The averaging rule's trigger: a mean this far from nominal, per URB
// length in milliseconds.
constexpr LONG DOUBLING_DISTANCE_MS = 500;

// The pipes a selected interface's information really holds.
ULONG HeldPipes(const USBD_INTERFACE_INFORMATION* info) {
  if (!info || info->Length < GET_USBD_INTERFACE_SIZE(0)) return 0;
  const ULONG held = (info->Length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION);
  return info->NumberOfPipes < held ? info->NumberOfPipes : held;
}

}  // namespace

CUac2Render::CUac2Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId), m_ClockNodeId(clockNodeId) {
  m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
  KeInitializeSpinLock(&m_FeedbackLock);
}

CUac2Render::~CUac2Render() {
  // The base gives the data packets back; the feedback packets are ours.
  FreeSlots(m_FeedbackFree, m_FeedbackInFlight);
}

// ============================================================================
// The arithmetic

ULONG CUac2Render::CorrectFeedback(ULONG value, bool fourByteForm) {
  for (const Correction& c : fourByteForm ? kFourByteCorrections : kThreeByteCorrections)
    if (c.sent == value) return c.meant;
  return value;
}

LONGLONG CUac2Render::FeedbackToRate(ULONG value, ULONG packetsPerSecond) {
  // 16.16 samples a packet times packets a second is 16.16 samples a second.
  return static_cast<LONGLONG>(ULONGLONG(value) * packetsPerSecond);
}

bool CUac2Render::WithinWindow(LONGLONG rate, LONG nominal) {
  const LONGLONG distance = rate - Uac2RateFromHz(nominal);
  const LONGLONG window = Uac2RateFromHz(UAC2_FEEDBACK_WINDOW_HZ);
  return distance <= window && distance >= -window;
}

LONGLONG CUac2Render::AverageFeedback(LONGLONG sum, ULONG kept, LONG nominal, ULONG msPerUrb, LONGLONG current) {
  if (kept == 0 || msPerUrb == 0) return current;
  const LONGLONG average = sum / static_cast<LONGLONG>(kept);
  const LONG doubling = DOUBLING_DISTANCE_MS / static_cast<LONG>(msPerUrb);
  // The trigger looks at whole hertz, as a device rounding its feedback
  // would see it; the doubling keeps the fraction.
  const LONGLONG wholeDifference = (average >> UAC2_RATE_FRACTION_BITS) - nominal;
  const LONGLONG difference = average - Uac2RateFromHz(nominal);
  return wholeDifference == doubling || wholeDifference == -doubling ? average + difference : average;
}

ULONG CUac2Render::LayOutPackets(USBD_ISO_PACKET_DESCRIPTOR* iso, ULONG packets, ULONG baseFrames, LONGLONG excess,
                                 ULONG packetsPerSecond, ULONG blockAlign, ULONG capacity, LONGLONG* accumulator) {
  const LONGLONG frame = Uac2RateFromHz(static_cast<LONG>(packetsPerSecond));
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    *accumulator += excess;
    const LONGLONG extra = *accumulator / frame;
    *accumulator %= frame;
    LONGLONG frames = static_cast<LONGLONG>(baseFrames) + extra;
    if (frames < 0) frames = 0;
    // The buffer was sized for every rate the window lets through; should
    // the accumulator ever ask for more, the packet is cut, not the pool.
    const ULONG room = blockAlign ? (capacity - offset) / blockAlign : 0;
    if (frames > room) frames = room;
    iso[i].Offset = offset;
    iso[i].Length = static_cast<ULONG>(frames) * blockAlign;
    offset += iso[i].Length;
  }
  return offset;
}

// ============================================================================
// Opening and the interface

NTSTATUS CUac2Render::OpenForFormat(StreamClientRecord* client, PULONG currentFrame) {
  PAGED_CODE();
  m_EngineMutex.Lock();
  Uac1OpenPlan plan{};
  NTSTATUS status = BeginUac1Open(this, client, StreamStateWord(), &plan);
  if (!NT_SUCCESS(status)) {
    m_EngineMutex.Unlock();
    return status;
  }
  const WAVEFORMATEX& format = client->Format.Format;
  const ULONG blockAlign = format.nBlockAlign;
  const ULONG rate = format.nSamplesPerSec;
  m_MsPerUrb = client->MsPerUrb;
  m_UrbCount = client->UrbCount;
  m_PacketsPerMs = plan.PacketsPerMs;
  m_BlockAlign = blockAlign;
  m_RingSize = (format.nAvgBytesPerSec / 25 + blockAlign - 1) / blockAlign * blockAlign;
  m_NominalRate = static_cast<LONG>(rate);
  m_DeviceRate = Uac2RateFromHz(m_NominalRate);
  m_LastUrbRate = m_DeviceRate;
  const ULONG pps = m_PacketsPerMs * 1000;
  m_SamplesPerPacket = rate / pps;

  // Every packet may carry the frames of the highest rate the feedback can
  // ask for, and one more. The format list only holds rates the bus
  // carries; a size past 32 bits is refused all the same.
  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  ULONGLONG bufferBytes = ((ULONGLONG(rate) + UAC2_FEEDBACK_WINDOW_HZ) / pps + 1) * blockAlign * packets;
  if (bufferBytes < ULONGLONG(USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED) * m_MsPerUrb)
    bufferBytes = ULONGLONG(USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED) * m_MsPerUrb;
  if (!IsUac2ClockRate(rate) || bufferBytes > MAXULONG) status = STATUS_INVALID_PARAMETER;
  m_TransferBufferBytes = static_cast<ULONG>(bufferBytes);
  if (NT_SUCCESS(status)) status = BuildPacketPool(UsbStreamUrbBytes(packets), m_TransferBufferBytes);
  for (ULONG i = 0; NT_SUCCESS(status) && i < USB_STREAM_PACKETS; ++i) {
    status = AllocatePacket(&m_FeedbackFree[i]);
    if (NT_SUCCESS(status)) m_FeedbackFree[i]->Index = i;
    m_FeedbackInFlight[i] = nullptr;
  }
  if (NT_SUCCESS(status)) {
    m_CaptureRing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, m_RingSize, UAC2_STREAM_RING_TAG));
    if (!m_CaptureRing) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) status = SetStreamClockRate(m_Owner, m_ClockNodeId, rate);
  if (NT_SUCCESS(status)) status = SelectAlternateSetting(plan.AlternateSetting, client);
  if (!NT_SUCCESS(status)) {
    AbandonOpen();
    m_EngineMutex.Unlock();
    return status;
  }
  m_Accumulator = 0;
  m_RingRead = m_RingWrite = 0;
  InterlockedExchange(&m_OutstandingUrbs, 0);
  if (currentFrame) *currentFrame = GetCurrentFrameNumber();
  m_EngineMutex.Unlock();
  return STATUS_SUCCESS;
}

NTSTATUS CUac2Render::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord*) {
  PAGED_CODE();
  // A setting without a feedback pipe must not inherit the last one's.
  m_FeedbackPipeIndex = UAC2_NO_PIPE;
  NTSTATUS status = SelectStreamingInterface(alternateSetting, nullptr, FALSE);
  if (!NT_SUCCESS(status) || !m_PipeTable) return status;
  const ULONG pipes = HeldPipes(m_PipeTable);
  for (ULONG i = 0; i < pipes; ++i)
    if (m_PipeTable->Pipes[i].EndpointAddress & 0x80) m_FeedbackPipeIndex = static_cast<UCHAR>(i);
  return status;
}

BOOLEAN CUac2Render::IsAlternateSettingValid(UCHAR alternateSetting, ULONG) {
  return IsUac2AlternateSettingValid(m_Owner, static_cast<UCHAR>(m_EngineId), alternateSetting);
}

bool CUac2Render::HasFeedbackPipe() const {
  return m_PipeTable && m_PipeTable->NumberOfPipes == 2 && m_FeedbackPipeIndex < HeldPipes(m_PipeTable);
}

void CUac2Render::FreePackets() {
  CUsbStreamEngine::FreePackets();
  FreeSlots(m_FeedbackFree, m_FeedbackInFlight);
}

// ============================================================================
// Sending

StreamPacket* CUac2Render::ClaimFeedbackPacket() {
  return ClaimFromSlots(m_FeedbackFree, m_FeedbackInFlight, &m_FeedbackLock);
}

void CUac2Render::ReleaseFeedbackPacket(StreamPacket* packet) {
  ReleaseToSlots(packet, m_FeedbackFree, m_FeedbackInFlight, &m_FeedbackLock);
}

NTSTATUS CUac2Render::SendStreamUrb() {
  const ULONG packets = m_MsPerUrb * m_PacketsPerMs;
  const ULONG pps = m_PacketsPerMs * 1000;
  auto feedback = [this](IUsbDevice* usb) {
    if (!HasFeedbackPipe()) return STATUS_SUCCESS;
    const NTSTATUS status = SendFeedbackUrb(usb);
    // Only a device that is gone stops the data URB.
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED ? status : STATUS_SUCCESS;
  };
  return SendOneUrb(packets, 0, feedback, [&](StreamPacket* packet) {
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    const LONGLONG rate = m_DeviceRate;
    m_LastUrbRate = rate;
    const LONGLONG excess = rate - Uac2RateFromHz(static_cast<LONG>(m_SamplesPerPacket * pps));
    const ULONG total = LayOutPackets(iso.IsoPacket, packets, m_SamplesPerPacket, excess, pps, m_BlockAlign,
                                      m_TransferBufferBytes, &m_Accumulator);
    iso.TransferBufferLength = total;
    FillRenderBuffer(packet, total);
  });
}

NTSTATUS CUac2Render::SendFeedbackUrb(IUsbDevice* usb) {
  StreamPacket* packet = ClaimFeedbackPacket();
  if (!packet) return STATUS_SUCCESS;
  const ULONG size =
      usb->IsHighSpeed() ? USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED : USB_AUDIO2_FEEDBACK_BYTES_FULL_SPEED;
  const ULONG values = m_MsPerUrb;
  const ULONG urbBytes = UsbStreamUrbBytes(values);
  RtlZeroMemory(packet->Urb, urbBytes);
  URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(urbBytes);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = m_PipeTable->Pipes[m_FeedbackPipeIndex].PipeHandle;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
  iso.TransferBuffer = packet->Buffer;
  iso.TransferBufferLength = values * size;
  iso.NumberOfPackets = values;
  for (ULONG i = 0; i < values; ++i) {
    iso.IsoPacket[i].Offset = i * size;
    iso.IsoPacket[i].Length = size;
  }
  packet->ByteCount = values * size;
  return SubmitPacket(usb, packet, FeedbackCompletionRoutine);
}

// ============================================================================
// Completions

NTSTATUS CUac2Render::FeedbackCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* packet = static_cast<StreamPacket*>(context);
  static_cast<CUac2Render*>(packet->Owner)->OnFeedbackComplete(irp, packet);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUac2Render::OnFeedbackComplete(PIRP irp, StreamPacket* packet) {
  const NTSTATUS status = irp->IoStatus.Status;
  if (m_StreamState == STREAM_STATE_RUNNING && !irp->Cancel && status != STATUS_CANCELLED) {
    if (NT_SUCCESS(status) && USBD_SUCCESS(packet->Urb->UrbHeader.Status))
      DecodeFeedback(packet);
    else
      ReportTransferError();
  }
  // Back in its slot before the count can reach 0: whoever waits for the
  // idle event may free the packets next.
  ReleaseFeedbackPacket(packet);
  DropOutstandingUrb();
}

void CUac2Render::DecodeFeedback(StreamPacket* packet) {
  const URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
  const bool fourByte = packet->ByteCount == USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED * m_MsPerUrb;
  const ULONG size = fourByte ? USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED : USB_AUDIO2_FEEDBACK_BYTES_FULL_SPEED;
  const ULONG pps = m_PacketsPerMs * 1000;
  LONGLONG sum = 0;
  ULONG kept = 0;
  for (ULONG i = 0; i < iso.NumberOfPackets && i < m_MsPerUrb; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR& p = iso.IsoPacket[i];
    // A value that failed or did not arrive whole says nothing.
    if (USBD_ERROR(p.Status) || p.Length < size || p.Offset + size > packet->ByteCount) continue;
    const UCHAR* at = packet->Buffer + p.Offset;
    const ULONG value = fourByte ? platform::usb::ReadLe32(at) : platform::usb::ReadLe24(at) << 2;
    const LONGLONG rate = FeedbackToRate(CorrectFeedback(value, fourByte), pps);
    if (!WithinWindow(rate, m_NominalRate)) continue;
    sum += rate;
    ++kept;
  }
  InterlockedExchange64(&m_DeviceRate, AverageFeedback(sum, kept, m_NominalRate, m_MsPerUrb, m_DeviceRate));
}

NTSTATUS CUac2Render::OnUrbComplete(PDEVICE_OBJECT, PIRP irp, StreamPacket* packet) {
  const NTSTATUS status = irp->IoStatus.Status;
  CyclicControlNotify position{};
  position.Client = m_ActiveClient;
  position.Command = CYCLIC_COMMAND_POSITION;
  position.Value.Bytes = packet->ByteCount;
  if (m_StreamState == STREAM_STATE_RUNNING) {
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) m_DeviceRemoved = 1;
    Notify(&position);
    const bool failed = !NT_SUCCESS(status) || USBD_ERROR(packet->Urb->UrbHeader.Status);
    ReleasePacket(packet);
    if (status != STATUS_CANCELLED) {
      if (failed)
        ReportTransferError();
      else if (MayResubmit())
        SendStreamUrb();
    }
  } else {
    Notify(&position);
    ReleasePacket(packet);
  }
  DropOutstandingUrb();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ============================================================================
// Pipes and recovery

NTSTATUS CUac2Render::PipeRequest(IUsbDevice* usb, USHORT function, UCHAR pipeIndex) {
  if (!m_PipeTable || pipeIndex >= HeldPipes(m_PipeTable)) return STATUS_INVALID_DEVICE_STATE;
  URB urb{};
  urb.UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = function;
  urb.UrbPipeRequest.PipeHandle = m_PipeTable->Pipes[pipeIndex].PipeHandle;
  return usb->SubmitUrb(&urb);
}

NTSTATUS CUac2Render::AbortPipe() {
  PAGED_CODE();
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = PipeRequest(usb, URB_FUNCTION_ABORT_PIPE, m_PipeIndex);
  if (NT_SUCCESS(status) && m_FeedbackPipeIndex != UAC2_NO_PIPE)
    status = PipeRequest(usb, URB_FUNCTION_ABORT_PIPE, m_FeedbackPipeIndex);
  usb->Release();
  return status;
}

NTSTATUS CUac2Render::RecoverFromError() {
  PAGED_CODE();
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
  InterlockedExchange(&m_WorkFlag, USB_STREAM_WORK_NONE);
  if (usb->IsDeviceRemoved()) {
    m_DeviceRemoved = 1;
    usb->Release();
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  NTSTATUS status = PipeRequest(usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_PipeIndex);
  if (NT_SUCCESS(status) && HasFeedbackPipe())
    status = PipeRequest(usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_FeedbackPipeIndex);
  ULONG frame = 0;
  usb->QueryBusTime(&frame);
  m_NextStartFrame = frame + 2;
  usb->Release();
  for (ULONG i = 0; NT_SUCCESS(status) && i < 3; ++i) {
    const NTSTATUS sent = SendStreamUrb();
    if (sent == STATUS_BUFFER_TOO_SMALL) break;  // every packet is in flight again
    status = sent;
  }
  return status;
}
