// Property requests from anyone who can open the topology filter: any set,
// id, verb, node, instance and value buffer sent to the filter of a started
// device (the first byte picks which: the default headset, the chips' and
// the 2.0 headset among them) is answered or refused without touching a
// byte outside the caller's buffers, and without claiming more bytes than
// it was given (except to report the size it needs). Several requests a
// run, so that a set is followed by the gets that read it back.
#include "fuzz/TopologyPropertyFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  driverfuzz::Session* session = driverfuzz::StartedSession(in.Byte());
  driverfuzz::Require(session != nullptr, "an embedded device did not start");
  sim::host::FilterHandle* topology = topologyfuzz::TopologyOf(session);
  for (int request = 0; request < 8 && (request == 0 || in.More()); ++request)
    if (topologyfuzz::FuzzTopologyProperty(topology, in)) fuzz::Reached("a property answered");
  return 0;
}

FUZZ_REACHES("the device started", "the topology filter opened", "a property answered")
