// Devices that fail a request once, in the whole driver: a button change
// whose re-read fails is read again.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "driver/hal/CUacAudioHal.h"
#include "sim/ModelReport.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/device/Uac2Device.h"
#include "sim/host/RunningDriver.h"
#include "tests/sim/host/support/HostBench.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/CUacUnit.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

const sim::EmbeddedDevice& Embedded(const char* name) {
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(name);
  EXPECT_NE(device, nullptr) << name;
  return *device;
}

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
