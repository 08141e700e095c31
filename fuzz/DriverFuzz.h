// What the fuzz targets that talk to the whole driver share: the driver
// loaded, a simulated device plugged in and started with the driver's own
// miniports, and the host's handles on its filters. The clock stays manual:
// whatever waits for the device runs on a thread while time is moved on.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver/DriverEntry.h"
#include "fuzz/TopologyPropertyFuzz.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "usb/HubPort.h"

namespace driverfuzz {

using topologyfuzz::Reader;

// Fails the run when `condition` does not hold, naming what broke.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Runs `run` and checks that the pool holds afterwards what it held
// before; the first run makes what the process keeps for good.
template <typename Run>
void WithPoolCheck(Run run) {
  static bool warmedUp = false;
  const size_t before = platform::pool::OutstandingCount();
  run();
  if (warmedUp) Require(platform::pool::OutstandingCount() == before, "the pool leaked");
  warmedUp = true;
}

struct Session {
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<platform::usb::HubPort> port;
  sim::host::Host host;

  // `function` (null: the device itself) is what the hub port talks to.
  explicit Session(std::unique_ptr<sim::SimDevice> simulated, platform::usb::UsbFunction* function = nullptr)
      : device(std::move(simulated)) {
    port = std::make_unique<platform::usb::HubPort>(function ? function : device.get());
    Require(NT_SUCCESS(host.LoadDriver(DriverEntry, u"headset")), "the driver did not load");
    Require(NT_SUCCESS(host.AddDevice(port->Pdo())), "AddDevice failed");
  }
  ~Session() {
    host.Unload();
    port.reset();
    device.reset();
    KeFlushQueuedDpcs();
    platform::workitem::Drain();
  }

  // The start, while time passes (a request the device leaves unanswered
  // times out on the clock).
  NTSTATUS Start() {
    return sim::host::WhileTimePasses([this] { return host.Start(); });
  }
  sim::host::FilterHandle* Open(const std::u16string& name) {
    sim::host::FilterHandle* filter = nullptr;
    return NT_SUCCESS(host.OpenFilter(name, &filter)) ? filter : nullptr;
  }
  // Plays or records `seconds` through the filter of that direction, when
  // the driver has one; the status of the stream.
  NTSTATUS Stream(bool render, double seconds) {
    sim::host::FilterHandle* filter = Open(render ? u"HeadSetOut00Wave" : u"HeadSetIn00Wave");
    if (!filter) return STATUS_NOT_FOUND;
    const sim::host::WavData format = sim::host::SineWav(48000, render ? 2 : 1, 440.0, seconds, 0.25);
    sim::host::WavData recorded;
    const NTSTATUS status =
        render ? host.Render(filter, format, false) : host.Capture(filter, format, seconds, false, &recorded);
    delete filter;
    return status;
  }
  // Lets `ms` of clock pass, a millisecond at a time.
  static void Pass(ULONG ms) {
    for (ULONG i = 0; i < ms; ++i) platform::clock::AdvanceMs(1);
  }
};

}  // namespace driverfuzz
