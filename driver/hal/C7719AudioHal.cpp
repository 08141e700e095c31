#include "driver/hal/C7719AudioHal.h"

#include "driver/common/PoolBuffer.h"
#include "driver/hal/CK784AudioHal.h"
#include "streaming/CUac1Capture.h"
#include "streaming/CUac1Render.h"
#include "topology/CProductFeatureUnits.h"
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

constexpr const char* AC_STEP = "UsbParseAudioControlInterface";
constexpr const char* AS_STEP = "UsbParseAudioStreamInterface";

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

NTSTATUS C7719AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<C7719AudioHal>(innerUnknown, outerUnknown, vendorId, productId, C7719_HAL_TAG);
}

NTSTATUS CK784AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<CK784AudioHal>(innerUnknown, outerUnknown, vendorId, productId, K784_HAL_TAG);
}

// ============================================================================
// Configuration, start and stop

NTSTATUS C7719AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) {
    Refuse("ConfigureDevice", "the device object offers no USB services", status);
    return status;
  }
  SetCapabilityRecord();
  status = UsbParseAudioControlInterface();
  Refuse(AC_STEP, nullptr, status);
  if (NT_SUCCESS(status)) {
    status = UsbParseAudioStreamInterface();
    Refuse(AS_STEP, nullptr, status);
  }
  if (NT_SUCCESS(status)) {
    status = static_cast<IUsbAudioHal*>(this)->RestoreHardwareState();
    Refuse("RestoreHardwareState", "a stored setting could not be sent to the device", status);
  }
  static_cast<IUsbDevice*>(object)->Release();
  return status;
}

void C7719AudioHal::SetCapabilityRecord() {
  m_Caps.CapabilityMask = 4;
  m_Caps.ModelValue = 8;
}

NTSTATUS CK784AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  m_Caps.CapabilityMask = 4;
  m_Caps.ModelValue = 8;
  NTSTATUS status = UsbParseAudioControlInterface();
  DbgPrint("UsbParseAudioControlInterface = %x\n", static_cast<unsigned>(status));
  Refuse(AC_STEP, nullptr, status);
  if (NT_SUCCESS(status)) {
    status = UsbParseAudioStreamInterface();
    DbgPrint("UsbParseAudioStreamInterface = %x\n", static_cast<unsigned>(status));
    Refuse(AS_STEP, nullptr, status);
  }
  return status;
}

NTSTATUS C7719AudioHal::Start() {
  PAGED_CODE();
  // Without a status thread the device still plays; it only reports no
  // device-side changes.
  CUac1AudioHal::Start();
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* unit = nullptr;
    if (NT_SUCCESS(GetUnit(i, &unit))) unit->OnHalStart(i, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7719AudioHal::Stop() {
  PAGED_CODE();
  CUac1AudioHal::Stop();
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* unit = nullptr;
    if (NT_SUCCESS(GetUnit(i, &unit))) unit->OnHalStop(i, nullptr);
  }
  return STATUS_SUCCESS;
}

// ============================================================================
// AudioControl

CUacUnit* C7719AudioHal::NewFeatureUnit(UCHAR, ULONG provisionalId) {
  return new (NonPagedPool, UAC1_HAL_TAG) C7719FeatureUnit(nullptr, provisionalId);
}

CUacUnit* CK784AudioHal::NewFeatureUnit(UCHAR unitId, ULONG provisionalId) {
  if (unitId == 2) return new (NonPagedPool, UAC1_HAL_TAG) CK784FeatureUnit(nullptr, provisionalId);
  return new (NonPagedPool, UAC1_HAL_TAG) CUac1FeatureUnit(nullptr, provisionalId);
}

NTSTATUS C7719AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  return ParseAudioControl(interfaceDescriptor, bytesToEnd);
}

NTSTATUS CK784AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  return ParseAudioControl(interfaceDescriptor, bytesToEnd);
}

NTSTATUS C7719AudioHal::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd) {
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

CUacUnit* C7719AudioHal::NewUnit(const UCHAR* descriptor, ULONG provisionalId) {
  switch (descriptor[2]) {
    case UAC_SUBTYPE_INPUT_TERMINAL:
      return new (NonPagedPool, UAC1_HAL_TAG) CUac1InputTerminal(nullptr, provisionalId);
    case UAC_SUBTYPE_OUTPUT_TERMINAL:
      return new (NonPagedPool, UAC1_HAL_TAG) CUac1OutputTerminal(nullptr, provisionalId);
    case UAC_SUBTYPE_MIXER_UNIT:
      return new (NonPagedPool, UAC1_HAL_TAG) CUac1MixerUnit(nullptr, provisionalId);
    case UAC_SUBTYPE_SELECTOR_UNIT:
      return new (NonPagedPool, UAC1_HAL_TAG) CUac1SelectorUnit(nullptr, provisionalId);
    default:
      return NewFeatureUnit(descriptor[3], provisionalId);
  }
}

NTSTATUS C7719AudioHal::CreateUnit(const UCHAR* descriptor) {
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

// ============================================================================
// AudioStreaming

NTSTATUS C7719AudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                     ULONG bytesToEnd) {
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

NTSTATUS C7719AudioHal::ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end,
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

ULONG C7719AudioHal::HighestCarriedRate(CUsbStreamEngine* engine, const UCHAR* formatType,
                                        const USB_ENDPOINT_DESCRIPTOR* endpoint) {
  PAGED_CODE();
  if (!endpoint) return 0;
  const bool capture = engine->IsCapture() == STREAM_DIRECTION_CAPTURE;
  const bool isochronous = (endpoint->bmAttributes & 0x03) == 0x01;
  const bool feedback = ((endpoint->bmAttributes >> 4) & 0x03) == 0x01;
  const bool in = (endpoint->bEndpointAddress & 0x80) != 0;
  if (!isochronous || feedback || in != capture) return 0;
  bool highSpeed = false;
  if (IUsbDevice* usb = QueryUsbDevice()) {
    highSpeed = usb->IsHighSpeed() != FALSE;
    usb->Release();
  }
  return UsbHighestCarriedRate(endpoint->wMaxPacketSize, endpoint->bInterval, highSpeed,
                               ULONG(formatType[4]) * formatType[5]);
}

NTSTATUS C7719AudioHal::CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** engine) {
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
                                     : new (NonPagedPool, UAC1_HAL_TAG) CUac1Capture(nullptr, interfaceNumber, terminalNode);
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

CUsbStreamEngine* C7719AudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CTQ4187Render(nullptr, interfaceNumber, terminalNodeId);
}

bool C7719AudioHal::CarriesFormat(bool render, ULONG channels, ULONG subframe) const {
  // Formats no stream could carry are left out.
  if (subframe == 0 || subframe > MAXIMUM_SUBFRAME_BYTES) return false;
  if (render) return channels == RENDER_DEVICE_CHANNELS;
  return channels != 0 && channels <= CAPTURE_MAXIMUM_CHANNELS;
}

WORD C7719AudioHal::AnnouncedChannels(bool render, ULONG channels) const {
  return render ? RENDER_ANNOUNCED_CHANNELS : static_cast<WORD>(channels);
}

DWORD C7719AudioHal::AnnouncedChannelMask(bool render, ULONG channels) const {
  return render ? RENDER_CHANNEL_MASK
         : channels == 1 ? KSAUDIO_SPEAKER_MONO
         : channels == 2 ? KSAUDIO_SPEAKER_STEREO
                         : 0;
}

NTSTATUS C7719AudioHal::AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                      UCHAR alternateSetting, const USB_ENDPOINT_DESCRIPTOR* endpoint) {
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
  // A rate whose packets the alternate setting's data endpoint cannot carry
  // would fail every transfer: it is not offered. The others are.
  const ULONG highestRate = HighestCarriedRate(engine, formatType, endpoint);

  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = AnnouncedChannels(render, channels);
  format.Format.wBitsPerSample = static_cast<WORD>(8 * subframe);
  format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * format.Format.wBitsPerSample / 8);
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = formatType[6];
  format.dwChannelMask = AnnouncedChannelMask(render, channels);
  NTSTATUS status = AddStreamFormats(engine, formatType, formatTag, alternateSetting, &format, highestRate);
  if (NT_SUCCESS(status) && !render && channels < 4) {
    // The same formats again without a speaker layout, for clients that ask
    // for one.
    format.dwChannelMask = 0;
    status = AddStreamFormats(engine, formatType, formatTag, alternateSetting, &format, highestRate);
  }
  if (status == STATUS_INVALID_PARAMETER)
    Refuse(AS_STEP, "alternate setting %u: a continuous rate range reaches above 96000 Hz", status, alternateSetting);
  else if (!NT_SUCCESS(status))
    Refuse(AS_STEP, "alternate setting %u: a FORMAT_TYPE offers no format this product can use", status,
           alternateSetting);
  return status;
}

NTSTATUS C7719AudioHal::AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                         UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
  return AddStreamFormats(engine, formatType, formatTag, alternateSetting, format, MAXULONG);
}

NTSTATUS C7719AudioHal::AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                         UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format, ULONG highestRate) {
  PAGED_CODE();
  if (!engine || !formatType || !format) return STATUS_INVALID_PARAMETER;
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

  const bool render = engine->IsCapture() != STREAM_DIRECTION_CAPTURE;
  const bool typeIII = formatType[3] == FORMAT_TYPE_III;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG offered = 0, added = 0;
  for (ULONG i = 0; i < rateCount && NT_SUCCESS(status); ++i) {
    const ULONG rate = rates[i];
    if (rate == 0 || (render && rate < m_RenderMinimumRate)) continue;
    if (typeIII && !(formatTag & TYPE_III_FORMAT_TAG_BITS)) continue;
    ++offered;
    if (rate > highestRate) continue;
    format->Format.nSamplesPerSec = rate;
    format->Format.nAvgBytesPerSec = format->Format.nBlockAlign * rate;
    if (!typeIII) {
      format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
      status = engine->AddFormat(format, alternateSetting);
      if (NT_SUCCESS(status)) ++added;
    } else {
      for (WORD tag : {WAVE_FORMAT_DOLBY_AC3_SPDIF, WAVE_FORMAT_WMA_SPDIF}) {
        format->SubFormat = WaveTagSubFormat(tag);
        status = engine->AddFormat(format, alternateSetting);
        if (!NT_SUCCESS(status)) break;
        ++added;
      }
    }
  }
  if (!NT_SUCCESS(status)) return status;
  // Nothing to offer refuses the device; rates offered that the data
  // endpoint carries none of leave this alternate setting out.
  return added || offered ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
