// The Audio Class 2.0 model inside the running driver, where its wave
// filters are registered with the port class driver: what a device's
// status message does to them, and how an output-type change renames and
// re-registers a filter, waits when the settings ask it to and keeps the
// filter when the new name cannot be made.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>

#include "driver/SettingsStore.h"
#include "portcls/framework.h"
#include "sim/ModelReport.h"
#include "sim/device/DeviceFactory.h"
#include "sim/device/Uac2Headset.h"
#include "sim/host/RunningDriver.h"
#include "tests/support/SystemThreads.h"
#include "tests/tools/ToolsTest.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio2.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace {

namespace headset = sim::uac2headset;

constexpr ULONG kClockNode = 0;
constexpr ULONG kOutputTypeNode = 7;

// The registry and the port class driver start afresh, as for the main job.
class Uac2DriverTest : public toolstest::ToolsTest {
 protected:
  void TearDown() override {
    TearDownDriver();
    platform::pool::ClearFailures();
    ToolsTest::TearDown();
  }

  // The embedded headset at high speed, started through the factory, with
  // its model's notifications recorded. `before` scripts the device first.
  void Start(const std::function<void(sim::SimDevice&)>& before = nullptr) {
    auto device = sim::CreateSimDevice(headset::Descriptors(), headset::Profile(), platform::usb::Speed::High);
    if (before) before(*device);
    m_Driver = std::make_unique<sim::host::RunningDriver>(std::move(device), CreateMiniportWaveCyclic,
                                                          AudioHalChoice::ChipIdentifying);
    ASSERT_TRUE(m_Driver->Started());
    CUacAudioHal* model = sim::AudioClassModelOf(m_Driver->HostSide().AdapterDevice());
    ASSERT_NE(model, nullptr);
    m_Hal = static_cast<IAudioHal*>(model);
    ASSERT_EQ(m_Hal->RegisterCallback(OnNotify, this, &m_Registration), STATUS_SUCCESS);
  }
  void TearDownDriver() {
    if (m_Registration) m_Hal->UnregisterCallback(m_Registration);
    m_Registration = nullptr;
    m_Driver.reset();
  }
  sim::Uac2Device& Device() { return static_cast<sim::Uac2Device&>(m_Driver->Device()); }

  // The registered wave filters by name, with their port objects (a new
  // port is a new registration).
  std::map<std::u16string, IPort*> WaveFilters() {
    std::map<std::u16string, IPort*> out;
    for (const platform::portcls::SubdeviceInfo& s :
         platform::portcls::Subdevices(m_Driver->HostSide().AdapterDevice()))
      if (s.waveCyclic) out[s.name] = s.port;
    return out;
  }
  std::vector<std::u16string> Names() {
    std::vector<std::u16string> names;
    for (const auto& [name, port] : WaveFilters()) names.push_back(name);
    return names;
  }
  std::vector<ULONG> Notified() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Notified;
  }
  void ClearNotified() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Notified.clear();
  }
  // Selects a category on the headset's output-type switch.
  NTSTATUS SelectOutput(PinCategory category) {
    ITopoNode* node = nullptr;
    EXPECT_EQ(m_Hal->GetNode(kOutputTypeNode, &node), STATUS_SUCCESS);
    IOutputTypeNode* type = nullptr;
    EXPECT_EQ(node->QueryInterface(IID_IOutputTypeNode, reinterpret_cast<PVOID*>(&type)), STATUS_SUCCESS);
    const NTSTATUS status = type->SelectType(category);
    type->Release();
    return status;
  }

  std::unique_ptr<sim::host::RunningDriver> m_Driver;
  IAudioHal* m_Hal = nullptr;

 private:
  static void OnNotify(PVOID context, PVOID argument1, PVOID) {
    auto* self = static_cast<Uac2DriverTest*>(context);
    std::lock_guard<std::mutex> guard(self->m_Lock);
    self->m_Notified.push_back(static_cast<const AudioHalNotify*>(argument1)->NodeId);
  }

  PVOID m_Registration = nullptr;
  std::mutex m_Lock;
  std::vector<ULONG> m_Notified;
};

TEST_F(Uac2DriverTest, ConnectorMessageRefreshesThePinAndUpdatesTheWaveFilters) {
  Start();
  const std::vector<std::u16string> both = {u"HPOut00Wave", u"MicIn00Wave"};
  ASSERT_EQ(Names(), both);
  const auto before = WaveFilters();
  // The microphone is pulled: its pin reads the connector again and the
  // capture filter goes; the render filter stays as it was.
  Device().SetConnectorMask(0x3, headset::kMicInputTerminal, true);
  EXPECT_TRUE(m_Driver->AdvanceUntil([&] { return WaveFilters().size() == 1; }));
  EXPECT_EQ(Names(), std::vector<std::u16string>{u"HPOut00Wave"});
  EXPECT_EQ(WaveFilters()[u"HPOut00Wave"], before.at(u"HPOut00Wave"));
  Device().SetConnectorMask(0x7, headset::kMicInputTerminal, true);
  EXPECT_TRUE(m_Driver->AdvanceUntil([&] { return WaveFilters().size() == 2; }));
  EXPECT_EQ(Names(), both);
  m_Driver->AdvanceUntil([] { return false; }, 20);
  EXPECT_TRUE(Notified().empty());
}

// A connector that cannot be read says nothing about the jacks. Through a
// whole start the filters come up (a jack counts as connected until the
// device has said otherwise); after that a jack pulled while the connector
// cannot be read leaves them as the last answer did, and the next message
// that reads puts them right.
TEST_F(Uac2DriverTest, ConnectorThatCannotBeReadKeepsTheLastKnownJacks) {
  const auto connector = [](UCHAR terminal, sim::FaultAction action) {
    sim::ControlFault fault;
    fault.match = sim::RequestMatch::ClassToUnit(terminal, USB_AUDIO2_CUR);
    fault.match.in = true;
    fault.match.value = USB_AUDIO2_TE_CONNECTOR_CONTROL << 8;
    fault.action = action;
    fault.length = 1;  // the reply stops before the mask
    return fault;
  };
  struct Case {
    const char* name;
    std::optional<sim::FaultAction> action;  // none: no IRPs for the requests
  };
  const Case cases[] = {{"stall", sim::FaultAction::Stall},
                        {"timeout", sim::FaultAction::Timeout},
                        {"short reply", sim::FaultAction::ShortReply},
                        {"no IRP", std::nullopt}};
  const std::vector<std::u16string> both = {u"HPOut00Wave", u"MicIn00Wave"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    if (c.action) {
      Start([&](sim::SimDevice& d) { d.AddFault(connector(headset::kRenderOutputTerminal, *c.action)); });
      EXPECT_EQ(Names(), both);
      Device().ClearFaults();
      Device().AddFault(connector(headset::kMicInputTerminal, *c.action));
    } else {
      Start();
      platform::pool::FailAllocationsWithTag(MakeTag("Irp "));
    }
    // The microphone really is pulled while the device cannot say so.
    Device().SetConnectorMask(0x3, headset::kMicInputTerminal, true);
    m_Driver->AdvanceUntil([] { return false; }, 1500);
    EXPECT_EQ(Names(), both);
    Device().ClearFaults();
    platform::pool::ClearFailures();
    Device().SetConnectorMask(0x3, headset::kMicInputTerminal, true);
    EXPECT_TRUE(m_Driver->AdvanceUntil([&] { return Names() == std::vector<std::u16string>{u"HPOut00Wave"}; }));
    Device().SetConnectorMask(0x7, headset::kMicInputTerminal, true);
    EXPECT_TRUE(m_Driver->AdvanceUntil([&] { return Names() == both; }));
    TearDownDriver();
  }
}

TEST_F(Uac2DriverTest, ClockValidityMessageIsOneNotificationOfTheClockNode) {
  Start();
  const auto before = WaveFilters();
  Device().SetClockValid(headset::kClock, false, true);
  ASSERT_TRUE(m_Driver->AdvanceUntil([&] { return !Notified().empty(); }));
  m_Driver->AdvanceUntil([] { return false; }, 20);
  EXPECT_EQ(Notified(), std::vector<ULONG>{kClockNode});
  EXPECT_EQ(WaveFilters(), before);
  UCHAR valid = 1;
  ITopoNode* node = nullptr;
  ASSERT_EQ(m_Hal->GetNode(kClockNode, &node), STATUS_SUCCESS);
  IClockSource* clock = nullptr;
  ASSERT_EQ(node->QueryInterface(IID_IClockSource, reinterpret_cast<PVOID*>(&clock)), STATUS_SUCCESS);
  EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, 0);
  clock->Release();
}

TEST_F(Uac2DriverTest, OutputTypeChangeRenamesAndReRegistersAfterTheConfiguredPause) {
  // The stored pause holds the output-type request and the model's
  // subdevice lock: anything the registry says stops at the longest pause.
  const struct {
    const char* name;
    std::optional<ULONG> stored;
    ULONG atLeast, atMost;
  } cases[] = {
      {"no pause", std::nullopt, 0, 1},
      {"UpdateMiniportDelay 30", 30, 30, 31},
      {"UpdateMiniportDelay at its longest", UAC2_MAX_UPDATE_MINIPORT_DELAY_MS, UAC2_MAX_UPDATE_MINIPORT_DELAY_MS,
       UAC2_MAX_UPDATE_MINIPORT_DELAY_MS + 1},
      {"UpdateMiniportDelay of 49 days", 0xFFFFFFFF, UAC2_MAX_UPDATE_MINIPORT_DELAY_MS,
       UAC2_MAX_UPDATE_MINIPORT_DELAY_MS + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    Start();
    if (c.stored) {
      ULONG ms = *c.stored;
      ASSERT_EQ(AccessSetting(m_Driver->HostSide().AdapterDevice(), SETTINGS_WRITE, &ms, sizeof ms,
                              u"UpdateMiniportDelay"),
                STATUS_SUCCESS);
    }
    ASSERT_EQ(Names(), (std::vector<std::u16string>{u"HPOut00Wave", u"MicIn00Wave"}));
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    PKTHREAD thread = testsupport::RunOnSystemThread([&] {
      status = SelectOutput(PIN_CATEGORY_LINE);
      done = true;
    });
    ULONG waited = 0;
    while (!done && waited < 2 * UAC2_MAX_UPDATE_MINIPORT_DELAY_MS) {
      platform::clock::AdvanceMs(1);
      ++waited;
    }
    // A pause past the bound ends with the clock moved on far enough.
    while (!done) platform::clock::AdvanceMs(60 * 60 * 1000);
    testsupport::Join(thread);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_GE(waited, c.atLeast);
    EXPECT_LE(waited, c.atMost);
    // No line output was named before: the first number.
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"LineOut00Wave", u"MicIn00Wave"}));
    TearDownDriver();
  }
}

TEST_F(Uac2DriverTest, FilterWhoseNewNameCannotBeMadeComesBackUnderItsOldName) {
  Start();
  const auto before = WaveFilters();
  ASSERT_EQ(Names(), (std::vector<std::u16string>{u"HPOut00Wave", u"MicIn00Wave"}));
  platform::pool::FailNthAllocationWithTag(AUDIO_HAL_NAME_TAG, 1);
  SelectOutput(PIN_CATEGORY_LINE);
  platform::pool::ClearFailures();
  const auto after = WaveFilters();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"HPOut00Wave", u"MicIn00Wave"}));
  EXPECT_NE(after.at(u"HPOut00Wave"), before.at(u"HPOut00Wave"));  // registered again
  EXPECT_EQ(after.at(u"MicIn00Wave"), before.at(u"MicIn00Wave"));
}

TEST_F(Uac2DriverTest, ModelWithoutEnginesHasNothingToRefresh) {
  uac2test::SmallDevice shape = uac2test::Speaker();
  shape.streaming.clear();
  auto bench = uac2test::Bench(uac2test::Build(shape));
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  EXPECT_EQ(uac2test::Model(*bench)->RefreshSubdevices(0), STATUS_UNSUCCESSFUL);
}

}  // namespace
