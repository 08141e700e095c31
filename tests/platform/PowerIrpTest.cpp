// Power IRPs requested where a driver's completion or DPC runs: the power
// manager must not call a pageable stack at DISPATCH_LEVEL.
#include <thread>

#include "kernel/nt.h"
#include "tests/platform/DeviceStack.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

class PowerIrpTest : public testsupport::KernelTest {};

struct Seen {
  KIRQL dispatchIrql = HIGH_LEVEL;
  std::thread::id dispatchThread;
  int dispatches = 0;
  int completions = 0;
  bool completedAfterDispatch = false;
  NTSTATUS status = STATUS_PENDING;
  KEVENT done;
};
Seen* g_seen = nullptr;

// The adapter's power dispatch: pageable code when its device says so.
NTSTATUS PowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  g_seen->dispatchIrql = KeGetCurrentIrql();
  g_seen->dispatchThread = std::this_thread::get_id();
  g_seen->dispatches++;
  if (device->Flags & DO_POWER_PAGABLE) PAGED_CODE();
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
}

void PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* seen = static_cast<Seen*>(context);
  seen->completions++;
  seen->completedAfterDispatch = seen->dispatches == 1;
  seen->status = iosb->Status;
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

// A D0 request made at DISPATCH_LEVEL (from a completion routine, say):
// a pageable adapter is called at PASSIVE_LEVEL on the power manager's
// worker, and the requester hears afterwards; an adapter that is not
// pageable is called at once, where the request was made.
TEST_F(PowerIrpTest, RequestFromDispatchLevelReachesAPageableStackAtPassiveLevel) {
  struct Case {
    bool pageable;
    KIRQL expectedIrql;
    bool onRequesterThread;
  };
  for (const Case& c : {Case{true, PASSIVE_LEVEL, false}, Case{false, DISPATCH_LEVEL, true}}) {
    SCOPED_TRACE(c.pageable ? "pageable" : "not pageable");
    DeviceStack stack;
    if (c.pageable) stack.Fdo()->Flags |= DO_POWER_PAGABLE;
    stack.Driver()->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    Seen seen;
    g_seen = &seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    {
      platform::IrqlScope dispatch(DISPATCH_LEVEL);
      EXPECT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, d0, PowerDone, &seen, nullptr), STATUS_PENDING);
    }
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    platform::clock::Advance(0);  // the worker has let go of the device
    EXPECT_EQ(seen.dispatches, 1);
    EXPECT_EQ(seen.dispatchIrql, c.expectedIrql);
    EXPECT_EQ(seen.dispatchThread == std::this_thread::get_id(), c.onRequesterThread);
    EXPECT_EQ(seen.completions, 1);
    EXPECT_TRUE(seen.completedAfterDispatch);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(platform::power::OutstandingRequests(), 0u);
    g_seen = nullptr;
  }
}

// A driver that passes a power IRP down from DISPATCH_LEVEL to a pageable
// device gets STATUS_PENDING, and its caller sees the IRP as pending.
TEST_F(PowerIrpTest, PassingDownToAPageableDeviceFromDispatchLevelPends) {
  DeviceStack stack;
  stack.Driver()->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  };
  platform::io::Request request;
  request.majorFunction = IRP_MJ_POWER;
  request.minorFunction = IRP_MN_SET_POWER;
  request.prepare = [](PIO_STACK_LOCATION next) {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD3;
  };
  // SendRequest holds the dispatch routine to IoMarkIrpPending when it
  // answers STATUS_PENDING.
  EXPECT_EQ(platform::io::SendRequest(stack.Fdo(), request), STATUS_SUCCESS);
  platform::clock::Advance(0);
}

}  // namespace
