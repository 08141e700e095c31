#include "kernel/power.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "kernel/bugcheck.h"
#include "kernel/clock.h"
#include "kernel/io.h"
#include "kernel/irql.h"
#include "kernel/object.h"
#include "kernel/pool.h"

namespace {

constexpr ULONG kPowerTag = MakeTag("PoRq");

struct PowerRequest {
  PDEVICE_OBJECT device;  // as the requester named it
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
};

std::atomic<size_t> g_outstanding{0};

std::mutex& StateLock() {
  static std::mutex lock;
  return lock;
}
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE>& States() {
  static auto* states = new std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE>;
  return *states;
}

// Power IRPs for pageable stacks that were sent from DISPATCH_LEVEL: the
// power manager's own worker sends them on at PASSIVE_LEVEL, in the order
// they came. Guarded by the dispatcher lock; nothing here comes from pool,
// so the hand-over cannot fail.
struct DeferredCall {
  PDEVICE_OBJECT device;  // referenced while queued
  PIRP irp;
};
struct PowerWorker {
  std::deque<DeferredCall> queue;
  bool threadStarted = false;
};
PowerWorker& Worker() {
  static auto* worker = new PowerWorker;
  return *worker;
}

void PowerWorkerMain() {
  PowerWorker& w = Worker();
  const std::function<bool()> queued = [&w] { return !w.queue.empty(); };
  for (;;) {
    platform::clock::WaitUntil(-1, queued);
    platform::clock::LockDispatcher();
    if (w.queue.empty()) {
      platform::clock::UnlockDispatcher();
      continue;
    }
    DeferredCall call = w.queue.front();
    w.queue.pop_front();
    platform::clock::UnlockDispatcher();

    platform::clock::AdoptActivity();
    IofCallDriver(call.device, call.irp);
    ObDereferenceObject(call.device);
    KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "a power dispatch routine returned at raised IRQL");
    platform::SetCurrentIrql(PASSIVE_LEVEL);
    platform::clock::EndAdoptedActivity();
  }
}

NTSTATUS DeferToPassiveLevel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  // Pending as the caller's caller sees it: the location the target would
  // have marked, had it queued the IRP itself.
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  ObReferenceObject(deviceObject);
  PowerWorker& w = Worker();
  platform::clock::LockDispatcher();
  if (!w.threadStarted) {
    w.threadStarted = true;
    std::thread(PowerWorkerMain).detach();
  }
  w.queue.push_back(DeferredCall{deviceObject, irp});
  platform::clock::BeginActivity();
  platform::clock::Signal();
  platform::clock::UnlockDispatcher();
  return STATUS_PENDING;
}

// Runs in the power IRP's own first stack location: frees the IRP, then
// hands the outcome to the requester. Nothing of the request is touched
// after the requester has heard, since it may go away at once (a driver
// waiting for the answer, a test checking for leaks).
NTSTATUS RequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  const PowerRequest answer = *request;
  IO_STATUS_BLOCK status = irp->IoStatus;
  IoFreeIrp(irp);
  ExFreePool(request);
  g_outstanding--;
  if (answer.completion) answer.completion(answer.device, answer.minor, answer.state, answer.context, &status);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, IRP** irpOut) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "PoRequestPowerIrp above DISPATCH_LEVEL");
  if (irpOut) *irpOut = nullptr;
  if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER && minorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
  auto* request = static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), kPowerTag));
  // One location of its own, for the routine that calls the requester back.
  PIRP irp = request ? IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE) : nullptr;
  if (!irp) {
    if (request) ExFreePool(request);
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *request = PowerRequest{deviceObject, minorFunction, powerState, completion, context};
  g_outstanding++;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = deviceObject;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minorFunction;
  if (minorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = powerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = powerState;
  }
  IoSetCompletionRoutine(irp, RequestComplete, request, TRUE, TRUE, TRUE);
  if (irpOut) *irpOut = irp;
  PoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

// A pageable device's power code may touch pageable memory, so the power
// manager never calls it at DISPATCH_LEVEL: such a call is handed to its
// worker and answered STATUS_PENDING.
NTSTATUS PoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "PoCallDriver above DISPATCH_LEVEL");
  if (KeGetCurrentIrql() < DISPATCH_LEVEL || !(deviceObject->Flags & DO_POWER_PAGABLE))
    return IofCallDriver(deviceObject, irp);
  return DeferToPassiveLevel(deviceObject, irp);
}

void PoStartNextPowerIrp(IRP*) {}

POWER_STATE PoSetPowerState(DEVICE_OBJECT* deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE old{};
  if (type != DevicePowerState) return old;
  std::lock_guard guard(StateLock());
  auto& slot = States()[deviceObject];
  old.DeviceState = slot;
  slot = state.DeviceState;
  return old;
}

namespace platform::power {

DEVICE_POWER_STATE ReportedDeviceState(DEVICE_OBJECT* deviceObject) {
  std::lock_guard guard(StateLock());
  auto it = States().find(deviceObject);
  return it == States().end() ? PowerDeviceUnspecified : it->second;
}

size_t OutstandingRequests() { return g_outstanding.load(); }

void ForgetDevice(DEVICE_OBJECT* deviceObject) {
  std::lock_guard guard(StateLock());
  States().erase(deviceObject);
}

}  // namespace platform::power
