#include "sim/device/DeviceFactory.h"

#include "sim/device/Uac2Device.h"
#include "usb/usbaudio.h"
#include "usb/usbdlib.h"

namespace sim {

bool IsAudioClass2(const DescriptorSet& descriptors) {
  if (descriptors.configurations.empty()) return false;
  const Bytes& c = descriptors.Configuration();
  const auto* control =
      platform::usb::FindInterface(c.data(), c.size(), c.data(), -1, -1, USB_DEVICE_CLASS_AUDIO, 1, -1);
  return control && control->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UAC2;
}

std::unique_ptr<SimDevice> CreateSimDevice(const DescriptorSet& descriptors, const DeviceProfile& profile,
                                           platform::usb::Speed speed) {
  if (IsAudioClass2(descriptors)) return std::make_unique<Uac2Device>(descriptors, profile, speed);
  return std::make_unique<SimDevice>(descriptors, profile, speed);
}

}  // namespace sim
