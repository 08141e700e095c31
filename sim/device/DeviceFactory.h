// The simulated device for a descriptor set: an Audio Class 2.0 device when
// the first AudioControl interface speaks protocol 0x20, else the Audio
// Class 1.0 one.
#pragma once

#include <memory>

#include "sim/device/SimDevice.h"

namespace sim {

bool IsAudioClass2(const DescriptorSet& descriptors);
std::unique_ptr<SimDevice> CreateSimDevice(const DescriptorSet& descriptors, const DeviceProfile& profile,
                                           platform::usb::Speed speed);

}  // namespace sim
