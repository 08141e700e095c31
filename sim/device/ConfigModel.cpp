#include "sim/device/ConfigModel.h"

#include <algorithm>

#include "usb/usbaudio2.h"

namespace sim {

using platform::usb::ReadLe16;
using platform::usb::ReadLe24;

bool FormatInfo::Supports(uint32_t rate) const {
  if (continuous) return rates.size() == 2 && rate >= rates[0] && rate <= rates[1];
  return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

uint32_t FormatInfo::DefaultRate() const {
  if (rates.empty()) return 0;
  return continuous ? rates.back() : rates.front();
}

const AltSetting* InterfaceInfo::Find(uint8_t alternate) const {
  for (const AltSetting& a : alternates)
    if (a.alternate == alternate) return &a;
  return nullptr;
}

bool UnitInfo::HasControl(uint8_t cs, uint8_t channel) const {
  if (cs == 0 || cs > 32 || channel >= bitmaps.size()) return false;
  return (bitmaps[channel] >> (cs - 1)) & 1;
}

const InterfaceInfo* ConfigModel::FindInterface(uint8_t number) const {
  for (const InterfaceInfo& i : interfaces)
    if (i.number == number) return &i;
  return nullptr;
}

const EndpointInfo* ConfigModel::FindEndpoint(uint8_t address, uint8_t* interfaceNumber, uint8_t* alternate) const {
  for (const InterfaceInfo& i : interfaces)
    for (const AltSetting& a : i.alternates)
      for (const EndpointInfo& e : a.endpoints)
        if (e.address == address) {
          if (interfaceNumber) *interfaceNumber = i.number;
          if (alternate) *alternate = a.alternate;
          return &e;
        }
  return nullptr;
}

namespace {

// Reads a unit's source list, keeping only the entries inside bLength.
std::vector<uint8_t> Sources(const uint8_t* d, size_t length, size_t countAt) {
  std::vector<uint8_t> out;
  if (countAt >= length) return out;
  const size_t count = d[countAt];
  for (size_t k = 0; k < count && countAt + 1 + k < length; ++k) out.push_back(d[countAt + 1 + k]);
  return out;
}

void ParseControlDescriptor(const uint8_t* d, size_t length, ConfigModel& model) {
  if (length < 4) return;
  UnitInfo unit;
  unit.id = d[3];
  unit.subtype = d[2];
  switch (d[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL:
      if (length < 12) return;
      unit.terminalType = ReadLe16(d + 4);
      unit.channels = d[7];
      break;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
      if (length < 9) return;
      unit.terminalType = ReadLe16(d + 4);
      unit.sources = {d[7]};
      break;
    case USB_AUDIO_AC_MIXER_UNIT:
      unit.sources = Sources(d, length, 4);
      if (5 + unit.sources.size() < length) unit.channels = d[5 + unit.sources.size()];
      break;
    case USB_AUDIO_AC_SELECTOR_UNIT:
      unit.sources = Sources(d, length, 4);
      break;
    case USB_AUDIO_AC_FEATURE_UNIT: {
      if (length < 6) return;
      unit.sources = {d[4]};
      unit.controlSize = d[5];
      if (unit.controlSize == 0 || length < 7) break;
      // bmaControls fill bLength - 7 bytes; iFeature is the last byte.
      const size_t entries = (length - 7) / unit.controlSize;
      for (size_t e = 0; e < entries; ++e) {
        uint32_t bitmap = 0;
        for (size_t b = 0; b < unit.controlSize && b < 4; ++b)
          bitmap |= static_cast<uint32_t>(d[6 + e * unit.controlSize + b]) << (8 * b);
        unit.bitmaps.push_back(bitmap);
      }
      if (!unit.bitmaps.empty()) unit.channels = static_cast<uint8_t>(unit.bitmaps.size() - 1);
      break;
    }
    case USB_AUDIO_AC_PROCESSING_UNIT:
    case USB_AUDIO_AC_EXTENSION_UNIT:
      if (length < 7) return;
      unit.processType = ReadLe16(d + 4);
      unit.sources = Sources(d, length, 6);
      if (7 + unit.sources.size() < length) unit.channels = d[7 + unit.sources.size()];
      break;
    default:
      return;  // header and unknown subtypes carry no unit
  }
  model.units[unit.id] = unit;
}

void ParseStreamingDescriptor(const uint8_t* d, size_t length, AltSetting& alt) {
  if (length < 3) return;
  if (d[2] == USB_AUDIO_AS_GENERAL && length >= 7) {
    alt.terminalLink = d[3];
    FormatInfo f = alt.format.value_or(FormatInfo{});
    f.formatTag = ReadLe16(d + 5);
    alt.format = f;
    return;
  }
  if (d[2] != USB_AUDIO_AS_FORMAT_TYPE || length < 8) return;
  FormatInfo f = alt.format.value_or(FormatInfo{});
  f.formatType = d[3];
  size_t rateCountAt = 7;
  if (f.formatType == USB_AUDIO_FORMAT_TYPE_II) {
    if (length < 9) return;
    rateCountAt = 8;
    f.channels = 0;
    f.subframeSize = 0;
  } else {
    f.channels = d[4];
    f.subframeSize = d[5];
    f.bitResolution = d[6];
  }
  const uint8_t count = d[rateCountAt];
  const size_t first = rateCountAt + 1;
  f.rates.clear();
  if (count == 0) {
    if (first + 6 > length) return;
    f.continuous = true;
    f.rates = {ReadLe24(d + first), ReadLe24(d + first + 3)};
  } else {
    f.continuous = false;
    for (size_t k = 0; k < count && first + 3 * k + 3 <= length; ++k) f.rates.push_back(ReadLe24(d + first + 3 * k));
  }
  alt.format = f;
}

// Audio Class 2.0: AS_GENERAL carries the format type, bmFormats and the
// channels; FORMAT_TYPE the subslot size and resolution.
void ParseUac2StreamingDescriptor(const uint8_t* d, size_t length, AltSetting& alt) {
  if (length < 3) return;
  FormatInfo f = alt.format.value_or(FormatInfo{});
  if (d[2] == USB_AUDIO2_AS_GENERAL && length >= 15) {
    alt.terminalLink = d[3];
    f.formatType = d[5];
    f.formats = platform::usb::ReadLe32(d + 6);
    f.channels = d[10];
    f.channelConfig = platform::usb::ReadLe32(d + 11);
  } else if (d[2] == USB_AUDIO2_AS_FORMAT_TYPE && length >= 6) {
    f.formatType = d[3];
    f.subframeSize = d[4];
    f.bitResolution = d[5];
  } else {
    return;
  }
  alt.format = f;
}

}  // namespace

ConfigModel ParseConfigModel(const Bytes& configuration) {
  ConfigModel model;
  if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      configuration[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return model;
  model.configurationValue = configuration[5];
  model.attributes = configuration[7];
  const size_t end = std::min<size_t>(configuration.size(), ReadLe16(configuration.data() + 2));
  AltSetting* current = nullptr;
  for (size_t offset = std::max<size_t>(configuration[0], 9); offset + 2 <= end;) {
    const uint8_t* d = configuration.data() + offset;
    const size_t length = d[0];
    if (length < 2 || length > end - offset) break;
    switch (d[1]) {
      case USB_INTERFACE_DESCRIPTOR_TYPE: {
        if (length < 9) {
          current = nullptr;
          break;
        }
        auto it = std::find_if(model.interfaces.begin(), model.interfaces.end(),
                               [&](const InterfaceInfo& i) { return i.number == d[2]; });
        if (it == model.interfaces.end()) {
          model.interfaces.push_back(InterfaceInfo{d[2], {}});
          it = model.interfaces.end() - 1;
        }
        AltSetting alt;
        alt.alternate = d[3];
        alt.declaredEndpoints = d[4];
        alt.interfaceClass = d[5];
        alt.subClass = d[6];
        alt.protocol = d[7];
        it->alternates.push_back(alt);
        current = &it->alternates.back();
        if (alt.interfaceClass == USB_DEVICE_CLASS_AUDIO && alt.subClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            model.controlInterface < 0)
          model.controlInterface = d[2];
        break;
      }
      case USB_ENDPOINT_DESCRIPTOR_TYPE:
        if (current && length >= 7) {
          EndpointInfo e;
          e.address = d[2];
          e.attributes = d[3];
          e.maxPacketSize = ReadLe16(d + 4);
          e.interval = d[6];
          current->endpoints.push_back(e);
        }
        break;
      case USB_AUDIO_CS_INTERFACE:
        if (!current || current->interfaceClass != USB_DEVICE_CLASS_AUDIO) break;
        if (current->protocol == USB_AUDIO_PROTOCOL_UAC2) {
          // Audio Class 2.0 units are read by the 2.0 device itself.
          if (current->subClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING) ParseUac2StreamingDescriptor(d, length, *current);
          break;
        }
        if (current->subClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL) ParseControlDescriptor(d, length, model);
        if (current->subClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING) ParseStreamingDescriptor(d, length, *current);
        break;
      case USB_AUDIO_CS_ENDPOINT:
        if (current && !current->endpoints.empty() && length >= 4) {
          current->endpoints.back().hasCsEndpoint = true;
          current->endpoints.back().csAttributes = d[3];
        }
        break;
      default:
        break;
    }
    offset += length;
  }
  return model;
}

}  // namespace sim
