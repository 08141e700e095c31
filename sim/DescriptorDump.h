// Prints a device's descriptors as a tree in the manner of `lsusb -v`:
// device, configurations, interfaces with their Audio Class descriptors,
// endpoints. Malformed descriptors are reported where they occur and end the
// walk; nothing is read past the bytes given.
#pragma once

#include <string>

#include "sim/device/DescriptorSet.h"

namespace sim {

std::string DumpDescriptors(const DescriptorSet& set);

}  // namespace sim
