// Devices that fail a request once, on every device the driver knows, in
// the whole driver: a start reads on through one stall, time-out or short
// reply and builds the model it builds without the fault; a button change
// whose re-read fails is read again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "driver/DriverEntry.h"
#include "driver/hal/CUacAudioHal.h"
#include "sim/ModelReport.h"
#include "sim/device/DeviceFactory.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/device/Uac2Device.h"
#include "sim/host/RunningDriver.h"
#include "tests/sim/host/support/HostBench.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/CUacUnit.h"
#include "usb/HubPort.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

const sim::EmbeddedDevice& Embedded(const char* name) {
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(name);
  EXPECT_NE(device, nullptr) << name;
  return *device;
}

bool IsRead(const sim::RequestRecord& r) { return (r.setup.bmRequestType & 0x80) != 0; }

// The device as its port sees it, with the one fault it cannot script
// itself: as each of its requests `armAt` (counted as its log counts them)
// arrives, the next IRP anyone asks the pool for cannot be had. Within a
// start's run of reads that is the IRP of the read after it.
class IrpFaultFunction final : public platform::usb::UsbFunction {
 public:
  IrpFaultFunction(sim::SimDevice& device, std::vector<size_t> armAt) : m_Device(device), m_ArmAt(std::move(armAt)) {}

  platform::usb::Speed GetSpeed() const override { return m_Device.GetSpeed(); }
  platform::usb::ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) override {
    if (std::find(m_ArmAt.begin(), m_ArmAt.end(), m_Seen++) != m_ArmAt.end())
      platform::pool::FailNthAllocationWithTag(MakeTag("Irp "), 1);
    return m_Device.Control(setup, data);
  }
  USBD_STATUS IsoOut(UCHAR endpoint, ULONGLONG interval, const UCHAR* data, ULONG length) override {
    return m_Device.IsoOut(endpoint, interval, data, length);
  }
  USBD_STATUS IsoIn(UCHAR endpoint, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) override {
    return m_Device.IsoIn(endpoint, interval, data, maxLength, length);
  }
  bool InterruptIn(UCHAR endpoint, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) override {
    return m_Device.InterruptIn(endpoint, data, maxLength, length, status);
  }
  void BusReset() override { m_Device.BusReset(); }
  void SetSuspended(bool suspended) override { m_Device.SetSuspended(suspended); }
  void Attach(platform::usb::PortEvents* port) override { m_Device.Attach(port); }

 private:
  sim::SimDevice& m_Device;
  const std::vector<size_t> m_ArmAt;
  std::atomic<size_t> m_Seen{0};
};

// What a start left: its status, the model and filters as the host's
// report shows them, and the requests the device saw until it returned.
struct StartOutcome {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string model;
  std::vector<sim::RequestRecord> requests;
};

// The driver loaded and started on the device, as the system starts it,
// with `faults` scripted and the IRP after each request of `noIrpAfter`
// refused.
StartOutcome StartScripted(const sim::EmbeddedDevice& d, const std::vector<sim::ControlFault>& faults = {},
                           const std::vector<size_t>& noIrpAfter = {}) {
  platform::registry::Reset();
  std::unique_ptr<sim::SimDevice> device = sim::CreateSimDevice(d.descriptors(), d.profile(), d.speed);
  for (const sim::ControlFault& fault : faults) device->AddFault(fault);
  IrpFaultFunction function(*device, noIrpAfter);
  StartOutcome outcome;
  {
    sim::host::Host host;
    platform::usb::HubPort port(&function);
    outcome.status = host.LoadDriver(DriverEntry, u"headset");
    if (NT_SUCCESS(outcome.status)) outcome.status = sim::host::ChooseModelFactory(port.Pdo(), d.factory);
    if (NT_SUCCESS(outcome.status)) outcome.status = host.AddDevice(port.Pdo());
    if (NT_SUCCESS(outcome.status)) outcome.status = host.Start();
    platform::pool::ClearFailures();
    outcome.requests = device->Requests();
    // What the start set going (the status thread's first read-out) runs
    // to its end before the report reads the model.
    platform::clock::AdvanceMs(2000);
    device->ClearFaults();
    sim::host::RunWhileTimePasses([&] {
      outcome.model = sim::DescribeHardwareModel(host.AdapterDevice()) + sim::host::DescribeFilters(host.AdapterDevice());
    });
    host.Unload();
    KeFlushQueuedDpcs();
    platform::workitem::Drain();
  }
  return outcome;
}

class StartFaultsTest : public hosttest::HostTest, public testing::WithParamInterface<const char*> {};

// Whether two requests look the same to a fault's match (wLength aside).
bool SameRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& a, const USB_DEFAULT_PIPE_SETUP_PACKET& b) {
  return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest && a.wValue == b.wValue &&
         a.wIndex == b.wIndex;
}

// A fault on exactly one request: the one that looks like `setup` for the
// `occurrence`-th time (from 0).
sim::ControlFault FaultOn(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint32_t occurrence, sim::FaultAction action) {
  sim::ControlFault fault;
  fault.match.type = (setup.bmRequestType >> 5) & 3;
  fault.match.recipient = setup.bmRequestType & 0x1F;
  fault.match.in = true;
  fault.match.request = setup.bRequest;
  fault.match.value = setup.wValue;
  fault.match.index = setup.wIndex;
  fault.action = action;
  fault.length = setup.wLength > 1 ? 1 : 0;
  fault.skip = occurrence;
  fault.times = 1;
  return fault;
}

// Every read of the start fails once, the kind of failure taking turns
// (stall, time-out, short reply): the start succeeds, and the model and
// its filters are those of a start without the fault. A start fails reads
// eight apart, so that each failure and its second try stand alone; the
// first read a start fails finds no IRP instead, where that surely is its
// own.
TEST_P(StartFaultsTest, EveryReadFailingOnceLeavesTheSameModel) {
  const sim::EmbeddedDevice& d = Embedded(GetParam());
  const StartOutcome clean = StartScripted(d);
  ASSERT_TRUE(NT_SUCCESS(clean.status));
  const std::vector<sim::RequestRecord>& log = clean.requests;
  std::vector<size_t> reads;
  for (size_t i = 0; i < log.size(); ++i)
    if (IsRead(log[i]) && log[i].setup.wLength) reads.push_back(i);
  ASSERT_GT(reads.size(), 20u);
  const sim::FaultAction actions[] = {sim::FaultAction::Stall, sim::FaultAction::Timeout,
                                      sim::FaultAction::ShortReply};
  constexpr size_t kApart = 8;
  size_t noIrpRows = 0;
  // A round fails one request of a kind at most: a second one's count would
  // take the first one's second try.
  std::vector<size_t> left(reads.size());
  for (size_t n = 0; n < reads.size(); ++n) left[n] = n;
  while (!left.empty()) {
    for (size_t round = 0; round < kApart; ++round) {
      std::vector<sim::ControlFault> faults;
      std::vector<size_t> noIrpAfter;
      std::vector<size_t> later;
      std::ostringstream what;
      for (size_t n : left) {
        if (n % kApart != round) {
          later.push_back(n);
          continue;
        }
        const size_t i = reads[n];
        const USB_DEFAULT_PIPE_SETUP_PACKET& setup = log[i].setup;
        bool taken = false;
        for (const sim::ControlFault& f : faults) taken |= f.match.Matches(setup);
        if (taken) {
          later.push_back(n);
          continue;
        }
        what << " #" << i << " " << std::hex << int(setup.bmRequestType) << "/" << int(setup.bRequest) << "/"
             << setup.wValue << "/" << setup.wIndex << std::dec;
        if (faults.empty() && noIrpAfter.empty() && i > 0 && IsRead(log[i - 1])) {
          // Nothing before it failed, so the device's count is the clean
          // start's.
          noIrpAfter.push_back(i - 1);
          what << ":no IRP";
          ++noIrpRows;
          continue;
        }
        uint32_t occurrence = 0;
        for (size_t k = 0; k < i; ++k) occurrence += SameRequest(log[k].setup, setup);
        const sim::FaultAction action = actions[n / kApart % std::size(actions)];
        faults.push_back(FaultOn(setup, occurrence, action));
        what << ":" << int(action);
      }
      if (faults.empty() && noIrpAfter.empty()) {
        left = later;
        continue;
      }
      SCOPED_TRACE("requests failed (index bmRequestType/bRequest/wValue/wIndex:kind):" + what.str());
      const StartOutcome faulted = StartScripted(d, faults, noIrpAfter);
      ASSERT_TRUE(NT_SUCCESS(faulted.status)) << std::hex << faulted.status;
      EXPECT_EQ(faulted.model, clean.model);
      left = later;
    }
  }
  EXPECT_GT(noIrpRows, 0u);
}

// One device of each model: the product's, the fixed-range chips', the
// headphone-effect chip's, the generic Audio Class 1.0 one, the Audio
// Class 2.0 one and the 7753's (the board with the most output types).
INSTANTIATE_TEST_SUITE_P(EmbeddedDevices, StartFaultsTest,
                         testing::Values("headset", "7762", "tq4187", "vzr417", "uac2", "7753"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name;
                           for (const char* c = info.param; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

class ButtonFaultsTest : public hosttest::HostTest {};

// The mute value the model's node for a feature unit shows.
UCHAR MuteOf(CUacAudioHal* model, UCHAR unitId) {
  ITopoNode* unit = nullptr;
  if (!NT_SUCCESS(model->FindUnitById(unitId, &unit))) return 0xFF;
  CUacUnit* owner = CUacUnit::FromUnitNode(unit);
  ULONG count = 0;
  owner->GetNodeCount(&count);
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(owner->GetNode(i, &node)) || node->GetType() != NODE_TYPE_MUTE) continue;
    ISwitchNode* mute = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&mute)))) return 0xFF;
    UCHAR value = 0xFF;
    mute->GetValue(0, &value);
    mute->Release();
    return value;
  }
  return 0xFF;
}

// The device mutes itself (a button) and says so; the re-read that
// follows fails once. The node keeps its value meanwhile and then takes
// the device's.
TEST_F(ButtonFaultsTest, ChangeWhoseReReadFailsOnceIsReadAgain) {
  struct Device {
    const char* name;
    UCHAR unit;  // a feature unit with a mute control
    bool audioClass2;
  };
  const Device devices[] = {{"headset", 5, false}, {"vzr417", 2, false}, {"uac2", 5, true}};
  struct Kind {
    const char* name;
    std::optional<sim::FaultAction> action;  // none: no IRP for the request
  };
  const Kind kinds[] = {{"stall", sim::FaultAction::Stall},
                        {"timeout", sim::FaultAction::Timeout},
                        {"short reply", sim::FaultAction::ShortReply},
                        {"no IRP", std::nullopt}};
  for (const Device& device : devices) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(testing::Message() << device.name << ", " << kind.name);
      platform::registry::Reset();
      const sim::EmbeddedDevice& d = Embedded(device.name);
      sim::host::RunningDriver driver(d.descriptors(), d.profile(), CreateMiniportWaveCyclic, d.speed, d.factory);
      ASSERT_TRUE(driver.Started());
      CUacAudioHal* model = sim::AudioClassModelOf(driver.HostSide().AdapterDevice());
      ASSERT_NE(model, nullptr);
      platform::clock::AdvanceMs(1000);
      ASSERT_EQ(MuteOf(model, device.unit), 0);
      if (kind.action) {
        sim::ControlFault fault;
        fault.match = sim::RequestMatch::ClassToUnit(device.unit);
        fault.match.in = true;
        fault.match.valueHigh = USB_AUDIO_FU_MUTE_CONTROL;
        fault.action = *kind.action;
        fault.times = 1;
        driver.Device().AddFault(fault);
      } else {
        // The status thread sends its own transfer again without a new
        // IRP: the next one is the re-read's.
        platform::pool::FailNthAllocationWithTag(MakeTag("Irp "), 1);
      }
      if (device.audioClass2)
        static_cast<sim::Uac2Device&>(driver.Device()).SetEntityControl(device.unit, USB_AUDIO_FU_MUTE_CONTROL, 0, {1}, true);
      else
        driver.Device().SetControlValue(device.unit, USB_AUDIO_FU_MUTE_CONTROL, 0, {1}, true);
      EXPECT_TRUE(driver.AdvanceUntil([&] { return MuteOf(model, device.unit) == 1; }, 2000));
      platform::pool::ClearFailures();
    }
  }
}

}  // namespace
