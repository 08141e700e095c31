// The render pipe of an Audio Class 2.0 AudioStreaming interface whose
// device runs on its own clock and reports how fast it consumes through an
// explicit feedback endpoint. Opening a format sets the device's clock
// through the clock entity; every data URB goes out with one feedback URB
// beside it; the feedback values become the measured device rate (with the
// corrections of the 44.1 kHz family and a small averaging rule); and each
// isochronous packet is sized from a signed fractional-sample accumulator
// driven by that rate, so that in the long run exactly the measured rate is
// sent. The rate keeps the feedback's fraction (16.16 Hz): a device a few
// ppm off asks for a fraction of a hertz more or less, and dropping it would
// drain or fill the device's buffer by that much every second.
//
// Transfer buffers are sized for the nominal rate plus the 1000 Hz the
// feedback may move it by, and a frame per packet, so that no feedback
// value can push a URB past its buffer; the layout never passes the buffer
// in any case.
//
// Locks: URBs are built under the send lock (DISPATCH_LEVEL), which takes
// the feedback packet lock inside; completions run without it. The device
// rate is one 64-bit value written by the feedback completion and read by
// the send path.
#pragma once

#include "streaming/CUsbStreamEngine.h"

constexpr UCHAR UAC2_NO_PIPE = 0xFF;
// Feedback values further than this from the nominal rate are not believed.
constexpr LONG UAC2_FEEDBACK_WINDOW_HZ = 1000;
// Rates measured from feedback carry this many fractional bits (Hz in 16.16).
constexpr ULONG UAC2_RATE_FRACTION_BITS = 16;
constexpr LONGLONG Uac2RateFromHz(LONG hz) { return static_cast<LONGLONG>(hz) * (1 << UAC2_RATE_FRACTION_BITS); }

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
  // The rate a corrected value stands for at `packetsPerSecond`, in 16.16
  // Hz: exact, nothing of the value is dropped.
  static LONGLONG FeedbackToRate(ULONG value, ULONG packetsPerSecond);
  // Whether a measured rate (16.16 Hz) is within the window of the nominal
  // one (whole Hz).
  static bool WithinWindow(LONGLONG rate, LONG nominal);
  // The device rate after one feedback URB (16.16 Hz): the mean of the
  // `kept` rates within the window (their sum `sum`), the difference from
  // `nominal` doubled when its whole hertz are exactly 500 / msPerUrb;
  // `current` when none was kept.
  static LONGLONG AverageFeedback(LONGLONG sum, ULONG kept, LONG nominal, ULONG msPerUrb, LONGLONG current);
  // `packets` packets of `baseFrames` frames plus what the signed
  // accumulator carries (`excess`, in 16.16 Hz over the base rate, added
  // per packet; a whole frame per `packetsPerSecond` Hz), none reaching
  // past `capacity` bytes; returns the bytes of all of them.
  static ULONG LayOutPackets(USBD_ISO_PACKET_DESCRIPTOR* iso, ULONG packets, ULONG baseFrames, LONGLONG excess,
                             ULONG packetsPerSecond, ULONG blockAlign, ULONG capacity, LONGLONG* accumulator);

  // The measured device rate in whole Hz, and in 16.16 Hz.
  LONG GetDeviceRate() const { return static_cast<LONG>(m_DeviceRate >> UAC2_RATE_FRACTION_BITS); }
  LONGLONG GetDeviceRate16() const { return m_DeviceRate; }
  // The rate (16.16 Hz) the last data URB was sized for.
  LONGLONG GetLastUrbRate16() const { return m_LastUrbRate; }
  LONGLONG GetAccumulator() const { return m_Accumulator; }
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
  volatile LONGLONG m_DeviceRate = 0;  // 16.16 Hz
  volatile LONGLONG m_LastUrbRate = 0;
  LONG m_NominalRate = 0;
  LONGLONG m_Accumulator = 0;
  ULONG m_BlockAlign = 0;
  ULONG m_TransferBufferBytes = 0;
  UCHAR m_FeedbackPipeIndex = UAC2_NO_PIPE;
  KSPIN_LOCK m_FeedbackLock;
  StreamPacket* m_FeedbackInFlight[USB_STREAM_PACKETS] = {};
  StreamPacket* m_FeedbackFree[USB_STREAM_PACKETS] = {};
};
