// The same requests to the topology filter of the TQ4187 headset started
// through the chip-identifying factory, whose headphone effect node takes
// setting blocks (index, count, values) from the caller.
#include "driver/CHeadsetUsbDevice.h"
#include "fuzz/TopologyPropertyFuzz.h"
#include "sim/device/ChipDevices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto* session = [] {
    CHeadsetUsbDevice::SetAudioHalChoice(AudioHalChoice::ChipIdentifying);
    return new topologyfuzz::Session(
        std::make_unique<sim::SimDevice>(sim::tq4187::FirstProfileDescriptors(), sim::tq4187::Profile()));
  }();
  return topologyfuzz::FuzzTopologyProperty(session, data, size);
}
