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

class CUsbAudioDevice : public IUsbDevice, public CAudioHal, private IAsioDeviceLink {
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

  // ---- The ASIO host's interface (AsioPrivate.h), the device's own.
  CAsioPrivate& Asio() { return m_Asio; }

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
  ULONG GetAsioActiveSampleType() const { return m_Asio.GetAsioActiveSampleType(); }
  ULONG GetAsioSelectedSampleType() const { return m_Asio.GetAsioSelectedSampleType(); }
  ULONG GetAsioLatencyIndex() const { return m_Asio.GetAsioLatencyIndex(); }
  ULONG GetAsioSampleRate() const { return m_Asio.GetAsioSampleRate(); }
  ULONG GetAsioBuffersCreated() const { return m_Asio.GetAsioBuffersCreated(); }
  BOOLEAN AreAsioStreamsRunning() const { return m_Asio.AreAsioStreamsRunning(); }
  BOOLEAN IsAsioStopHeld() const { return m_Asio.IsAsioStopHeld(); }
  ULONG GetAsioEngineCount() const { return m_Asio.GetAsioEngineCount(); }
  const AsioEngineEntry* GetAsioEngineEntry(ULONG index) const { return m_Asio.GetAsioEngineEntry(index); }
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

  void LoadAsioSettings() { m_Asio.LoadAsioSettings(); }

  // ---- Port status
  // Sends an internal port request to the lower device and waits for it.
  // `built` is false when the request could not be built.
  NTSTATUS SendPortRequest(ULONG ioControlCode, PVOID argument1, bool* built);
  void TellModelPower(DEVICE_POWER_STATE state);

  // ---- IAsioDeviceLink: the device as its ASIO interface sees it.
  PDEVICE_OBJECT AsioDeviceObject() override { return m_DeviceObject; }
  DEVICE_POWER_STATE AsioPowerState() override { return m_DevicePowerState; }
  USHORT AsioVendorId() override { return m_VendorId; }
  USHORT AsioProductId() override { return m_ProductId; }
  NTSTATUS AsioProductName(PWSTR text, ULONG* chars, ULONG maxChars) override;

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

  CAsioPrivate m_Asio{GetOuterUnknown(), *this, m_PowerMutex};

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
