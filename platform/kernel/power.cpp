#include "kernel/power.h"

#include <atomic>
#include <map>
#include <mutex>

#include "kernel/bugcheck.h"
#include "kernel/io.h"
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

// Runs in the power IRP's own first stack location: hands the outcome to
// the requester, then frees the IRP.
NTSTATUS RequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  IO_STATUS_BLOCK status = irp->IoStatus;
  if (request->completion)
    request->completion(request->device, request->minor, request->state, request->context, &status);
  IoFreeIrp(irp);
  ExFreePool(request);
  g_outstanding--;
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

NTSTATUS PoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp) { return IofCallDriver(deviceObject, irp); }

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
