// The same requests to the topology filter of the TQ4187 headset started
// through the chip-identifying factory, whose headphone effect node takes
// setting blocks (index, count, values) from the caller.
#include "fuzz/TopologyPropertyFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static driverfuzz::Session* session = [] {
    for (uint8_t i = 0; i < driverfuzz::kDeviceNames.size(); ++i)
      if (std::string(driverfuzz::kDeviceNames[i]) == "tq4187") return driverfuzz::StartedSession(i);
    return static_cast<driverfuzz::Session*>(nullptr);
  }();
  driverfuzz::Require(session != nullptr, "the TQ4187 headset did not start");
  sim::host::FilterHandle* topology = topologyfuzz::TopologyOf(session);
  fuzz::Reader in(data, size);
  for (int request = 0; request < 16 && (request == 0 || in.More()); ++request) {
    const GUID* answered = topologyfuzz::FuzzTopologyProperty(topology, in);
    if (answered == &PROPSETID_ProcessingNode || answered == &PROPSETID_ParameterBlock)
      fuzz::Reached("an effect node's settings answered");
  }
  return 0;
}

FUZZ_REACHES("the device started", "the topology filter opened", "an effect node's settings answered")
