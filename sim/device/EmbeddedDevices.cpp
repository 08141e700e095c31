#include "sim/device/EmbeddedDevices.h"

#include "sim/device/ChipDevices.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/Vzr417Interface.h"
#include "sim/device/Uac2Headset.h"
#include "sim/device/Device7753.h"

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
      {"tq4187", "a 7.1 headset on the TQ4187 chip, first capability profile (room and headphone "
                 "effects; chip-identifying factory)",
       tq4187::FirstProfileDescriptors, tq4187::Profile, platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying},
      {"tq4187-v2", "the same headset with the chip's second capability profile (release 2.00)",
       tq4187::SecondProfileDescriptors, tq4187::Profile, platform::usb::Speed::Full,
       AudioHalChoice::ChipIdentifying},
      {"vzr417", "an ASIO-capable audio interface (2 in, 2 out, 16/24-bit, 44.1-96 kHz; generic Audio Class 1.0 model)",
       vzr417::Descriptors, vzr417::Profile, platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying},
      // The Audio Class 2.0 model is the chip-identifying factory's.
      {"uac2", "an Audio Class 2.0 headset, high speed (0b05:17b1; clock 44.1-192 kHz, render with feedback, mic)",
       [] { return uac2headset::Descriptors(); }, [] { return uac2headset::Profile(); }, platform::usb::Speed::High,
       AudioHalChoice::ChipIdentifying},
      {"uac2-fs", "the same Audio Class 2.0 headset at full speed (clock 44.1-96 kHz)",
       uac2headset::FullSpeedDescriptors, uac2headset::FullSpeedProfile, platform::usb::Speed::Full,
       AudioHalChoice::ChipIdentifying},
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

platform::usb::HubPortConfig EmbeddedPort(const EmbeddedDevice& device) {
  platform::usb::HubPortConfig port;
  const auto& devices = EmbeddedDevices();
  const size_t index = static_cast<size_t>(&device - devices.data());
  if (index < devices.size()) {
    // The instance id's last field is the port number.
    const std::string number = std::to_string(index + 1);
    port.instanceId = port.instanceId.substr(0, port.instanceId.rfind(u'&') + 1) +
                      std::u16string(number.begin(), number.end());
  }
  return port;
}

std::string EmbeddedDeviceNames() {
  std::string names;
  for (const EmbeddedDevice& d : EmbeddedDevices()) names += (names.empty() ? "" : ", ") + std::string(d.name);
  return names;
}

}  // namespace sim
