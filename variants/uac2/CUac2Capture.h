// The capture pipe of an Audio Class 2.0 AudioStreaming interface. It sends
// isochronous IN URBs as the Audio Class 1.0 capture pipe does (at least
// 10 ms of them in flight), sets the device's clock through the clock
// entity when a format opens, and copies what arrives into the 40 ms ring,
// running the engine's signal path and handing the data to the clients in
// one piece, or two where it wraps.
//
// The ring holds at least one URB's transfer buffer, and every packet's
// bytes (the silence an empty packet stands for included) stay within the
// packet's own slot, so that nothing written or delivered reaches past the
// ring's end. Only a packet's whole frames are kept, so the clients and the
// signal path always get whole frames.
#pragma once

#include "streaming/CUac1Capture.h"

class CUac2Capture : public CUac1Capture {
 public:
  CUac2Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId)
      : CUac1Capture(outerUnknown, interfaceNumber, terminalNodeId), m_ClockNodeId(clockNodeId) {}

  // The data pipe is the last IN pipe; no endpoint rate request.
  NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) override;
  BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting, ULONG rate);
  using CUsbStreamEngine::IsAlternateSettingValid;

  ULONG GetClockNodeId() const { return m_ClockNodeId; }

 protected:
  // At least one URB's transfer buffer: a URB is copied in whole and must
  // not lap the frames it is handed over with.
  ULONG MinimumRingBytes() const override { return m_PacketsPerMs * m_MsPerUrb * PacketStride(); }
  ULONG RingTag() const override;
  // The clock entity takes the rate.
  NTSTATUS PrepareRate(ULONG rate) override;
  void FillCaptureRing(StreamPacket* packet) override;

  const ULONG m_ClockNodeId;
};
