// The stream engine of one USB AudioStreaming interface: a CStreamEngine
// that also moves the audio over the interface's isochronous data endpoint.
// It keeps the formats of the interface with the alternate setting that
// carries each, serves the stream clients (ICyclicControl), forwards DRM
// content ids to the USB stack, and runs one system thread that refills the
// pipeline when asked and recovers from transfer errors.
//
// The direction classes (CUac1Capture, CUac1Render, CTQ4187Render) supply
// opening, alternate-setting selection and the send and completion paths;
// the base gives them the packet pool, the IRP and URB set-up, the
// outstanding-URB accounting and the interface selection they share.
#pragma once

#include "driver/common/CStreamEngine.h"

class CPeakLimiter;

constexpr ULONG USB_STREAM_FORMAT_TAG = MakeTag("USBS");
constexpr ULONG USB_STREAM_RING_TAG = MakeTag("US10");
constexpr ULONG USB_STREAM_URB_TAG = MakeTag("URB ");

// Packets of an engine: at most this many URBs are ever in flight.
constexpr ULONG USB_STREAM_PACKETS = 10;
constexpr ULONG USB_STREAM_DEFAULT_MS_PER_URB = 10;

// Bytes one packet of an endpoint may carry: the size field and, at high
// speed, the extra transactions per microframe of bits 11-12.
constexpr ULONG UsbEndpointPacketBytes(USHORT maxPacketSize) {
  return static_cast<ULONG>(maxPacketSize & 0x7FF) * (1 + ((maxPacketSize >> 11) & 3));
}

// Isochronous packets per millisecond of a data endpoint: 8 >> (bInterval
// - 1) at high speed (bInterval 1..4), else 1, so that no size or rate
// derived from it becomes zero.
constexpr ULONG UsbPacketsPerMs(UCHAR bInterval, bool highSpeed) {
  const UCHAR interval = bInterval == 0 ? 1 : bInterval;
  return highSpeed && interval <= 4 ? (8u >> (interval - 1)) : 1;
}

// Bytes of a stream URB of n isochronous packets, as the pool sizes them.
constexpr ULONG UsbStreamUrbBytes(ULONG packets) {
  return static_cast<ULONG>(sizeof(URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * packets);
}

// The stream thread starts at the highest priority and settles at once.
constexpr KPRIORITY USB_STREAM_THREAD_START_PRIORITY = 31;
constexpr KPRIORITY USB_STREAM_THREAD_PRIORITY = 24;

// Recoveries in a row without one good transfer before the stream gives up
// and tells its clients (CYCLIC_COMMAND_ERROR).
constexpr LONG USB_STREAM_MAX_RECOVERIES = 3;

// m_WorkFlag
constexpr LONG USB_STREAM_WORK_NONE = 0;
constexpr LONG USB_STREAM_WORK_RESUBMIT = 1;
constexpr LONG USB_STREAM_WORK_ERROR = 2;

// DRM content ids go to the USB stack below the engine's data pipe.
inline constexpr GUID IID_IDrmContentForward =
    DEFINE_GUID_VALUE(0xAA68946D, 0x7D26, 0x4137, 0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC);
struct IDrmContentForward : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE ForwardContentId(ULONG contentId) = 0;
};

// One format of the interface and the alternate setting that carries it.
struct UsbFormatRecord {
  UCHAR AlternateSetting;
  WAVEFORMATEXTENSIBLE Format;
};

class CUsbStreamEngine;

// One transfer of the pipeline: an IRP, its isochronous URB and the buffer
// the URB carries. Ten are made when the engine opens and reused until it
// closes; a packet is always in exactly one of the engine's two slot arrays,
// at its own index.
struct StreamPacket {
  PIRP Irp;
  PURB Urb;
  CUsbStreamEngine* Owner;
  ULONG ByteCount;  // bytes the URB carries
  PUCHAR Buffer;
  ULONG Index;  // slot 0..9
};

class CUsbStreamEngine : public ICyclicControl, public IDrmContentForward, public CStreamEngine {
 public:
  // The engine id is the AudioStreaming interface number.
  CUsbStreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);
  ~CUsbStreamEngine() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ICyclicControl: the stream-client protocol. A Register, Prepare or
  // Start that fails leaves the client where it was. Stop and Unprepare move
  // every client they find, allocating nothing: a failure they report is the
  // engine's, reopening for the clients that stay, and a leaving client is
  // never stranded on a list after its owner has gone.
  NTSTATUS STDMETHODCALLTYPE RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                            ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                            StreamClientRecord** record) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterClient(PVOID handle) override;
  NTSTATUS STDMETHODCALLTYPE StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb,
                                         IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE StopClient(PVOID handle, IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) override;
  NTSTATUS STDMETHODCALLTYPE UnprepareClient(PVOID handle) override;

  // ---- IDrmContentForward
  NTSTATUS STDMETHODCALLTYPE ForwardContentId(ULONG contentId) override;

  // ---- The engine's own operations, overridden by the direction classes
  virtual NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client);
  virtual void FreePackets();
  virtual NTSTATUS AbortPipe();
  virtual NTSTATUS RecoverFromError();
  virtual NTSTATUS ResetInterface();
  virtual NTSTATUS Restart();
  virtual NTSTATUS SendStreamUrb();
  virtual NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet);
  // Not virtual: the thread enters it while the engine may already be in
  // its destructor, before that stops the thread.
  void ThreadMain();
  virtual NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame);
  virtual NTSTATUS Close();
  virtual NTSTATUS Start(ULONG startFrame, BOOLEAN explicitStartFrames);
  virtual NTSTATUS Stop();
  virtual BOOLEAN IsAlternateSettingValid() { return TRUE; }

  // ---- Called by the descriptor parser
  using CStreamEngine::Init;
  // CStreamEngine::Init, the engine's callback object, its stream thread and
  // its stream limiter. `owner` is the hardware model (no reference: the
  // model owns the engine). A missing limiter does not fail Init.
  NTSTATUS Init(ULONG direction, IAudioHal* owner);
  using CStreamEngine::AddFormat;
  // Adds the format to the engine's lists and remembers its alternate setting.
  NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* format, UCHAR alternateSetting);
  // The alternate setting of the first record matching `format`.
  NTSTATUS FindAlternateSetting(const WAVEFORMATEXTENSIBLE* format, PUCHAR alternateSetting);
  // Takes every format `match` accepts off the engine and frees it: from the
  // stereo list, the main list and the alternate-setting records, in that
  // order. For engines whose formats follow what the device is set to; the
  // caller keeps the wave filter unregistered meanwhile.
  void RemoveFormats(bool (*match)(const WAVEFORMATEXTENSIBLE& format));
  // The last attached node with that id (no reference added).
  NTSTATUS FindNode(ULONG nodeId, ITopoNode** node);

  ULONG GetTerminalNodeId() const { return m_TerminalNodeId; }
  ULONG GetFormatRecordCount() const;
  PCALLBACK_OBJECT GetCyclicCallbackObject() const { return m_CyclicCallbackObject; }
  PKTHREAD GetStreamThread() const { return m_StreamThread; }
  CPeakLimiter* GetStreamLimiter() const { return m_StreamLimiter; }
  // Read atomically: the completion paths and other callers do not hold the
  // mutex under which Start and Stop change the state with interlocked
  // operations.
  ULONG GetStreamState() const {
    return static_cast<ULONG>(ReadNoFence(reinterpret_cast<LONG const volatile*>(&m_StreamState)));
  }
  bool StreamRunning() const { return GetStreamState() == STREAM_STATE_RUNNING; }
  // Why the running stream stopped by itself (STATUS_SUCCESS while it has
  // not); the next Start clears it.
  NTSTATUS GetStreamError() const { return m_StreamError; }
  StreamClientRecord* GetActiveClient() const { return m_ActiveClient; }
  StreamClientRecord* GetFormatOwner() const { return m_FormatOwner; }
  LONG GetOutstandingUrbs() const { return m_OutstandingUrbs; }

  // The current USB frame number; 0 when the bus does not report one.
  ULONG GetCurrentFrameNumber();
  // Isochronous packets per millisecond of the data endpoint of an
  // alternate setting: 8 >> (bInterval - 1) at high speed, else 1.
  ULONG GetPacketsPerFrame(UCHAR alternateSetting);

  // The IRP completion routine of every stream URB; `context` is the packet.
  static NTSTATUS UrbCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

 protected:
  static void ThreadStart(PVOID context);
  // Asks the owner for the device object's USB services (with a reference).
  IUsbDevice* QueryUsbDevice();

  // ---- Packet pool (the open path builds it, Close frees it)
  // The three lookaside lists: URBs of `urbBytes`, transfer buffers of
  // `bufferBytes`, packet records.
  void InitLookasideLists(ULONG urbBytes, ULONG bufferBytes);
  void DeleteLookasideLists();
  // One packet: record, buffer, URB and an IRP whose status is preset to
  // STATUS_NOT_SUPPORTED. On failure gives everything back.
  NTSTATUS AllocatePacket(StreamPacket** slot);
  // Lookaside lists and all ten packets, packet i in free slot i; on
  // failure everything made so far is given back.
  NTSTATUS BuildPacketPool(ULONG urbBytes, ULONG bufferBytes);
  // The first free packet below urbCount (never more than ten), moved to
  // its in-flight slot; null when all of them are in flight.
  StreamPacket* ClaimPacket();
  // Back to its free slot, its IRP ready for reuse.
  void ReleasePacket(StreamPacket* packet);
  void FreePacket(StreamPacket* packet);
  // The same over another set of slots (a pipe with a second packet set).
  StreamPacket* ClaimFromSlots(StreamPacket** freeSlots, StreamPacket** inFlightSlots, KSPIN_LOCK* lock);
  void ReleaseToSlots(StreamPacket* packet, StreamPacket** freeSlots, StreamPacket** inFlightSlots, KSPIN_LOCK* lock);
  void FreeSlots(StreamPacket** freeSlots, StreamPacket** inFlightSlots);

  // ---- Send path helpers (the caller holds the send lock)
  // Zero-fills the packet's URB (UsbStreamUrbBytes) for `packets`
  // isochronous packets: header, data pipe, buffer, flags (with ASAP unless
  // explicit start frames are on) and the start frame, which then advances
  // by msPerUrb. The pipe lays out
  // IsoPacket[] and TransferBufferLength.
  void BuildIsochUrb(StreamPacket* packet, ULONG packets, ULONG transferFlags);
  // Sets up the IRP for the URB, counts it outstanding and passes it down;
  // `completion` gets the packet (the data URBs' routine unless given).
  NTSTATUS SubmitPacket(IUsbDevice* usb, StreamPacket* packet, PIO_COMPLETION_ROUTINE completion = nullptr);
  // One URB of `packets` packets, sent under the send lock while the device
  // is there and the engine runs: `layOut(packet)` fills in the packet
  // table, TransferBufferLength and the buffer of the claimed packet.
  template <typename LayOut>
  NTSTATUS SendOneUrb(ULONG packets, ULONG transferFlags, LayOut layOut) {
    return SendOneUrb(packets, transferFlags, [](IUsbDevice*) { return STATUS_SUCCESS; }, layOut);
  }
  // The same, with `prelude(usb)` run under the lock before the packet is
  // claimed; a failure it returns ends the send with that status.
  template <typename Prelude, typename LayOut>
  NTSTATUS SendOneUrb(ULONG packets, ULONG transferFlags, Prelude prelude, LayOut layOut) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SendLock, &irql);
    IUsbDevice* usb = QueryUsbDevice();
    NTSTATUS status = STATUS_SUCCESS;
    if (!usb) {
      status = STATUS_UNSUCCESSFUL;
    } else if (!NT_SUCCESS(m_StreamError)) {
      status = m_StreamError;
    } else if (!m_DeviceRemoved && StreamRunning() &&
               NT_SUCCESS(status = prelude(usb))) {
      StreamPacket* packet = ClaimPacket();
      if (!packet) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        BuildIsochUrb(packet, packets, transferFlags);
        layOut(packet);
        packet->ByteCount = packet->Urb->UrbIsochronousTransfer.TransferBufferLength;
        status = SubmitPacket(usb, packet);
      }
    }
    if (usb) usb->Release();
    KeReleaseSpinLock(&m_SendLock, irql);
    return status;
  }
  // urbCount sends (at most the pool); a full pipeline is no failure.
  NTSTATUS SendPipeline();
  // An open that failed after taking the engine: the ring, the pipe table,
  // the packets and their lists go, and the engine is closed again.
  void AbandonOpen();
  // A render URB's transfer buffer: silence where the active client does
  // not fill it, then the engine's signal path over `bytes` (never more
  // than the buffer holds).
  void FillRenderBuffer(StreamPacket* packet, ULONG bytes);
  // The outstanding count and the idle event that follows it.
  void AddOutstandingUrb();
  void DropOutstandingUrb();
  // Completion-side work flag: an error asks the thread for one recovery;
  // a success ends a run of recoveries and answers TRUE when the caller may
  // resubmit (no error pending).
  void ReportTransferError();
  BOOLEAN MayResubmit();
  // The stream thread's answer to a transfer error: a recovery, or, after
  // too many in a row or when recovery itself fails, the end of the stream.
  void HandleTransferError();
  // Ends the running stream with `status`: every URB back, nothing sent
  // until the next Start, and the clients told.
  void FailStream(NTSTATUS status);

  // ---- Interface selection shared by the pipes
  // The AudioStreaming interface descriptor of this engine's interface in
  // that alternate setting, or null.
  PUSB_INTERFACE_DESCRIPTOR FindStreamingInterface(IUsbDevice* usb, UCHAR alternateSetting);
  // SELECT_INTERFACE of the setting, the pipe table from its answer, the
  // data pipe (the last IN pipe for capture, the last OUT pipe for render),
  // the sampling-frequency request for a client's format and the busy mark.
  // Capture sends the rate whenever a client is given and returns its
  // status; render sends it only for a streaming setting and returns the
  // status of the selection.
  NTSTATUS SelectStreamingInterface(UCHAR alternateSetting, StreamClientRecord* client, BOOLEAN capture);

  // ---- Client lists (engine spin lock inside)
  StreamClientRecord* FirstPreparedClient();
  StreamClientRecord* FirstRunningClient();
  StreamClientRecord* FindPreparedClient(PVOID handle);
  StreamClientRecord* FindRegisteredClient(PVOID handle);
  NTSTATUS InsertPreparedClient(StreamClientRecord* record);
  NTSTATUS InsertRunningClient(StreamClientRecord* record);
  NTSTATUS AddRegisteredClient(StreamClientRecord* record);
  StreamClientRecord* RemovePreparedClient(PVOID handle);
  StreamClientRecord* RemoveRunningClient(PVOID handle);
  StreamClientRecord* RemoveRegisteredClient(PVOID handle);
  // A prepared record's own node goes to the registered list's tail.
  void MoveToRegisteredClients(PVOID handle);

  // Stop and close whatever is open, then open for `owner`, which becomes
  // the format owner (none when the open fails).
  NTSTATUS ReopenForFormatOwner(StreamClientRecord* owner, PULONG currentFrame);

  // CYCLIC_COMMAND_FORMAT for a client: its msPerUrb (| flag) and urbCount.
  void NotifyFormat(StreamClientRecord* client, ULONG flag);
  void Notify(CyclicControlNotify* notify);

  PUCHAR m_CaptureRing = nullptr;
  ULONG m_RingSize = 0;
  ULONG m_RingRead = 0;
  ULONG m_RingWrite = 0;
  IAudioHal* m_Owner = nullptr;
  ULONG m_TerminalNodeId;
  CPointerList* m_FormatRecords = nullptr;  // UsbFormatRecord*, owned
  ULONG m_PacketsPerMs = 1;
  ULONG m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
  ULONG m_UrbCount = USB_STREAM_PACKETS;
  ULONG m_SamplesPerPacket = 0;
  volatile UCHAR m_DeviceRemoved = 0;
  PUSBD_INTERFACE_INFORMATION m_PipeTable = nullptr;
  UCHAR m_PipeIndex = 0;
  ULONG m_NextStartFrame = 0;
  BOOLEAN m_ExplicitStartFrames = FALSE;
  KSPIN_LOCK m_SendLock;
  volatile LONG m_OutstandingUrbs = 0;
  volatile LONG m_WorkFlag = USB_STREAM_WORK_NONE;
  volatile LONG m_RecoveriesInARow = 0;
  volatile NTSTATUS m_StreamError = STATUS_SUCCESS;
  KEVENT m_IdleEvent;         // signalled while no URB is in flight
  KEVENT m_StopEvent;         // ends the stream thread
  KEVENT m_ThreadEndedEvent;  // the stream thread has left its loop
  KEVENT m_KickEvent;         // work for the stream thread
  StreamClientRecord* m_ActiveClient = nullptr;
  StreamClientRecord* m_FormatOwner = nullptr;
  KSPIN_LOCK m_PacketLock;
  StreamPacket* m_InFlightSlots[USB_STREAM_PACKETS] = {};
  StreamPacket* m_FreeSlots[USB_STREAM_PACKETS] = {};
  NPAGED_LOOKASIDE_LIST m_UrbLookaside{};
  NPAGED_LOOKASIDE_LIST m_PacketLookaside{};
  NPAGED_LOOKASIDE_LIST m_BufferLookaside{};
  BOOLEAN m_LookasideReady = FALSE;
  ULONG m_PacketBufferBytes = 0;    // each packet's transfer buffer
  volatile LONG m_PassingDown = 0;  // a send is inside CallLowerDriver
  BOOLEAN m_BusyMarked = FALSE;     // a streaming setting holds one busy mark
  PKTHREAD m_StreamThread = nullptr;  // referenced
  PCALLBACK_OBJECT m_CyclicCallbackObject = nullptr;
  CPeakLimiter* m_StreamLimiter = nullptr;
};
