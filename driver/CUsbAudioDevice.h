// The device object: the port-class adapter and the driver's one
// representative of the USB device. It reads the descriptors, selects the
// configuration, submits synchronous requests to the USB stack, keeps the
// USBDI bus interface, checks, resets and cycles the port, and suspends an
// idle device. It creates the hardware model as an aggregated inner object
// and presents the model's IAudioHal to the rest of the driver by
// forwarding most calls to it. It also carries the ASIO host's private
// interface and the adapter's power management.
//
// Reference discipline: the model is aggregated, so every interface of the
// model adds its references to this object. The cached model interfaces
// are therefore weak; the model's inner IUnknown holds the one owning
// reference, released by the destructor.
#pragma once

#include "driver/AsioPrivate.h"
#include "driver/common/CKernelMutex.h"
#include "driver/hal/CAudioHal.h"

constexpr ULONG USB_AUDIO_DEVICE_TAG = MakeTag("PcCr");
constexpr ULONG USB_DEVICE_DATA_TAG = MakeTag("USBd");
constexpr ULONG STRING_DESCRIPTOR_TAG = MakeTag("str ");

// A synchronous request waits this long (100 ns units, relative) before it
// is cancelled.
constexpr LONGLONG SUBMIT_URB_TIMEOUT = -5000000;  // 500 ms
// While the device is configured, a read the device fails (or answers
// short) is sent this many times in all, after a pause that starts at
// 10 ms and doubles.
constexpr ULONG START_READ_ATTEMPTS = 3;
constexpr LONGLONG START_READ_FIRST_PAUSE = -100000;  // 10 ms
// The idle timer: first expiry and period.
constexpr LONGLONG IDLE_TIMER_FIRST_DUE = -50000000;  // 5 s
constexpr LONG IDLE_TIMER_PERIOD_MS = 5000;
// Each of the two waits of an idle cancel.
constexpr LONGLONG IDLE_CANCEL_WAIT = -5000000;         // 500 ms
constexpr LONGLONG PORT_STATUS_RETRY_DELAY = -1000000;  // 100 ms

// Friendly names longer than this are cut.
constexpr ULONG DEVICE_STRING_MAX_CHARS = 50;
// WriteDeviceKeyString's value selectors.
constexpr ULONG DEVICE_KEY_MFG = 8;
constexpr ULONG DEVICE_KEY_FRIENDLY_NAME = 9;

// ASIO settings: the start values.
constexpr ULONG ASIO_DEFAULT_SAMPLE_TYPE = ASIO_SAMPLE_INT16;
constexpr ULONG ASIO_DEFAULT_LATENCY_INDEX = 4;
constexpr ULONG ASIO_DEFAULT_SAMPLE_RATE = 48000;
// The name GetDriverName gives a device without a product string.
inline constexpr char ASIO_DEFAULT_DRIVER_NAME[] = "Veltra USB ASIO Device";
// The string descriptor GetDriverName reads: 256 bytes hold 127 characters.
constexpr ULONG ASIO_DRIVER_NAME_MAX_CHARS = 127;

class CUsbAudioDevice : public IUsbDevice, public IAsioPrivate, public CAudioHal {
 public:
  explicit CUsbAudioDevice(PUNKNOWN outerUnknown);
  ~CUsbAudioDevice() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IUsbDevice
  PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() override {
    return m_ConfigurationDescriptor;
  }
  USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() override { return m_ConfigurationHandle; }
  UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() override { return m_ControlInterfaceNumber; }
  NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR present) override;
  NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) override;
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) override;
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) override;
  PIRP STDMETHODCALLTYPE AllocateIrp() override;
  NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) override;
  BOOLEAN STDMETHODCALLTYPE IsHighSpeed() override { return m_HighSpeed; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override;
  BOOLEAN STDMETHODCALLTYPE CyclePort() override;
  PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() override { return m_LowerDeviceObject; }
  LONG STDMETHODCALLTYPE AddBusy() override { return InterlockedIncrement(&m_BusyCount); }
  LONG STDMETHODCALLTYPE ReleaseBusy() override { return InterlockedDecrement(&m_BusyCount); }
  // The chip-identifying factory (variants/ChipFactory.h): the model that
  // fits the attached device, chosen by its AudioControl protocol and its
  // chip's vendor string, aggregated with this object.
  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override;

  // ---- IAsioPrivate: the ASIO host's interface (AsioPrivate.cpp). Every
  // operation runs under the first mutex; a file object without a client
  // record is STATUS_INVALID_PARAMETER (STATUS_UNSUCCESSFUL for Close).
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

  // ---- IAudioHal: most operations go to the model.
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override;
  NTSTATUS STDMETHODCALLTYPE GetComponentId(PKSCOMPONENTID componentId) override;
  ULONG STDMETHODCALLTYPE GetStreamEngineCount() override;
  NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG index, IStreamEngine** engine) override;
  ULONG STDMETHODCALLTYPE GetNodeCount() override;
  NTSTATUS STDMETHODCALLTYPE GetNode(ULONG index, ITopoNode** node) override;
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) override;
  NTSTATUS STDMETHODCALLTYPE Start() override;
  // The device is going away (removal or surprise removal): the model
  // stops, and selective suspend starts no new idle cycle.
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context, PVOID* registration) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID registration) override;
  NTSTATUS STDMETHODCALLTYPE CancelIdleRequest() override;
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;
  // The model builds its topology in its own Init.
  NTSTATUS STDMETHODCALLTYPE BuildTopology() override { return STATUS_SUCCESS; }

  // ---- IAdapterPowerManagement
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;

  // ---- Start-up steps
  // ConfigureDevice's steps, its reads retried.
  NTSTATUS ConfigureFromDevice();
  NTSTATUS ReadDescriptors();
  NTSTATUS SelectConfiguration();
  NTSTATUS QueryBusInterface();
  // Writes the product and manufacturer strings to the device's registry
  // key; failures are not reported.
  NTSTATUS StoreStringDescriptors();
  // Writes a REG_SZ value ("Mfg" for DEVICE_KEY_MFG, "FriendlyName" for
  // DEVICE_KEY_FRIENDLY_NAME) under every hardware ID's instance key;
  // success when any write succeeded.
  NTSTATUS WriteDeviceKeyString(ULONG selector, ULONG length, PCWSTR data);
  // A string descriptor in language 0x0409, cut to its characters, without
  // trailing blanks and at most `maxChars` long, into `text` (room for
  // maxChars + 1 characters; at most 127 characters fit the read).
  NTSTATUS ReadStringDescriptor(UCHAR index, ULONG tag, PWSTR text, ULONG* chars,
                                ULONG maxChars = DEVICE_STRING_MAX_CHARS);

  // ---- For tests and the main job's report
  USHORT GetVendorId() const { return m_VendorId; }
  USHORT GetProductId() const { return m_ProductId; }
  BOOLEAN IsDevicePresent() const { return m_DevicePresent; }
  LONG GetOutstandingCount() const { return m_OutstandingCount; }
  BOOLEAN IsSelectiveSuspendEnabled() const { return m_SelectiveSuspendEnabled != 0; }
  ULONG GetInterfaceCount() const { return m_InterfaceCount; }
  PUSBD_INTERFACE_INFORMATION GetInterfaceInformation(ULONG index) const {
    return index < m_InterfaceCount && m_InterfaceInformation ? m_InterfaceInformation[index] : nullptr;
  }
  PUNKNOWN GetModelUnknown() const { return m_ModelUnknown; }
  // Why the device object's own configuration steps refused the device,
  // before or without a model (empty when they did not).
  const ModelRefusal& GetConfigurationRefusal() const { return m_Refusal; }
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
  // Read while the idle path changes them on other threads.
  bool HasIdleIrp() const {
    return InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&m_IdleIrp), nullptr, nullptr) != nullptr;
  }
  bool IsIdleRequestPending() const { return ReadNoFence(&m_IdleRequestPending) != 0; }
  bool IsIdleWorkPending() const { return ReadNoFence(&m_IdleWorkItems) != 0; }
  // A seam for tests of the idle path's races: when set, it runs on the
  // idle work item between building an idle request and sending it.
  static void (*IdleRequestBuiltHook)(CUsbAudioDevice* device);

 protected:
  // Caches the model's interfaces from its inner IUnknown (which this
  // object then owns) and drops the references the queries added to this
  // object.
  NTSTATUS AdoptAudioHal(PUNKNOWN modelInnerUnknown);
  // The first AudioControl interface of the configuration, whose number
  // becomes the device's AudioControl interface number; null when there is
  // none.
  PUSB_INTERFACE_DESCRIPTOR FindControlInterface();
  // Creates the model with `factory`, aggregated with this object, and
  // adopts it.
  NTSTATUS CreateModel(AudioHalFactory factory);

  static NTSTATUS SignalEventCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
  // One submission of `urb`, waited for (SUBMIT_URB_TIMEOUT).
  NTSTATUS SubmitUrbOnce(PURB urb);

  // ---- Selective suspend
  bool IsIdle() const { return ReadNoFence(&m_OutstandingCount) == 1 && ReadNoFence(&m_BusyCount) == 0; }
  static void IdleTimerDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  void QueueIdleWork();
  static void IdleWorkItemRoutine(PDEVICE_OBJECT deviceObject, PVOID context);
  void IdleWork();
  void IdleWorkDone();
  NTSTATUS SendIdleRequest();
  static void IdleNotificationCallback(PVOID context);
  void RequestSuspendPower();
  static void SuspendPowerCompletionRoutine(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                            PVOID context, PIO_STATUS_BLOCK ioStatus);
  static NTSTATUS IdleIrpCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
  // Asks for D0 for the idle path; callable up to DISPATCH_LEVEL.
  void RequestWakePower();
  static void PowerUpCompletionRoutine(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                       PVOID context, PIO_STATUS_BLOCK ioStatus);
  void CancelIdleIrp();
  void ArmIdleTimer();
  // No new idle cycle starts from now on; the timer is cancelled and its
  // queued DPCs have run.
  void StopSelectiveSuspend();
  // Waits until no idle work item, idle IRP or wake request of the idle
  // path is left (the destructor's first step).
  void DrainSelectiveSuspend();

  // ---- Port status
  // Sends an internal port request to the lower device and waits for it.
  // `built` is false when the request could not be built.
  NTSTATUS SendPortRequest(ULONG ioControlCode, PVOID argument1, bool* built);
  void TellModelPower(DEVICE_POWER_STATE state);

  // ---- ASIO (AsioPrivate.cpp)
  void LoadAsioSettings();
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
  // The device goes away: a held Stop completes with `heldStopStatus`, the
  // owner's streams stop and their stream clients go, and the clients are
  // signalled. The blocks stay until the owner disposes of them or closes.
  void AsioShutdown(NTSTATUS heldStopStatus);
  // The last release: the owner's blocks and every client record left go,
  // with their events.
  void AsioFreeClients();

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
  PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor = nullptr;  // "USBd", wTotalLength bytes
  USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
  PUSBD_INTERFACE_INFORMATION* m_InterfaceInformation = nullptr;  // copies, "USBd"
  PUNKNOWN m_ModelUnknown = nullptr;                              // owning
  IAudioHal* m_ModelHal = nullptr;                                // weak
  IAdapterPowerManagement* m_ModelPower = nullptr;                // weak
  IUsbAudioHal* m_ModelUsbHal = nullptr;                          // weak, may stay null
  ModelRefusal m_Refusal;
  USHORT m_VendorId = 0;
  USHORT m_ProductId = 0;
  UCHAR m_ManufacturerIndex = 0;
  UCHAR m_ProductIndex = 0;
  ULONG m_InterfaceCount = 0;
  volatile UCHAR m_DevicePresent = 0;
  // Set while ConfigureDevice runs: what it reads shapes the model for as
  // long as the device is there, so a read is not taken at its first
  // failure.
  BOOLEAN m_RetryReads = FALSE;
  UCHAR m_ControlInterfaceNumber = 0;
  BOOLEAN m_HighSpeed = FALSE;
  USB_BUS_INTERFACE_USBDI_V1 m_BusInterface{};
  CCHAR m_IrpStackSize = 0;
  CKernelMutex m_PowerMutex;  // the first mutex: ASIO state and power changes

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

  volatile LONG m_PortCycled = 0;
  CKernelMutex m_PortMutex;  // the second mutex: the port-status check

  // Selective suspend.
  PUSB_IDLE_CALLBACK_INFO m_IdleCallbackInfo = nullptr;
  PVOID volatile m_IdleIrp = nullptr;
  volatile LONG m_IdleRequestPending = 0;
  volatile LONG m_IdleIrpOwnership = 0;
  KSPIN_LOCK m_IdleLock;
  KEVENT m_IdleIrpEvent;  // signalled while no idle IRP exists
  KEVENT m_WakeEvent;     // signalled while no D0 request of the idle path is pending
  KTIMER m_IdleTimer;
  KDPC m_IdleDpc;
  KEVENT m_IdleWorkEvent;             // signalled while no idle work item is queued or running
  volatile LONG m_IdleWorkItems = 0;  // queued or running, changed under m_IdleLock
  volatile LONG m_OutstandingCount = 0;
  volatile LONG m_BusyCount = 0;
  ULONG m_SelectiveSuspendEnabled = 0;
  volatile LONG m_IdleStopping = 0;
};
