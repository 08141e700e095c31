// Devices of the other chips, their descriptors edited at random, started
// through the chip-identifying factory: each chip's model (the fixed-range
// units of the 7746 and 7762, the TQ4187's effects unit and 7.1 streams)
// starts the device or refuses it, never reading past what the device gave.
#include <cstdint>
#include <vector>

#include "sim/device/EmbeddedDevices.h"
#include "sim/host/RunningDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  static const std::vector<const sim::EmbeddedDevice*> devices = [] {
    std::vector<const sim::EmbeddedDevice*> chips;
    for (const sim::EmbeddedDevice& d : sim::EmbeddedDevices())
      if (d.factory == AudioHalChoice::ChipIdentifying) chips.push_back(&d);
    return chips;
  }();
  if (size == 0 || devices.empty()) return 0;
  const sim::EmbeddedDevice& device = *devices[input[0] % devices.size()];
  const sim::DescriptorSet original = device.descriptors();
  // (offset, value) pairs over the device's own file, so that the fuzzer
  // starts from a device that loads.
  sim::Bytes file = sim::ToSysfsBytes(original);
  for (size_t i = 1; i + 1 < size; i += 2) file[(input[i] * 7u + i) % file.size()] = input[i + 1];
  sim::DescriptorSet set;
  std::string error;
  if (!sim::ParseSysfsDescriptors(file, &set, &error)) return 0;
  set.strings = original.strings;
  sim::host::RunningDriver driver(set, device.profile(), nullptr, device.speed, AudioHalChoice::ChipIdentifying);
  return 0;
}
