#include "sim/device/EmbeddedDevices.h"

#include "sim/device/DefaultHeadset.h"

namespace sim {

const std::vector<EmbeddedDevice>& EmbeddedDevices() {
  // One row per device; keep "headset" first, it is the default.
  static const std::vector<EmbeddedDevice> devices = {
      {"headset", "the product's USB headset (render 2 ch, microphone, room effect switch)", headset::Descriptors,
       headset::Profile},
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
