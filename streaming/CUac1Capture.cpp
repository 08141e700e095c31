#include "streaming/CUac1Capture.h"

#include "streaming/Uac1PipeOpen.h"
#include "usb/usbdlib.h"

namespace {

// The first endpoint descriptor of an interface (before the next interface
// descriptor), or null.
PUSB_ENDPOINT_DESCRIPTOR FirstEndpointOf(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR iface) {
  const ULONG total = platform::usb::ConfigurationExtent(configuration);
  PVOID after = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
  auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
      USBD_ParseDescriptors(configuration, total, after, USB_ENDPOINT_DESCRIPTOR_TYPE));
  auto* next = USBD_ParseDescriptors(configuration, total, after, USB_INTERFACE_DESCRIPTOR_TYPE);
  if (!endpoint || (next && reinterpret_cast<PUCHAR>(next) < reinterpret_cast<PUCHAR>(endpoint))) return nullptr;
  if (endpoint->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return nullptr;
  return endpoint;
}

}  // namespace

CUac1Capture::CUac1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId) {
  KeInitializeSpinLock(&m_CaptureRingLock);
  m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
}

NTSTATUS CUac1Capture::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) {
  return SelectStreamingInterface(alternateSetting, client, TRUE);
}

ULONG CUac1Capture::GetSamplesPerPacket(UCHAR alternateSetting, const WAVEFORMATEXTENSIBLE* format) {
  const ULONG blockAlign = format->Format.nBlockAlign;
  ULONG frames = 0;
  if (IUsbDevice* usb = QueryUsbDevice()) {
    if (PUSB_INTERFACE_DESCRIPTOR iface = FindStreamingInterface(usb, alternateSetting)) {
      if (PUSB_ENDPOINT_DESCRIPTOR endpoint = FirstEndpointOf(usb->GetConfigurationDescriptor(), iface))
        frames = blockAlign ? UsbEndpointPacketBytes(endpoint->wMaxPacketSize) / blockAlign : 0;
    }
    usb->Release();
  }
  // An endpoint too small for one frame cannot size the packets either.
  if (frames == 0) frames = format->Format.nSamplesPerSec / (m_PacketsPerMs * 1000) + UAC1_CAPTURE_SPARE_FRAMES;
  return frames;
}

ULONG CUac1Capture::PacketStride() const { return m_OpenBlockAlign * m_SamplesPerPacket; }

NTSTATUS CUac1Capture::OpenForFormat(StreamClientRecord* client, PULONG currentFrame) {
  PAGED_CODE();
  Uac1OpenPlan plan{};
  NTSTATUS status = BeginUac1Open(this, client, StreamStateWord(), &plan);
  if (!NT_SUCCESS(status)) return status;
  const WAVEFORMATEXTENSIBLE* format = &client->Format;
  const ULONG blockAlign = format->Format.nBlockAlign;

  ULONG urbCount = client->UrbCount;
  if (client->MsPerUrb * urbCount < UAC1_CAPTURE_MIN_MS_IN_FLIGHT) {
    urbCount = (UAC1_CAPTURE_MIN_MS_IN_FLIGHT + client->MsPerUrb - 1) / client->MsPerUrb;
    client->UrbCount = urbCount;
  }
  m_MsPerUrb = client->MsPerUrb;
  m_UrbCount = urbCount;
  m_PacketsPerMs = plan.PacketsPerMs;
  m_SamplesPerPacket = GetSamplesPerPacket(plan.AlternateSetting, format);
  m_OpenBlockAlign = blockAlign;
  m_OpenRate = format->Format.nSamplesPerSec;

  // 40 ms in whole frames, and never less than two packets: one packet is
  // copied in whole while the frames before it still wait.
  ULONG ringSize = format->Format.nAvgBytesPerSec / UAC1_CAPTURE_RING_DIVISOR;
  ringSize = (ringSize + blockAlign - 1) / blockAlign * blockAlign;
  if (ringSize < MinimumRingBytes()) ringSize = MinimumRingBytes();
  m_RingSize = ringSize;

  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  status = BuildPacketPool(UsbStreamUrbBytes(packets), packets * PacketStride());
  if (NT_SUCCESS(status)) {
    m_CaptureRing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, m_RingSize, RingTag()));
    if (!m_CaptureRing) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) status = PrepareRate(m_OpenRate);
  if (NT_SUCCESS(status)) {
    status = SelectAlternateSetting(plan.AlternateSetting, client);
    // A refused rate leaves the streaming setting selected: give its
    // bandwidth and busy mark back, or the device could never suspend.
    if (!NT_SUCCESS(status)) SelectAlternateSetting(0, nullptr);
  }
  if (!NT_SUCCESS(status)) {
    AbandonOpen();
    return status;
  }

  m_RingRead = 0;
  m_RingWrite = 0;
  InterlockedExchange(&m_OutstandingUrbs, 0);
  if (currentFrame) *currentFrame = GetCurrentFrameNumber();
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Capture::SendStreamUrb() {
  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  const ULONG stride = PacketStride();
  return SendOneUrb(packets, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, [&](StreamPacket* packet) {
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < packets; ++i) {
      iso.IsoPacket[i].Offset = i * stride;
      iso.IsoPacket[i].Length = 0;
    }
    iso.TransferBufferLength = packets * stride;
  });
}

NTSTATUS CUac1Capture::OnUrbComplete(PDEVICE_OBJECT, PIRP irp, StreamPacket* packet) {
  const NTSTATUS status = irp->IoStatus.Status;
  // Data that arrives while the pipeline drains is still delivered.
  if (NT_SUCCESS(status)) FillCaptureRing(packet);
  const bool failed = !NT_SUCCESS(status) || USBD_ERROR(packet->Urb->UrbHeader.Status);
  ReleasePacket(packet);
  if (StreamRunning() && status != STATUS_CANCELLED) {
    if (failed) {
      ReportTransferError();
    } else if (MayResubmit()) {
      SendStreamUrb();
    }
  }
  // After the resubmission: the count never reaches 0 while running.
  DropOutstandingUrb();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUac1Capture::FillCaptureRing(StreamPacket* packet) {
  KIRQL irql;
  KeAcquireSpinLock(&m_CaptureRingLock, &irql);
  const ULONG stride = PacketStride();
  if (m_CaptureRing && m_RingSize && stride) {
    // One millisecond and one frame, as far as the packet's part of the
    // buffer reaches.
    ULONG silence = (m_OpenRate / 1000 + 1) * m_OpenBlockAlign;
    if (silence > stride) silence = stride;
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    // The layout is the one this pipe gave the URB; the stack only reports
    // lengths and statuses, and a length beyond the packet's part is cut
    // there.
    const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
    for (ULONG i = 0; i < packets; ++i) {
      PUCHAR data = packet->Buffer + i * stride;
      ULONG length = iso.IsoPacket[i].Length;
      if (length == 0 && !USBD_ERROR(iso.IsoPacket[i].Status)) {
        length = silence;
        RtlZeroMemory(data, length);
      }
      if (length > stride) length = stride;
      if (length == 0) continue;
      // Unread frames are never overwritten: a transfer longer than the
      // ring is delivered in parts.
      const ULONG waiting = (m_RingWrite + m_RingSize - m_RingRead) % m_RingSize;
      if (waiting + length >= m_RingSize) DeliverCaptured();
      const ULONG toEnd = m_RingSize - m_RingWrite;
      const ULONG first = length < toEnd ? length : toEnd;
      RtlCopyMemory(m_CaptureRing + m_RingWrite, data, first);
      if (length > first) RtlCopyMemory(m_CaptureRing, data + first, length - first);
      m_RingWrite = (m_RingWrite + length) % m_RingSize;
    }
    DeliverCaptured();
  }
  KeReleaseSpinLock(&m_CaptureRingLock, irql);
}

void CUac1Capture::DeliverCaptured() {
  const ULONG available = (m_RingWrite + m_RingSize - m_RingRead) % m_RingSize;
  const ULONG deliver = available - available % m_OpenBlockAlign;
  if (deliver == 0) return;
  CyclicControlNotify notify{};
  notify.Client = m_ActiveClient;
  notify.Command = CYCLIC_COMMAND_CAPTURE_DATA;
  const ULONG toEnd = m_RingSize - m_RingRead;
  const ULONG first = deliver < toEnd ? deliver : toEnd;
  // The signal path runs on the ring in place; its status changes nothing
  // about the delivery.
  ProcessBuffer(m_CaptureRing + m_RingRead, static_cast<LONG>(first));
  notify.Value.Buffer = m_CaptureRing + m_RingRead;
  notify.Length = first;
  Notify(&notify);
  if (deliver > first) {
    ProcessBuffer(m_CaptureRing, static_cast<LONG>(deliver - first));
    notify.Value.Buffer = m_CaptureRing;
    notify.Length = deliver - first;
    Notify(&notify);
  }
  CyclicControlNotify position{};
  position.Client = m_ActiveClient;
  position.Command = CYCLIC_COMMAND_POSITION;
  position.Value.Bytes = deliver;
  Notify(&position);
  m_RingRead = (m_RingRead + deliver) % m_RingSize;
}
