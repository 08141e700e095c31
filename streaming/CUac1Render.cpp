#include "streaming/CUac1Render.h"

#include "dsp/CPeakLimiter.h"
#include "dsp/SampleConversion.h"
#include "dsp/SignalPathFloat.h"
#include "streaming/Uac1PipeOpen.h"

CUac1Render::CUac1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId) {
  m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
}

NTSTATUS CUac1Render::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) {
  return SelectStreamingInterface(alternateSetting, client, FALSE);
}

NTSTATUS CUac1Render::Restart() {
  PAGED_CODE();
  // Recovery restarts with every URB back, so nothing reads the
  // accumulator until the restarted pipeline builds its first URB.
  m_Accumulator = 0;
  return CUsbStreamEngine::Restart();
}

NTSTATUS CUac1Render::OpenForFormat(StreamClientRecord* client, PULONG currentFrame) {
  PAGED_CODE();
  Uac1OpenPlan plan{};
  NTSTATUS status = BeginUac1Open(this, client, StreamStateWord(), &plan);
  if (!NT_SUCCESS(status)) return status;
  const WAVEFORMATEXTENSIBLE* format = &client->Format;
  const ULONG blockAlign = format->Format.nBlockAlign;

  m_MsPerUrb = client->MsPerUrb;
  m_UrbCount = client->UrbCount;
  m_PacketsPerMs = plan.PacketsPerMs;
  m_Rate = format->Format.nSamplesPerSec;
  m_SamplesPerPacket = m_Rate / (plan.PacketsPerMs * 1000);
  m_OpenFormat = format->Format;

  // Every packet may carry one frame more than the base count.
  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  status = BuildPacketPool(UsbStreamUrbBytes(packets), (m_SamplesPerPacket + 1) * blockAlign * packets);
  if (NT_SUCCESS(status)) status = SelectAlternateSetting(plan.AlternateSetting, client);
  if (!NT_SUCCESS(status)) {
    AbandonOpen();
    return status;
  }

  m_Accumulator = 0;
  InterlockedExchange(&m_OutstandingUrbs, 0);
  if (currentFrame) *currentFrame = GetCurrentFrameNumber();
  return STATUS_SUCCESS;
}

ULONG CUac1Render::LayOutPackets(USBD_ISO_PACKET_DESCRIPTOR* iso, ULONG packets, ULONG baseFrames, ULONG remainder,
                                 ULONG divisor, ULONG blockAlign, LONG* accumulator) {
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    *accumulator += static_cast<LONG>(remainder);
    const ULONG extra = static_cast<ULONG>(*accumulator) / divisor;
    *accumulator = static_cast<LONG>(static_cast<ULONG>(*accumulator) % divisor);
    iso[i].Offset = offset;
    iso[i].Length = (baseFrames + extra) * blockAlign;
    offset += iso[i].Length;
  }
  return offset;
}

NTSTATUS CUac1Render::SendStreamUrb() {
  const ULONG packets = m_MsPerUrb * m_PacketsPerMs;
  const ULONG divisor = m_PacketsPerMs * 1000;
  const ULONG remainder = m_Rate - m_SamplesPerPacket * divisor;
  return SendOneUrb(packets, 0, [&](StreamPacket* packet) {
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    // Laid out in the format the buffers were sized for.
    const ULONG total = LayOutPackets(iso.IsoPacket, packets, m_SamplesPerPacket, remainder, divisor,
                                      m_OpenFormat.nBlockAlign, &m_Accumulator);
    iso.TransferBufferLength = total;
    FillRenderBuffer(packet, total);
    AdaptForDevice(packet, packets);
  });
}

NTSTATUS CUac1Render::OnUrbComplete(PDEVICE_OBJECT, PIRP irp, StreamPacket* packet) {
  return CompleteRenderUrb(irp, packet, false);
}

NTSTATUS CUac1Render::CompleteRenderUrb(PIRP irp, StreamPacket* packet, bool twoChannelDevice) {
  const NTSTATUS status = irp->IoStatus.Status;
  const bool running = StreamRunning();
  if (running && (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)) m_DeviceRemoved = 1;

  // The bytes that reached the device, in the stream format: a failed
  // transfer moves the position by nothing, and a failed packet by none of
  // its bytes, so that a stream whose packets are lost does not seem to play.
  ULONG moved = 0;
  if (NT_SUCCESS(status)) {
    const URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    const ULONG packets = m_MsPerUrb * m_PacketsPerMs;
    for (ULONG i = 0; i < packets; ++i)
      if (!USBD_ERROR(iso.IsoPacket[i].Status)) moved += iso.IsoPacket[i].Length;
    if (moved > packet->ByteCount) moved = packet->ByteCount;
  }
  if (twoChannelDevice && m_OpenFormat.nChannels > 2 && m_OpenFormat.nBlockAlign >= m_OpenFormat.nChannels)
    moved = moved / (2 * (m_OpenFormat.nBlockAlign / m_OpenFormat.nChannels)) * m_OpenFormat.nBlockAlign;
  CyclicControlNotify position{};
  position.Client = m_ActiveClient;
  position.Command = CYCLIC_COMMAND_POSITION;
  position.Value.Bytes = moved;
  Notify(&position);

  if (running && status != STATUS_CANCELLED) {
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    const ULONG packets = m_MsPerUrb * m_PacketsPerMs;
    for (ULONG i = 0; i < packets; ++i) {
      if (USBD_ERROR(iso.IsoPacket[i].Status)) {
        if (twoChannelDevice)
          DbgPrint("Idx = %d, Status = %x\n", static_cast<int>(i), static_cast<unsigned>(iso.IsoPacket[i].Status));
        iso.Hdr.Status = iso.IsoPacket[i].Status;
        break;
      }
    }
    if (!NT_SUCCESS(status) || USBD_ERROR(iso.Hdr.Status)) {
      if (twoChannelDevice)
        DbgPrint("Transfer Error ntStatus = %x, URB Status = %x\n", static_cast<unsigned>(status),
                 static_cast<unsigned>(iso.Hdr.Status));
      ReleasePacket(packet);
      ReportTransferError();
    } else {
      ReleasePacket(packet);
      if (MayResubmit()) SendStreamUrb();
    }
  } else {
    ReleasePacket(packet);
  }
  DropOutstandingUrb();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- CTQ4187Render ------------------------------------------------------------------------------

void CTQ4187Render::AdaptForDevice(StreamPacket* packet, ULONG packets) {
  URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
  const ULONG total = iso.TransferBufferLength;
  LimitBuffer(packet->Buffer, total);
  const ULONG blockAlign = m_OpenFormat.nBlockAlign;
  if (m_OpenFormat.nChannels <= 2 || blockAlign == 0) return;
  const ULONG frames = total / blockAlign;
  const ULONG deviceBytes = CompactToTwoChannels(packet->Buffer, frames, m_OpenFormat);
  // Each packet keeps its frames, now of two samples each.
  const ULONG deviceBlock = 2 * (blockAlign / m_OpenFormat.nChannels);
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    iso.IsoPacket[i].Offset = offset;
    iso.IsoPacket[i].Length = iso.IsoPacket[i].Length / blockAlign * deviceBlock;
    offset += iso.IsoPacket[i].Length;
  }
  iso.TransferBufferLength = deviceBytes;
}

NTSTATUS CTQ4187Render::OnUrbComplete(PDEVICE_OBJECT, PIRP irp, StreamPacket* packet) {
  return CompleteRenderUrb(irp, packet, true);
}

ULONG CTQ4187Render::CompactToTwoChannels(PUCHAR buffer, ULONG frames, const WAVEFORMATEX& format) {
  const ULONG blockAlign = format.nBlockAlign;
  if (format.nChannels < 2 || blockAlign == 0) return frames * blockAlign;
  // Two samples of the frame's container size, whatever the depth.
  const ULONG kept = 2 * (blockAlign / format.nChannels);
  PUCHAR to = buffer;
  const UCHAR* from = buffer;
  for (ULONG frame = 0; frame < frames; ++frame, from += blockAlign, to += kept) RtlMoveMemory(to, from, kept);
  return frames * kept;
}

void CTQ4187Render::LimitBuffer(PUCHAR buffer, ULONG bytes) {
  const WAVEFORMATEXTENSIBLE& format = m_CurrentWaveFormat;
  const ULONG blockAlign = format.Format.nBlockAlign;
  // The channel buffers hold eight channels of whole PCM samples; any other
  // stream goes to the device as the signal path left it.
  if (!m_StreamLimiter || !m_ChannelBuffers || !m_WorkBuffer || !DspIsConvertiblePcm(format) ||
      format.Format.nChannels < 1 || format.Format.nChannels > STREAM_ENGINE_CHANNEL_BUFFERS ||
      blockAlign != format.Format.nChannels * (format.Format.wBitsPerSample / 8u) ||
      blockAlign != m_OpenFormat.nBlockAlign)
    return;
  const ULONG frames = bytes / blockAlign;
  CSignalPathFloatControl floatControl;
  KeAcquireSpinLockAtDpcLevel(&m_EngineLock);
  for (ULONG done = 0; done < frames;) {
    const ULONG chunk = frames - done < STREAM_ENGINE_CHUNK_FRAMES ? frames - done : STREAM_ENGINE_CHUNK_FRAMES;
    PUCHAR at = buffer + done * blockAlign;
    PcmToFloatChannels(at, chunk, format);
    m_StreamLimiter->Process(m_ChannelBuffers, chunk);
    FloatChannelsToPcm(at, chunk, format);
    done += chunk;
  }
  KeReleaseSpinLockFromDpcLevel(&m_EngineLock);
}
