#include "variants/uac2/CUac2Capture.h"

#include "variants/uac2/Uac2Streams.h"

NTSTATUS CUac2Capture::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord*) {
  return SelectStreamingInterface(alternateSetting, nullptr, TRUE);
}

BOOLEAN CUac2Capture::IsAlternateSettingValid(UCHAR alternateSetting, ULONG) {
  return IsUac2AlternateSettingValid(m_Owner, static_cast<UCHAR>(m_EngineId), alternateSetting);
}

ULONG CUac2Capture::RingTag() const { return UAC2_STREAM_RING_TAG; }

NTSTATUS CUac2Capture::PrepareRate(ULONG rate) { return SetStreamClockRate(m_Owner, m_ClockNodeId, rate); }

void CUac2Capture::FillCaptureRing(StreamPacket* packet) {
  KIRQL irql;
  KeAcquireSpinLock(&m_CaptureRingLock, &irql);
  const ULONG slot = PacketStride();
  if (m_CaptureRing && m_RingSize && slot) {
    const ULONG w0 = m_RingWrite;
    // An empty packet that succeeded stands for a millisecond and a frame
    // of silence, as far as its slot reaches.
    const ULONG perPacketRate = m_OpenRate / m_PacketsPerMs;
    ULONG silence = (perPacketRate / 1000 + 1) * m_OpenBlockAlign;
    if (silence > slot) silence = slot;
    URB_ISOCH_TRANSFER& iso = packet->Urb->UrbIsochronousTransfer;
    const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
    ULONG total = 0;
    for (ULONG i = 0; i < packets; ++i) {
      PUCHAR data = packet->Buffer + i * slot;
      ULONG length = iso.IsoPacket[i].Length;
      if (length == 0 && !USBD_ERROR(iso.IsoPacket[i].Status)) {
        length = silence;
        iso.IsoPacket[i].Length = length;
        RtlZeroMemory(data, length);
      }
      if (length > slot) length = slot;
      // A packet holds whole frames; a piece of one is no start of the next
      // packet's, so it goes, and every later frame keeps its place.
      length -= length % m_OpenBlockAlign;
      const ULONG toEnd = m_RingSize - m_RingWrite;
      const ULONG first = length < toEnd ? length : toEnd;
      RtlCopyMemory(m_CaptureRing + m_RingWrite, data, first);
      if (length > first) RtlCopyMemory(m_CaptureRing, data + first, length - first);
      m_RingWrite = (m_RingWrite + length) % m_RingSize;
      total += length;
    }
    if (total) {
      CyclicControlNotify notify{};
      notify.Client = m_ActiveClient;
      notify.Command = CYCLIC_COMMAND_CAPTURE_DATA;
      const ULONG head = w0 + total > m_RingSize ? m_RingSize - w0 : total;
      ProcessBuffer(m_CaptureRing + w0, static_cast<LONG>(head));
      notify.Value.Buffer = m_CaptureRing + w0;
      notify.Length = head;
      Notify(&notify);
      if (head < total) {
        ProcessBuffer(m_CaptureRing, static_cast<LONG>(total - head));
        notify.Value.Buffer = m_CaptureRing;
        notify.Length = total - head;
        Notify(&notify);
      }
      CyclicControlNotify position{};
      position.Client = m_ActiveClient;
      position.Command = CYCLIC_COMMAND_POSITION;
      position.Value.Bytes = total;
      Notify(&position);
      m_RingRead = m_RingWrite;
    }
  }
  KeReleaseSpinLock(&m_CaptureRingLock, irql);
}
