// The Audio Class 2.0 model's descriptor parsers: one entity per
// class-specific AudioControl descriptor, then one stream engine per
// AudioStreaming interface with a format per clock rate and the software
// nodes its path lacks.
//
// A descriptor is checked before any field of it is read: shorter than its
// fields, or longer than what is left of the configuration, it ends the
// parse with STATUS_UNSUCCESSFUL.
#include "driver/common/PoolBuffer.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CUacUnit.h"
#include "usb/usbdlib.h"
#include "variants/uac2/CUac2AudioHal.h"
#include "variants/uac2/CUac2Capture.h"
#include "variants/uac2/CUac2ClockSource.h"
#include "variants/uac2/CUac2FeatureUnit.h"
#include "variants/uac2/CUac2MixerSelector.h"
#include "variants/uac2/CUac2Render.h"
#include "variants/uac2/CUac2Terminals.h"
#include "variants/uac2/Uac2Streams.h"

namespace {

constexpr UCHAR AUDIO_CLASS = 1;
constexpr UCHAR AUDIOCONTROL_SUBCLASS = 1;
constexpr UCHAR AUDIOSTREAMING_SUBCLASS = 2;
constexpr UCHAR INTERFACE_TYPE = USB_INTERFACE_DESCRIPTOR_TYPE;

// The fields each descriptor kind is read up to.
constexpr ULONG INTERFACE_DESCRIPTOR_BYTES = 9;
constexpr ULONG SUBTYPE_BYTES = 3;
constexpr ULONG AS_GENERAL_BYTES = 15;
constexpr ULONG FORMAT_TYPE_BYTES = 6;

constexpr UCHAR FORMAT_TYPE_I = 1;
constexpr UCHAR FORMAT_TYPE_III = 3;
constexpr ULONG RAW_DATA_BITS = 0x80008000;  // bit 31, or bit 15 as some devices set it
constexpr WORD WAVE_FORMAT_DOLBY_AC3_SPDIF = 0x0092;
constexpr WORD WAVE_FORMAT_WMA_SPDIF = 0x0164;

bool IsAudio2Interface(const USB_INTERFACE_DESCRIPTOR* d, ULONG bytes, UCHAR subclass) {
  return d && bytes >= INTERFACE_DESCRIPTOR_BYTES && d->bLength >= INTERFACE_DESCRIPTOR_BYTES &&
         d->bInterfaceClass == AUDIO_CLASS && d->bInterfaceSubClass == subclass &&
         d->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UAC2;
}

GUID WaveTagSubFormat(WORD tag) {
  GUID guid = KSDATAFORMAT_SUBTYPE_PCM;
  guid.Data1 = tag;
  return guid;
}

// Whether a FORMAT_TYPE's subslot is one of the sizes a sample may take
// and its bit resolution fits in it.
bool SubslotHolds(UCHAR subslot, UCHAR bits) { return subslot >= 1 && subslot <= 4 && bits <= 8u * subslot; }

// Whether a descriptor at `d` with `left` bytes before the end is whole.
bool DescriptorFits(const UCHAR* d, ULONG left) { return left >= 2 && d[0] >= 2 && d[0] <= left; }

constexpr const char* AC_STEP = "UsbParseAudioControlInterface";
constexpr const char* AS_STEP = "UsbParseAudioStreamInterface";

// Why an entity's Init failed, for the refusal record (the entity's id is
// its first value, its subtype the second).
const char* EntityRefusal(UCHAR subtype) {
  switch (subtype) {
    case USB_AUDIO2_AC_INPUT_TERMINAL:
      return "input terminal %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      return "output terminal %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_MIXER_UNIT:
      return "mixer unit %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_EXTENSION_UNIT:
      return "extension unit %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_SELECTOR_UNIT:
      return "selector unit %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_FEATURE_UNIT:
      return "feature unit %u could not be built from its descriptor and the device's answers";
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      return "clock source %u could not be built from its descriptor and the device's answers";
    default:
      return "entity %u is of a kind this model does not stand for (subtype %u: an effect or processing unit, a "
             "clock selector or multiplier, or a rate converter)";
  }
}

}  // namespace

// ============================================================================
// AudioControl

NTSTATUS CUac2AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd) {
  PAGED_CODE();
  if (!IsAudio2Interface(interfaceDescriptor, bytesToEnd, AUDIOCONTROL_SUBCLASS)) {
    Refuse(AC_STEP, "the AudioControl interface is not an Audio Class 2.0 one", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (interfaceDescriptor->bLength > bytesToEnd) return STATUS_UNSUCCESSFUL;
  const auto* base = reinterpret_cast<const UCHAR*>(interfaceDescriptor);
  for (ULONG offset = interfaceDescriptor->bLength; offset < bytesToEnd;) {
    const UCHAR* d = base + offset;
    if (!DescriptorFits(d, bytesToEnd - offset) || (d[1] == UAC_CS_INTERFACE && d[0] < SUBTYPE_BYTES)) {
      Refuse(AC_STEP, "the descriptor at byte %u of the AudioControl interface has bLength %u, with %u bytes left",
             STATUS_UNSUCCESSFUL, offset, d[0], bytesToEnd - offset);
      return STATUS_UNSUCCESSFUL;
    }
    if (d[1] != UAC_CS_INTERFACE) break;
    if (d[2] != USB_AUDIO2_AC_HEADER) {
      NTSTATUS status = CreateEntity(d);
      if (!NT_SUCCESS(status)) {
        Refuse(AC_STEP, EntityRefusal(d[2]), status, d[0] > 3 ? d[3] : 0, d[2]);
        return status;
      }
    }
    offset += d[0];
  }
  return ConnectUnits();
}

NTSTATUS CUac2AudioHal::CreateEntity(const UCHAR* descriptor) {
  PAGED_CODE();
  const ULONG provisionalId = GetUnitCount();
  IAudioHal* const hal = static_cast<IAudioHal*>(this);
  auto* d = const_cast<UCHAR*>(descriptor);
  CUacUnit* unit = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  switch (descriptor[2]) {
    case USB_AUDIO2_AC_INPUT_TERMINAL:
      unit = new (NonPagedPool, UAC2_HAL_TAG) CUac2InputTerminal(nullptr, provisionalId);
      break;
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      unit = new (NonPagedPool, UAC2_HAL_TAG) CUac2OutputTerminal(nullptr, provisionalId);
      break;
    case USB_AUDIO2_AC_MIXER_UNIT:
    case USB_AUDIO2_AC_EXTENSION_UNIT:
      unit = new (NonPagedPool, UAC2_HAL_TAG)
          CUac2MixerUnit(nullptr, provisionalId, descriptor[2] == USB_AUDIO2_AC_EXTENSION_UNIT);
      break;
    case USB_AUDIO2_AC_SELECTOR_UNIT:
      unit = new (NonPagedPool, UAC2_HAL_TAG) CUac2SelectorUnit(nullptr, provisionalId);
      break;
    case USB_AUDIO2_AC_FEATURE_UNIT:
      unit = new (NonPagedPool, UAC2_HAL_TAG) CUac2FeatureUnit(nullptr, provisionalId);
      break;
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      unit = new (NonPagedPool, UAC2_HAL_TAG) CUac2ClockSource(nullptr, provisionalId);
      break;
    default:
      // Effect and processing units, clock selectors and multipliers, rate
      // converters: nothing here stands for them.
      return STATUS_UNSUCCESSFUL;
  }
  if (!unit) return STATUS_INSUFFICIENT_RESOURCES;
  unit->NonDelegatingAddRef();
  if (descriptor[2] == USB_AUDIO2_AC_EXTENSION_UNIT)
    status = static_cast<CUac2MixerUnit*>(unit)->InitExtension(d, hal, hal);
  else
    status = unit->Init(d, hal, hal);
  if (NT_SUCCESS(status)) status = AddUnit(static_cast<IUacUnit*>(unit));
  unit->NonDelegatingRelease();
  return status;
}

// ============================================================================
// AudioStreaming

NTSTATUS CUac2AudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd) {
  PAGED_CODE();
  if (!configuration || !IsAudio2Interface(interfaceDescriptor, bytesToEnd, AUDIOSTREAMING_SUBCLASS))
    return STATUS_INVALID_PARAMETER;
  return ParseStreamingInterfaces(configuration, interfaceDescriptor, bytesToEnd,
                                  [this](const UCHAR* iface, const UCHAR* end, const UCHAR** stop) {
                                    const NTSTATUS status = ParseStreamingInterface(iface, end, stop);
                                    Refuse(AS_STEP, "AudioStreaming interface %u was refused", status, iface[2]);
                                    return status;
                                  });
}

NTSTATUS CUac2AudioHal::ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end, const UCHAR** stop) {
  PAGED_CODE();
  const UCHAR interfaceNumber = interfaceDescriptor[2];
  UCHAR alternateSetting = 0;
  CUsbStreamEngine* engine = nullptr;
  ULONG clockNodeId = 0;
  // What the last AS_GENERAL said.
  bool haveGeneral = false;
  UCHAR formatType = 0;
  ULONG formats = 0;
  UCHAR channels = 0;
  ULONG channelConfig = 0;

  const UCHAR* d = interfaceDescriptor;
  NTSTATUS status = STATUS_SUCCESS;
  while (d < end) {
    const auto left = static_cast<ULONG>(end - d);
    if (!DescriptorFits(d, left)) return STATUS_UNSUCCESSFUL;
    // Descriptors of other kinds (endpoint companions, vendor data) may sit
    // anywhere among an interface's settings: only another interface ends it.
    const UCHAR type = d[1];
    if (type == INTERFACE_TYPE) {
      if (d[0] < INTERFACE_DESCRIPTOR_BYTES) return STATUS_UNSUCCESSFUL;
      if (d[2] != interfaceNumber) break;
      alternateSetting = d[3];
    } else if (type == UAC_CS_INTERFACE) {
      if (d[0] < SUBTYPE_BYTES) return STATUS_UNSUCCESSFUL;
      if (d[2] == USB_AUDIO2_AS_GENERAL) {
        if (d[0] < AS_GENERAL_BYTES) return STATUS_UNSUCCESSFUL;
        if (!engine) {
          status = CreateEngine(interfaceNumber, d[3], &engine, &clockNodeId);
          if (!NT_SUCCESS(status)) return status;
        }
        haveGeneral = true;
        formatType = d[5];
        formats = platform::usb::ReadLe32(d + 6);
        channels = d[10];
        channelConfig = platform::usb::ReadLe32(d + 11);
      } else if (d[2] == USB_AUDIO2_AS_FORMAT_TYPE) {
        if (d[0] < FORMAT_TYPE_BYTES) return STATUS_UNSUCCESSFUL;
        if (!engine || !haveGeneral || (formatType != FORMAT_TYPE_I && formatType != FORMAT_TYPE_III))
          return STATUS_INVALID_PARAMETER;
        const UCHAR subslot = d[4];
        const UCHAR bits = d[5];
        if (SubslotHolds(subslot, bits)) {
          WAVEFORMATEXTENSIBLE format{};
          format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
          format.Format.nChannels = channels;
          format.Format.wBitsPerSample = static_cast<WORD>(subslot * 8);
          format.Format.nBlockAlign = static_cast<WORD>(channels * (subslot * 8) / 8);
          format.Format.cbSize = 22;
          format.Samples.wValidBitsPerSample = bits;
          format.dwChannelMask = channelConfig;
          format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
          status = AddStreamFormats(engine, clockNodeId, formatType, formats, alternateSetting, &format);
        } else {
          // No sample of such a format can be framed or converted.
          DbgPrint("Uac2: interface %u setting %u: a %u-byte subslot with %u valid bits is no format, left out\n",
                   interfaceNumber, alternateSetting, subslot, bits);
        }
        if (!NT_SUCCESS(status)) return status;
      }
    }
    d += d[0];
  }
  *stop = d;
  if (engine) {
    status = FixUpStreamGraph(engine);
    if (NT_SUCCESS(status)) status = engine->AllocateWorkBuffers();
  }
  return status;
}

NTSTATUS CUac2AudioHal::CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** created,
                                     ULONG* clockNodeId) {
  PAGED_CODE();
  ITopoNode* terminal = nullptr;
  NTSTATUS status = FindUnitById(terminalLink, &terminal);
  if (!NT_SUCCESS(status)) {
    Refuse(AS_STEP, "interface %u: bTerminalLink %u names no entity", status, interfaceNumber, terminalLink);
    return status;
  }
  const ULONG type = terminal->GetType();
  if (type != UAC_SUBTYPE_INPUT_TERMINAL && type != UAC_SUBTYPE_OUTPUT_TERMINAL) {
    Refuse(AS_STEP, "interface %u: bTerminalLink %u names an entity that is no terminal", STATUS_INVALID_PARAMETER,
           interfaceNumber, terminalLink);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG terminalNode = 0;
  status = CUacUnit::FromUnitNode(terminal)->GetOutputNodeId(&terminalNode);
  if (!NT_SUCCESS(status)) return status;

  // The terminal's clock must be a clock source of the model.
  ITerminalClock* terminalClock = nullptr;
  status = terminal->QueryInterface(IID_ITerminalClock, reinterpret_cast<PVOID*>(&terminalClock));
  if (!NT_SUCCESS(status)) return status;
  ULONG clockId = 0;
  status = terminalClock->GetClockSourceId(&clockId);
  terminalClock->Release();
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* clock = nullptr;
  if (!NT_SUCCESS(FindUnitById(clockId, &clock)) || clock->GetType() != UAC2_SUBTYPE_CLOCK_SOURCE) {
    Refuse(AS_STEP, "interface %u: terminal %u's clock %u is no clock source of the model", STATUS_UNSUCCESSFUL,
           interfaceNumber, terminalLink, clockId);
    return STATUS_UNSUCCESSFUL;
  }
  status = CUacUnit::FromUnitNode(clock)->GetOutputNodeId(clockNodeId);
  if (!NT_SUCCESS(status)) return status;

  const bool capture = type == UAC_SUBTYPE_OUTPUT_TERMINAL;
  CUsbStreamEngine* engine =
      capture ? static_cast<CUsbStreamEngine*>(new (NonPagedPool, UAC2_HAL_TAG)
                                                   CUac2Capture(nullptr, interfaceNumber, terminalNode, *clockNodeId))
              : new (NonPagedPool, UAC2_HAL_TAG) CUac2Render(nullptr, interfaceNumber, terminalNode, *clockNodeId);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  engine->NonDelegatingAddRef();
  status = engine->Init(capture ? STREAM_DIRECTION_CAPTURE : STREAM_DIRECTION_RENDER, static_cast<IAudioHal*>(this));
  if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
  if (NT_SUCCESS(status)) status = AttachEngineNodes(engine, terminalNode);
  engine->NonDelegatingRelease();
  if (NT_SUCCESS(status)) *created = engine;
  return status;
}

NTSTATUS CUac2AudioHal::AddStreamFormats(CUsbStreamEngine* engine, ULONG clockNodeId, UCHAR formatType, ULONG formats,
                                         UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
  PAGED_CODE();
  ITopoNode* clockNode = nullptr;
  NTSTATUS status = FindNodeById(clockNodeId, &clockNode);
  if (!NT_SUCCESS(status)) return status;
  IClockSource* clock = nullptr;
  status = clockNode->QueryInterface(IID_IClockSource, reinterpret_cast<PVOID*>(&clock));
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  CPoolBuffer rates;
  status = clock->GetRateCount(&count);
  if (NT_SUCCESS(status) && count && !rates.Allocate(PagedPool, count * sizeof(ULONG), UAC2_HAL_TAG))
    status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status) && count) status = clock->GetRateList(&count, rates.As<ULONG>());
  bool highSpeed = true;
  if (IUsbDevice* usb = QueryUsbDevice()) {
    highSpeed = usb->IsHighSpeed() != FALSE;
    usb->Release();
  }
  const bool pcm = (formats & USB_AUDIO2_FORMAT_PCM) != 0;
  const bool raw = !pcm && (formats & RAW_DATA_BITS) != 0;
  auto add = [&](const GUID& subFormat) {
    format->SubFormat = subFormat;
    return engine->AddFormat(format, alternateSetting);
  };
  for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i) {
    const ULONG rate = rates.As<ULONG>()[i];
    if (!Uac2BusCarries(rate, format->Format.nBlockAlign, highSpeed)) {
      DbgPrint("Uac2: %u-byte frames at %lu Hz are more than the bus carries, left out\n", format->Format.nBlockAlign,
               static_cast<unsigned long>(rate));
      continue;
    }
    format->Format.nSamplesPerSec = rate;
    format->Format.nAvgBytesPerSec = rate * format->Format.nBlockAlign;
    if (formatType == FORMAT_TYPE_I && pcm) {
      status = add(KSDATAFORMAT_SUBTYPE_PCM);
    } else if (formatType == FORMAT_TYPE_I && raw) {
      // Only the rates the clock takes and the setting streams at.
      if (!NT_SUCCESS(clock->SetRate(rate))) continue;
      const bool valid = engine->IsCapture()
                             ? static_cast<CUac2Capture*>(engine)->IsAlternateSettingValid(alternateSetting, rate)
                             : static_cast<CUac2Render*>(engine)->IsAlternateSettingValid(alternateSetting, rate);
      if (valid) status = add(KSDATAFORMAT_SUBTYPE_UAC2_RAW_DATA);
    } else if (formatType == FORMAT_TYPE_III) {
      if (formats & USB_AUDIO2_FORMAT_IEC61937_AC3) status = add(WaveTagSubFormat(WAVE_FORMAT_DOLBY_AC3_SPDIF));
      if (NT_SUCCESS(status) && (formats & USB_AUDIO2_FORMAT_IEC61937_WMA))
        status = add(WaveTagSubFormat(WAVE_FORMAT_WMA_SPDIF));
    }
  }
  clock->Release();
  return status;
}

// ============================================================================
// The stream graph

void CUac2AudioHal::SetStereoMixPins(CUsbStreamEngine* engine) {
  PAGED_CODE();
  const ULONG count = engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node || node->GetType() != NODE_TYPE_SUM) continue;
    IStereoMixNode* mix = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_IStereoMixNode, reinterpret_cast<PVOID*>(&mix)))) continue;
    mix->SetStereoMixPin(TRUE);
    mix->Release();
  }
}

NTSTATUS CUac2AudioHal::FixUpStreamGraph(CUsbStreamEngine* engine) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  if (engine->IsCapture() && engine->GetAttachedNodeCount() != 2) SetStereoMixPins(engine);
  return CUacAudioHal::FixUpStreamGraph(engine);
}
