// The render pipe of an Audio Class 2.0 AudioStreaming interface whose
// device runs on its own clock and reports how fast it consumes through an
// explicit feedback endpoint. Opening a format sets the device's clock
// through the clock entity; every data URB goes out with one feedback URB
// beside it; the feedback values become the measured device rate (with the
// corrections of the 44.1 kHz family and a small averaging rule); and each
// isochronous packet is sized from a signed fractional-sample accumulator
// driven by that rate, so that in the long run exactly the measured rate is
// sent.
//
// Transfer buffers are sized for the nominal rate plus the 1000 Hz the
// feedback may move it by, and a frame per packet, so that no feedback
// value can push a URB past its buffer.
//
// Locks: URBs are built under the send lock (DISPATCH_LEVEL), which takes
// the feedback packet lock inside; completions run without it. The device
// rate is one 32-bit value written by the feedback completion and read by
// the send path.
#pragma once

#include "streaming/CUsbStreamEngine.h"

constexpr UCHAR UAC2_NO_PIPE = 0xFF;
// Feedback values further than this from the nominal rate are not believed.
constexpr LONG UAC2_FEEDBACK_WINDOW_HZ = 1000;

class CUac2Render : public CUsbStreamEngine {
 public:
  CUac2Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId);
  ~CUac2Render() override;

  NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) override;
  void FreePackets() override;
  NTSTATUS AbortPipe() override;
  NTSTATUS RecoverFromError() override;
  NTSTATUS SendStreamUrb() override;
  NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) override;
  NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame) override;
  // Whether the interface can stream in `alternateSetting` at the rate the
  // clock has now (the rate is not asked again).
  BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting, ULONG rate);
  using CUsbStreamEngine::IsAlternateSettingValid;

  NTSTATUS SendFeedbackUrb(IUsbDevice* usb);
  void OnFeedbackComplete(PIRP irp, StreamPacket* packet);
  void DecodeFeedback(StreamPacket* packet);
  static NTSTATUS FeedbackCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

  // ---- The arithmetic, on its own
  // A feedback value in 16.16 samples per packet interval (the 3-byte form
  // shifted left by 2) with the correction of its form applied.
  static ULONG CorrectFeedback(ULONG value, bool fourByteForm);
  // The rate a corrected value stands for at `packetsPerSecond` (whole Hz,
  // rounded down).
  static LONG FeedbackToRate(ULONG value, ULONG packetsPerSecond);
  // Whether a measured rate is within the window of the nominal one.
  static bool WithinWindow(LONG rate, LONG nominal);
  // The device rate after one feedback URB: the mean of the `kept` rates
  // within the window (their sum `sum`), the difference from `nominal`
  // doubled when it is exactly 500 / msPerUrb; `current` when none was kept.
  static LONG AverageFeedback(LONGLONG sum, ULONG kept, LONG nominal, ULONG msPerUrb, LONG current);
  // `packets` packets of `baseFrames` frames plus what the signed
  // accumulator carries (`excess` added per packet, a whole frame per
  // `packetsPerSecond`); returns the bytes of all of them.
  static ULONG LayOutPackets(USBD_ISO_PACKET_DESCRIPTOR* iso, ULONG packets, ULONG baseFrames, LONG excess,
                             ULONG packetsPerSecond, ULONG blockAlign, LONG* accumulator);

  LONG GetDeviceRate() const { return m_DeviceRate; }
  // The rate the last data URB was sized for.
  LONG GetLastUrbRate() const { return m_LastUrbRate; }
  LONG GetAccumulator() const { return m_Accumulator; }
  UCHAR GetFeedbackPipeIndex() const { return m_FeedbackPipeIndex; }
  ULONG GetClockNodeId() const { return m_ClockNodeId; }
  ULONG GetTransferBufferBytes() const { return m_TransferBufferBytes; }

 protected:
  StreamPacket* ClaimFeedbackPacket();
  void ReleaseFeedbackPacket(StreamPacket* packet);
  // The data and feedback pipes of the selected interface, when it has both.
  bool HasFeedbackPipe() const;
  NTSTATUS PipeRequest(IUsbDevice* usb, USHORT function, UCHAR pipeIndex);

  const ULONG m_ClockNodeId;
  volatile LONG m_DeviceRate = 0;
  volatile LONG m_LastUrbRate = 0;
  LONG m_NominalRate = 0;
  LONG m_Accumulator = 0;
  ULONG m_BlockAlign = 0;
  ULONG m_TransferBufferBytes = 0;
  UCHAR m_FeedbackPipeIndex = UAC2_NO_PIPE;
  KSPIN_LOCK m_FeedbackLock;
  StreamPacket* m_FeedbackInFlight[USB_STREAM_PACKETS] = {};
  StreamPacket* m_FeedbackFree[USB_STREAM_PACKETS] = {};
};
