#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/driver/DriverHarness.h"
#include "usb/usbdlib.h"

namespace {

using drivertest::DriverHarness;
using drivertest::Join;
using drivertest::RunOnSystemThread;
using States = std::vector<DEVICE_POWER_STATE>;

constexpr LONGLONG kIdleTickMs = 5000;

class SelectiveSuspendTest : public DriverHarness {
 protected:
  void TearDown() override {
    CUsbAudioDevice::IdleRequestBuiltHook = nullptr;
    DriverHarness::TearDown();
  }

  // Starts with selective suspend enabled and lets the first idle tick
  // suspend the device.
  void StartAndSuspend() {
    EnableSelectiveSuspend();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(DeviceObject()->IsSelectiveSuspendEnabled());
    platform::clock::AdvanceMs(kIdleTickMs);
    ASSERT_TRUE(Suspended());
  }
  bool Suspended() {
    return Port().IdleNotificationPending() && Port().Suspended() &&
           platform::portcls::AdapterPowerState(Fdo()) == PowerDeviceD2;
  }
  // Joins a thread that may wait on the clock, moving the clock meanwhile.
  void JoinAdvancing(PKTHREAD thread, LONGLONG* elapsedMs = nullptr) {
    LARGE_INTEGER poll{};
    LONGLONG began = platform::clock::Now();
    while (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll) == STATUS_TIMEOUT)
      platform::clock::AdvanceMs(10);
    if (elapsedMs) *elapsedMs = (platform::clock::Now() - began) / 10000;
    ObDereferenceObject(thread);
  }
  PFILE_OBJECT Filter() { return OpenFile(u"\\GlobalTopo"); }
};

TEST_F(SelectiveSuspendTest, IdleDeviceIsSuspendedAndAnOpenWakesIt) {
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_TRUE(platform::timer::ResolutionRequested());
  platform::clock::AdvanceMs(kIdleTickMs - 1);
  EXPECT_FALSE(Port().IdleNotificationPending());
  platform::clock::AdvanceMs(1);
  ASSERT_TRUE(Suspended());
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD2}));
  EXPECT_FALSE(platform::timer::ResolutionRequested());

  // The open cancels the idle request: the device is back in D0 before the
  // open goes on, and the timer is armed again.
  PFILE_OBJECT filter = Filter();
  EXPECT_EQ(SendCreate(filter), STATUS_SUCCESS);
  EXPECT_FALSE(Port().IdleNotificationPending());
  EXPECT_FALSE(Port().Suspended());
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD2, PowerDeviceD0}));
  EXPECT_EQ(platform::portcls::AdapterPowerState(Fdo()), PowerDeviceD0);
  EXPECT_TRUE(platform::timer::ResolutionRequested());
  EXPECT_FALSE(DeviceObject()->HasIdleIrp());
  platform::clock::AdvanceMs(kIdleTickMs);
  EXPECT_TRUE(Suspended());
  SendClose(filter);
}

TEST_F(SelectiveSuspendTest, CloseIoctlAndPlugAndPlayRequestsWakeTheDeviceToo) {
  StartAndSuspend();
  PFILE_OBJECT filter = Filter();
  const std::vector<std::pair<const char*, std::function<void()>>> requests = {
      {"close", [&] { SendClose(filter); }},
      {"I/O control", [&] { SendIoctl(filter, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0); }},
      {"plug and play",
       [&] {
         DEVICE_CAPABILITIES caps;
         Host().QueryCapabilities(&caps);
       }},
  };
  for (const auto& [name, send] : requests) {
    SCOPED_TRACE(name);
    Model()->powerStates.clear();
    send();
    EXPECT_FALSE(Port().IdleNotificationPending());
    EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD0}));
    platform::clock::AdvanceMs(kIdleTickMs);
    EXPECT_TRUE(Suspended());
  }
}

TEST_F(SelectiveSuspendTest, RequestInFlightWhenTheTimerFiresKeepsTheDeviceAwake) {
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Device().AddFault({sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE), sim::FaultAction::Timeout});
  platform::clock::AdvanceMs(kIdleTickMs - 100);
  PKTHREAD thread = RunOnSystemThread([this] {
    URB urb{};
    UCHAR buffer[64];
    UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 2, 0, buffer,
                                 nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(DeviceObject()->SubmitUrb(&urb), STATUS_CANCELLED);
  });
  platform::clock::AdvanceMs(100);  // the tick, with the request in flight
  EXPECT_EQ(DeviceObject()->GetOutstandingCount(), 2);
  EXPECT_EQ(platform::workitem::Pending(), 0u);
  EXPECT_FALSE(Port().IdleNotificationPending());
  platform::clock::AdvanceMs(400);
  Join(thread);
  EXPECT_TRUE(Model()->powerStates.empty());
  // The next tick finds the device idle.
  platform::clock::AdvanceMs(kIdleTickMs);
  EXPECT_TRUE(Suspended());
}

TEST_F(SelectiveSuspendTest, WithoutTheSettingNoIdleRequestIsEverSent) {
  for (int setting : {-1, 0}) {
    SCOPED_TRACE(setting);
    Plug();
    if (setting >= 0) EnableSelectiveSuspend(static_cast<ULONG>(setting));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_FALSE(DeviceObject()->IsSelectiveSuspendEnabled());
    platform::clock::AdvanceMs(4 * kIdleTickMs);
    EXPECT_FALSE(Port().IdleNotificationPending());
    EXPECT_TRUE(Model()->powerStates.empty());
    EXPECT_EQ(platform::clock::ScheduledCount(), 0u) << "no idle timer";
  }
}

TEST_F(SelectiveSuspendTest, RefusedIdleRequestAsksForNoPowerChangeAndIsTriedAgain) {
  Plug();
  Port().RefuseIdleNotifications(STATUS_NOT_SUPPORTED);
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  platform::clock::AdvanceMs(kIdleTickMs);
  EXPECT_FALSE(Port().IdleNotificationPending());
  EXPECT_TRUE(Model()->powerStates.empty());
  EXPECT_FALSE(DeviceObject()->HasIdleIrp());
  Port().RefuseIdleNotifications(STATUS_SUCCESS);
  platform::clock::AdvanceMs(kIdleTickMs);
  EXPECT_TRUE(Suspended());
}

TEST_F(SelectiveSuspendTest, OpenWaitsAtMostASecondWhenTheHubNeverAnswersTheCancel) {
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // From here the hub keeps idle requests without a cancel routine and
  // answers port-status queries; nothing else is sent after the start.
  PIRP held = nullptr;
  platform::io::SetPhysicalDeviceDispatch(Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) {
      auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      held = irp;
      IoMarkIrpPending(irp);
      info->IdleCallback(info->IdleContext);
      return STATUS_PENDING;
    }
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
      *static_cast<PULONG>(stack->Parameters.Others.Argument1) = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  platform::clock::AdvanceMs(kIdleTickMs);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD2}));

  PFILE_OBJECT filter = Filter();
  NTSTATUS status = STATUS_PENDING;
  PKTHREAD thread = RunOnSystemThread([&] { status = SendCreate(filter); });
  LONGLONG elapsedMs = 0;
  JoinAdvancing(thread, &elapsedMs);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_LE(elapsedMs, 1000);
  EXPECT_GE(elapsedMs, 500);

  // When the hub finally lets go, the device comes back to D0 and the IRP
  // is freed once.
  const size_t irps = platform::io::OutstandingIrps();
  held->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD2, PowerDeviceD0}));
  EXPECT_EQ(platform::io::OutstandingIrps(), irps - 1);
  SendClose(filter);
}

TEST_F(SelectiveSuspendTest, CompletionRacingACancelFreesTheIrpOnce) {
  StartAndSuspend();
  const size_t irps = platform::io::OutstandingIrps() - 1;  // the idle IRP is ours
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    CUsbAudioDevice* device = DeviceObject();
    std::atomic<bool> go{false};
    PKTHREAD canceller = RunOnSystemThread([&] {
      while (!go) std::this_thread::yield();
      device->CancelIdleRequest();
    });
    go = true;
    Port().RemoteWake();
    JoinAdvancing(canceller);
    EXPECT_FALSE(device->HasIdleIrp());
    EXPECT_FALSE(device->IsIdleRequestPending());
    EXPECT_EQ(platform::io::OutstandingIrps(), irps);
    // A remote wake completes the request successfully, which asks for no
    // power change; the system brings the device up then.
    if (platform::portcls::AdapterPowerState(Fdo()) != PowerDeviceD0) Host().SetDevicePower(PowerDeviceD0);
    platform::clock::AdvanceMs(kIdleTickMs);
    ASSERT_TRUE(Suspended());
  }
}

// A canceller takes the IRP while the idle request is still being built and
// is held inside IoCancelIrp (on the cancel spin lock) while the builder
// finds the device no longer idle and gives up. The builder must leave the
// IRP to the canceller's share.
TEST_F(SelectiveSuspendTest, RequestAbandonedWhileACancellerHoldsTheIrpIsFreedByTheLastShare) {
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const size_t irps = platform::io::OutstandingIrps();

  static std::atomic<bool> locked{false};
  static std::atomic<bool> hooked{false};
  static PKTHREAD lockHolder = nullptr;
  static PKTHREAD canceller = nullptr;
  locked = false;
  hooked = false;
  CUsbAudioDevice::IdleRequestBuiltHook = [](CUsbAudioDevice* device) {
    CUsbAudioDevice::IdleRequestBuiltHook = nullptr;
    hooked = true;
    // Holds the cancel spin lock until the builder has given up and its
    // work item is done.
    lockHolder = drivertest::RunOnSystemThread([device] {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      locked = true;
      while (device->IsIdleWorkPending()) std::this_thread::yield();
      IoReleaseCancelSpinLock(irql);
    });
    while (!locked) std::this_thread::yield();
    canceller = drivertest::RunOnSystemThread([device] { device->CancelIdleRequest(); });
    while (device->HasIdleIrp()) std::this_thread::yield();
  };
  platform::clock::AdvanceMs(kIdleTickMs);
  ASSERT_TRUE(hooked);
  JoinAdvancing(canceller);
  JoinAdvancing(lockHolder);
  EXPECT_FALSE(Port().IdleNotificationPending());
  EXPECT_FALSE(DeviceObject()->HasIdleIrp());
  EXPECT_EQ(platform::io::OutstandingIrps(), irps);
  EXPECT_TRUE(Model()->powerStates.empty());
  // The path is whole again: the next tick suspends.
  platform::clock::AdvanceMs(kIdleTickMs);
  EXPECT_TRUE(Suspended());
}

TEST_F(SelectiveSuspendTest, TimerTickBetweenRemovalAndTheLastReleaseQueuesNothing) {
  EnableSelectiveSuspend();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // Someone still holds the device object when the device goes.
  IAudioHal* adapter = Extension()->Adapter;
  adapter->AddRef();
  platform::clock::AdvanceMs(kIdleTickMs - 1);
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(platform::clock::ScheduledCount(), 0u) << "the idle timer outlived the removal";
  platform::clock::AdvanceMs(3 * kIdleTickMs);
  EXPECT_EQ(platform::workitem::Pending(), 0u);
  EXPECT_FALSE(Port().IdleNotificationPending());
  adapter->Release();
}

TEST_F(SelectiveSuspendTest, RemovalWhileSuspendedCancelsTheIdleRequest) {
  StartAndSuspend();
  const size_t irps = platform::io::OutstandingIrps() - 1;
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_FALSE(Port().IdleNotificationPending());
  EXPECT_EQ(platform::io::OutstandingIrps(), irps);
}

// The hub fails a pending idle request from its own thread at
// DISPATCH_LEVEL when the device drops off the bus; the wake-up that
// follows still reaches the model at PASSIVE_LEVEL.
TEST_F(SelectiveSuspendTest, DeviceUnpluggedWhileSuspendedIsWokenAtPassiveLevel) {
  StartAndSuspend();
  const size_t irps = platform::io::OutstandingIrps() - 1;
  Port().Unplug();
  platform::clock::AdvanceMs(1);
  Settle();
  EXPECT_FALSE(DeviceObject()->HasIdleIrp());
  EXPECT_EQ(platform::io::OutstandingIrps(), irps);
  EXPECT_EQ(platform::portcls::AdapterPowerState(Fdo()), PowerDeviceD0);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD2, PowerDeviceD0}));
  EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS);
}

TEST_F(SelectiveSuspendTest, PowerChangesReachTheModelOnceAndFollowTheTimerResolution) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Host().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Host().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD3}));
  EXPECT_FALSE(platform::timer::ResolutionRequested());
  EXPECT_EQ(Host().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD3, PowerDeviceD0}));
  EXPECT_TRUE(platform::timer::ResolutionRequested());

  // A device that is gone is not told to power down.
  Port().ReportPortStatus(USBD_PORT_ENABLED);
  EXPECT_EQ(Host().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Model()->powerStates, (States{PowerDeviceD3, PowerDeviceD0}));
}

}  // namespace
