#include "sim/device/EmbeddedDevices.h"

#include "sim/device/DefaultHeadset.h"
#include "sim/device/Device7753.h"

namespace sim {

const std::vector<EmbeddedDevice>& EmbeddedDevices() {
  // One row per device; keep "headset" first, it is the default.
  static const std::vector<EmbeddedDevice> devices = {
      {"headset", "the product's USB headset (render 2 ch, microphone, room effect switch)", headset::Descriptors,
       headset::Profile},
      {"7753-poll", "a 7753 board with the status poll (render up to 6 ch, microphone and line in, HID codec)",
       chip7753::PollBoardDescriptors, chip7753::PollBoardProfile, platform::usb::Speed::Full,
       AudioHalChoice::ChipIdentifying},
      {"7753", "a 7753 evaluation board (speaker, headphone and S/PDIF output types, 96 kHz and AC-3 on S/PDIF)",
       chip7753::EvaluationBoardDescriptors, chip7753::EvaluationBoardProfile, platform::usb::Speed::Full,
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
