// The device's replies to the driver's control requests, for every embedded
// device: stalled, never answered, cut short, longer than asked for, or
// with their bytes changed, as the fault script in the rest of the input
// says, from the first descriptor read on or (the first byte's high bit)
// from the end of a successful start. The start succeeds or fails with a
// status; a started device plays and records or fails to with a status,
// again while the script has faults left; the removal leaves the pool as it
// was.
#include "fuzz/DriverFuzz.h"
#include "fuzz/FuzzedDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t device = data[0] & 0x7F;
  const bool afterStart = (data[0] & 0x80) != 0;
  const sim::EmbeddedDevice& embedded = driverfuzz::DeviceAt(device);
  driverfuzz::WithPoolCheck(device % driverfuzz::kDeviceNames.size(), [&] {
    std::unique_ptr<sim::SimDevice> simulated = driverfuzz::MakeDevice(embedded);
    driverfuzz::FuzzedDevice fuzzed(*simulated, data + 1, size - 1, {true, false, false}, !afterStart);
    driverfuzz::Session session(std::move(simulated), &fuzzed, embedded.factory);
    if (NT_SUCCESS(session.Start())) {
      fuzzed.Arm();
      // The streams' opens and closes carry control requests too.
      for (int round = 0; round < 4 && (round == 0 || !fuzzed.ScriptDone()); ++round) {
        session.Stream(true, 0.02);
        session.Stream(false, 0.02);
      }
    }
    if (fuzzed.ScriptDone()) fuzz::Reached("every scripted fault applied");
  });
  return 0;
}

FUZZ_REACHES("the device started", "every scripted fault applied")
