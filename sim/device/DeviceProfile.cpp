#include "sim/device/DeviceProfile.h"

#include <cstdio>

#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace sim {

const ControlRange* DeviceProfile::UnitRange(uint8_t unit, uint8_t cs) const {
  auto u = unitControlRanges.find({unit, cs});
  return u == unitControlRanges.end() ? nullptr : &u->second;
}

const ControlRange* DeviceProfile::RangeFor(uint8_t unit, uint8_t cs) const {
  if (const ControlRange* own = UnitRange(unit, cs)) return own;
  auto c = controlRanges.find(cs);
  return c == controlRanges.end() ? nullptr : &c->second;
}

DeviceProfile DefaultProfile() {
  DeviceProfile p;
  p.controlRanges[USB_AUDIO_FU_MUTE_CONTROL] = {0, 1, 1, 0};
  // -60 dB .. 0 dB in 0.5 dB steps, starting at -12 dB.
  p.controlRanges[USB_AUDIO_FU_VOLUME_CONTROL] = {-0x3C00, 0x0000, 0x0080, -0x0C00};
  // Tone controls: -12 dB .. +12 dB in 1 dB steps (1/4 dB units).
  p.controlRanges[USB_AUDIO_FU_BASS_CONTROL] = {-48, 48, 4, 0};
  p.controlRanges[USB_AUDIO_FU_MID_CONTROL] = {-48, 48, 4, 0};
  p.controlRanges[USB_AUDIO_FU_TREBLE_CONTROL] = {-48, 48, 4, 0};
  p.controlRanges[USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL] = {0, 1, 1, 1};
  // 0 .. 16 ms in 1 ms steps (1/64 ms units).
  p.controlRanges[USB_AUDIO_FU_DELAY_CONTROL] = {0, 0x0400, 0x0040, 0};
  p.controlRanges[USB_AUDIO_FU_BASS_BOOST_CONTROL] = {0, 1, 1, 0};
  p.controlRanges[USB_AUDIO_FU_LOUDNESS_CONTROL] = {0, 1, 1, 0};
  // The two vendor switches of the feature unit.
  p.controlRanges[0x8B] = {0, 1, 1, 0};
  p.controlRanges[0x8C] = {0, 1, 1, 0};
  // Octave bands 18 (31.5 Hz) .. 42 (8 kHz) step 3: nine bands.
  for (int band = 18; band <= 42; band += 3) p.equalizerBands |= 1u << (band - 14);
  return p;
}

uint8_t FeatureControlSize(uint8_t cs, const DeviceProfile& profile) {
  if (cs & 0x80) {
    auto it = profile.vendorControlSizes.find(cs);
    return it == profile.vendorControlSizes.end() ? 1 : it->second;
  }
  if (auto own = profile.controlSizes.find(cs); own != profile.controlSizes.end()) return own->second;
  switch (cs) {
    case USB_AUDIO_FU_VOLUME_CONTROL:
    case USB_AUDIO_FU_DELAY_CONTROL:
      return 2;
    case USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL: {
      uint8_t bands = 0;
      for (uint32_t b = profile.equalizerBands; b; b &= b - 1) ++bands;
      return static_cast<uint8_t>(4 + bands);
    }
    default:
      return 1;
  }
}

namespace {

// How a feature-unit control's wire values read: wire units per shown
// unit (0: plain numbers) and the shown unit.
struct FeatureControlUnits {
  uint8_t cs;
  const char* name;
  double perUnit;
  const char* suffix;
};
constexpr FeatureControlUnits kFeatureControlUnits[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, "mute", 0, ""},
    {USB_AUDIO_FU_VOLUME_CONTROL, "volume", 256, " dB"},
    {USB_AUDIO_FU_BASS_CONTROL, "bass", 4, " dB"},
    {USB_AUDIO_FU_MID_CONTROL, "mid", 4, " dB"},
    {USB_AUDIO_FU_TREBLE_CONTROL, "treble", 4, " dB"},
    {USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL, "equalizer band", 4, " dB"},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, "automatic gain", 0, ""},
    {USB_AUDIO_FU_DELAY_CONTROL, "delay", 64, " ms"},
    {USB_AUDIO_FU_BASS_BOOST_CONTROL, "bass boost", 0, ""},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, "loudness", 0, ""},
    {USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL - 1, "input gain", 256, " dB"},
    {USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL, "input gain pad", 256, " dB"},
};

}  // namespace

std::string DescribeFeatureRange(uint8_t cs, const ControlRange& range) {
  FeatureControlUnits units{cs, nullptr, 0, ""};
  for (const FeatureControlUnits& u : kFeatureControlUnits)
    if (u.cs == cs) units = u;
  auto value = [&](int32_t v) {
    char text[32];
    if (units.perUnit)
      std::snprintf(text, sizeof text, "%.2f%s", v / units.perUnit, units.suffix);
    else
      std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
    return std::string(text);
  };
  std::string out = units.name ? units.name : "control";
  if (!units.name) {
    out += ' ';
    out += std::to_string(cs);
  }
  for (const std::string& part :
       {std::string(" "), value(range.min), std::string(" .. "), value(range.max), std::string(" step "),
        value(range.res), std::string(", "), value(range.start), std::string(" at start")})
    out += part;
  return out;
}

std::string FeatureUnitLine(uint8_t unit, const std::string& control) {
  std::string out = "feature unit ";
  out += std::to_string(unit);
  out += ' ';
  out += control;
  return out;
}

}  // namespace sim
