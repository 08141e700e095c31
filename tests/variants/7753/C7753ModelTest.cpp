// The 7753 model on simulated boards: codec register writes, the board
// overrides, the codec restore, the status poll on the manual clock, the
// classes the parse picks by unit and board, the software processors it
// attaches, and what the parse refuses.
#include <gtest/gtest.h>

#include "kernel/format.h"
#include "sim/device/Device7753.h"
#include "sim/ModelReport.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/host/Host.h"
#include "sim/host/RunningDriver.h"
#include "tests/support/KernelTest.h"
#include "tests/variants/7753/Board7753.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/usbaudio.h"
#include "variants/7753/C7753FeatureUnits.h"
#include "variants/7753/C7753Nodes.h"
#include "variants/7753/C7753StatusHistory.h"
#include "variants/7753/C7753Terminals.h"

namespace {

using test7753::Board;
using test7753::Switches;
using Writes = std::vector<std::pair<UCHAR, USHORT>>;

constexpr UCHAR kForcedMuteUnit = sim::chip7753::kLineMonitorUnit;
const sim::Bytes kBitSet = {0x10, 0, 0};
const sim::Bytes kBitClear = {0x00, 0, 0};

class C7753ModelTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
  void TearDown() override {
    platform::pool::ClearFailures();
    KernelTest::TearDown();
  }
  static sim::ControlFault SetReportFault() {
    sim::ControlFault fault;
    fault.match.type = BMREQUEST_CLASS;
    fault.match.request = HID_SET_REPORT;
    return fault;
  }
  static sim::ControlFault GetReportFault() {
    sim::ControlFault fault;
    fault.match.type = BMREQUEST_CLASS;
    fault.match.request = HID_GET_REPORT;
    fault.match.in = true;
    return fault;
  }
};

// ---- Codec registers ----------------------------------------------------------------------------

TEST_F(C7753ModelTest, CodecWritesMergeWithTheShadowAndGoAsHidOutputReports) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  C7753AudioHal* model = board->Model();
  board->TakeCodecWrites();
  board->Device().ClearRequests();

  // Mask 0x0030 keeps register 1's other fourteen bits from the shadow.
  EXPECT_EQ(model->WriteCodecRegister(1, 0xFFDF, 0x0030), STATUS_SUCCESS);
  EXPECT_EQ(board->TakeCodecWrites(), (Writes{{1, 0x3012}}));
  EXPECT_EQ(model->GetCodecRegister(1).value, 0x3012);
  // Mask 0xFFFF ignores the shadow.
  EXPECT_EQ(model->WriteCodecRegister(3, 0x1234, 0xFFFF), STATUS_SUCCESS);
  EXPECT_EQ(board->TakeCodecWrites(), (Writes{{3, 0x1234}}));
  // The request: HID SET_REPORT, output report 0, to interface 3, four bytes.
  const auto requests = board->Device().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].setup.bmRequestType, 0x21);
  EXPECT_EQ(requests[1].setup.bRequest, HID_SET_REPORT);
  EXPECT_EQ(requests[1].setup.wValue, 0x0200);
  EXPECT_EQ(requests[1].setup.wIndex, 3);
  EXPECT_EQ(requests[1].data, (sim::Bytes{0x20, 0x34, 0x12, 3}));

  // Mask 0 sends nothing; a seventh register does not exist.
  EXPECT_EQ(model->WriteCodecRegister(2, 0x5555, 0), STATUS_SUCCESS);
  EXPECT_EQ(model->WriteCodecRegister(6, 0x5555, 0xFFFF), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(board->TakeCodecWrites().empty());
  // A write the board refuses leaves the shadow.
  board->Device().AddFault(SetReportFault());
  EXPECT_FALSE(NT_SUCCESS(model->WriteCodecRegister(3, 0x4321, 0xFFFF)));
  EXPECT_EQ(model->GetCodecRegister(3).value, 0x1234);
}

TEST_F(C7753ModelTest, RestoreResetsTheCodecThenRewritesTheMarkedRegisters) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  board->TakeCodecWrites();
  board->Device().ClearRequests();
  ASSERT_EQ(sim::host::WhileTimePasses([&] { return board->Model()->RestoreHardwareState(); }), STATUS_SUCCESS);
  // Register 5's reset bits off, 1 ms, on; then 0-4 from the shadow (the
  // speaker type's registers 0-2 as the output terminal left them).
  EXPECT_EQ(board->TakeCodecWrites(),
            (Writes{{5, 0x0000}, {5, 0x3000}, {0, 0x2004}, {1, 0x3002}, {2, 0xE000}, {3, 0x143F}, {4, 0x0000}}));
  const auto requests = board->Device().Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_GE(requests[1].time - requests[0].time, 10000);

  // The first refused register write ends the restore with its status.
  board->Device().AddFault([] {
    sim::ControlFault fault = SetReportFault();
    fault.skip = 3;  // both resets and register 0 pass
    return fault;
  }());
  EXPECT_FALSE(NT_SUCCESS(sim::host::WhileTimePasses([&] { return board->Model()->RestoreHardwareState(); })));
  EXPECT_EQ(board->TakeCodecWrites(), (Writes{{5, 0x0000}, {5, 0x3000}, {0, 0x2004}}));
}

// ---- Boards -------------------------------------------------------------------------------------

TEST_F(C7753ModelTest, BoardsAreToldApartByIdsAndChipBytes) {
  struct Case {
    const char* name;
    uint16_t vendor, product;
    bool probe;
    Switches changed;  // against the defaults
    bool poll;
    ULONG mask;
    USHORT register1 = 0x3002;
  };
  const Switches kPollBoard = {{C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_SUPPORT_HP_OUT, 0},
                               {C7753_SUPPORT_SPDIF_OUT, 0},        {C7753_DISABLE_SPDIF_IN_TERMINAL, 1},
                               {C7753_DISABLE_4CH_OUT, 1},          {C7753_DISABLE_8CH_OUT, 1}};
  const Case cases[] = {
      {"polled board", 0x1E7D, 0x3750, true, kPollBoard, true, 0x3E0084, 0x3032},
      {"polled board's IDs without the chip", 0x1E7D, 0x3750, false, {}, false, 0x3FE00F},
      {"row 2", 0x5131, 0x001C, true,
       {{C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1},
        {C7753_DISABLE_2CH_OUT, 1}, {C7753_DISABLE_4CH_OUT, 1}, {C7753_DISABLE_8CH_OUT, 1}},
       false, 0},
      {"LED board, no probe needed", 0x28DA, 0x268E, false,
       {{C7753_DISABLE_LINE_IN_TERMINAL, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_SUPPORT_HP_OUT, 0},
        {C7753_SUPPORT_SPDIF_OUT, 0}, {C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_DISABLE_LINE_IN_AA_UNIT, 1}},
       false, 0x3E09F, 0x3032},  // its LED switches, off, wrote the LED bits
      {"soft-mute board with the chip", 0x6B3E, 0x4E13, true,
       {{C7753_DISABLE_8CH_OUT, 1}, {C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0},
        {C7753_DISABLE_LINE_IN_TERMINAL, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_DISABLE_LINE_IN_REC_UNIT, 1},
        {C7753_DISABLE_LINE_IN_AA_UNIT, 1}},
       false, 0x3FE00F},
      {"soft-mute board without it", 0x6B3E, 0x4E13, false, {}, false, 0x3FE00F},
      {"any board with the chip", 0x0D8C, 0x0102, true, {{C7753_DISABLE_8CH_OUT, 1}}, false, 0x3FE00F},
      {"any board without it", 0x0D8C, 0x0102, false, {}, false, 0x3FE00F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board(c.vendor, c.product, c.probe ? 0x9F : 0x9F, c.probe ? 3 : 4);
    ASSERT_EQ(board.Start(), STATUS_SUCCESS);
    C7753AudioHal* model = board.Model();
    EXPECT_EQ(model->ProbeMatched(), c.probe);
    for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) {
      UCHAR expected = C7753DefaultSwitch(i);
      for (const auto& [index, value] : c.changed)
        if (index == i) expected = value;
      EXPECT_EQ(model->GetSwitch(i), expected) << platform::Narrow(C7753SwitchNames[i]);
    }
    EXPECT_EQ(model->IsPollEnabled(), c.poll);
    EXPECT_EQ(model->GetCodecRegister(1).value, c.register1);
    DeviceCapsRecord caps{};
    ASSERT_EQ(board.Hal()->GetChannelCaps(STREAM_DIRECTION_RENDER, PIN_CATEGORY_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.CapabilityMask, c.mask);
  }
}

TEST_F(C7753ModelTest, ThePolledBoardsIdsWithoutTheChipHaveNoPoll) {
  Board board(0x1E7D, 0x3750, 0x9F, 4);
  ASSERT_EQ(board.Start(), STATUS_SUCCESS);
  ASSERT_EQ(board.Hal()->Start(), STATUS_SUCCESS);
  EXPECT_FALSE(board.Model()->IsPollRunning());
  EXPECT_EQ(board.Device().HidInputReportReads(), 0u);
  // Its unit 11 and gain node are the polled board's all the same, idle.
  auto* unit = board.Unit<C7753FeatureUnit11ForcedMute>(kForcedMuteUnit);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->GetForcedMute(), 0);
  ASSERT_NE(board.Model()->GetRenderGainNode(), nullptr);
  EXPECT_EQ(board.Model()->GetRenderGainNode()->GetMode(), 0u);
  EXPECT_EQ(board.DeviceMute(kForcedMuteUnit), 0);
  board.Hal()->Stop();
}

// ---- The status poll ---------------------------------------------------------------------------

// Each case's readings are the polled board's HID reports: one before the
// timer runs, then one a tick of the poll's clock.
TEST_F(C7753ModelTest, PollStatesFollowTheLastThirtyReadings) {
  struct Case {
    const char* name;
    std::vector<bool> readings;  // bit clear?; the first is read before the timer runs
    std::vector<ULONG> states;   // after each tick
  };
  std::vector<Case> cases;
  {
    Case toggle{"a toggling bit", {true}, {}};
    for (int tick = 1; tick <= 40; ++tick) {
      toggle.readings.push_back(tick % 2 == 0);
      toggle.states.push_back(C7753_POLL_ATTENUATE);
    }
    cases.push_back(toggle);
  }
  {
    Case clear{"clear from the start, then set", {true}, {}};
    for (int tick = 1; tick <= 29; ++tick) {
      clear.readings.push_back(true);
      clear.states.push_back(tick < 29 ? C7753_POLL_ATTENUATE : C7753_POLL_SILENCE);
    }
    // Set again: the state stays until thirty set readings have filled the history.
    for (int tick = 1; tick <= 30; ++tick) {
      clear.readings.push_back(false);
      clear.states.push_back(tick < 30 ? C7753_POLL_SILENCE : C7753_POLL_FORCED_MUTE);
    }
    cases.push_back(clear);
  }
  {
    Case set{"set throughout", {false}, std::vector<ULONG>(40, C7753_POLL_FORCED_MUTE)};
    set.readings.resize(41, false);
    cases.push_back(set);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto board = Board::Polled();
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    std::vector<sim::Bytes> script;
    for (bool clear : c.readings) script.push_back(clear ? kBitClear : kBitSet);
    board->Device().QueueHidInputReports(script);
    ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
    platform::clock::Advance(0);
    for (size_t tick = 1; tick < c.readings.size(); ++tick) {
      platform::clock::AdvanceMs(C7753_POLL_PERIOD_MS);
      ASSERT_EQ(board->Model()->GetPollState(), c.states[tick - 1]) << "tick " << tick;
    }
    board->Hal()->Stop();
  }
}

TEST_F(C7753ModelTest, ThePollDrivesForcedMuteAndGainFromTheReadingsOnTheClock) {
  auto board = Board::Polled();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  C7753AudioHal* model = board->Model();
  CRenderGainNode* gain = model->GetRenderGainNode();
  ASSERT_NE(gain, nullptr);
  // The script: one reading before the timer, then per tick a toggling bit
  // (5), clear (30), set (30).
  std::vector<sim::Bytes> script{kBitSet};
  for (int i = 0; i < 5; ++i) script.push_back(i % 2 ? kBitSet : kBitClear);
  script.insert(script.end(), 30, kBitClear);
  script.insert(script.end(), 30, kBitSet);
  board->Device().QueueHidInputReports(script);

  ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
  platform::clock::Advance(0);
  EXPECT_TRUE(model->IsPollRunning());
  EXPECT_EQ(board->Device().HidInputReportReads(), 1u);
  // The start state: forced mute on the device, gain passing.
  EXPECT_EQ(board->DeviceMute(kForcedMuteUnit), 1);
  EXPECT_EQ(gain->GetMode(), 0u);

  std::vector<size_t> changes;
  std::vector<ULONG> reached;
  ULONG state = C7753_POLL_FORCED_MUTE;
  for (size_t tick = 1; tick < script.size(); ++tick) {
    platform::clock::AdvanceMs(C7753_POLL_PERIOD_MS);
    ASSERT_EQ(board->Device().HidInputReportReads(), tick + 1);
    if (model->GetPollState() != state) {
      changes.push_back(tick);
      reached.push_back(model->GetPollState());
    }
    state = model->GetPollState();
    EXPECT_EQ(gain->GetMode(), state) << "tick " << tick;
    EXPECT_EQ(board->DeviceMute(kForcedMuteUnit), state == C7753_POLL_FORCED_MUTE ? 1 : 0) << "tick " << tick;
  }
  EXPECT_EQ(reached, (std::vector<ULONG>{C7753_POLL_ATTENUATE, C7753_POLL_SILENCE, C7753_POLL_FORCED_MUTE}));
  // Attenuate at the first mixed history, silence when thirty readings are
  // clear, the forced mute again after thirty set ones.
  EXPECT_EQ(changes, (std::vector<size_t>{1, 34, 65}));

  // The user's mute on unit 11 survives the forced one: the device gets
  // both OR-ed, and the user's alone once the force goes.
  auto* unit = board->Unit<C7753FeatureUnit11ForcedMute>(kForcedMuteUnit);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->SetSwitchValue(1, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(board->DeviceMute(kForcedMuteUnit), 1);
  EXPECT_EQ(unit->SetForcedMute(0), STATUS_SUCCESS);
  EXPECT_EQ(board->DeviceMute(kForcedMuteUnit), 0);
  EXPECT_EQ(unit->SetSwitchValue(1, 1, 1), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(board->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_FALSE(model->IsPollRunning());
  const uint64_t reads = board->Device().HidInputReportReads();
  platform::clock::AdvanceMs(500);
  EXPECT_EQ(board->Device().HidInputReportReads(), reads);
}

// One reading of each kind of failure, on the whole driver (whose requests
// time out): the poll keeps its state and its thread, and the tick after
// reads on and decides again.
TEST_F(C7753ModelTest, AFailedReadingLeavesThePollRunningInItsState) {
  const sim::EmbeddedDevice* board = sim::FindEmbeddedDevice("7753-poll");
  ASSERT_NE(board, nullptr);
  const auto once = [](sim::FaultAction action) {
    return [action](sim::SimDevice& d) {
      sim::ControlFault fault = GetReportFault();
      fault.action = action;
      fault.times = 1;
      d.AddFault(fault);
    };
  };
  struct Case {
    const char* name;
    std::function<void(sim::SimDevice&)> fault;
  };
  const Case cases[] = {
      {"stall", once(sim::FaultAction::Stall)},
      {"timeout", once(sim::FaultAction::Timeout)},
      // Read as a clear bit, an empty report would end the forced mute.
      {"empty reply", once(sim::FaultAction::ShortReply)},
      {"no IRP for the request", [](sim::SimDevice&) { platform::pool::FailNthAllocationWithTag(MakeTag("Irp "), 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    sim::host::RunningDriver driver(board->descriptors(), board->profile(), CreateMiniportWaveCyclic, board->speed,
                                    board->factory);
    ASSERT_TRUE(driver.Started());
    C7753AudioHal* model = sim::ChipModel7753(driver.HostSide().AdapterDevice());
    ASSERT_NE(model, nullptr);
    driver.Device().SetHidInputReport(kBitSet);
    platform::clock::AdvanceMs(2 * C7753_POLL_PERIOD_MS);
    ASSERT_EQ(model->GetPollState(), C7753_POLL_FORCED_MUTE);
    c.fault(driver.Device());
    const uint64_t reads = driver.Device().HidInputReportReads();
    platform::clock::AdvanceMs(700);
    platform::pool::ClearFailures();
    EXPECT_TRUE(model->IsPollRunning());
    EXPECT_GT(driver.Device().HidInputReportReads(), reads + 2);
    EXPECT_EQ(model->GetPollState(), C7753_POLL_FORCED_MUTE);
    // A clear bit still counts.
    driver.Device().SetHidInputReport(kBitClear);
    platform::clock::AdvanceMs(2 * C7753_POLL_PERIOD_MS);
    EXPECT_EQ(model->GetPollState(), C7753_POLL_ATTENUATE);
  }
}

TEST_F(C7753ModelTest, APollThatEndedWithTheDeviceSaysSoAndStillStopsAndStartsAgain) {
  auto board = Board::Polled();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  const size_t threads = platform::thread::LiveCount();
  ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
  platform::clock::Advance(0);
  // The device object no longer answers: the poll ends by itself, and
  // says so.
  platform::debug::Clear();
  board->Bench().Usb().refuseUsbDeviceFrom = board->Bench().Usb().usbDeviceQueries + 1;
  platform::clock::AdvanceMs(C7753_POLL_PERIOD_MS);
  EXPECT_EQ(platform::thread::LiveCount(), threads);
  EXPECT_FALSE(board->Model()->IsPollRunning());
  EXPECT_TRUE(platform::debug::Contains("the status poll ends: the device object no longer answers"));
  EXPECT_EQ(board->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_FALSE(board->Model()->IsPollRunning());

  board->Bench().Usb().refuseUsbDeviceFrom = 0;
  ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
  platform::clock::Advance(0);
  EXPECT_TRUE(board->Model()->IsPollRunning());
  // A second start while it runs starts nothing more.
  ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
  EXPECT_EQ(platform::thread::LiveCount(), threads + 1);
  EXPECT_EQ(board->Hal()->Stop(), STATUS_SUCCESS);

  // No thread, nothing set.
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  EXPECT_EQ(board->Hal()->Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(board->Model()->IsPollRunning());
  EXPECT_EQ(board->Model()->GetStatusThread(), nullptr);
  EXPECT_EQ(board->Hal()->Stop(), STATUS_SUCCESS);
}

TEST_F(C7753ModelTest, LeavingD0StopsThePollAndReturningRestoresTheCodecAndRestartsIt) {
  auto board = Board::Polled();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  ASSERT_EQ(board->Hal()->Start(), STATUS_SUCCESS);
  platform::clock::Advance(0);
  auto power = [&](DEVICE_POWER_STATE state) {
    POWER_STATE p;
    p.DeviceState = state;
    return sim::host::WhileTimePasses([&] {
      board->Model()->PowerChangeState(p);
      return STATUS_SUCCESS;
    });
  };
  power(PowerDeviceD3);
  EXPECT_FALSE(board->Model()->IsPollRunning());
  board->TakeCodecWrites();
  power(PowerDeviceD0);
  // The codec's reset and its registers from the shadow, before the poll
  // comes back.
  const Writes writes = board->TakeCodecWrites();
  ASSERT_GE(writes.size(), 7u);
  EXPECT_EQ(Writes(writes.begin(), writes.begin() + 7),
            (Writes{{5, 0x0000}, {5, 0x3000}, {0, 0x2004}, {1, 0x3032}, {2, 0xE000}, {3, 0x143F}, {4, 0x0000}}));
  EXPECT_TRUE(board->Model()->IsPollRunning());
  EXPECT_EQ(board->Hal()->Stop(), STATUS_SUCCESS);
}

TEST_F(C7753ModelTest, RefreshWithoutEnginesHasNothingToDo) {
  auto board = Board::Evaluation();
  EXPECT_EQ(board->Model()->RefreshSubdevices(3), STATUS_UNSUCCESSFUL);
}

// ---- What the parse makes ----------------------------------------------------------------------

TEST_F(C7753ModelTest, UnitClassesFollowUnitIdAndBoard) {
  enum Kind { Plain9, Plain2, SoftMute, LedSwitch, Forced, Master, Spdif };
  auto is = [](Board& b, ULONG id, Kind kind) {
    switch (kind) {
      case Plain9: return b.Unit<C7753FeatureUnit9>(id) && !b.Unit<C7753FeatureUnit11ForcedMute>(id);
      case Plain2: return b.Unit<C7753FeatureUnit2>(id) && !b.Unit<C7753FeatureUnit2SoftMute>(id) &&
                          !b.Unit<C7753FeatureUnit2LedSwitch>(id);
      case SoftMute: return b.Unit<C7753FeatureUnit2SoftMute>(id) != nullptr;
      case LedSwitch: return b.Unit<C7753FeatureUnit2LedSwitch>(id) != nullptr;
      case Forced: return b.Unit<C7753FeatureUnit11ForcedMute>(id) != nullptr;
      case Master: return b.Unit<C7753FeatureUnit13>(id) != nullptr;
      case Spdif: return b.Unit<C7753FeatureUnit16>(id) != nullptr;
    }
    return false;
  };
  struct Case {
    const char* name;
    uint16_t vendor, product;
    std::vector<std::pair<ULONG, Kind>> units;
  };
  const Case cases[] = {
      {"any board", 0x1209, 0x7753, {{8, Plain2}, {9, Plain9}, {11, Plain9}, {13, Master}, {15, Plain2}, {16, Spdif}}},
      {"polled board, chip or not", 0x1E7D, 0x3750, {{8, Plain2}, {9, Plain9}, {11, Forced}, {13, Master}}},
      {"soft-mute board", 0x6B3E, 0x4E13, {{8, SoftMute}, {15, SoftMute}, {11, Plain9}, {16, Spdif}}},
      {"LED board", 0x28DA, 0x268E, {{8, LedSwitch}, {9, Plain9}, {13, Master}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board(c.vendor, c.product, 0, 0);
    ASSERT_EQ(board.Start(), STATUS_SUCCESS);
    for (const auto& [id, kind] : c.units) EXPECT_TRUE(is(board, id, kind)) << "unit " << id;
    // Only output terminal 3 is the chip's; input terminals are all.
    EXPECT_NE(board.Unit<C7753OutputTerminal>(3), nullptr);
    EXPECT_EQ(board.Unit<C7753OutputTerminal>(7), nullptr);
    EXPECT_NE(board.Unit<CUac1OutputTerminal>(7), nullptr);
    EXPECT_NE(board.Unit<C7753InputTerminal>(4), nullptr);
  }
}

TEST_F(C7753ModelTest, RenderProcessorsFollowTheBoard) {
  // The master unit's two nodes process on every render engine; the gain
  // node joins on the polled board, the channel swap unless the LED board's
  // IDs or the six-channel layout rule it out.
  struct Case {
    const char* name;
    uint16_t vendor, product;
    Switches set;
    bool gain, swap;
  };
  const Case cases[] = {
      {"any board", 0x1209, 0x7753, {}, false, true},
      {"the LED board's product under another vendor", 0x1234, 0x268E, {}, false, false},
      {"the LED board's vendor", 0x28DA, 0x1111, {}, false, false},
      {"six channels", 0x1209, 0x7753, {{C7753_DISABLE_8CH_OUT, 1}}, false, false},
      {"polled board's IDs", 0x1E7D, 0x3750, {}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board(c.vendor, c.product, 0, 0);
    board.PutSwitches(c.set);
    ASSERT_EQ(board.Start(), STATUS_SUCCESS);
    CUsbStreamEngine* render = board.Engine(false);
    ASSERT_NE(render, nullptr);
    EXPECT_EQ(render->GetNodeProcessorCount(), 2u + c.gain + c.swap);
    EXPECT_EQ(board.Model()->GetRenderGainNode() != nullptr, c.gain);
    EXPECT_EQ(board.Engine(true)->GetNodeProcessorCount(), 1u);  // unit 16's mute
  }
}

TEST_F(C7753ModelTest, TheParseRefusesUnknownSourcesAndUnitsItDoesNotKnow) {
  // A recording unit naming a unit the chip does not have.
  sim::DescriptorSet set = sim::chip7753::EvaluationBoardDescriptors();
  set.configurations[0][52 + 4] = 99;
  Board unknown(set, sim::chip7753::EvaluationBoardProfile());
  EXPECT_EQ(unknown.Start(), STATUS_UNSUCCESSFUL);

  // A processing or extension unit in an AudioControl interface.
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  for (UCHAR subtype : {UCHAR{7}, UCHAR{8}}) {
    const sim::Bytes control = {9, 4, 0, 0, 0, 1, 1, 0, 0, 13, 0x24, subtype, 40, 1, 0, 1, 1, 2, 3, 0, 0, 0};
    sim::Bytes copy = control;
    EXPECT_EQ(board->Model()->UsbParseAudioControlInterface(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(copy.data()),
                                                            static_cast<ULONG>(copy.size())),
              STATUS_UNSUCCESSFUL);
  }
  // A master unit of more channels than its volume node keeps gains for.
  sim::Bytes master = {9, 4, 0, 0, 0, 1, 1, 0, 0, 18, 0x24, 6, 13, 1, 1, 0x01};
  master.insert(master.end(), 10, 0x02);
  master.push_back(0);
  EXPECT_EQ(board->Model()->UsbParseAudioControlInterface(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(master.data()),
                                                          static_cast<ULONG>(master.size())),
            STATUS_UNSUCCESSFUL);
  // A unit 16 without a mute control ends the parse.
  sim::Bytes control = {9, 4, 0, 0, 0, 1, 1, 0, 0, 10, 0x24, 6, 16, 6, 1, 0x02, 0x02, 0x02, 0};
  EXPECT_EQ(board->Model()->UsbParseAudioControlInterface(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(control.data()),
                                                          static_cast<ULONG>(control.size())),
            STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
