// The devices headset-host can plug in without a descriptor file: each is a
// descriptor set with the control profile that answers its requests. The
// first entry is the default.
#pragma once

#include <string>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "usb/HubPort.h"
#include "usb/function.h"

namespace sim {

struct EmbeddedDevice {
  const char* name;
  const char* summary;
  DescriptorSet (*descriptors)();
  DeviceProfile (*profile)();
  platform::usb::Speed speed = platform::usb::Speed::Full;
  // The factory that gives the device its model: the product's for its own
  // headset, the chip-identifying one for the other chips' devices.
  AudioHalChoice factory = AudioHalChoice::Product;
};

const std::vector<EmbeddedDevice>& EmbeddedDevices();
// Null when no embedded device has that name.
const EmbeddedDevice* FindEmbeddedDevice(const std::string& name);
// The hub port the device is plugged into: each its own (the first on
// port 1), so that devices with the same IDs (tq4187 and tq4187-v2, uac2
// and uac2-fs) are device instances of their own, each with its own driver
// key and settings.
platform::usb::HubPortConfig EmbeddedPort(const EmbeddedDevice& device);
// "a, b, c": for messages that say what is accepted.
std::string EmbeddedDeviceNames();

}  // namespace sim
