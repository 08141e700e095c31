// The Audio Class 1.0 model's configuration and descriptor parsers: the
// generic model's own, and the walks every Audio Class 1.0 model shares.
#include "driver/common/PoolBuffer.h"
#include "driver/hal/ChipString.h"
#include "driver/hal/CUac1AudioHal.h"
#include "streaming/CUac1Capture.h"
#include "streaming/CUac1Render.h"
#include "topology/CUac1FeatureUnit.h"
#include "topology/CUac1InputTerminal.h"
#include "topology/CUac1MixerUnit.h"
#include "topology/CUac1OutputTerminal.h"
#include "topology/CUac1SelectorUnit.h"
#include "usb/usbdlib.h"

namespace {

constexpr UCHAR CS_ENDPOINT = 0x25;
constexpr UCHAR AUDIO_CLASS = 1;
constexpr UCHAR AUDIOCONTROL_SUBCLASS = 1;
constexpr UCHAR AUDIOSTREAMING_SUBCLASS = 2;
constexpr UCHAR AUDIO_CLASS_1_PROTOCOL = 0;

constexpr UCHAR AC_HEADER = 1;
constexpr UCHAR AS_GENERAL = 1;
constexpr UCHAR AS_FORMAT_TYPE = 2;
constexpr UCHAR FORMAT_TYPE_I = 1;
constexpr UCHAR FORMAT_TYPE_III = 3;

// The fields each descriptor kind is read up to.
constexpr ULONG INTERFACE_DESCRIPTOR_BYTES = 9;
constexpr ULONG AC_UNIT_BYTES = 4;
constexpr ULONG AS_GENERAL_BYTES = 7;
constexpr ULONG FORMAT_TYPE_BYTES = 8;
constexpr ULONG FORMAT_TYPE_CONTINUOUS_BYTES = 14;
constexpr ULONG MAXIMUM_CONTINUOUS_RATE = 96000;

constexpr const char* CONFIGURE_STEP = "ConfigureDevice";
constexpr const char* AC_STEP = "UsbParseAudioControlInterface";
constexpr const char* AS_STEP = "UsbParseAudioStreamInterface";

// Devices the generic probe and parser know by their IDs.
constexpr USHORT VENDOR_HEADPHONE_TERMINALS = 0x1B1C;
constexpr USHORT PRODUCT_TWO_OUTPUTS = 0x0A04;
constexpr USHORT VENDOR_NO_STRING = 0x5E1F;
constexpr USHORT PRODUCT_NO_STRING = 0xB9E5;
constexpr USHORT VENDOR_ALT_MASK = 0x09DA;
constexpr USHORT VENDOR_NO_BIT12 = 0x6B3E;
constexpr USHORT PRODUCT_NO_BIT12 = 0x4E25;

constexpr UCHAR HEADPHONE_TERMINAL_ID = 16;
constexpr UCHAR SECOND_OUTPUT_TERMINAL_ID = 64;
constexpr USHORT TERMINAL_SPEAKER = 0x0301;
constexpr USHORT TERMINAL_HEADPHONES = 0x0302;
constexpr ULONG OUTPUT_TERMINAL_TYPE_BYTES = 6;

ULONG Le16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }
ULONG Le24(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16; }

// Whether a feature unit descriptor gives any channel a mute control: one
// bitmap of bControlSize bytes per channel from the master on, before
// iFeature; mute is the first bit.
bool FeatureUnitHasMute(const UCHAR* d) {
  const ULONG size = d[0] >= 7 ? d[5] : 0;
  for (ULONG at = 6; size && at + size < d[0]; at += size)
    if (d[at] & 1) return true;
  return false;
}

// Why a unit's Init failed, for the refusal record (the unit's id is its
// value). A feature unit without mute fails with STATUS_INSUFFICIENT_RESOURCES,
// which would read as a lack of memory.
const char* UnitRefusal(const UCHAR* d, NTSTATUS status) {
  switch (d[2]) {
    case UAC_SUBTYPE_INPUT_TERMINAL:
      return "input terminal %u could not be built from its descriptor and the device's answers";
    case UAC_SUBTYPE_OUTPUT_TERMINAL:
      return "output terminal %u could not be built from its descriptor and the device's answers";
    case UAC_SUBTYPE_MIXER_UNIT:
      return "mixer unit %u could not be built from its descriptor and the device's answers";
    case UAC_SUBTYPE_SELECTOR_UNIT:
      return "selector unit %u could not be built from its descriptor and the device's answers";
    default:
      if (status == STATUS_INSUFFICIENT_RESOURCES && !FeatureUnitHasMute(d))
        return "feature unit %u has no mute control, which this model's feature units need";
      return "feature unit %u could not be built from its descriptor and the device's answers";
  }
}

// The KSDATAFORMAT subtype GUID of a wave format tag.
GUID WaveTagSubFormat(WORD tag) {
  GUID guid = KSDATAFORMAT_SUBTYPE_PCM;
  guid.Data1 = tag;
  return guid;
}

// The first endpoint descriptor after `from` that belongs to the same
// alternate setting (before the next interface descriptor), or null.
const USB_ENDPOINT_DESCRIPTOR* AlternateDataEndpoint(const UCHAR* from, const UCHAR* end) {
  for (const UCHAR* p = from; p + 2 <= end && p[0] >= 2 && p[0] <= end - p; p += p[0]) {
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) return nullptr;
    if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
      return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
  }
  return nullptr;
}

bool IsAudioInterface(const USB_INTERFACE_DESCRIPTOR* d, ULONG bytes, UCHAR subclass) {
  return d && bytes >= INTERFACE_DESCRIPTOR_BYTES && d->bLength >= INTERFACE_DESCRIPTOR_BYTES &&
         d->bLength <= bytes && d->bInterfaceClass == AUDIO_CLASS && d->bInterfaceSubClass == subclass &&
         d->bInterfaceProtocol == AUDIO_CLASS_1_PROTOCOL;
}

}  // namespace

ULONG StandardRateIndex(ULONG rate) {
  ULONG i = 0;
  while (i + 1 < ARRAYSIZE(StandardSampleRates) && StandardSampleRates[i] < rate) ++i;
  return i;
}

DWORD GenericChannelMask(ULONG channels, bool capture) {
  switch (channels) {
    case 1:
      return KSAUDIO_SPEAKER_MONO;
    case 2:
      return KSAUDIO_SPEAKER_STEREO;
    case 4:
      return capture ? 0 : 0x33;
    case 6:
      return capture ? 0 : 0x3F;
    case 8:
      return capture ? 0 : 0x63F;
    default:
      return 0;
  }
}

NTSTATUS CUac1AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<CUac1AudioHal>(innerUnknown, outerUnknown, vendorId, productId, UAC1_HAL_TAG);
}

// ============================================================================
// Configuration

NTSTATUS CUac1AudioHal::ParseDevice() {
  PAGED_CODE();
  NTSTATUS status = UsbParseAudioControlInterface();
  Refuse(AC_STEP, nullptr, status);
  if (NT_SUCCESS(status)) {
    status = UsbParseAudioStreamInterface();
    Refuse(AS_STEP, nullptr, status);
  }
  return status;
}

NTSTATUS CUac1AudioHal::ConfigureWithOwnRecord() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) {
    Refuse(CONFIGURE_STEP, "the device object offers no USB services", status);
    return status;
  }
  auto* usb = static_cast<IUsbDevice*>(object);
  SetCapabilityRecord();
  status = ParseDevice();
  if (NT_SUCCESS(status)) {
    status = static_cast<IUsbAudioHal*>(this)->RestoreHardwareState();
    Refuse("RestoreHardwareState", "a stored setting could not be sent to the device", status);
  }
  usb->Release();
  return status;
}

NTSTATUS CUac1AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* usb = static_cast<IUsbDevice*>(object);
  CPoolBuffer buffer(NonPagedPool, UAC1_PROBE_STRING_BYTES, UAC1_PROBE_TAG);
  CPoolBuffer urb(NonPagedPool, sizeof(URB), UAC1_PROBE_TAG);
  status = STATUS_INSUFFICIENT_RESOURCES;
  if (buffer && urb) {
    status = ProbeChip(usb, urb.As<URB>(), buffer.As<UCHAR>());
    Refuse(CONFIGURE_STEP, "a read of the chip's registers (vendor request to \"other\") failed", status);
    if (NT_SUCCESS(status)) status = ParseDevice();
  }
  usb->Release();
  return status;
}

NTSTATUS CUac1AudioHal::ReadOtherRegister(IUsbDevice* usb, PURB urb, UCHAR request, USHORT value, PUCHAR byte,
                                          USHORT index) {
  *byte = 0;
  RtlZeroMemory(urb, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_OTHER, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, value, index, byte, nullptr,
                        1, nullptr);
  return usb->SubmitUrb(urb);
}

NTSTATUS CUac1AudioHal::ProbeChip(IUsbDevice* usb, PURB urb, PUCHAR buffer) {
  PAGED_CODE();
  ULONG received = 0;
  NTSTATUS status = ReadChipString(usb, urb, buffer, &received);
  m_Caps = DeviceCapsRecord{};

  if (!NT_SUCCESS(status)) {
    if (m_VendorId == VENDOR_HEADPHONE_TERMINALS && m_ProductId == PRODUCT_TWO_OUTPUTS) {
      m_Caps.CapabilityMask = 0x24;
      return STATUS_SUCCESS;
    }
    if (m_VendorId == VENDOR_NO_STRING && m_ProductId == PRODUCT_NO_STRING) {
      m_Caps.CapabilityMask = 0x3C0264;
      m_Caps.ModelValue = 12;
      return STATUS_SUCCESS;
    }
    Refuse(CONFIGURE_STEP, "the chip's vendor string (string descriptor 0x50, else 0x32) cannot be read", status);
    return status;
  }

  if (ChipStringBegins(buffer, received, "7794")) {
    UCHAR chip = 0;
    status = ReadOtherRegister(usb, urb, 0x02, 0x0051, &chip);
    if (!NT_SUCCESS(status)) return status;
    if (chip == 0x1F) {
      m_Caps.CapabilityMask = 0x3E10A0;
      if (m_VendorId == VENDOR_ALT_MASK && m_ProductId >= 0x2701 && m_ProductId <= 0x2703)
        m_Caps.CapabilityMask = 0x3E00A5;
      if (m_VendorId == VENDOR_NO_BIT12 && m_ProductId == PRODUCT_NO_BIT12) m_Caps.CapabilityMask &= ~0x1000u;
      m_Caps.Flags = 0x41;
    }
  } else if (ChipStringBegins(buffer, received, "VZR417")) {
    UCHAR a = 0, b = 0;
    status = ReadOtherRegister(usb, urb, 0x00, 0x001A, &a);
    if (!NT_SUCCESS(status)) return status;
    status = ReadOtherRegister(usb, urb, 0x00, 0x0020, &b);
    if (!NT_SUCCESS(status)) return status;
    const UCHAR kind = a & 0x0E;
    if ((b & 0x02) == 0 && kind == 0x08) {
      m_Caps.CapabilityMask = 0x3E087;
    } else if ((b & 0x02) == 0 && kind == 0x0E) {
      m_Caps.CapabilityMask = 0x3E087;
      m_Caps.Flags = DEVICE_CAPS_FLAG_ASIO;
    } else {
      Refuse(CONFIGURE_STEP, "the chip's registers name a variant this model cannot drive", STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
  }
  // "VZR419" and any other string: an all-zero record.
  return STATUS_SUCCESS;
}

// ============================================================================
// AudioControl

NTSTATUS CUac1AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  PAGED_CODE();
  NTSTATUS status = ParseAudioControl(interfaceDescriptor, bytesToEnd);
  if (NT_SUCCESS(status) && m_VendorId == VENDOR_HEADPHONE_TERMINALS && m_ProductId == PRODUCT_TWO_OUTPUTS)
    status = CheckLayout();
  return status;
}

NTSTATUS CUac1AudioHal::CheckLayout() {
  PAGED_CODE();
  for (ULONG id : {ULONG{HEADPHONE_TERMINAL_ID}, ULONG{SECOND_OUTPUT_TERMINAL_ID}}) {
    ITopoNode* unit = nullptr;
    NTSTATUS status = FindUnitById(id, &unit);
    if (!NT_SUCCESS(status)) {
      Refuse(AC_STEP, "an output terminal of the product's layout is missing", status);
      return status;
    }
    if (unit->GetType() != UAC_SUBTYPE_OUTPUT_TERMINAL) {
      Refuse(AC_STEP, "a unit of the product's layout is no output terminal", STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
  }
  return STATUS_SUCCESS;
}

void CUac1AudioHal::AnnounceHeadphoneTerminal(const UCHAR* descriptor, UCHAR terminalId) {
  // The vendor's speaker terminal is a headphone jack: the stored
  // configuration says so from here on, for every later reader.
  if (m_VendorId == VENDOR_HEADPHONE_TERMINALS && descriptor[2] == UAC_SUBTYPE_OUTPUT_TERMINAL &&
      descriptor[0] >= OUTPUT_TERMINAL_TYPE_BYTES && descriptor[3] == terminalId &&
      (descriptor[4] | descriptor[5] << 8) == TERMINAL_SPEAKER) {
    auto* writable = const_cast<UCHAR*>(descriptor);
    writable[4] = static_cast<UCHAR>(TERMINAL_HEADPHONES & 0xFF);
    writable[5] = static_cast<UCHAR>(TERMINAL_HEADPHONES >> 8);
  }
}

NTSTATUS CUac1AudioHal::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd) {
  PAGED_CODE();
  if (!IsAudioInterface(interfaceDescriptor, bytesToEnd, AUDIOCONTROL_SUBCLASS)) {
    Refuse(AC_STEP, "the AudioControl interface is not an Audio Class 1.0 one", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  const auto* base = reinterpret_cast<const UCHAR*>(interfaceDescriptor);
  for (ULONG offset = interfaceDescriptor->bLength; offset < bytesToEnd;) {
    const UCHAR* d = base + offset;
    const ULONG left = bytesToEnd - offset;
    if (left < 2 || d[0] < 2 || d[0] > left) {
      Refuse(AC_STEP, "the descriptor at byte %u of the AudioControl interface has bLength %u, with %u bytes left",
             STATUS_UNSUCCESSFUL, offset, d[0], left);
      return STATUS_UNSUCCESSFUL;
    }
    if (d[1] != UAC_CS_INTERFACE) break;
    const UCHAR subtype = d[0] >= 3 ? d[2] : 0;
    if (subtype != AC_HEADER) {
      if (subtype < UAC_SUBTYPE_INPUT_TERMINAL || subtype > UAC_SUBTYPE_FEATURE_UNIT) {
        Refuse(AC_STEP, "unit %u is of a kind this product does not support (subtype %u: processing, extension or other)",
               STATUS_UNSUCCESSFUL, d[0] >= AC_UNIT_BYTES ? d[3] : 0, subtype);
        return STATUS_UNSUCCESSFUL;
      }
      if (d[0] < AC_UNIT_BYTES) {
        Refuse(AC_STEP, "a unit descriptor of %u bytes, too short for its id (subtype %u)", STATUS_UNSUCCESSFUL, d[0],
               subtype);
        return STATUS_UNSUCCESSFUL;
      }
      NTSTATUS status = CreateUnit(d);
      if (!NT_SUCCESS(status)) {
        Refuse(AC_STEP, UnitRefusal(d, status), status, d[3]);
        return status;
      }
    }
    offset += d[0];
  }
  NTSTATUS status = ConnectUnits();
  if (!NT_SUCCESS(status)) Refuse(AC_STEP, "the units could not be connected", status);
  return status;
}

NTSTATUS CUac1AudioHal::CreateUnit(const UCHAR* descriptor) {
  PAGED_CODE();
  AnnounceHeadphoneTerminal(descriptor, HEADPHONE_TERMINAL_ID);
  return AddUnitFor(descriptor);
}

NTSTATUS CUac1AudioHal::AddUnitFor(const UCHAR* descriptor) {
  PAGED_CODE();
  CUacUnit* unit = NewUnit(descriptor, GetUnitCount());
  if (!unit) return STATUS_INSUFFICIENT_RESOURCES;
  unit->NonDelegatingAddRef();
  IAudioHal* hal = static_cast<IAudioHal*>(this);
  NTSTATUS status = unit->Init(const_cast<UCHAR*>(descriptor), hal, hal);
  if (NT_SUCCESS(status)) status = AddUnit(static_cast<IUacUnit*>(unit));
  unit->NonDelegatingRelease();
  return status;
}

CUacUnit* CUac1AudioHal::NewUnit(const UCHAR* descriptor, ULONG provisionalId) {
  switch (descriptor[2]) {
    case UAC_SUBTYPE_INPUT_TERMINAL:
      return new (NonPagedPool, m_UnitTag) CUac1InputTerminal(nullptr, provisionalId);
    case UAC_SUBTYPE_OUTPUT_TERMINAL:
      return new (NonPagedPool, m_UnitTag) CUac1OutputTerminal(nullptr, provisionalId);
    case UAC_SUBTYPE_MIXER_UNIT:
      return new (NonPagedPool, m_UnitTag) CUac1MixerUnit(nullptr, provisionalId);
    case UAC_SUBTYPE_SELECTOR_UNIT:
      return new (NonPagedPool, m_UnitTag) CUac1SelectorUnit(nullptr, provisionalId);
    default:
      return NewFeatureUnit(descriptor[3], provisionalId);
  }
}

CUacUnit* CUac1AudioHal::NewFeatureUnit(UCHAR, ULONG provisionalId) {
  return new (NonPagedPool, m_UnitTag) CUac1FeatureUnit(nullptr, provisionalId);
}

// ============================================================================
// AudioStreaming

NTSTATUS CUac1AudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                     ULONG bytesToEnd) {
  return ParseAudioStreaming(configuration, interfaceDescriptor, bytesToEnd);
}

NTSTATUS CUac1AudioHal::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                            PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd) {
  PAGED_CODE();
  if (!configuration || !IsAudioInterface(interfaceDescriptor, bytesToEnd, AUDIOSTREAMING_SUBCLASS)) {
    Refuse(AS_STEP, "the AudioStreaming interface is not an Audio Class 1.0 one", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  return ParseStreamingInterfaces(configuration, interfaceDescriptor, bytesToEnd,
                                  [this](const UCHAR* iface, const UCHAR* end, const UCHAR** stop) {
                                    return ParseStreamingInterface(iface, end, stop);
                                  });
}

NTSTATUS CUac1AudioHal::ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end,
                                                const UCHAR** stop) {
  PAGED_CODE();
  const UCHAR number = interfaceDescriptor[2];
  UCHAR alternate = interfaceDescriptor[3];
  USHORT formatTag = 0;
  CUsbStreamEngine* engine = nullptr;
  const UCHAR* p = interfaceDescriptor + interfaceDescriptor[0];
  // Each reason starts with "interface %u alternate setting %u".
  auto malformed = [&](const char* reason) {
    Refuse(AS_STEP, reason, STATUS_UNSUCCESSFUL, number, alternate);
    return STATUS_UNSUCCESSFUL;
  };

  for (; p < end; p += p[0]) {
    const auto left = static_cast<ULONG>(end - p);
    if (left < 2 || p[0] < 2 || p[0] > left) return malformed("interface %u alternate setting %u: a descriptor's length does not fit the configuration");
    const UCHAR length = p[0];
    const UCHAR type = p[1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (length < INTERFACE_DESCRIPTOR_BYTES) return malformed("interface %u alternate setting %u: an interface descriptor shorter than its fields");
      if (p[2] != number) break;
      alternate = p[3];
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE || type == CS_ENDPOINT) {
      continue;
    } else if (type == UAC_CS_INTERFACE) {
      if (length < 3) return malformed("interface %u alternate setting %u: a class-specific descriptor without its subtype");
      if (p[2] == AS_GENERAL) {
        if (length < AS_GENERAL_BYTES) return malformed("interface %u alternate setting %u: an AS_GENERAL descriptor shorter than its fields");
        formatTag = static_cast<USHORT>(Le16(p + 5));
        if (!engine) {
          NTSTATUS status = CreateEngine(number, p[3], &engine);
          if (!NT_SUCCESS(status)) return status;
        }
      } else if (p[2] == AS_FORMAT_TYPE) {
        if (length < FORMAT_TYPE_BYTES) return malformed("interface %u alternate setting %u: a FORMAT_TYPE descriptor shorter than its fields");
        const UCHAR rates = p[7];
        if (length < (rates ? FORMAT_TYPE_BYTES + 3 * ULONG(rates) : FORMAT_TYPE_CONTINUOUS_BYTES))
          return malformed("interface %u alternate setting %u: a FORMAT_TYPE descriptor whose rates run past its length");
        if (!engine) {
          Refuse(AS_STEP, "interface %u alternate setting %u: a FORMAT_TYPE before any AS_GENERAL of its interface",
                 STATUS_INVALID_PARAMETER, number, alternate);
          return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = AddFormatType(engine, p, formatTag, alternate, AlternateDataEndpoint(p + length, end));
        if (!NT_SUCCESS(status)) return status;
      }
    } else {
      break;
    }
  }
  *stop = p < end ? p : end;

  if (!engine) return STATUS_SUCCESS;
  NTSTATUS status = FixUpStreamGraph(engine);
  if (NT_SUCCESS(status)) status = engine->AllocateWorkBuffers();
  Refuse(AS_STEP, "interface %u: the stream engine could not be completed", status, number);
  return status;
}

NTSTATUS CUac1AudioHal::CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** engine) {
  PAGED_CODE();
  ITopoNode* terminal = nullptr;
  NTSTATUS status = FindUnitById(terminalLink, &terminal);
  if (!NT_SUCCESS(status)) {
    Refuse(AS_STEP, "interface %u: bTerminalLink %u names no unit", status, interfaceNumber, terminalLink);
    return status;
  }
  const ULONG type = terminal->GetType();
  if (type != UAC_SUBTYPE_INPUT_TERMINAL && type != UAC_SUBTYPE_OUTPUT_TERMINAL) {
    Refuse(AS_STEP, "interface %u: bTerminalLink %u names a unit that is no terminal", STATUS_INVALID_PARAMETER,
           interfaceNumber, terminalLink);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG terminalNode = 0;
  status = CUacUnit::FromUnitNode(terminal)->GetOutputNodeId(&terminalNode);
  if (!NT_SUCCESS(status)) return status;

  const bool render = type == UAC_SUBTYPE_INPUT_TERMINAL;
  CUsbStreamEngine* created = render ? NewRenderEngine(interfaceNumber, terminalNode)
                                     : new (NonPagedPool, m_UnitTag) CUac1Capture(nullptr, interfaceNumber, terminalNode);
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  created->NonDelegatingAddRef();
  status = created->Init(render ? STREAM_DIRECTION_RENDER : STREAM_DIRECTION_CAPTURE, static_cast<IAudioHal*>(this));
  if (NT_SUCCESS(status)) status = AddStreamEngine(static_cast<IStreamEngine*>(created));
  if (NT_SUCCESS(status)) {
    // The model's list holds the engine from here on.
    *engine = created;
    status = AttachEngineNodes(created, terminalNode);
    if (!NT_SUCCESS(status))
      Refuse(AS_STEP, "interface %u: no path of the stream reaches its terminal %u", status, interfaceNumber,
             terminalLink);
  }
  created->NonDelegatingRelease();
  return status;
}

CUsbStreamEngine* CUac1AudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, m_UnitTag) CUac1Render(nullptr, interfaceNumber, terminalNodeId);
}

bool CUac1AudioHal::CarriesFormat(bool, ULONG channels, ULONG subframeBytes) const {
  // A format without channels or samples would give a stream of empty
  // frames; one with wider samples than a stream carries cannot be opened.
  return channels != 0 && subframeBytes != 0 && subframeBytes <= MAXIMUM_SUBFRAME_BYTES;
}

WORD CUac1AudioHal::AnnouncedChannels(bool, ULONG channels) const { return static_cast<WORD>(channels); }

DWORD CUac1AudioHal::AnnouncedChannelMask(bool render, ULONG channels) const {
  return GenericChannelMask(channels, !render);
}

NTSTATUS CUac1AudioHal::AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                      UCHAR alternateSetting, const USB_ENDPOINT_DESCRIPTOR*) {
  PAGED_CODE();
  FormatRates rates;
  NTSTATUS status = AddFormatTemplate(engine, formatType, formatTag, alternateSetting, 1, MAXULONG, &rates);
  if (!NT_SUCCESS(status)) return status;
  // Type I always has a rate to give; a Type III whose tag names no
  // IEC 61937 stream has none, and that refuses the device.
  if (rates.carried && formatType[3] == FORMAT_TYPE_III && !rates.added) {
    Refuse(AS_STEP, "alternate setting %u: a Type III format whose wFormatTag names no IEC 61937 stream",
           STATUS_UNSUCCESSFUL, alternateSetting);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1AudioHal::AddFormatTemplate(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                          UCHAR alternateSetting, ULONG lowestRate, ULONG highestRate,
                                          FormatRates* rates) {
  PAGED_CODE();
  const UCHAR kind = formatType[3];
  if (kind != FORMAT_TYPE_I && kind != FORMAT_TYPE_III) {
    Refuse(AS_STEP, "alternate setting %u: format type %u, neither I nor III", STATUS_INVALID_PARAMETER,
           alternateSetting, kind);
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG channels = formatType[4];
  const ULONG subframe = formatType[5];
  const bool render = engine->IsCapture() != STREAM_DIRECTION_CAPTURE;
  if (!CarriesFormat(render, channels, subframe)) return STATUS_SUCCESS;
  rates->carried = true;

  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = AnnouncedChannels(render, channels);
  format.Format.wBitsPerSample = static_cast<WORD>(8 * subframe);
  format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * format.Format.wBitsPerSample / 8);
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = formatType[6];
  format.dwChannelMask = AnnouncedChannelMask(render, channels);
  NTSTATUS status =
      AddFormatRates(engine, formatType, formatTag, alternateSetting, &format, lowestRate, highestRate, rates);
  if (NT_SUCCESS(status) && !render && channels < 4) {
    // The same formats again without a speaker layout, for clients that ask
    // for one.
    format.dwChannelMask = 0;
    FormatRates again;
    status = AddFormatRates(engine, formatType, formatTag, alternateSetting, &format, lowestRate, highestRate, &again);
    rates->added += again.added;
  }
  if (status == STATUS_INVALID_PARAMETER)
    Refuse(AS_STEP, "alternate setting %u: a continuous rate range reaches above 96000 Hz", status, alternateSetting);
  else if (!NT_SUCCESS(status))
    Refuse(AS_STEP, "alternate setting %u: a format of a FORMAT_TYPE could not be added", status, alternateSetting);
  return status;
}

NTSTATUS CUac1AudioHal::AddFormatRates(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                       UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format, ULONG lowestRate,
                                       ULONG highestRate, FormatRates* counts) {
  PAGED_CODE();
  if (!engine || !formatType || !format || !counts) return STATUS_INVALID_PARAMETER;
  const ULONG discrete = formatType[7];
  CPoolBuffer list;
  const ULONG* rates = nullptr;
  ULONG rateCount = 0;
  if (discrete) {
    if (!list.Allocate(PagedPool, discrete * sizeof(ULONG), UAC1_HAL_TAG)) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < discrete; ++i) list.As<ULONG>()[i] = Le24(formatType + 8 + 3 * i);
    rates = list.As<ULONG>();
    rateCount = discrete;
  } else {
    const ULONG lower = Le24(formatType + 8);
    const ULONG upper = Le24(formatType + 11);
    if (lower > MAXIMUM_CONTINUOUS_RATE || upper > MAXIMUM_CONTINUOUS_RATE) return STATUS_INVALID_PARAMETER;
    // An upper bound between two table rates includes the higher one.
    ULONG first = StandardRateIndex(lower);
    ULONG last = StandardRateIndex(upper);
    if (first > last) {
      ULONG swap = first;
      first = last;
      last = swap;
    }
    rates = &StandardSampleRates[first];
    rateCount = last - first + 1;
  }

  const bool typeIII = formatType[3] == FORMAT_TYPE_III;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < rateCount && NT_SUCCESS(status); ++i) {
    const ULONG rate = rates[i];
    // A rate of 0 gives a stream that never moves.
    if (rate == 0 || rate < lowestRate) continue;
    if (typeIII && !(formatTag & TYPE_III_FORMAT_TAG_BITS)) continue;
    ++counts->offered;
    if (rate > highestRate) continue;
    format->Format.nSamplesPerSec = rate;
    format->Format.nAvgBytesPerSec = format->Format.nBlockAlign * rate;
    if (!typeIII) {
      format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
      status = engine->AddFormat(format, alternateSetting);
      if (NT_SUCCESS(status)) ++counts->added;
    } else {
      for (WORD tag : {WAVE_FORMAT_DOLBY_AC3_SPDIF, WAVE_FORMAT_WMA_SPDIF}) {
        format->SubFormat = WaveTagSubFormat(tag);
        status = engine->AddFormat(format, alternateSetting);
        if (!NT_SUCCESS(status)) break;
        ++counts->added;
      }
    }
  }
  return status;
}
