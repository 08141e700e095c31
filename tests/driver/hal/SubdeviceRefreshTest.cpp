// Wave subdevices that follow the device: an output type switched by a
// property request renames and re-registers the engine behind it, a jack
// status word re-registers every engine.
#include "driver/hal/CK784AudioHal.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/DescriptorBuilder.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelShapes.h"
#include "usb/usbaudio.h"

namespace {

using namespace haltest;

// Two render paths whose output terminals switch between speakers and
// headphones (a dock with a speaker and a headphone jack on each output).
//   IT 1 -> FU 2 -> OT 3: nodes 0, 1, pins 2 (SPK) and 3 (HP), type node 4
//   IT 4 -> FU 5 -> OT 6: nodes 5, 6, pins 7 (SPK) and 8 (HP), type node 9
sim::DescriptorSet TwoSwitchableOutputs() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1).AcHeader({1, 2});
  for (uint8_t base : {1, 4}) {
    c.InputTerminal(base, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
        .FeatureUnit(base + 1, base, 1, {1})
        .OutputTerminal(base + 2, 0x0301, base + 1);
  }
  for (uint8_t i = 1; i <= 2; ++i)
    c.Interface(i, 0, 0, 1, 2)
        .Interface(i, 1, 1, 1, 2)
        .AsGeneral(i == 1 ? 1 : 4, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000})
        .Endpoint(i, 0x01, 196, 1);
  return MakeSet(c.Build());
}

sim::DeviceProfile SwitchableProfile() {
  sim::DeviceProfile p = sim::DefaultProfile();
  for (uint8_t terminal : {3, 6}) p.terminals[terminal].outputTypes = {{0x0301, {}}, {0x0302, {}}};
  return p;
}

class SubdeviceRefreshTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }

  IAudioHal* Hal() { return DeviceObject(); }

  CStreamEngine* Engine(ULONG index) {
    IStreamEngine* engine = nullptr;
    EXPECT_EQ(Hal()->GetStreamEngine(index, &engine), STATUS_SUCCESS);
    return static_cast<CStreamEngine*>(engine);
  }

  // Switches the output terminal behind type node `nodeId`, as a property
  // request does.
  NTSTATUS SelectType(ULONG nodeId, PinCategory category) {
    ITopoNode* node = nullptr;
    EXPECT_EQ(Hal()->GetNode(nodeId, &node), STATUS_SUCCESS);
    IOutputTypeNode* type = nullptr;
    EXPECT_EQ(node->QueryInterface(IID_IOutputTypeNode, reinterpret_cast<PVOID*>(&type)), STATUS_SUCCESS);
    NTSTATUS status = type->SelectType(category);
    type->Release();
    return status;
  }

  bool AdvanceUntil(const std::function<bool()>& done) {
    for (int ms = 0; ms < 200 && !done(); ++ms) platform::clock::AdvanceMs(1);
    return done();
  }
};

TEST_F(SubdeviceRefreshTest, OnlyTheEngineWhoseTypeChangedIsRenamedAndReRegistered) {
  Plug(TwoSwitchableOutputs(), SwitchableProfile());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(SubdeviceNames(), (std::vector<std::u16string>{u"GlobalTopo", u"SPKOut00Wave", u"SPKOut01Wave"}));
  PUNKNOWN firstPort = Engine(0)->GetWavePort();
  ASSERT_NE(firstPort, nullptr);

  EXPECT_EQ(SelectType(9, PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_EQ(Engine(1)->GetPinCategory(), PIN_CATEGORY_HP);
  EXPECT_EQ(SubdeviceNames(), (std::vector<std::u16string>{u"GlobalTopo", u"SPKOut00Wave", u"HPOut00Wave"}));
  EXPECT_EQ(Engine(0)->GetWavePort(), firstPort);
}

TEST_F(SubdeviceRefreshTest, NewNameComesFromTheCounterUnlessAnotherEngineHasIt) {
  struct Case {
    UCHAR hpCounter;
    bool otherAlreadyHp;
    const char16_t* name;
  };
  // The counter less one; the lowest free number above it when another
  // engine carries that name; the counters themselves do not change.
  const Case cases[] = {{0, false, u"HPOut00"}, {1, false, u"HPOut00"}, {3, false, u"HPOut02"},
                        {1, true, u"HPOut01"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.hpCounter) << (c.otherAlreadyHp ? " other HP" : ""));
    platform::registry::Reset();
    Plug(TwoSwitchableOutputs(), SwitchableProfile());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    if (c.otherAlreadyHp) {
      ASSERT_EQ(SelectType(9, PIN_CATEGORY_HP), STATUS_SUCCESS);
    }
    Extension()->OutputNameCounters[PIN_CATEGORY_HP] = c.hpCounter;
    EXPECT_EQ(SelectType(4, PIN_CATEGORY_HP), STATUS_SUCCESS);
    EXPECT_EQ(EngineName(Engine(0)), platform::Narrow(c.name));
    EXPECT_EQ(Extension()->OutputNameCounters[PIN_CATEGORY_HP], c.hpCounter);
    Unplug();
  }
}

TEST_F(SubdeviceRefreshTest, WithoutEnginesThereIsNothingToRefresh) {
  // An AudioControl interface with only its header: no units, no engines.
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1).AcHeader({});
  Plug(MakeSet(c.Build()), PlainProfile());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(DeviceObject()->QueryInterface(IID_IUsbAudioHal, &object), STATUS_SUCCESS);
  auto* usbHal = static_cast<IUsbAudioHal*>(object);
  EXPECT_EQ(usbHal->RefreshSubdevices(0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(static_cast<CUac1AudioHal*>(usbHal)->GetUnitCount(), 0u);
  EXPECT_EQ(Hal()->GetNodeCount(), 0u);
  usbHal->Release();
}

TEST_F(SubdeviceRefreshTest, TerminalStatusWordUpdatesEveryEnginesSubdevice) {
  Plug(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const std::vector<std::u16string> all = {u"GlobalTopo", u"HeadSetOut00Wave", u"HeadSetIn00Wave"};
  EXPECT_EQ(SubdeviceNames(), all);
  // The microphone is pulled: its terminal re-reads its jacks and the
  // capture engine's filter goes.
  Device().SetPresenceMask(0x3, sim::headset::kMicInputTerminal);
  EXPECT_TRUE(AdvanceUntil([&] { return SubdeviceNames().size() == 2; }));
  EXPECT_EQ(SubdeviceNames(), (std::vector<std::u16string>{u"GlobalTopo", u"HeadSetOut00Wave"}));
  // With the render filter gone too, the next word about the microphone
  // brings both back: every engine is updated, not just the one whose
  // terminal spoke.
  ASSERT_EQ(Engine(0)->RemoveSubdevice(Fdo()), STATUS_SUCCESS);
  Device().SetPresenceMask(0x7, sim::headset::kMicInputTerminal);
  EXPECT_TRUE(AdvanceUntil([&] { return SubdeviceNames() == all; }));
}

TEST_F(SubdeviceRefreshTest, PresenceThatCannotBeReadKeepsTheFiltersAndAnUnplugComesBack) {
  Plug(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const std::vector<std::u16string> all = {u"GlobalTopo", u"HeadSetOut00Wave", u"HeadSetIn00Wave"};
  ASSERT_EQ(SubdeviceNames(), all);
  sim::ControlFault fault;
  fault.match = sim::RequestMatch::Vendor();
  fault.match.request = 0x81;
  fault.match.value = 0x0200;
  struct Case {
    const char* name;
    sim::FaultAction action;  // a device fault, or none for a pool that is out
    bool device;
  };
  const Case cases[] = {{"stall", sim::FaultAction::Stall, true},
                        {"timeout", sim::FaultAction::Timeout, true},
                        {"short reply", sim::FaultAction::ShortReply, true},
                        {"no memory for the jack records", sim::FaultAction::Stall, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The microphone really is pulled while the device cannot say so.
    Device().SetPresenceMask(0x3, 0);
    if (c.device) {
      fault.action = c.action;
      fault.length = 2;
      Device().AddFault(fault);
    } else {
      platform::pool::FailAllocationsWithTag(STREAM_ENGINE_TAG);
    }
    Device().QueueStatusWord(0, sim::headset::kMicInputTerminal);
    for (int ms = 0; ms < 1500; ++ms) platform::clock::AdvanceMs(1);
    EXPECT_EQ(SubdeviceNames(), all);
    Device().ClearFaults();
    platform::pool::ClearFailures();
    Device().SetPresenceMask(0x7, 0);
  }
  // A real unplug takes the filter, and the plug brings it back.
  Device().SetPresenceMask(0x3, sim::headset::kMicInputTerminal);
  EXPECT_TRUE(AdvanceUntil([&] { return SubdeviceNames().size() == 2; }));
  Device().SetPresenceMask(0x7, sim::headset::kMicInputTerminal);
  EXPECT_TRUE(AdvanceUntil([&] { return SubdeviceNames() == all; }));
}

}  // namespace
