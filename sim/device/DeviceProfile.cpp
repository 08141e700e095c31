#include "sim/device/DeviceProfile.h"

#include "usb/usbaudio.h"

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

}  // namespace sim
