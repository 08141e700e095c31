// The stream engine of a USB Audio Class 1.0 input AudioStreaming
// interface. It keeps urbCount isochronous IN transfers in flight, copies
// every completed one into a 40 ms byte ring, runs the engine's signal path
// over the new data in place and hands it to the clients, followed by a
// position report.
#pragma once

#include "streaming/CUsbStreamEngine.h"

// At least this much audio is always requested from the device.
constexpr ULONG UAC1_CAPTURE_MIN_MS_IN_FLIGHT = 10;
// The ring holds 1/25 s of audio.
constexpr ULONG UAC1_CAPTURE_RING_DIVISOR = 25;
// Without an endpoint descriptor a packet is sized for one millisecond and
// this many frames more.
constexpr ULONG UAC1_CAPTURE_SPARE_FRAMES = 6;

class CUac1Capture : public CUsbStreamEngine {
 public:
  CUac1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) override;
  NTSTATUS SendStreamUrb() override;
  NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) override;
  NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame) override;

  // Frames of one isochronous packet: the endpoint's largest packet in
  // whole frames, or a millisecond and a few frames when the endpoint
  // cannot be read.
  ULONG GetSamplesPerPacket(UCHAR alternateSetting, const WAVEFORMATEXTENSIBLE* format);

  ULONG GetRingSize() const { return m_RingSize; }
  ULONG GetPacketFrames() const { return m_SamplesPerPacket; }

 protected:
  // Copies the packets of a completed transfer into the ring and delivers
  // every whole frame received (capture-ring lock inside).
  virtual void FillCaptureRing(StreamPacket* packet);
  // The ring's whole frames between read and write: signal path, then
  // CYCLIC_COMMAND_CAPTURE_DATA (in two pieces across the ring's end) and
  // one CYCLIC_COMMAND_POSITION. Capture-ring lock held.
  void DeliverCaptured();
  // Bytes an isochronous packet owns in the transfer buffer.
  ULONG PacketStride() const;
  // What a derived pipe opens differently: the smallest ring it takes, the
  // ring's pool tag, and the device's rate set before the interface is
  // selected (the 1.0 pipe sets it on the endpoint while selecting).
  virtual ULONG MinimumRingBytes() const { return 2 * PacketStride(); }
  virtual ULONG RingTag() const { return USB_STREAM_RING_TAG; }
  virtual NTSTATUS PrepareRate(ULONG) { return STATUS_SUCCESS; }

  KSPIN_LOCK m_CaptureRingLock;
  // Frame size and rate of the format the interface was opened in: the
  // device sends in it whatever format later clients bring.
  ULONG m_OpenBlockAlign = 0;
  ULONG m_OpenRate = 0;
};
