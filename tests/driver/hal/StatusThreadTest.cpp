// The model's status thread: which endpoint it listens on, what a status
// word makes it do, and how it ends in every way it can end.
#include "driver/hal/CK784AudioHal.h"
#include "sim/device/DefaultHeadset.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio.h"

namespace {

using namespace haltest;

// The default headset's nodes: FU 2 is 1-6, FU 5 is 9-11, SU 6 is 12.
const std::vector<ULONG> kAllRefreshed = {1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 13};
const std::vector<ULONG> kMicUnitNodes = {10, 11, 12};

class StatusThreadTest : public ModelTest {
 protected:
  // The default headset, started, with its first refresh behind it.
  std::unique_ptr<ModelBench> StartedHeadset(const std::function<void(ModelBench&)>& before = nullptr) {
    auto bench = std::make_unique<ModelBench>(sim::headset::Descriptors(), sim::headset::Profile());
    if (before) before(*bench);
    EXPECT_EQ(bench->Init(), STATUS_SUCCESS);
    bench->WatchNotifications();
    EXPECT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(bench->AdvanceUntil([&] { return bench->Notifications().size() >= kAllRefreshed.size(); }));
    return bench;
  }
};

TEST_F(StatusThreadTest, ListensOnlyOnAnInterruptInEndpointWithTwoBytePackets) {
  struct Case {
    const char* name;
    EndpointSpec endpoint;
    bool thread;
  };
  const Case cases[] = {
      {"interrupt IN, 2 bytes", {0x83, 0x03, 2}, true},
      {"interrupt IN, 4 bytes", {0x83, 0x03, 4}, false},
      {"interrupt OUT, 2 bytes", {0x03, 0x03, 2}, false},
      {"bulk IN, 2 bytes", {0x83, 0x02, 2}, false},
      {"no endpoint", {0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModelBench bench(StereoHeadset(c.endpoint), PlainProfile());
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    // Without a status pipe the start is the base start's.
    EXPECT_EQ(bench.Model()->CUac1AudioHal::Start(), STATUS_SUCCESS);
    EXPECT_EQ(bench.Model()->GetStatusThread() != nullptr, c.thread);
    EXPECT_EQ(bench.Model()->GetStatusPipeIndex(), c.thread ? 0 : UAC1_NO_STATUS_PIPE);
  }
}

TEST_F(StatusThreadTest, EveryUnitIsRefreshedOnceBeforeTheFirstWord) {
  auto bench = StartedHeadset();
  bench->AdvanceUntil([] { return false; }, 5);
  EXPECT_EQ(bench->Notifications(), kAllRefreshed);
}

TEST_F(StatusThreadTest, WordsFromTheAudioControlInterfaceRefreshTheNamedUnit) {
  struct Case {
    UCHAR statusType;
    UCHAR originator;
    std::vector<ULONG> notified;
  };
  const Case cases[] = {
      {0x00, sim::headset::kMicFeatureUnit, kMicUnitNodes},
      {0x80, sim::headset::kMicFeatureUnit, kMicUnitNodes},  // interrupt pending: same origin
      {0x01, sim::headset::kMicFeatureUnit, {}},             // an AudioStreaming interface
      {0x02, sim::headset::kMicFeatureUnit, {}},             // an AudioStreaming endpoint
      {0x00, 0x63, {}},                                      // no such unit
      {0x00, sim::headset::kMicSelector, {13}},
  };
  auto bench = StartedHeadset();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.statusType) << " " << int(c.originator));
    bench->ClearNotifications();
    bench->Device().QueueStatusWord(c.statusType, c.originator);
    bench->AdvanceUntil([] { return false; }, 5);
    EXPECT_EQ(bench->Notifications(), c.notified);
    EXPECT_EQ(bench->Device().PendingStatusWords(), 0u);
  }
}

TEST_F(StatusThreadTest, DeviceSideChangeReachesTheNodeBeforeItsNotification) {
  auto bench = StartedHeadset();
  ITopoNode* node = nullptr;
  ASSERT_EQ(bench->Hal()->GetNode(10, &node), STATUS_SUCCESS);
  ISwitchNode* mute = nullptr;
  ASSERT_EQ(node->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&mute)), STATUS_SUCCESS);
  UCHAR value = 0xFF;
  mute->GetValue(0, &value);
  EXPECT_EQ(value, 0);
  bench->ClearNotifications();
  bench->Device().SetControlValue(sim::headset::kMicFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL, 0, {1}, true);
  EXPECT_TRUE(bench->AdvanceUntil([&] { return bench->Notifications().size() == kMicUnitNodes.size(); }));
  EXPECT_EQ(bench->Notifications(), kMicUnitNodes);
  mute->GetValue(0, &value);
  EXPECT_EQ(value, 1);
  mute->Release();
}

TEST_F(StatusThreadTest, TransferShorterThanAWordNamesNoUnit) {
  // The first two transfers bring one byte and none; the buffer still
  // holds a word naming the microphone's unit from before.
  int answered = 0;
  auto bench = StartedHeadset([&](ModelBench& b) {
    b.Usb().interruptHook = [&answered](PURB urb, NTSTATUS* status) {
      if (answered >= 2) return false;
      auto& transfer = urb->UrbBulkOrInterruptTransfer;
      auto* word = static_cast<PUCHAR>(transfer.TransferBuffer);
      word[0] = 0x00;
      word[1] = sim::headset::kMicFeatureUnit;
      transfer.TransferBufferLength = answered == 0 ? 1 : 0;
      ++answered;
      *status = STATUS_SUCCESS;
      return true;
    };
  });
  bench->AdvanceUntil([] { return false; }, 5);
  EXPECT_EQ(answered, 2);
  EXPECT_EQ(bench->Notifications(), kAllRefreshed);
  // The thread still listens.
  bench->ClearNotifications();
  bench->Device().QueueStatusWord(0, sim::headset::kMicFeatureUnit);
  EXPECT_TRUE(bench->AdvanceUntil([&] { return bench->Notifications() == kMicUnitNodes; }));
}

// One failed status transfer, or one the pool could not give memory for:
// the thread pauses, sends again and handles the word the device queued
// meanwhile, without a new start.
TEST_F(StatusThreadTest, ThreadRidesOutAFailedTransferOfEachKind) {
  struct Case {
    const char* name;
    std::function<void(ModelBench&)> fault;
  };
  const auto pollFails = [](USBD_STATUS status) {
    return [status](ModelBench& b) { b.Device().FailInterruptPolls(status); };
  };
  const Case cases[] = {
      {"stall", pollFails(USBD_STATUS_STALL_PID)},
      {"no answer", pollFails(USBD_STATUS_DEV_NOT_RESPONDING)},
      {"babble", pollFails(USBD_STATUS_BABBLE_DETECTED)},
      {"refused at once",
       [](ModelBench& b) {
         b.Usb().interruptHook = [refused = false](PURB, NTSTATUS* status) mutable {
           if (refused) return false;
           refused = true;
           *status = STATUS_UNSUCCESSFUL;
           return true;
         };
       }},
      {"no memory for the transfer", [](ModelBench&) { platform::pool::FailAllocationsWithTag(UAC1_HAL_TAG); }},
      {"no IRP", [](ModelBench& b) { b.Usb().refuseIrps = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bench = std::make_unique<ModelBench>(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    bench->WatchNotifications();
    c.fault(*bench);
    ASSERT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
    PKTHREAD thread = bench->Model()->GetStatusThread();
    ASSERT_NE(thread, nullptr);
    ObReferenceObject(thread);
    bench->Device().QueueStatusWord(0, sim::headset::kMicFeatureUnit);
    bench->AdvanceUntil([] { return false; }, 30);
    platform::pool::ClearFailures();
    bench->Device().QueueStatusWord(0, sim::headset::kMicFeatureUnit);
    EXPECT_TRUE(bench->AdvanceUntil([&] {
      const std::vector<ULONG> seen = bench->Notifications();
      return seen.size() >= kMicUnitNodes.size() &&
             std::vector<ULONG>(seen.end() - kMicUnitNodes.size(), seen.end()) == kMicUnitNodes;
    }, 2000));
    EXPECT_FALSE(ThreadEnded(thread));
    EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
    EXPECT_TRUE(ThreadEnded(thread));
    ObDereferenceObject(thread);
    EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
  }
}

TEST_F(StatusThreadTest, DeviceGoneEndsTheThreadAndItSaysSo) {
  auto bench = StartedHeadset();
  PKTHREAD first = bench->Model()->GetStatusThread();
  ASSERT_NE(first, nullptr);
  ObReferenceObject(first);
  platform::debug::Clear();
  bench->Port().Unplug();
  EXPECT_TRUE(bench->AdvanceUntil([&] { return ThreadEnded(first); }));
  ObDereferenceObject(first);
  EXPECT_TRUE(platform::debug::Contains("the status thread ends: the device is gone"));
}

TEST_F(StatusThreadTest, LosingTheDeviceObjectBetweenTransfersEndsTheThreadWithoutWaiting) {
  auto bench = StartedHeadset();
  PKTHREAD thread = bench->Model()->GetStatusThread();
  ASSERT_NE(thread, nullptr);
  ObReferenceObject(thread);
  // From the next word on the device object no longer answers: the unit
  // refresh fails, and so does the thread's query before it resubmits.
  bench->Usb().refuseUsbDeviceFrom = bench->Usb().usbDeviceQueries + 1;
  const ULONG transfers = bench->Usb().interruptTransfers;
  bench->Device().QueueStatusWord(0, sim::headset::kMicFeatureUnit);
  EXPECT_TRUE(bench->AdvanceUntil([&] { return ThreadEnded(thread); }));
  EXPECT_EQ(bench->Usb().interruptTransfers, transfers);
  ObDereferenceObject(thread);
  bench->Usb().refuseUsbDeviceFrom = 0;
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
}

TEST_F(StatusThreadTest, FailedThreadCreationLeavesTheModelStoppable) {
  ModelBench bench(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  EXPECT_EQ(bench.Model()->CUac1AudioHal::Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bench.Hal()->Start(), STATUS_SUCCESS);  // the product's start reports success regardless
  platform::pool::FailAllocationsWithTag(0);
  EXPECT_EQ(bench.Model()->GetStatusPipeIndex(), UAC1_NO_STATUS_PIPE);
  EXPECT_EQ(bench.Model()->GetStatusThread(), nullptr);
  EXPECT_EQ(bench.Hal()->Stop(), STATUS_SUCCESS);
  // And a later start gets its thread.
  EXPECT_EQ(bench.Hal()->Start(), STATUS_SUCCESS);
  EXPECT_NE(bench.Model()->GetStatusThread(), nullptr);
}

TEST_F(StatusThreadTest, RefusedInterfaceSelectionStillStartsWithoutAThread) {
  ModelBench bench(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  bench.Usb().selectInterfaceFailure = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(bench.Model()->CUac1AudioHal::Start(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bench.Hal()->Start(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Model()->GetStatusThread(), nullptr);
  EXPECT_EQ(bench.Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Hal()->Stop(), STATUS_SUCCESS);
}

TEST_F(StatusThreadTest, StopEndsTheThreadOnceAndASecondStopOnlyStopsTheNodes) {
  auto bench = StartedHeadset();
  PKTHREAD thread = bench->Model()->GetStatusThread();
  ObReferenceObject(thread);
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(ThreadEnded(thread));
  ObDereferenceObject(thread);
  EXPECT_EQ(bench->Model()->GetStatusThread(), nullptr);
  EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
}

TEST_F(StatusThreadTest, PowerCycleStopsAndRestartsTheThreadAndRestoresTheDevice) {
  auto bench = StartedHeadset();
  IAudioHal* hal = bench->Hal();
  PKTHREAD first = bench->Model()->GetStatusThread();
  ObReferenceObject(first);

  SetPower(hal, PowerDeviceD3);
  EXPECT_TRUE(ThreadEnded(first));
  ObDereferenceObject(first);
  EXPECT_EQ(bench->Model()->GetStatusThread(), nullptr);

  bench->Device().ClearRequests();
  SetPower(hal, PowerDeviceD0);
  EXPECT_NE(bench->Model()->GetStatusThread(), nullptr);
  size_t sets = 0;
  for (const sim::RequestRecord& r : bench->Device().Requests()) sets += r.setup.bRequest == USB_AUDIO_SET_CUR;
  EXPECT_GT(sets, 0u);  // the node values went back to the device

  // The state it is in already changes nothing.
  bench->Device().ClearRequests();
  PKTHREAD second = bench->Model()->GetStatusThread();
  SetPower(hal, PowerDeviceD0);
  EXPECT_EQ(bench->Model()->GetStatusThread(), second);
  for (const sim::RequestRecord& r : bench->Device().Requests()) EXPECT_NE(r.setup.bRequest, USB_AUDIO_SET_CUR);
}

}  // namespace

namespace {

class StatusThreadRemovalTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }
};

TEST_F(StatusThreadRemovalTest, RemovalDoesNotWaitForTheWholeReadOutOfADeviceThatNeverAnswers) {
  Plug(sim::headset::Descriptors(), sim::headset::Profile());
  // Every class read of a unit's value goes unanswered: each request waits
  // out its half second.
  sim::ControlFault silent;
  silent.match = sim::RequestMatch::Class();
  silent.match.request = USB_AUDIO_GET_CUR;
  silent.action = sim::FaultAction::Timeout;
  Device().AddFault(silent);
  // The start lets time pass on its own thread while the units are read.
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // The read-out of the seven units has just begun: the removal waits for
  // the request under way, not for all of them (five seconds).
  const LONGLONG removeAt = platform::clock::Now();
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_LE((platform::clock::Now() - removeAt) / 10000, 600);
}

}  // namespace
