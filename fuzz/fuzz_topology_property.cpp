// Property requests from anyone who can open the topology filter: any set,
// id, verb, node, instance and value buffer sent to the filter of the
// embedded default headset is answered or refused without touching a byte
// outside the caller's buffers, and without claiming more bytes than it was
// given (except to report the size it needs).
#include "fuzz/TopologyPropertyFuzz.h"
#include "sim/device/DefaultHeadset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto* session = new topologyfuzz::Session(sim::headset::Create());
  return topologyfuzz::FuzzTopologyProperty(session, data, size);
}
