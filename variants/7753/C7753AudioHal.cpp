#include "variants/7753/C7753AudioHal.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "driver/hal/CStatusListener.h"
#include "variants/7753/C7753FeatureUnits.h"
#include "variants/7753/C7753Nodes.h"
#include "variants/7753/C7753Render.h"
#include "variants/7753/C7753Terminals.h"
#include "usb/usbdlib.h"

namespace {

constexpr C7753CodecRegister kCodecStart[C7753_CODEC_REGISTERS] = {
    {0x2004, C7753_CODEC_RESTORE}, {0x3002, C7753_CODEC_RESTORE}, {0xF800, C7753_CODEC_RESTORE},
    {0x143F, C7753_CODEC_RESTORE}, {0x0000, C7753_CODEC_RESTORE}, {0x3000, C7753_CODEC_RESTORE},
};
// The register the status-polled board lights differently from the start.
constexpr ULONG kPollBoardRegister = 1;
constexpr USHORT kPollBoardRegisterValue = 0x3032;

constexpr UCHAR kMasterUnitId = 13;
constexpr UCHAR kChipOutputTerminalId = 3;
constexpr UCHAR kMonitorUnitId = 9;
constexpr UCHAR kLineMonitorUnitId = 11;
constexpr UCHAR kSpdifRecordUnitId = 16;

constexpr const char* kConfigureStep = "ConfigureDevice";

// The board overrides, first matching row only. A row matches by its IDs
// (0 for any device), and for some only when the chip probe matched; some
// force their switches only when it matched.
struct ForcedSwitch {
  ULONG index;
  UCHAR value;
};
struct BoardRow {
  USHORT vendorId;
  USHORT productId;
  bool matchNeedsProbe;
  bool switchesNeedProbe;
  ForcedSwitch switches[7];
  ULONG switchCount;
  bool poll;
  bool setsMask;
  ULONG mask;
};
constexpr BoardRow kBoards[] = {
    {C7753_POLL_BOARD_VENDOR, C7753_POLL_BOARD_PRODUCT, true, false,
     {{C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_DISABLE_STEREO_MIX_REC_UNIT, 1}, {C7753_SUPPORT_HP_OUT, 0},
      {C7753_SUPPORT_SPDIF_OUT, 0}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_DISABLE_4CH_OUT, 1},
      {C7753_DISABLE_8CH_OUT, 1}},
     7, true, true, 0x3E0084},
    {0x5131, 0x001C, true, false,
     {{C7753_DISABLE_STEREO_MIX_REC_UNIT, 1}, {C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0},
      {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_DISABLE_2CH_OUT, 1}, {C7753_DISABLE_4CH_OUT, 1},
      {C7753_DISABLE_8CH_OUT, 1}},
     7, false, true, 0},
    {C7753_LED_SWITCH_VENDOR, C7753_LED_SWITCH_PRODUCT, false, false,
     {{C7753_DISABLE_LINE_IN_TERMINAL, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_SUPPORT_HP_OUT, 0},
      {C7753_SUPPORT_SPDIF_OUT, 0}},
     4, false, true, 0x3E09F},
    {C7753_SOFT_MUTE_VENDOR, C7753_SOFT_MUTE_PRODUCT, false, true,
     {{C7753_DISABLE_8CH_OUT, 1}, {C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0},
      {C7753_DISABLE_LINE_IN_TERMINAL, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}},
     5, false, false, 0},
    {0, 0, false, true, {{C7753_DISABLE_8CH_OUT, 1}}, 1, false, false, 0},
};

// Bit 4 of the status report's first byte.
bool StatusBitClear(const UCHAR* report) { return (report[0] & C7753_STATUS_BIT) == 0; }

}  // namespace

C7753AudioHal::C7753AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : CUac1AudioHal(outerUnknown, vendorId, productId) {
  m_UnitTag = C7753_TAG;
  KeInitializeTimerEx(&m_PollTimer, SynchronizationTimer);
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) m_Switches[i] = C7753DefaultSwitch(i);
}

C7753AudioHal::~C7753AudioHal() {
  PAGED_CODE();
  StopPollThread();
  if (m_RenderGainNode) m_RenderGainNode->Release();
  m_RenderGainNode = nullptr;
}

NTSTATUS C7753AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<C7753AudioHal>(innerUnknown, outerUnknown, vendorId, productId, C7753_TAG);
}

C7753CodecRegister C7753AudioHal::GetCodecRegister(ULONG index) const {
  if (index >= C7753_CODEC_REGISTERS) return {};
  const_cast<CKernelMutex&>(m_CodecLock).Lock();
  const C7753CodecRegister value = m_Codec[index];
  const_cast<CKernelMutex&>(m_CodecLock).Unlock();
  return value;
}

// ============================================================================
// Configuration

NTSTATUS C7753AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  m_CodecLock.Lock();
  RtlCopyMemory(m_Codec, kCodecStart, sizeof m_Codec);
  m_CodecLock.Unlock();

  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) {
    Refuse(kConfigureStep, "the device object offers no USB services", status);
    return status;
  }
  auto* usb = static_cast<IUsbDevice*>(object);
  bool matched = false;
  status = ProbeChip(usb, &matched);
  if (!NT_SUCCESS(status)) {
    Refuse(kConfigureStep, "the chip probe (vendor request 0x81 to \"other\") failed", status);
  } else {
    m_ProbeMatched = matched;
    ReadSwitches();
    m_Caps.CapabilityMask = C7753_CAPABILITY_MASK;
    ApplyBoardOverrides(matched);
    if (m_Switches[C7753_DISABLE_2CH_OUT]) {
      m_Switches[C7753_SUPPORT_HP_OUT] = 0;
      m_Switches[C7753_SUPPORT_SPDIF_OUT] = 0;
    }
    status = RewriteConfigurationDescriptor(usb->GetConfigurationDescriptor());
    if (NT_SUCCESS(status)) status = UsbParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = UsbParseAudioStreamInterface();
    if (NT_SUCCESS(status)) {
      status = static_cast<IUsbAudioHal*>(this)->RestoreHardwareState();
      Refuse("RestoreHardwareState", "a stored setting could not be sent to the device", status);
    }
  }
  usb->Release();
  return status;
}

NTSTATUS C7753AudioHal::ProbeChip(IUsbDevice* usb, bool* matched) {
  PAGED_CODE();
  *matched = false;
  // Without memory for the request the chip is taken for an unknown one.
  CPoolBuffer urb(NonPagedPool, C7753_URB_BYTES, C7753_TAG);
  if (!urb) return STATUS_SUCCESS;
  UCHAR high = 0, low = 0;
  ReadOtherRegister(usb, urb.As<URB>(), C7753_PROBE_REQUEST, 0, &high, C7753_PROBE_INDEX_HIGH);
  NTSTATUS status = ReadOtherRegister(usb, urb.As<URB>(), C7753_PROBE_REQUEST, 0, &low, C7753_PROBE_INDEX_LOW);
  if (!NT_SUCCESS(status)) return status;
  *matched = high == C7753_PROBE_HIGH && low == C7753_PROBE_LOW;
  return STATUS_SUCCESS;
}

void C7753AudioHal::ReadSwitches() {
  PAGED_CODE();
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) {
    // Four bytes over the default; only the low byte counts.
    ULONG value = C7753DefaultSwitch(i);
    AccessSetting(m_DeviceObject, SETTINGS_READ, &value, sizeof value, C7753SwitchNames[i]);
    m_Switches[i] = static_cast<UCHAR>(value);
  }
}

void C7753AudioHal::ApplyBoardOverrides(bool probeMatched) {
  PAGED_CODE();
  for (const BoardRow& row : kBoards) {
    const bool anyDevice = row.vendorId == 0 && row.productId == 0;
    if (!anyDevice && !IsBoard(row.vendorId, row.productId)) continue;
    if (row.matchNeedsProbe && !probeMatched) continue;
    if (!row.switchesNeedProbe || probeMatched)
      for (ULONG i = 0; i < row.switchCount; ++i) m_Switches[row.switches[i].index] = row.switches[i].value;
    if (row.setsMask) m_Caps.CapabilityMask = row.mask;
    if (row.poll) {
      m_PollEnable = 1;
      m_CodecLock.Lock();
      m_Codec[kPollBoardRegister].value = kPollBoardRegisterValue;
      m_CodecLock.Unlock();
    }
    return;
  }
}

NTSTATUS C7753AudioHal::RewriteConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  PAGED_CODE();
  if (!configuration) {
    Refuse(kConfigureStep, "the device object keeps no configuration descriptor", STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG stored = platform::usb::ConfigurationExtent(configuration);
  const bool layout = IsC7753Layout(reinterpret_cast<const UCHAR*>(configuration), stored);
  NTSTATUS status = RewriteC7753Configuration(configuration, stored, m_Switches);
  if (!NT_SUCCESS(status)) {
    Refuse(kConfigureStep,
           !layout ? "the configuration descriptor is not the chip's 509-byte layout"
           : m_Switches[C7753_DISABLE_6CH_OUT] && m_Switches[C7753_DISABLE_8CH_OUT]
               ? "the switches disable both the six- and the eight-channel output layout"
               : "no memory to rewrite the configuration descriptor",
           status);
  }
  return status;
}

// ============================================================================
// Codec registers

NTSTATUS C7753AudioHal::WriteCodecRegister(ULONG index, USHORT value, USHORT mask) {
  PAGED_CODE();
  if (index >= C7753_CODEC_REGISTERS) return STATUS_UNSUCCESSFUL;
  if (mask == 0) return STATUS_SUCCESS;
  m_CodecLock.Lock();
  const USHORT sent = mask == 0xFFFF ? value : static_cast<USHORT>((value & mask) | (m_Codec[index].value & ~mask));
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  auto* usb = NT_SUCCESS(status) ? static_cast<IUsbDevice*>(object) : nullptr;
  CPoolBuffer urb(NonPagedPool, C7753_URB_BYTES, C7753_TAG);
  if (usb && !urb) status = STATUS_INSUFFICIENT_RESOURCES;
  if (usb && urb) {
    UCHAR report[C7753_CODEC_REPORT_BYTES] = {C7753_CODEC_WRITE, static_cast<UCHAR>(sent),
                                              static_cast<UCHAR>(sent >> 8), static_cast<UCHAR>(index)};
    RtlZeroMemory(urb.Get(), urb.Bytes());
    UsbBuildVendorRequest(urb.As<URB>(), URB_FUNCTION_CLASS_INTERFACE, C7753_URB_BYTES, USBD_TRANSFER_DIRECTION_OUT,
                          0, HID_SET_REPORT, C7753_OUTPUT_REPORT, C7753_HID_INTERFACE, report, nullptr,
                          sizeof report, nullptr);
    status = usb->SubmitUrb(urb.As<URB>());
    if (NT_SUCCESS(status)) m_Codec[index].value = sent;
  }
  if (usb) usb->Release();
  m_CodecLock.Unlock();
  return status;
}

NTSTATUS C7753AudioHal::RestoreHardwareState() {
  PAGED_CODE();
  WriteCodecRegister(C7753_RESET_REGISTER, 0x0000, C7753_RESET_BITS);
  LARGE_INTEGER pause;
  pause.QuadPart = -10000;  // 1 ms
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  WriteCodecRegister(C7753_RESET_REGISTER, C7753_RESET_BITS, C7753_RESET_BITS);
  NTSTATUS status = STATUS_SUCCESS;
  // The shadow is read and sent in one piece: no writer slips in between.
  m_CodecLock.Lock();
  for (ULONG i = 0; i < C7753_RESET_REGISTER; ++i) {
    if (!(m_Codec[i].flags & C7753_CODEC_RESTORE)) continue;
    status = WriteCodecRegister(i, m_Codec[i].value, 0xFFFF);
    if (!NT_SUCCESS(status)) break;
  }
  m_CodecLock.Unlock();
  return status;
}

// ============================================================================
// AudioControl

CUacUnit* C7753AudioHal::NewFeatureUnit(UCHAR unitId, ULONG provisionalId) {
  switch (unitId) {
    case 2:
    case 8:
    case 15:
      if (IsBoard(C7753_SOFT_MUTE_VENDOR, C7753_SOFT_MUTE_PRODUCT))
        return new (NonPagedPool, C7753_TAG) C7753FeatureUnit2SoftMute(nullptr, provisionalId, this);
      if (IsBoard(C7753_LED_SWITCH_VENDOR, C7753_LED_SWITCH_PRODUCT))
        return new (NonPagedPool, C7753_TAG) C7753FeatureUnit2LedSwitch(nullptr, provisionalId, this);
      return new (NonPagedPool, C7753_TAG) C7753FeatureUnit2(nullptr, provisionalId, this);
    case kMonitorUnitId:
      return new (NonPagedPool, C7753_TAG) C7753FeatureUnit9(nullptr, provisionalId, this);
    case kLineMonitorUnitId:
      if (IsBoard(C7753_POLL_BOARD_VENDOR, C7753_POLL_BOARD_PRODUCT))
        return new (NonPagedPool, C7753_TAG) C7753FeatureUnit11ForcedMute(nullptr, provisionalId, this);
      return new (NonPagedPool, C7753_TAG) C7753FeatureUnit9(nullptr, provisionalId, this);
    case kMasterUnitId:
      return new (NonPagedPool, C7753_TAG) C7753FeatureUnit13(nullptr, provisionalId, this);
    case kSpdifRecordUnitId:
      return new (NonPagedPool, C7753_TAG) C7753FeatureUnit16(nullptr, provisionalId, this);
    default:
      return new (NonPagedPool, C7753_TAG) CUac1FeatureUnit(nullptr, provisionalId);
  }
}

CUacUnit* C7753AudioHal::NewUnit(const UCHAR* descriptor, ULONG provisionalId) {
  switch (descriptor[2]) {
    case UAC_SUBTYPE_INPUT_TERMINAL:
      return new (NonPagedPool, C7753_TAG) C7753InputTerminal(nullptr, provisionalId);
    case UAC_SUBTYPE_OUTPUT_TERMINAL:
      if (descriptor[3] != kChipOutputTerminalId) break;
      return new (NonPagedPool, C7753_TAG) C7753OutputTerminal(
          nullptr, provisionalId, this, m_Switches[C7753_SUPPORT_SPDIF_OUT], m_Switches[C7753_SUPPORT_HP_OUT]);
    case UAC_SUBTYPE_SELECTOR_UNIT:
      return new (NonPagedPool, C7753_TAG) C7753SelectorUnit(nullptr, provisionalId);
    default:
      break;
  }
  return CUac1AudioHal::NewUnit(descriptor, provisionalId);
}

NTSTATUS C7753AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  PAGED_CODE();
  NTSTATUS status = ParseAudioControl(interfaceDescriptor, bytesToEnd);
  // The poll drives unit 11; on the polled board every feature unit 11 is
  // the forced-mute class, and the last unit with the id is the one named.
  m_ForcedMuteUnit = nullptr;
  ITopoNode* unit = nullptr;
  if (NT_SUCCESS(status) && IsBoard(C7753_POLL_BOARD_VENDOR, C7753_POLL_BOARD_PRODUCT) &&
      NT_SUCCESS(FindUnitById(kLineMonitorUnitId, &unit)) && unit->GetType() == UAC_SUBTYPE_FEATURE_UNIT)
    m_ForcedMuteUnit = static_cast<C7753FeatureUnit11ForcedMute*>(CUacUnit::FromUnitNode(unit));
  return status;
}

// ============================================================================
// AudioStreaming

CUsbStreamEngine* C7753AudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, C7753_TAG) C7753Render(nullptr, interfaceNumber, terminalNodeId, this);
}

NTSTATUS C7753AudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                     ULONG bytesToEnd) {
  PAGED_CODE();
  NTSTATUS status = CUac1AudioHal::UsbParseAudioStreamInterface(configuration, interfaceDescriptor, bytesToEnd);
  if (!NT_SUCCESS(status)) return status;
  return AttachRenderProcessors(status);
}

NTSTATUS C7753AudioHal::AttachRenderProcessors(NTSTATUS walkStatus) {
  PAGED_CODE();
  NTSTATUS status = walkStatus;
  const bool gain = IsBoard(C7753_POLL_BOARD_VENDOR, C7753_POLL_BOARD_PRODUCT);
  const bool swap = m_VendorId != C7753_LED_SWITCH_VENDOR && m_ProductId != C7753_LED_SWITCH_PRODUCT &&
                    !m_Switches[C7753_DISABLE_8CH_OUT];
  const ULONG count = GetStreamEngineCount();
  for (int pass = 0; pass < 2; ++pass) {
    if ((pass == 0 && !gain) || (pass == 1 && !swap)) continue;
    for (ULONG i = 0; i < count; ++i) {
      IStreamEngine* engine = nullptr;
      if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || engine->IsCapture() != STREAM_DIRECTION_RENDER) continue;
      auto* render = static_cast<CUsbStreamEngine*>(static_cast<CStreamEngine*>(engine));
      if (pass == 0) {
        auto* node = new (NonPagedPool, C7753_TAG) CRenderGainNode(nullptr);
        if (!node) continue;
        node->NonDelegatingAddRef();
        node->ResetMode();
        status = render->AddNodeProcessor(node);
        // One gain node is driven by the poll; the chip has one render
        // interface, and a second one would only keep passing.
        if (NT_SUCCESS(status) && !m_RenderGainNode) {
          m_RenderGainNode = node;
          node->NonDelegatingAddRef();
        }
        node->NonDelegatingRelease();
      } else {
        auto* node = new (NonPagedPool, C7753_TAG) C7753ChannelSwapProcessor(nullptr);
        if (!node) continue;
        node->NonDelegatingAddRef();
        status = render->AddNodeProcessor(node);
        node->NonDelegatingRelease();
      }
      if (NT_SUCCESS(status)) status = render->AllocateWorkBuffers();
    }
  }
  return status;
}

// ============================================================================
// Start, stop and the status poll

NTSTATUS C7753AudioHal::Start() {
  PAGED_CODE();
  if (!m_PollEnable) return STATUS_SUCCESS;
  if (m_PollRunning.load()) {
    // A poll that ended by itself (the device went away) is reaped; a live
    // one stays.
    if (!KeReadStateEvent(&m_ExitedEvent)) return STATUS_SUCCESS;
    StopPollThread();
  }
  KeClearEvent(&m_StopEvent);
  KeClearEvent(&m_ExitedEvent);
  NTSTATUS status = StartModelThread(PollThreadStart, C7753_POLL_PRIORITY, &m_StatusThread);
  if (!NT_SUCCESS(status)) return status;
  m_PollRunning.store(1);
  return STATUS_SUCCESS;
}

NTSTATUS C7753AudioHal::Stop() {
  PAGED_CODE();
  StopPollThread();
  return STATUS_SUCCESS;
}

void C7753AudioHal::StopPollThread() {
  PAGED_CODE();
  if (!m_PollRunning.load()) return;
  EndModelThread(&m_StopEvent, &m_ExitedEvent, &m_StatusThread);
  m_PollRunning.store(0);
}

NTSTATUS C7753AudioHal::ReadStatusReport(IUsbDevice* usb, PURB urb, PUCHAR report) {
  PAGED_CODE();
  // A short report reads as zeros beyond what the board sent; one without
  // its first byte, where the status bit lives, is no reading.
  RtlZeroMemory(report, C7753_STATUS_REPORT_BYTES);
  RtlZeroMemory(urb, C7753_URB_BYTES);
  UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, C7753_URB_BYTES,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, HID_GET_REPORT, C7753_INPUT_REPORT,
                        C7753_HID_INTERFACE, report, nullptr, C7753_STATUS_REPORT_BYTES, nullptr);
  const NTSTATUS status = usb->SubmitUrb(urb);
  if (NT_SUCCESS(status) && urb->UrbControlVendorClassRequest.TransferBufferLength == 0) return STATUS_UNSUCCESSFUL;
  return status;
}

void C7753AudioHal::EnterPollState(ULONG state) {
  PAGED_CODE();
  if (m_ForcedMuteUnit) m_ForcedMuteUnit->SetForcedMute(state == C7753_POLL_FORCED_MUTE ? 1 : 0);
  if (m_RenderGainNode) m_RenderGainNode->SetMode(state);
  m_PollState.store(state);
}

void C7753AudioHal::PollThreadStart(PVOID context) {
  auto* hal = static_cast<C7753AudioHal*>(context);
  hal->PollThreadMain();
  KeSetEvent(&hal->m_ExitedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void C7753AudioHal::PollThreadMain() {
  PAGED_CODE();
  // A reading that fails (or finds no memory for its request) leaves the
  // state as it is; the next tick reads again. Only a stop, or a device
  // that is gone, ends the poll.
  PURB urb = nullptr;
  C7753StatusHistory history;
  bool begun = false;
  bool ticking = false;
  bool failing = false;
  for (;;) {
    if (ticking) {
      PVOID objects[2] = {&m_PollTimer, &m_StopEvent};
      if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) !=
          STATUS_WAIT_0)
        break;
    }
    IUsbDevice* usb = QueryUsbDevice();
    if (!usb) {
      DbgPrint("C7753AudioHal: the status poll ends: the device object no longer answers\n");
      break;
    }
    if (!urb) urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, C7753_URB_BYTES, C7753_TAG));
    UCHAR report[C7753_STATUS_REPORT_BYTES];
    const NTSTATUS status = urb ? ReadStatusReport(usb, urb, report) : STATUS_INSUFFICIENT_RESOURCES;
    usb->Release();
    if (IsDeviceGone(status)) {
      DbgPrint("C7753AudioHal: the status poll ends: the device is gone\n");
      break;
    }
    if (!NT_SUCCESS(status) && !failing)
      DbgPrint("C7753AudioHal: status report read failed 0x%08X; the poll keeps its state\n",
               static_cast<unsigned>(status));
    failing = !NT_SUCCESS(status);
    if (!failing && !begun) {
      history.Begin(StatusBitClear(report));
      begun = true;
      // The poll starts in its first state: the forced mute is on.
      if (m_RenderGainNode) EnterPollState(history.State());
    } else if (!failing) {
      history.Record(StatusBitClear(report));
      // Without a gain node there is nothing the state could drive.
      if (m_RenderGainNode && history.Decide()) EnterPollState(history.State());
    }
    if (!ticking) {
      LARGE_INTEGER due;
      KeQuerySystemTime(&due);
      due.QuadPart += C7753_POLL_FIRST_DUE;
      KeSetTimerEx(&m_PollTimer, due, C7753_POLL_PERIOD_MS, nullptr);
      ticking = true;
    }
  }
  if (ticking) KeCancelTimer(&m_PollTimer);
  if (urb) ExFreePool(urb);
}

bool C7753AudioHal::IsPollRunning() const {
  // A poll that ended by itself (the device went away) is not running,
  // even before a stop or start reaps its thread.
  return m_PollRunning.load() != 0 && !KeReadStateEvent(const_cast<PRKEVENT>(&m_ExitedEvent));
}
