// The stream of a wave filter: for the WaveCyclic port both the miniport
// stream and the DMA channel. The cyclic buffer the port writes render data
// into and reads capture data from is an ordinary nonpaged buffer owned here
// (software DMA). The stream never touches the USB device: in RUN it is a
// client of its stream engine, and from the engine's notifications it copies
// render data out of the cyclic buffer into the engine's packets, converts
// captured data into the cyclic buffer, and advances the play/record
// position, notifying the port after every completed transfer. Positions
// asked for between completions are interpolated with the performance
// counter.
//
// Init, SetState, SetFormat, SetNotificationFreq, the buffer allocation and
// the destructor run at PASSIVE_LEVEL. The stream spin lock guards the
// buffer, positions, history, copy offset, converter and rate state; the
// engine calls back at DISPATCH_LEVEL holding its own lock, so the order is
// engine lock, then stream lock. The port's Notify is called with the stream
// lock held.
#pragma once

#include "driver/common/PrivateInterfaces.h"

class CDspInterleaveSrc;

// What a stream needs of the miniport that made it: the miniport creates
// its streams, so the stream reaches back only through this.
class IWaveCyclicStreamOwner {
 public:
  // Checks a data format and finds its wave format; the engine must offer
  // it. On success `*waveFormat` points into `dataFormat`.
  virtual NTSTATUS ValidateFormat(PKSDATAFORMAT dataFormat, PWAVEFORMATEX* waveFormat) = 0;
  virtual void StreamCreated() = 0;
  virtual void StreamDeleted() = 0;
  virtual void SetStreamBusy(ULONG busy) = 0;
  virtual IPortWaveCyclic* GetPort() const = 0;

 protected:
  ~IWaveCyclicStreamOwner() = default;
};

// The cyclic buffer and the capture converter.
constexpr ULONG WAVE_STREAM_BUFFER_TAG = MakeTag("CCST");
// 50 ms at 192 kHz, 8 channels, 32 bits.
constexpr ULONG WAVE_STREAM_MAX_BUFFER_BYTES = 307200;
// What the stream asks of its engine.
constexpr ULONG WAVE_STREAM_MS_PER_URB = 5;
constexpr ULONG WAVE_STREAM_URB_COUNT = 3;
constexpr ULONG WAVE_STREAM_NOTIFICATION_MS = 10;
// Completed transfers remembered for position interpolation.
constexpr ULONG WAVE_STREAM_HISTORY = 10;

class CWaveCyclicStream : public IMiniportWaveCyclicStream,
                          public IDmaChannel,
                          public IDrmAudioStream,
                          public CUnknownBase {
 public:
  explicit CWaveCyclicStream(PUNKNOWN outerUnknown);
  ~CWaveCyclicStream() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // Called once by the miniport's NewStream; `*serviceGroup` gets the
  // stream's service group with a reference.
  NTSTATUS Init(IWaveCyclicStreamOwner* miniport, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                IStreamEngine* engine, PSERVICEGROUP* serviceGroup);

  // ---- IMiniportWaveCyclicStream
  NTSTATUS STDMETHODCALLTYPE SetFormat(PKSDATAFORMAT dataFormat) override;
  ULONG STDMETHODCALLTYPE SetNotificationFreq(ULONG interval, PULONG framingSize) override;
  NTSTATUS STDMETHODCALLTYPE SetState(KSSTATE state) override;
  NTSTATUS STDMETHODCALLTYPE GetPosition(PULONG position) override;
  NTSTATUS STDMETHODCALLTYPE NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
  void STDMETHODCALLTYPE Silence(PVOID buffer, ULONG byteCount) override;

  // ---- IDmaChannel
  NTSTATUS STDMETHODCALLTYPE AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) override;
  void STDMETHODCALLTYPE FreeBuffer() override;
  ULONG STDMETHODCALLTYPE TransferCount() override { return m_AllocatedSize; }
  ULONG STDMETHODCALLTYPE MaximumBufferSize() override { return WAVE_STREAM_MAX_BUFFER_BYTES; }
  ULONG STDMETHODCALLTYPE AllocatedBufferSize() override { return m_AllocatedSize; }
  ULONG STDMETHODCALLTYPE BufferSize() override { return m_BufferSize ? m_BufferSize : m_AllocatedSize; }
  void STDMETHODCALLTYPE SetBufferSize(ULONG bufferSize) override;
  PVOID STDMETHODCALLTYPE SystemAddress() override { return m_Buffer; }
  PHYSICAL_ADDRESS STDMETHODCALLTYPE PhysicalAddress() override;
  PADAPTER_OBJECT STDMETHODCALLTYPE GetAdapterObject() override { return nullptr; }
  void STDMETHODCALLTYPE CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
  void STDMETHODCALLTYPE CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

  // ---- IDrmAudioStream
  NTSTATUS STDMETHODCALLTYPE SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) override;

  // The engine's notifications (context: the stream; argument 1: a
  // CyclicControlNotify).
  static void OnCyclicControl(PVOID context, PVOID argument1, PVOID argument2);

  // ---- Read-outs
  KSSTATE GetState() const { return m_State; }
  const WAVEFORMATEXTENSIBLE& GetStreamFormat() const { return m_StreamFormat; }
  ULONG GetCopyOffset() const { return m_CopyOffset; }
  ULONG GetInFlightCap() const { return m_InFlightCap; }
  ULONG GetPlayPosition() const { return m_Position; }
  NTSTATUS GetStreamError() const { return m_StreamError; }

 private:
  struct TransferHistory {
    ULONG bytes[WAVE_STREAM_HISTORY];
    ULONG read;
    ULONG write;
  };

  // The size Init and SetFormat give the buffer: 50 ms of `format`.
  static ULONG BufferBytesFor(const WAVEFORMATEX& format);
  // Copies 18 + cbSize bytes, at most 40, into the stream format.
  void TakeFormat(const WAVEFORMATEX* format);
  // Drops the engine registration (StopClient, UnprepareClient,
  // UnregisterClient); the last call's status.
  NTSTATUS LeaveEngine(ICyclicControl* control);
  NTSTATUS JoinEngine(ICyclicControl* control);
  void ClearPositions();

  // ---- Under the stream lock
  void HandleFormat(const CyclicControlNotify& notify);
  void SetRateConversion(const WAVEFORMATEXTENSIBLE& deviceFormat);
  ULONG DeviceToStreamBytes(ULONG deviceBytes);
  void FillRenderBuffer(PUCHAR packet, ULONG length, bool copy);
  void AdvancePosition(ULONG deviceBytes);
  void StoreCaptureData(const UCHAR* data, ULONG length);
  // The engine stopped the stream by itself: the position stays, and
  // GetPosition answers with `status` until the stream runs again.
  void StreamFailed(NTSTATUS status);
  // The engine starts and stops the record under its own lock, not this one.
  bool OwnRecordStarted() const { return m_ClientRecord && ReadUCharNoFence(&m_ClientRecord->Started); }
  bool InsideBuffer(const void* start, ULONG byteCount) const;

  IWaveCyclicStreamOwner* m_Miniport = nullptr;  // no reference
  IStreamEngine* m_Engine = nullptr;          // referenced
  KSSTATE m_State = KSSTATE_STOP;
  ULONG m_NotificationInterval = 0;
  PVOID m_ClientHandle = nullptr;
  StreamClientRecord* m_ClientRecord = nullptr;
  PSERVICEGROUP m_ServiceGroup = nullptr;  // referenced
  WAVEFORMATEXTENSIBLE m_StreamFormat{};
  PUCHAR m_Buffer = nullptr;
  ULONG m_AllocatedSize = 0;
  ULONG m_Position = 0;
  ULONG m_BufferSize = 0;
  ULONG m_ReportedPosition = 0;
  ULONG m_CopyOffset = 0;
  ULONG m_InFlightCap = 0;
  LONGLONG m_TimeStamp = 0;  // 10-microsecond units
  NTSTATUS m_StreamError = STATUS_SUCCESS;
  KSPIN_LOCK m_Lock;
  UCHAR m_Capture = 0;
  UCHAR m_Counted = 0;
  TransferHistory m_History{};
  bool m_RatesDiffer = false;
  LONG m_DeviceRemainder = 0;
  ULONG m_StreamBytesPerMs = 0;
  ULONG m_StreamThousandths = 0;
  LONG m_StreamAccumulator = 0;
  ULONG m_DeviceBytesPerMs = 0;
  ULONG m_DeviceThousandths = 0;
  LONG m_DeviceAccumulator = 0;
  CDspInterleaveSrc* m_Converter = nullptr;
  WAVEFORMATEXTENSIBLE m_DeviceFormat{};
};
