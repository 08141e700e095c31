// The base of every stream engine, one per AudioStreaming interface. It names
// the engine, keeps its wave formats, the topology nodes attached to it and
// its processor and client lists, owns the engine's wave filter (port,
// subdevice registration, physical connection to the topology filter) and
// its named callback object.
//
// The wave port field is the subdevice state: null means no wave filter is
// registered. Names, formats, attached nodes and the subdevice fields are
// written at PASSIVE_LEVEL on the start, plug-and-play and control paths only
// and read afterwards without a lock.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "driver/common/CPointerList.h"
#include "driver/common/PrivateInterfaces.h"

constexpr ULONG STREAM_ENGINE_TAG = MakeTag("Stre");

// The engine's work area for the software signal path: every buffer is
// processed in chunks of at most STREAM_ENGINE_CHUNK_FRAMES frames of at most
// eight channels.
constexpr ULONG STREAM_ENGINE_WORK_BUFFER_BYTES = 16384;
constexpr ULONG STREAM_ENGINE_CHANNEL_BUFFERS = 8;
constexpr ULONG STREAM_ENGINE_CHANNEL_BUFFER_BYTES = 2048;
constexpr ULONG STREAM_ENGINE_CHUNK_FRAMES = STREAM_ENGINE_CHANNEL_BUFFER_BYTES / sizeof(float);
static_assert(STREAM_ENGINE_WORK_BUFFER_BYTES ==
              STREAM_ENGINE_CHUNK_FRAMES * STREAM_ENGINE_CHANNEL_BUFFERS * sizeof(float));

// The wave filter's bridge pin, the end of the physical connection.
constexpr ULONG WAVE_FILTER_BRIDGE_PIN = 1;

// m_StreamState
constexpr ULONG STREAM_STATE_CLOSED = 0;
constexpr ULONG STREAM_STATE_OPEN = 1;
constexpr ULONG STREAM_STATE_RUNNING = 2;

class CStreamEngine : public IStreamEngine, public CUnknownBase {
 public:
  CStreamEngine(PUNKNOWN outerUnknown, ULONG engineId);
  ~CStreamEngine() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IStreamEngine
  ULONG STDMETHODCALLTYPE IsCapture() override { return m_Direction; }
  ULONG STDMETHODCALLTYPE GetPinCategory() override;
  NTSTATUS STDMETHODCALLTYPE SetName(PCWSTR name) override;
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR name) override;
  ULONG STDMETHODCALLTYPE GetFormatCount() override;
  NTSTATUS STDMETHODCALLTYPE GetFormat(ULONG index, PWAVEFORMATEXTENSIBLE format) override;
  ULONG STDMETHODCALLTYPE GetAttachedNodeCount() override;
  NTSTATUS STDMETHODCALLTYPE GetAttachedNode(ULONG index, ITopoNode** node) override;
  NTSTATUS STDMETHODCALLTYPE SetWaveMiniportFactory(PFNCREATEWAVEMINIPORT factory, REFCLSID classId) override;
  NTSTATUS STDMETHODCALLTYPE SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) override;
  NTSTATUS STDMETHODCALLTYPE UpdateSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter) override;
  NTSTATUS STDMETHODCALLTYPE RemoveSubdevice(PDEVICE_OBJECT deviceObject) override;
  NTSTATUS STDMETHODCALLTYPE FindFormat(PWAVEFORMATEX format) override;
  NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                              PVOID* registration) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID registration) override;
  NTSTATUS STDMETHODCALLTYPE PowerChangeState(DEVICE_POWER_STATE newState) override;
  // ---- The software signal path (StreamProcessing.cpp)
  // The whole path over one interleaved buffer in the engine's current
  // format, at DISPATCH_LEVEL under the engine spin lock: node processors,
  // then capture-side, then render-side client processors, 512 frames at a
  // time. Integer PCM is processed as float channels and written back.
  NTSTATUS STDMETHODCALLTYPE ProcessBuffer(PVOID buffer, LONG bufferBytes) override;
  // One list over a whole buffer, as ProcessBuffer does it but without the
  // lock (the caller holds it or knows the lists cannot change).
  NTSTATUS STDMETHODCALLTYPE RunNodeProcessors(PVOID buffer, LONG bufferBytes) override;
  NTSTATUS STDMETHODCALLTYPE RunCaptureProcessors(PVOID buffer, LONG bufferBytes) override;
  NTSTATUS STDMETHODCALLTYPE RunRenderProcessors(PVOID buffer, LONG bufferBytes) override;
  // One list over one chunk already in place: for PCM (tag 1) on the channel
  // buffers, at most STREAM_ENGINE_CHUNK_FRAMES frames; for any other tag
  // the node processors get `buffer`, interleaved, as it stands.
  NTSTATUS STDMETHODCALLTYPE RunNodeProcessorsFloat(PVOID buffer, ULONG frames, ULONG formatTag) override;
  NTSTATUS STDMETHODCALLTYPE RunCaptureProcessorsFloat(ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE RunRenderProcessorsFloat(ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Init(ULONG direction) override;

  // ---- Called by the parsers and the hardware model
  NTSTATUS AllocateWorkBuffers();
  NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* format);
  NTSTATUS AttachNode(ITopoNode* node);
  NTSTATUS AddNodeProcessor(IDspProcessor* processor);
  // Whether a terminal of the engine's direction is there (a jack connected,
  // or no jacks to tell); a failure when it cannot be told.
  NTSTATUS IsTerminalPresent(BOOLEAN* present);
  NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter);

  // ---- Client processors (engine spin lock inside; PASSIVE_LEVEL callers
  // under the engine mutex). A client keeps its own reference while its
  // processor is listed, so the list's Release is never the last.
  NTSTATUS AddRenderProcessor(IToneNode* processor);
  NTSTATUS AddCaptureProcessor(IToneNode* processor);
  // STATUS_UNSUCCESSFUL when that very processor is not listed.
  NTSTATUS RemoveRenderProcessor(IToneNode* processor);
  NTSTATUS RemoveCaptureProcessor(IToneNode* processor);
  void ReleaseRenderProcessors() { ReleaseProcessors(m_RenderProcessors); }
  void ReleaseCaptureProcessors() { ReleaseProcessors(m_CaptureProcessors); }
  // The list a client's processor joins follows the engine's direction and
  // the client's kind: kind 1 works on the engine's own direction, kind 2 on
  // the other one. Adding for any other kind attaches nothing and succeeds;
  // removing for any other kind is STATUS_INVALID_PARAMETER.
  NTSTATUS AddClientProcessor(ULONG clientKind, IToneNode* processor);
  NTSTATUS RemoveClientProcessor(ULONG clientKind, IToneNode* processor);

  ULONG GetEngineId() const { return m_EngineId; }
  // The processors the signal path runs on every buffer (attached nodes that
  // process in software and stand-alone ones).
  ULONG GetNodeProcessorCount() const {
    return m_NodeProcessors ? static_cast<ULONG>(m_NodeProcessors->GetCount()) : 0;
  }
  // The registered wave port (no reference added), null while none is.
  PUNKNOWN GetWavePort() const { return m_WavePort; }
  ULONG GetTopologyPin() const { return m_TopologyPin; }

 protected:
  // The format list an engine offers: render engines of a stereo output
  // category offer only their two-channel formats when they have any.
  CPointerList* AdvertisedFormats();
  NTSTATUS UnregisterWaveSubdevice(PDEVICE_OBJECT deviceObject);
  // Takes every entry off a client-processor list and releases it.
  void ReleaseProcessors(CPointerList* list);
  NTSTATUS AddProcessor(CPointerList* list, IToneNode* processor);
  // Links a node made beforehand for a processor (its item) and references
  // the processor; nothing here can fail.
  void AttachProcessor(CPointerList* list, PointerListNode* node);
  NTSTATUS RemoveProcessor(CPointerList* list, IToneNode* processor);
  // The render-side or capture-side list for a client kind, or null.
  CPointerList* ClientProcessorList(ULONG clientKind) const;
  // m_StreamState as the word the interlocked operations change.
  LONG volatile* StreamStateWord() { return reinterpret_cast<LONG volatile*>(&m_StreamState); }

  // ---- Processing internals (StreamProcessing.cpp)
  enum ProcessLists : ULONG {
    PROCESS_NODE = 0x1,
    PROCESS_CAPTURE = 0x2,
    PROCESS_RENDER = 0x4,
  };
  // The common body of ProcessBuffer and the three whole-buffer runs: size
  // and format checks, MXCSR, chunking and conversion over the given lists.
  NTSTATUS ProcessWholeBuffer(PVOID buffer, LONG bufferBytes, ULONG lists, bool takeLock);
  NTSTATUS ProcessChunks(PUCHAR buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format, ULONG lists);
  void PcmToFloatChannels(const UCHAR* buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format);
  void FloatChannelsToPcm(PUCHAR buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format);
  NTSTATUS RunNodeList(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames);
  NTSTATUS RunClientList(CPointerList* list, bool render, const WAVEFORMATEXTENSIBLE* format, ULONG frames);

  ULONG m_EngineId;
  ULONG m_Direction = STREAM_DIRECTION_RENDER;
  PWSTR m_Name = nullptr;
  PUNKNOWN m_WavePort = nullptr;
  GUID m_WaveClassId{};
  PFNCREATEWAVEMINIPORT m_WaveMiniportFactory = nullptr;
  PUNKNOWN m_TopologyPort = nullptr;
  ISubdeviceInfo* m_TopologySubdeviceInfo = nullptr;  // no reference: the port keeps the miniport
  ULONG m_TopologyPin = 0;
  CPointerList* m_NodeProcessors = nullptr;  // IDspProcessor*, one reference each
  CPointerList* m_AttachedNodes = nullptr;   // ITopoNode*, one reference each
  CPointerList* m_Formats = nullptr;         // owned 40-byte WAVEFORMATEXTENSIBLE copies
  CPointerList* m_RegisteredClients = nullptr;
  CPointerList* m_PreparedClients = nullptr;
  CPointerList* m_RunningClients = nullptr;
  // Client processors (IToneNode*), one reference each.
  CPointerList* m_CaptureProcessors = nullptr;
  CPointerList* m_RenderProcessors = nullptr;
  CPointerList* m_StereoFormats = nullptr;
  float* m_WorkBuffer = nullptr;
  float** m_ChannelBuffers = nullptr;
  ULONG m_StreamState = STREAM_STATE_CLOSED;
  // The client operations hold it and call the engine operations, which take
  // it again: the mutex is recursive for its holder.
  CKernelMutex m_EngineMutex;
  KSPIN_LOCK m_EngineLock{};
  PCALLBACK_OBJECT m_CallbackObject = nullptr;
  WAVEFORMATEXTENSIBLE m_CurrentWaveFormat{};
};
