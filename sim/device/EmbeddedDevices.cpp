#include "sim/device/EmbeddedDevices.h"

#include "sim/device/ChipDevices.h"
#include "sim/device/DefaultHeadset.h"

namespace sim {

const std::vector<EmbeddedDevice>& EmbeddedDevices() {
  // One row per device; keep "headset" first, it is the default.
  static const std::vector<EmbeddedDevice> devices = {
      {"headset", "the product's USB headset (render 2 ch, microphone, room effect switch)", headset::Descriptors,
       headset::Profile},
      {"7746", "a sound adapter on the 7746 chip (fixed-range units 9, 10, 13; chip-identifying factory)",
       chip7746::Descriptors, chip7746::Profile, platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying},
      {"7762", "a headset on the 7762 chip (fixed-range units 9, 10, 13; chip-identifying factory)",
       chip7762::Descriptors, chip7762::Profile, platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying},
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
