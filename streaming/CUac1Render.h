// The stream engines of a USB Audio Class 1.0 output AudioStreaming
// interface. CUac1Render sends URBs of whole milliseconds and spreads a rate
// that is not a whole number of frames per millisecond over the packets
// with a fractional accumulator; the active client fills every URB, the
// engine's signal path runs over it, and each completed URB is reported as
// a position. CTQ4187Render, the render engine of this product, also runs
// every buffer through the engine's stream limiter and sends only channels
// 0 and 1 to the device: clients and the signal path may see more channels
// than the endpoint takes.
#pragma once

#include "streaming/CUsbStreamEngine.h"

class CUac1Render : public CUsbStreamEngine {
 public:
  CUac1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) override;
  NTSTATUS Restart() override;
  NTSTATUS SendStreamUrb() override;
  NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) override;
  NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame) override;

  // Lays out `packets` packets of `baseFrames` frames, one frame more
  // whenever the remainder carried in `accumulator` (in 1/`divisor`
  // frames, `remainder` added per packet) reaches a whole frame. Returns
  // the bytes of all of them; offsets follow each other.
  static ULONG LayOutPackets(USBD_ISO_PACKET_DESCRIPTOR* iso, ULONG packets, ULONG baseFrames, ULONG remainder,
                             ULONG divisor, ULONG blockAlign, LONG* accumulator);

  LONG GetAccumulator() const { return m_Accumulator; }

 protected:
  // Turns a filled and processed transfer (its URB laid out in the stream
  // format) into what the device takes; the send lock is held.
  virtual void AdaptForDevice(StreamPacket*, ULONG /*packets*/) {}
  // The completion path; `twoChannelDevice`: positions in the stream
  // format's bytes and the transfer errors printed.
  NTSTATUS CompleteRenderUrb(PIRP irp, StreamPacket* packet, bool twoChannelDevice);

  ULONG m_Rate = 0;
  LONG m_Accumulator = 0;
  // The format the interface was opened in: the buffers are sized and laid
  // out for it.
  WAVEFORMATEX m_OpenFormat{};
};

class CTQ4187Render : public CUac1Render {
 public:
  CTQ4187Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
      : CUac1Render(outerUnknown, interfaceNumber, terminalNodeId) {}

  NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) override;

  // Keeps the first two samples of each of `frames` frames of `format`,
  // packed at the front of `buffer`; returns the bytes they take. A
  // one-channel format stays as it is.
  static ULONG CompactToTwoChannels(PUCHAR buffer, ULONG frames, const WAVEFORMATEX& format);

 protected:
  // The stream limiter over every channel, then channels 0 and 1 packed
  // for the device, each packet keeping its frames.
  void AdaptForDevice(StreamPacket* packet, ULONG packets) override;
  // The stream limiter over a PCM buffer in the stream format.
  void LimitBuffer(PUCHAR buffer, ULONG bytes);
};
