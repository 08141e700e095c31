// Devices of the other chips, their descriptors edited at random, started
// through the chip-identifying factory with the driver's own miniports:
// each chip's model (the fixed-range units of the 7746 and 7762, the
// TQ4187's effects unit and 7.1 streams, the 7753 boards, the generic and
// the 2.0 models) starts the device or refuses it, never reading past what
// the device gave; a started one shows its topology filter.
#include <cstdint>
#include <vector>

#include "fuzz/Reach.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/host/RunningDriver.h"
#include "topology/CMiniportWaveCyclic.h"

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
  sim::host::RunningDriver driver(set, device.profile(), CreateMiniportWaveCyclic, device.speed,
                                  AudioHalChoice::ChipIdentifying);
  if (driver.Started()) {
    fuzz::Reached("the chip's model started");
    if (driver.Topology()) fuzz::Reached("its topology filter opened");
  }
  return 0;
}

FUZZ_REACHES("the chip's model started", "its topology filter opened")
