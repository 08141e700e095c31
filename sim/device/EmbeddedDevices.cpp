#include "sim/device/EmbeddedDevices.h"

#include "sim/device/DefaultHeadset.h"
#include "sim/device/Vzr417Interface.h"

namespace sim {

const std::vector<EmbeddedDevice>& EmbeddedDevices() {
  // One row per device; keep "headset" first, it is the default.
  static const std::vector<EmbeddedDevice> devices = {
      {"headset", "the product's USB headset (render 2 ch, microphone, room effect switch)", headset::Descriptors,
       headset::Profile},
      {"vzr417", "an ASIO-capable audio interface (2 in, 2 out, 16/24-bit, 44.1-96 kHz; generic Audio Class 1.0 model)",
       vzr417::Descriptors, vzr417::Profile, platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying},
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
