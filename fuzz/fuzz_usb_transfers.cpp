// What comes back from the device once it runs, for every embedded device
// (the first byte picks it): isochronous packets that fail with any status,
// IN packets of any length and content, and status words on the interrupt
// endpoint of any length and content, as the fault script in the rest of
// the input says, while a play and a recording run (again while the script
// has faults left). The driver keeps
// streaming or ends the stream with a status, the device is removed
// cleanly, and the pool holds afterwards what it held before.
#include "fuzz/DriverFuzz.h"
#include "fuzz/FuzzedDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const sim::EmbeddedDevice& embedded = driverfuzz::DeviceAt(data[0]);
  driverfuzz::WithPoolCheck(data[0] % driverfuzz::kDeviceNames.size(), [&] {
    std::unique_ptr<sim::SimDevice> device = driverfuzz::MakeDevice(embedded);
    const UCHAR status = driverfuzz::StatusEndpoint(*device);
    driverfuzz::FuzzedDevice fuzzed(*device, data + 1, size - 1, {false, true, true}, false);
    driverfuzz::Session session(std::move(device), &fuzzed, embedded.factory);
    driverfuzz::Require(NT_SUCCESS(session.Start()), "the device did not start");
    fuzzed.Arm();
    auto raise = [&] {
      if (status) fuzzed.RaiseInterrupt(status);
    };
    for (int i = 0; i < 4; ++i) {
      raise();
      driverfuzz::Session::Pass(2);
    }
    // Again while the script has faults left.
    for (int round = 0; round < 4 && (round == 0 || !fuzzed.ScriptDone()); ++round) {
      const NTSTATUS played = session.Stream(true, 0.03);
      raise();
      const NTSTATUS recorded = session.Stream(false, 0.03);
      raise();
      driverfuzz::Session::Pass(5);
      if (NT_SUCCESS(played) || NT_SUCCESS(recorded)) fuzz::Reached("a stream ran");
    }
    if (fuzzed.ScriptDone()) fuzz::Reached("every scripted fault applied");
  });
  return 0;
}

FUZZ_REACHES("the device started", "a stream ran", "every scripted fault applied")
