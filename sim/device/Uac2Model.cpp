#include "sim/device/Uac2Model.h"

#include <algorithm>

#include "usb/usbaudio2.h"

namespace sim {

using platform::usb::ReadLe16;
using platform::usb::ReadLe32;

uint32_t ControlPair(uint32_t controls, uint8_t cs) {
  if (cs == 0) return 0;
  return (controls >> ((2u * cs - 2u) % 32u)) & 3u;
}

bool Uac2Entity::FeatureReadable(uint8_t cs, uint8_t channel) const {
  return channel < featureControls.size() && (ControlPair(featureControls[channel], cs) & 1u);
}

bool Uac2Entity::FeatureWritable(uint8_t cs, uint8_t channel) const {
  return channel < featureControls.size() && (ControlPair(featureControls[channel], cs) & 2u);
}

bool Uac2Entity::HasConnector() const { return (controls & 0x04) != 0; }

const Uac2Entity* Uac2Model::Find(uint8_t id) const {
  auto it = entities.find(id);
  return it == entities.end() ? nullptr : &it->second;
}

namespace {

// A counted source list at `countAt`, bounded by the descriptor.
std::vector<uint8_t> Sources(const uint8_t* d, size_t length, size_t countAt) {
  std::vector<uint8_t> out;
  if (countAt >= length) return out;
  for (size_t k = 0; k < d[countAt] && countAt + 1 + k < length; ++k) out.push_back(d[countAt + 1 + k]);
  return out;
}

void ParseEntity(const uint8_t* d, size_t length, Uac2Model& model) {
  if (length < 4) return;
  // A descriptor cut short still names an entity of the device; the fields
  // it lacks read as zero (no controls, no channels).
  auto byte = [&](size_t at) -> uint32_t { return at < length ? d[at] : 0u; };
  auto le16 = [&](size_t at) { return static_cast<uint16_t>(byte(at) | byte(at + 1) << 8); };
  auto le32 = [&](size_t at) { return le16(at) | static_cast<uint32_t>(le16(at + 2)) << 16; };
  Uac2Entity e;
  e.id = d[3];
  e.subtype = d[2];
  switch (d[2]) {
    case USB_AUDIO2_AC_HEADER:
      if (length >= 7) model.category = d[5];
      return;
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      e.controls = byte(5);
      break;
    case USB_AUDIO2_AC_INPUT_TERMINAL:
      e.terminalType = le16(4);
      e.clock = static_cast<uint8_t>(byte(7));
      e.channels = static_cast<uint8_t>(byte(8));
      e.channelConfig = le32(9);
      e.controls = le16(14);
      break;
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      e.terminalType = le16(4);
      if (length > 7) e.sources = {d[7]};
      e.clock = static_cast<uint8_t>(byte(8));
      e.controls = le16(9);
      break;
    case USB_AUDIO2_AC_FEATURE_UNIT:
      if (length > 4) e.sources = {d[4]};
      for (size_t at = 5; at + 4 < length; at += 4) e.featureControls.push_back(ReadLe32(d + at));
      if (!e.featureControls.empty()) e.channels = static_cast<uint8_t>(e.featureControls.size() - 1);
      break;
    case USB_AUDIO2_AC_MIXER_UNIT:
    case USB_AUDIO2_AC_SELECTOR_UNIT:
    case USB_AUDIO2_AC_CLOCK_SELECTOR:
      e.sources = Sources(d, length, 4);
      if (d[2] == USB_AUDIO2_AC_SELECTOR_UNIT && 5 + e.sources.size() < length) e.controls = d[5 + e.sources.size()];
      break;
    case USB_AUDIO2_AC_EXTENSION_UNIT:
      e.sources = Sources(d, length, 6);
      break;
    case USB_AUDIO2_AC_CLOCK_MULTIPLIER:
      if (length >= 5) e.sources = {d[4]};
      break;
    default:
      break;  // effect, processing, converter units: known by id, nothing more
  }
  model.entities[e.id] = e;
}

}  // namespace

Uac2Model ParseUac2Model(const Bytes& configuration) {
  Uac2Model model;
  if (configuration.size() < 9 || configuration[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return model;
  const size_t end = std::min<size_t>(configuration.size(), ReadLe16(configuration.data() + 2));
  bool inControl = false;
  for (size_t offset = std::max<size_t>(configuration[0], 9); offset + 2 <= end;) {
    const uint8_t* d = configuration.data() + offset;
    const size_t length = d[0];
    if (length < 2 || length > end - offset) break;
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      // Only the first Audio Class 2.0 AudioControl interface counts.
      inControl = length >= 9 && d[5] == USB_DEVICE_CLASS_AUDIO && d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
                  d[7] == USB_AUDIO_PROTOCOL_UAC2 && (model.controlInterface < 0 || model.controlInterface == d[2]);
      if (inControl) model.controlInterface = d[2];
    } else if (inControl && d[1] == USB_AUDIO_CS_INTERFACE) {
      ParseEntity(d, length, model);
    }
    offset += length;
  }
  return model;
}

}  // namespace sim
