// The stream engine of one USB AudioStreaming interface: a CStreamEngine
// that also moves the audio over the interface's isochronous data endpoint.
// It keeps the formats of the interface with the alternate setting that
// carries each, serves the stream clients (ICyclicControl), forwards DRM
// content ids to the USB stack, and runs one system thread that refills the
// pipeline when asked and recovers from transfer errors.
//
// The direction classes (CUac1Capture, CUac1Render, CTQ4187Render) supply
// opening, alternate-setting selection and the send and completion paths.
// Until those exist the engine is what the descriptor parser needs: it is
// created, initialised (callback object, stream thread, stream limiter),
// given its formats and nodes, and torn down again; every streaming
// operation answers STATUS_NOT_IMPLEMENTED.
#pragma once

#include "driver/common/CStreamEngine.h"

class CPeakLimiter;

constexpr ULONG USB_STREAM_FORMAT_TAG = MakeTag("USBS");
constexpr ULONG USB_STREAM_RING_TAG = MakeTag("US10");
constexpr ULONG USB_STREAM_URB_TAG = MakeTag("URB ");

// Packets of an engine: at most this many URBs are ever in flight.
constexpr ULONG USB_STREAM_PACKETS = 10;
constexpr ULONG USB_STREAM_DEFAULT_MS_PER_URB = 10;

// The stream thread starts at the highest priority and settles at once.
constexpr KPRIORITY USB_STREAM_THREAD_START_PRIORITY = 31;
constexpr KPRIORITY USB_STREAM_THREAD_PRIORITY = 24;

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

struct StreamPacket;

class CUsbStreamEngine : public ICyclicControl, public IDrmContentForward, public CStreamEngine {
 public:
  // The engine id is the AudioStreaming interface number.
  CUsbStreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);
  ~CUsbStreamEngine() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ICyclicControl (the stream-client protocol comes with streaming)
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
  virtual void ThreadMain();
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
  // The last attached node with that id (no reference added).
  NTSTATUS FindNode(ULONG nodeId, ITopoNode** node);

  ULONG GetTerminalNodeId() const { return m_TerminalNodeId; }
  ULONG GetFormatRecordCount() const;
  PCALLBACK_OBJECT GetCyclicCallbackObject() const { return m_CyclicCallbackObject; }
  PKTHREAD GetStreamThread() const { return m_StreamThread; }
  CPeakLimiter* GetStreamLimiter() const { return m_StreamLimiter; }
  ULONG GetStreamState() const { return m_StreamState; }

 protected:
  static void ThreadStart(PVOID context);
  // Asks the owner for the device object's USB services (with a reference).
  IUsbDevice* QueryUsbDevice();

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
  KEVENT m_IdleEvent;         // signalled while no URB is in flight
  KEVENT m_StopEvent;         // ends the stream thread
  KEVENT m_ThreadEndedEvent;  // the stream thread has left its loop
  KEVENT m_KickEvent;         // work for the stream thread
  StreamClientRecord* m_ActiveClient = nullptr;
  StreamClientRecord* m_FormatOwner = nullptr;
  KSPIN_LOCK m_PacketLock;
  StreamPacket* m_InFlightSlots[USB_STREAM_PACKETS] = {};
  StreamPacket* m_FreeSlots[USB_STREAM_PACKETS] = {};
  PKTHREAD m_StreamThread = nullptr;  // referenced
  PCALLBACK_OBJECT m_CyclicCallbackObject = nullptr;
  CPeakLimiter* m_StreamLimiter = nullptr;
};
