// What the fuzz targets that talk to the whole driver share: the driver
// loaded, a simulated device plugged in and started with the driver's own
// miniports and the factory that device is made for, and the host's handles
// on its filters. The clock stays manual: whatever waits for the device runs
// on a thread while time is moved on.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/DriverEntry.h"
#include "fuzz/FuzzReader.h"
#include "fuzz/Reach.h"
#include "sim/device/DeviceFactory.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "sim/host/RunningDriver.h"
#include "topology/CMiniportTopology.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/HubPort.h"

namespace driverfuzz {

using fuzz::Reader;

// Fails the run when `condition` does not hold, naming what broke.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Runs `run` and checks that the pool holds afterwards what it held
// before; the first run of each `kind` (a device, say) makes what the
// process keeps for good.
template <typename Run>
void WithPoolCheck(size_t kind, Run run) {
  static std::set<size_t> warmedUp;
  const size_t before = platform::pool::OutstandingCount();
  run();
  if (warmedUp.count(kind) && platform::pool::OutstandingCount() != before) {
    std::fprintf(stderr, "pool blocks left behind:\n%s\n",
                 platform::pool::Describe(platform::pool::Outstanding()).c_str());
    std::abort();
  }
  warmedUp.insert(kind);
}

// The embedded devices a harness picks by a selector byte, in a fixed order
// so that a seed keeps its device when the embedded list grows.
inline constexpr std::array<const char*, 10> kDeviceNames = {
    "headset", "7746", "7762", "tq4187", "tq4187-v2", "vzr417", "uac2", "uac2-fs", "7753-poll", "7753"};

inline const sim::EmbeddedDevice& DeviceAt(uint8_t selector) {
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(kDeviceNames[selector % kDeviceNames.size()]);
  Require(device != nullptr, "a device the harnesses choose from is no longer embedded");
  return *device;
}

inline std::unique_ptr<sim::SimDevice> MakeDevice(const sim::EmbeddedDevice& device) {
  return sim::CreateSimDevice(device.descriptors(), device.profile(), device.speed);
}

// The first interrupt IN endpoint of the device's AudioControl interface
// (the status endpoint), 0 when it has none.
inline UCHAR StatusEndpoint(const sim::SimDevice& device) {
  const sim::ConfigModel& model = device.Model();
  const sim::InterfaceInfo* control =
      model.controlInterface < 0 ? nullptr : model.FindInterface(static_cast<uint8_t>(model.controlInterface));
  if (!control) return 0;
  for (const sim::AltSetting& alternate : control->alternates)
    for (const sim::EndpointInfo& endpoint : alternate.endpoints)
      if (endpoint.Type() == 3 && endpoint.IsIn()) return endpoint.address;
  return 0;
}

struct Session {
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<platform::usb::HubPort> port;
  sim::host::Host host;
  AudioHalChoice factory;

  // `function` (null: the device itself) is what the hub port talks to.
  // Devices plugged in at once sit on ports of their own (`instance`):
  // two of one kind would otherwise share their interfaces' names.
  explicit Session(std::unique_ptr<sim::SimDevice> simulated, platform::usb::UsbFunction* function = nullptr,
                   AudioHalChoice choice = AudioHalChoice::Product, unsigned instance = 1)
      : device(std::move(simulated)), factory(choice) {
    platform::usb::HubPortConfig config;
    config.instanceId = u"6&2c3d4e5f&0&" + sim::host::Widen(std::to_string(instance));
    port = std::make_unique<platform::usb::HubPort>(function ? function : device.get(), config);
    Require(NT_SUCCESS(host.LoadDriver(DriverEntry, u"headset")), "the driver did not load");
    Require(NT_SUCCESS(sim::host::ChooseModelFactory(port->Pdo(), factory)), "the model factory was not written");
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
  // times out on the clock), with the driver's own miniports: other
  // sessions of the process may have installed others.
  NTSTATUS Start() {
    SetMiniportFactories({CreateMiniportTopology, CreateMiniportWaveCyclic});
    const NTSTATUS status = sim::host::WhileTimePasses([this] { return host.Start(); });
    if (NT_SUCCESS(status)) fuzz::Reached("the device started");
    return status;
  }
  sim::host::FilterHandle* Open(const std::u16string& name) {
    sim::host::FilterHandle* filter = nullptr;
    return NT_SUCCESS(host.OpenFilter(name, &filter)) ? filter : nullptr;
  }
  static bool Captures(const PCFILTER_DESCRIPTOR& d) {
    for (ULONG i = 0; i < d.CategoryCount; ++i)
      if (d.Categories[i] == KSCATEGORY_CAPTURE) return true;
    return false;
  }
  // The names of the wave filters the driver registered, render first.
  std::vector<std::u16string> WaveFilters() const {
    std::vector<std::u16string> render, capture;
    for (const platform::portcls::SubdeviceInfo& s : host.Filters())
      if (s.waveCyclic) (Captures(*s.descriptor) ? capture : render).push_back(s.name);
    render.insert(render.end(), capture.begin(), capture.end());
    return render;
  }
  // Plays or records `seconds` through the first filter of that direction,
  // when the driver has one; the status of the stream.
  NTSTATUS Stream(bool render, double seconds) {
    sim::host::FilterHandle* filter = nullptr;
    for (const std::u16string& name : WaveFilters()) {
      filter = Open(name);
      if (filter && Captures(filter->Descriptor()) != render) break;
      delete filter;
      filter = nullptr;
    }
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

// The embedded device at `selector`, started once and kept for the
// process: harnesses that send requests to a running driver share it
// between inputs. Null when the device does not start. Each input it
// serves counts as one on a started device.
inline Session* StartedSession(uint8_t selector) {
  // Never destroyed: the driver stays up until the process ends.
  static auto& sessions = *new std::array<std::unique_ptr<Session>, kDeviceNames.size()>();
  static auto& tried = *new std::array<bool, kDeviceNames.size()>();
  const size_t at = selector % kDeviceNames.size();
  if (!tried[at]) {
    tried[at] = true;
    const sim::EmbeddedDevice& embedded = DeviceAt(selector);
    auto session = std::make_unique<Session>(MakeDevice(embedded), nullptr, embedded.factory, 1 + at);
    if (NT_SUCCESS(session->Start())) sessions[at] = std::move(session);
  }
  if (sessions[at]) fuzz::Reached("the device started");
  return sessions[at].get();
}

}  // namespace driverfuzz
