#include "sim/device/EmbeddedDevices.h"

#include "sim/device/DefaultHeadset.h"
#include "sim/device/Uac2Headset.h"

namespace sim {

const std::vector<EmbeddedDevice>& EmbeddedDevices() {
  // One row per device; keep "headset" first, it is the default.
  static const std::vector<EmbeddedDevice> devices = {
      {"headset", "the product's USB headset (render 2 ch, microphone, room effect switch)", headset::Descriptors,
       headset::Profile},
      // The Audio Class 2.0 model is the chip-identifying factory's.
      {"uac2", "an Audio Class 2.0 headset, high speed (0b05:17b1; clock 44.1-192 kHz, render with feedback, mic)",
       [] { return uac2headset::Descriptors(); }, [] { return uac2headset::Profile(); }, platform::usb::Speed::High,
       AudioHalChoice::ChipIdentifying},
      {"uac2-fs", "the same Audio Class 2.0 headset at full speed (clock 44.1-96 kHz)",
       uac2headset::FullSpeedDescriptors, uac2headset::FullSpeedProfile, platform::usb::Speed::Full,
       AudioHalChoice::ChipIdentifying},
  };
  return devices;
}

const EmbeddedDevice* FindEmbeddedDevice(const std::string& name) {
  for (const EmbeddedDevice& d : EmbeddedDevices())
    if (name == d.name) return &d;
  return nullptr;
}

std::string EmbeddedDeviceNames() {
  std::string names;
  for (const EmbeddedDevice& d : EmbeddedDevices()) names += (names.empty() ? "" : ", ") + std::string(d.name);
  return names;
}

}  // namespace sim
