// The device's replies to the driver's control requests, from the first
// descriptor read on: stalled, never answered, cut short, longer than asked
// for, or with their bytes changed. The start succeeds or fails with a
// status; a started device plays and records or fails to with a status; the
// removal leaves the pool as it was.
#include "fuzz/DriverFuzz.h"
#include "fuzz/FuzzedDevice.h"
#include "sim/device/DefaultHeadset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::WithPoolCheck([&] {
    std::unique_ptr<sim::SimDevice> device = sim::headset::Create();
    driverfuzz::FuzzedDevice fuzzed(*device, data, size, {true, false, false});
    driverfuzz::Session session(std::move(device), &fuzzed);
    if (NT_SUCCESS(session.Start())) {
      session.Stream(true, 0.02);
      session.Stream(false, 0.02);
    }
  });
  return 0;
}
