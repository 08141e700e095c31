// What comes back from the device while it streams: isochronous packets
// that fail with any status, IN packets of any length and content, and
// status words on the interrupt endpoint of any length and content, as a
// play and a recording run on the headset. The driver keeps streaming or
// ends the stream with a status, the device is removed cleanly, and the pool
// holds afterwards what it held before.
#include "fuzz/DriverFuzz.h"
#include "fuzz/FuzzedDevice.h"
#include "sim/device/DefaultHeadset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::WithPoolCheck([&] {
    std::unique_ptr<sim::SimDevice> device = sim::headset::Create();
    driverfuzz::FuzzedDevice fuzzed(*device, data, size, {false, true, true});
    driverfuzz::Session session(std::move(device), &fuzzed);
    driverfuzz::Require(NT_SUCCESS(session.Start()), "the headset did not start");
    for (int i = 0; i < 4; ++i) {
      fuzzed.RaiseInterrupt(sim::headset::kStatusEndpoint);
      driverfuzz::Session::Pass(2);
    }
    session.Stream(true, 0.03);
    fuzzed.RaiseInterrupt(sim::headset::kStatusEndpoint);
    session.Stream(false, 0.03);
    fuzzed.RaiseInterrupt(sim::headset::kStatusEndpoint);
    driverfuzz::Session::Pass(5);
  });
  return 0;
}
