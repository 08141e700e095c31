// The ASIO host's private interface as the driver and a host share it: the
// latency table, the sample types, the shared block a host gets per stream
// engine and the records its I/O controls carry; and the driver's own
// records of the interface's clients and of each engine's shared block.
//
// Every record is little-endian and 32-bit aligned; none holds a pointer, so
// a 32-bit and a 64-bit host see the same layout. The one exception is the
// answer to IOCTL_ASIO_CREATE_BUFFERS, one user address per engine, whose
// width follows the caller's (AsioIoctlTable.h).
#pragma once

#include "driver/AsioDeviceLink.h"
#include "driver/common/CKernelMutex.h"
#include "driver/common/PrivateInterfaces.h"

// ---- Latencies ------------------------------------------------------------------------
// The buffer lengths a host chooses from, in milliseconds, by index.
constexpr ULONG ASIO_LATENCY_COUNT = 9;
inline constexpr ULONG AsioLatencyTable[ASIO_LATENCY_COUNT] = {2, 4, 6, 8, 10, 20, 30, 40, 50};
constexpr ULONG ASIO_MAX_LATENCY_INDEX = ASIO_LATENCY_COUNT - 1;

// ---- Sample types -----------------------------------------------------------------------
// The host's sample-type codes this driver serves. DSD is only ever
// reported, for a client in DSD mode.
constexpr ULONG ASIO_SAMPLE_INT16 = 16;
constexpr ULONG ASIO_SAMPLE_INT24 = 17;  // packed in three bytes
constexpr ULONG ASIO_SAMPLE_INT32 = 18;
constexpr ULONG ASIO_SAMPLE_INT32_16 = 24;  // 32-bit container, 16 valid bits
constexpr ULONG ASIO_SAMPLE_INT32_18 = 25;
constexpr ULONG ASIO_SAMPLE_INT32_20 = 26;
constexpr ULONG ASIO_SAMPLE_INT32_24 = 27;
constexpr ULONG ASIO_DSD_SAMPLE_TYPE = 33;
// A DSD frame carries 64 one-bit samples per channel.
constexpr ULONG ASIO_DSD_BYTES_PER_SAMPLE = 8;
constexpr ULONG ASIO_DSD_MIN_RATE = 2822400;

struct AsioSampleType {
  ULONG Code;
  USHORT ContainerBits;
  USHORT ValidBits;
};
// The PCM types, in the order GetSampleTypes lists what every engine can
// carry.
inline constexpr AsioSampleType AsioPcmSampleTypes[] = {
    {ASIO_SAMPLE_INT16, 16, 16},    {ASIO_SAMPLE_INT24, 24, 24},    {ASIO_SAMPLE_INT32_16, 32, 16},
    {ASIO_SAMPLE_INT32_24, 32, 24}, {ASIO_SAMPLE_INT32, 32, 32},    {ASIO_SAMPLE_INT32_18, 32, 18},
    {ASIO_SAMPLE_INT32_20, 32, 20},
};
// Null for any code that is not a PCM type above (DSD included).
const AsioSampleType* FindAsioSampleType(ULONG code);
// 2, 3 or 4 for a PCM type; 0 for anything else.
ULONG AsioBytesPerSample(ULONG code);

// Data-format subtype of DSD stream formats.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_DSD =
    DEFINE_GUID_VALUE(0x00006B3E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

// ---- The shared block ------------------------------------------------------------------------
// One per ASIO-capable engine: this header, then `Size` bytes of ring holding
// interleaved frames in the engine's USB format. The driver writes the
// header; a host reads Position and Transfers to know how far the engine has
// come, and keeps PreRoll bytes of render data ahead of Position.
struct AsioChannelBlockHeader {
  ULONG Selected;      // the host asked for a channel of this engine
  ULONG IsInput;       // 1 capture, 0 render
  ULONG Channels;      // channels of the engine
  ULONG FirstChannel;  // host channel number of the engine's first channel, per direction
  ULONG Size;          // bytes of the ring
  ULONG Position;      // byte offset of the driver's next access
  ULONG StartPosition;
  ULONG PreRoll;       // render lead the host keeps ahead of Position
  ULONG SwitchSource;  // this engine's transfers signal the buffer switch
  ULONG Transfers;     // transfers completed since the start
};
static_assert(sizeof(AsioChannelBlockHeader) == 40);
constexpr ULONG ASIO_BLOCK_HEADER_BYTES = sizeof(AsioChannelBlockHeader);
// A ring holds this long of audio at the buffers' rate.
constexpr ULONG ASIO_RING_MILLISECONDS = 40;

// ---- I/O control records -----------------------------------------------------------------------
struct AsioChannelsRecord {
  ULONG Engines;  // ASIO-capable engines
  ULONG OutputChannels;
  ULONG InputChannels;
  ULONG Reserved;
};
static_assert(sizeof(AsioChannelsRecord) == 16);

constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;
struct AsioChannelInfoRecord {
  ULONG Channel;   // in
  ULONG IsInput;   // in
  ULONG IsActive;  // a buffer owner exists
  ULONG Group;
  ULONG SampleType;
  CHAR Name[ASIO_CHANNEL_NAME_BYTES];
};
static_assert(sizeof(AsioChannelInfoRecord) == 52);

// GetSampleTypes: the selected type, the count, then the types.
struct AsioSampleTypesHeader {
  ULONG Selected;
  ULONG Count;
};
static_assert(sizeof(AsioSampleTypesHeader) == 8);

struct AsioLatencyTableRecord {
  ULONG Index;
  ULONG Count;
  ULONG Milliseconds[ASIO_LATENCY_COUNT];
};
static_assert(sizeof(AsioLatencyTableRecord) == 44);

struct AsioLatenciesRecord {
  ULONG Input;  // frames
  ULONG Output;
};
static_assert(sizeof(AsioLatenciesRecord) == 8);

struct AsioBufferSizeRecord {
  ULONG Minimum;  // frames
  ULONG Maximum;
  ULONG Preferred;
  ULONG Granularity;
};
static_assert(sizeof(AsioBufferSizeRecord) == 16);

// CreateBuffers' request: this header, then Count channel entries.
struct AsioCreateBuffersHeader {
  ULONG Reserved;
  ULONG Count;
  ULONG BufferFrames;
};
struct AsioBufferRequest {
  ULONG IsInput;
  ULONG Channel;
};
static_assert(sizeof(AsioCreateBuffersHeader) == 12);
static_assert(sizeof(AsioBufferRequest) == 8);

// ---- Transfers per buffer ------------------------------------------------------------------------
// How a buffer of `milliseconds` (at least 2) is carried: milliseconds of
// audio per URB, and the URBs the table names for it.
struct AsioUrbPlan {
  ULONG MsPerUrb;
  ULONG Urbs;
};
AsioUrbPlan AsioPlanUrbs(ULONG milliseconds);
// The buffer length in milliseconds, as the plan counts it: frames per
// millisecond `framesPerMs` (at least 1), never below 2.
ULONG AsioBufferMilliseconds(ULONG bufferFrames, ULONG framesPerMs);

// ---- The driver's records ---------------------------------------------------------------------------
// One per open file of the interface (nonpaged pool, "USBd").
struct AsioClientRecord {
  LIST_ENTRY Links;  // the device's client list, newest first
  PFILE_OBJECT FileObject;
  PKEVENT NotifyEvent;  // referenced; null when none
  PKEVENT SwitchEvent;  // referenced; set exactly while this client's streams run
  ULONG SampleType;
  ULONG LatencyIndex;
  ULONG SampleRate;  // Hz; for DSD the bit rate per channel
  ULONG DsdMode;
  ULONG Prepared;  // buffers exist for this client
};

// Per stream engine of the model, in the model's order.
struct AsioEngineEntry {
  // Header and ring in whole pages, zeroed; null while the engine has no
  // buffers (or is not ASIO-capable).
  PUCHAR Block;
  ULONG BlockBytes;
  PMDL Mdl;
  PVOID UserAddress;
  PEPROCESS Process;  // the process the block is mapped into, referenced while mapped
  // The ASIO stream client while registered: the record only to recognise
  // its notifications, the handle for every call to the engine, so that a
  // record the engine may have let go after a failed step is never read.
  StreamClientRecord* Client;
  PVOID ClientHandle;
  // The client is (or may still be) prepared: an unprepare the engine
  // refused is owed and is asked for again before the next prepare and
  // before the client is unregistered.
  ULONG ClientPrepared;
  // The header as the driver keeps it. The shared header is the host's to
  // scribble on: the driver only ever writes its own values there.
  AsioChannelBlockHeader State;
};

// ---- The interface's object ------------------------------------------------------------------
// ASIO settings: the start values.
constexpr ULONG ASIO_DEFAULT_SAMPLE_TYPE = ASIO_SAMPLE_INT16;
constexpr ULONG ASIO_DEFAULT_LATENCY_INDEX = 4;
constexpr ULONG ASIO_DEFAULT_SAMPLE_RATE = 48000;
// The name GetDriverName gives a device without a product string.
inline constexpr char ASIO_DEFAULT_DRIVER_NAME[] = "Veltra USB ASIO Device";
// The string descriptor GetDriverName reads: 256 bytes hold 127 characters.
constexpr ULONG ASIO_DRIVER_NAME_MAX_CHARS = 127;

// The ASIO host's interface of one device object, which owns it and
// lends it its references; it reaches the device only through the link.
class CAsioPrivate : public IAsioPrivate {
 public:
  // `powerMutex` is the device's first mutex: the ASIO state and the
  // device's power changes share it.
  CAsioPrivate(PUNKNOWN owner, IAsioDeviceLink& device, CKernelMutex& powerMutex);
  ~CAsioPrivate();
  CAsioPrivate(const CAsioPrivate&) = delete;
  CAsioPrivate& operator=(const CAsioPrivate&) = delete;

  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID* object) override {
    return m_Owner->QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_Owner->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_Owner->Release(); }

  // ---- IAsioPrivate. Every operation runs under the first mutex; a file
  // object without a client record is STATUS_INVALID_PARAMETER (STATUS_UNSUCCESSFUL for Close).
  NTSTATUS STDMETHODCALLTYPE Open(PFILE_OBJECT fileObject) override;
  NTSTATUS STDMETHODCALLTYPE Reserved() override;
  NTSTATUS STDMETHODCALLTYPE Close(PFILE_OBJECT fileObject) override;
  NTSTATUS STDMETHODCALLTYPE GetDriverName(PFILE_OBJECT fileObject, PCHAR buffer, PULONG length) override;
  NTSTATUS STDMETHODCALLTYPE GetChannels(PFILE_OBJECT fileObject, PVOID record, ULONG length) override;
  NTSTATUS STDMETHODCALLTYPE GetChannelInfo(PFILE_OBJECT fileObject, PVOID record, ULONG length) override;
  NTSTATUS STDMETHODCALLTYPE SetNotifyEvent(PFILE_OBJECT fileObject, PHANDLE eventHandle) override;
  NTSTATUS STDMETHODCALLTYPE ReleaseNotifyEvent(PFILE_OBJECT fileObject) override;
  NTSTATUS STDMETHODCALLTYPE GetBuffersCreated(PFILE_OBJECT fileObject, PULONG created) override;
  NTSTATUS STDMETHODCALLTYPE GetSampleTypes(PFILE_OBJECT fileObject, PVOID record, PULONG length) override;
  NTSTATUS STDMETHODCALLTYPE GetLatencyTable(PFILE_OBJECT fileObject, PVOID record, PULONG length) override;
  NTSTATUS STDMETHODCALLTYPE SetSampleType(PFILE_OBJECT fileObject, ULONG sampleType) override;
  NTSTATUS STDMETHODCALLTYPE SetLatencyIndex(PFILE_OBJECT fileObject, ULONG index) override;
  NTSTATUS STDMETHODCALLTYPE GetLatencies(PFILE_OBJECT fileObject, PVOID record) override;
  NTSTATUS STDMETHODCALLTYPE GetSampleRate(PFILE_OBJECT fileObject, PULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE CanSampleRate(PFILE_OBJECT fileObject, PULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE SetSampleRate(PFILE_OBJECT fileObject, PULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE GetBufferSize(PFILE_OBJECT fileObject, PVOID record) override;
  NTSTATUS STDMETHODCALLTYPE CreateBuffers(PFILE_OBJECT fileObject, PVOID request, PVOID addresses,
                                           PULONG length) override;
  NTSTATUS STDMETHODCALLTYPE DisposeBuffers(PFILE_OBJECT fileObject) override;
  NTSTATUS STDMETHODCALLTYPE Start(PFILE_OBJECT fileObject, PHANDLE eventHandle) override;
  NTSTATUS STDMETHODCALLTYPE Stop(PFILE_OBJECT fileObject, PIRP irp) override;
  NTSTATUS STDMETHODCALLTYPE CanIoFormat(PFILE_OBJECT fileObject, PULONG mode) override;
  NTSTATUS STDMETHODCALLTYPE SetIoFormat(PFILE_OBJECT fileObject, PULONG mode) override;
  NTSTATUS STDMETHODCALLTYPE GetIoFormat(PFILE_OBJECT fileObject, PULONG mode) override;

  // ---- The buffer exchange with the stream engines (AsioBufferExchange.cpp)
  // The callback of every ASIO stream client: `context` is this object,
  // `argument1` the engine's CyclicControlNotify.
  static void AsioCyclicCallbackEntry(PVOID context, PVOID argument1, PVOID argument2);
  void AsioCyclicCallback(const CyclicControlNotify* notify);
  // The three actions on engine entry `index`, each under the ring lock:
  // `length` bytes from the render ring into a transfer buffer, captured
  // bytes into the capture ring, and one completed transfer.
  void AsioCopyRender(ULONG index, PUCHAR buffer, ULONG length);
  void AsioCopyCapture(ULONG index, const UCHAR* buffer, ULONG length);
  void AsioBufferSwitch(ULONG index);
  // Positions and counters back to the start of a stream, the render lead
  // from the owner's buffer length, and `event` as the owner's
  // buffer-switch event.
  void AsioResetRings(PKEVENT event);

  // ---- The device's side
  // One entry per engine of the model, and the stored settings held to
  // what the engines carry (the device's configuration, once it has a
  // model).
  NTSTATUS ConfigureEngines();
  // The stored settings, each held to what a host could have chosen.
  void LoadAsioSettings();
  // The power path, under the first mutex: streams a power-down stopped
  // start again at D0; running streams stop for a power-down.
  void PowerUp();
  void PowerDown();
  // After a change to D0: the Stop held until then runs and completes.
  void CompleteHeldStop();
  // The device goes away: a held Stop completes with `heldStopStatus`, the
  // owner's streams stop and their stream clients go, and the clients are
  // signalled. The blocks stay until the owner disposes of them or closes.
  void AsioShutdown(NTSTATUS heldStopStatus);
  // The last release: the owner's blocks and every client record left go,
  // with their events.
  void AsioFreeClients();

  // ---- For tests and the main job's report
  ULONG GetAsioActiveSampleType() const { return m_AsioActiveSampleType; }
  ULONG GetAsioSelectedSampleType() const { return m_AsioSelectedSampleType; }
  ULONG GetAsioLatencyIndex() const { return m_AsioLatencyIndex; }
  ULONG GetAsioSampleRate() const { return m_AsioSampleRate; }
  ULONG GetAsioBuffersCreated() const { return m_AsioBuffersCreated; }
  BOOLEAN AreAsioStreamsRunning() const { return m_AsioStreamsRunning; }
  BOOLEAN IsAsioStopHeld() const { return m_AsioPendingStop != nullptr; }
  ULONG GetAsioEngineCount() const { return m_AsioEngineCount; }
  // The driver's own view of an engine's shared block (null past the table).
  const AsioEngineEntry* GetAsioEngineEntry(ULONG index) const {
    return index < m_AsioEngineCount ? &m_AsioEngines[index] : nullptr;
  }

 protected:
  // Runs `work` on the file's client under the ASIO mutex;
  // STATUS_INVALID_PARAMETER without a client.
  template <typename Work>
  NTSTATUS AsioWithClient(PFILE_OBJECT fileObject, Work work);
  // Runs `step(index, engine, cyclic control)` on the engines whose entry
  // `wanted` picks, in engine order, until a step fails; an engine without
  // the stream-client protocol is STATUS_NOT_SUPPORTED.
  template <typename Wanted, typename Step>
  NTSTATUS AsioForEachStreamEngine(Wanted wanted, Step step);
  // The operations' bodies, the mutex held.
  NTSTATUS AsioDriverName(PCHAR buffer, PULONG length);
  NTSTATUS AsioChannelInfo(const AsioClientRecord* client, PVOID record);
  NTSTATUS AsioSampleTypes(AsioClientRecord* client, PVOID record, PULONG length);
  NTSTATUS AsioCheckIoFormat(ULONG mode);
  AsioClientRecord* AsioFindClient(PFILE_OBJECT fileObject);
  // Sets every client's notification event.
  void AsioSignalClients();
  // The model's engine `index` when it is ASIO-capable, else null (no
  // reference added).
  IStreamEngine* AsioEngine(ULONG index);
  // Largest channel count among an engine's PCM (or DSD) formats.
  ULONG AsioMaxPcmChannels(IStreamEngine* engine);
  ULONG AsioMaxDsdChannels(IStreamEngine* engine);
  ULONG AsioChannels(IStreamEngine* engine, ULONG dsd) {
    return dsd ? AsioMaxDsdChannels(engine) : AsioMaxPcmChannels(engine);
  }
  BOOLEAN AsioEngineHasRate(IStreamEngine* engine, ULONG rate, ULONG dsd);
  BOOLEAN AsioEngineHasIoFormat(IStreamEngine* engine, ULONG dsd);
  // CanSampleRate's test for a client's mode.
  NTSTATUS AsioCheckRate(ULONG rate, ULONG dsd);
  // The stream format of the owner's buffers on an engine, taken from the
  // engine's own list; sets the bytes per sample.
  NTSTATUS AsioBuildFormat(IStreamEngine* engine, const AsioClientRecord* owner, PWAVEFORMATEXTENSIBLE format);
  NTSTATUS AsioOpenStreamClients(AsioClientRecord* owner);
  // Unregisters every engine's client, paying an owed unprepare first; a
  // client the engine still holds prepared stays in its entry, and its
  // status is returned.
  NTSTATUS AsioCloseStreamClients();
  // UnprepareClient on engine entry `index`'s client; the prepared mark
  // goes when the engine has let the client go back to registered.
  NTSTATUS AsioUnprepareClient(ULONG index, ICyclicControl* cyclic);
  NTSTATUS AsioStartStreams();
  void AsioStopStreams();
  // Stops every engine's client and unprepares it; the streams-running
  // flag becomes 0. Returns the first unprepare refused (it stays owed).
  NTSTATUS AsioStopStreamClients();
  // The vendor request some devices expect when ASIO streams start (1) and
  // stop (0).
  void AsioSendStreamingState(USHORT value);
  // Stop's work on a running owner: the event out, the streams stopped
  // (unless a power-down did it), the selected rings silent.
  void AsioStopOwner(AsioClientRecord* owner);
  // Unmaps (in the process that mapped them) and frees every block.
  void AsioFreeBlocks();
  // DisposeBuffers' work on the owner.
  void AsioDispose(AsioClientRecord* owner);
  // The power path's hook: the owner's event loses its state.
  void AsioClearStartEvent();
  // The owner's buffer-switch event (no reference added), or null.
  PKEVENT AsioOwnerSwitchEvent();

  // ---- The held Stop (a request pending until D0)
  NTSTATUS AsioHoldStop(PFILE_OBJECT fileObject, PIRP irp);
  // Takes the held request (and its file) unless its cancel routine has it,
  // or `onlyFor` is given and names another file.
  PIRP AsioTakeHeldStop(PFILE_OBJECT* fileObject, PFILE_OBJECT onlyFor = nullptr);
  static void AsioStopCancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp);

  // ---- The buffer exchange (AsioBufferExchange.cpp)
  // Copies the entry's own header values to the shared header (ring lock
  // held).
  void AsioPublish(ULONG index);
  // The owner's buffer-switch event, taken out under the ring lock.
  PKEVENT AsioTakeSwitchEvent(AsioClientRecord* owner);
  // `length` bytes between the ring, at its position, and `buffer`.
  void AsioCopy(ULONG index, PUCHAR buffer, ULONG length, bool fromRing);

  // ---- Fields
  PUNKNOWN m_Owner;
  IAsioDeviceLink& m_Device;
  CKernelMutex& m_PowerMutex;

  // ASIO state, under the first mutex; the ring lock guards what the stream
  // callbacks touch: the engine entries' blocks, clients and header values,
  // and the owner's buffer-switch event.
  KSPIN_LOCK m_AsioRingLock;
  LIST_ENTRY m_AsioClients;  // AsioClientRecord, newest first
  AsioClientRecord* m_AsioOwner = nullptr;
  ULONG m_AsioBuffersCreated = 0;
  ULONG m_AsioActiveSampleType = 0;
  ULONG m_AsioSelectedSampleType = 0;
  ULONG m_AsioLatencyIndex = 0;
  ULONG m_AsioSampleRate = 0;
  ULONG m_AsioBytesPerSample = 0;
  ULONG m_AsioBufferFrames = 0;
  AsioEngineEntry* m_AsioEngines = nullptr;  // one per engine of the model, "USBd"
  ULONG m_AsioEngineCount = 0;
  UCHAR m_AsioStreamsRunning = 0;
  UCHAR m_AsioStoppedByPower = 0;
  // Set by AsioShutdown: nothing starts on this device object again.
  UCHAR m_AsioDeviceGone = 0;
  ULONG m_AsioDsd = 0;  // nothing sets it: channel counts and silence are PCM's
  // The Stop held until D0, under its own lock, shared with its cancel
  // routine.
  KSPIN_LOCK m_AsioStopLock;
  PIRP m_AsioPendingStop = nullptr;
  PFILE_OBJECT m_AsioPendingStopFile = nullptr;
};
