// Selective suspend and power of the device object.
//
// Idle cycle: armed timer -> the DPC finds the device idle -> work item ->
// idle request pending at the hub -> the hub calls back -> D2 -> a request
// arrives and cancels -> the IRP completes with STATUS_CANCELLED -> D0 is
// requested -> the completion re-arms the timer.
//
// The idle IRP is shared between its completion routine and the canceller:
// the pointer exchange under the idle spin lock decides who cancels, the
// ownership count (2 once sent) decides who frees, so that the IRP is freed
// exactly once and never while IoCancelIrp still uses it.
//
// Teardown: once the stopping flag is set no DPC queues work, no work item
// sends a request and no completion re-arms the timer; the destructor then
// waits for what is already under way.
#include "driver/CUsbAudioDevice.h"

namespace {

constexpr ULONG IDLE_IRP_OWNERS = 2;  // the completion routine and one canceller

struct IdleWorkContext {
  PIO_WORKITEM item;
  CUsbAudioDevice* device;
};

struct SuspendContext {
  PKEVENT done;
};

}  // namespace

void (*CUsbAudioDevice::IdleRequestBuiltHook)(CUsbAudioDevice* device) = nullptr;

void CUsbAudioDevice::ArmIdleTimer() {
  LARGE_INTEGER due;
  due.QuadPart = IDLE_TIMER_FIRST_DUE;
  KeSetTimerEx(&m_IdleTimer, due, IDLE_TIMER_PERIOD_MS, &m_IdleDpc);
}

// ---- Timer DPC and work item ---------------------------------------------------------

void CUsbAudioDevice::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<CUsbAudioDevice*>(context)->QueueIdleWork();
}

void CUsbAudioDevice::QueueIdleWork() {
  if (m_IdleStopping) return;
  auto* work =
      static_cast<IdleWorkContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IdleWorkContext), USB_DEVICE_DATA_TAG));
  if (!work) return;
  KeAcquireSpinLockAtDpcLevel(&m_IdleLock);
  if (InterlockedIncrement(&m_IdleWorkItems) == 1) KeClearEvent(&m_IdleWorkEvent);
  KeReleaseSpinLockFromDpcLevel(&m_IdleLock);
  PIO_WORKITEM item = (IsIdle() && !m_IdleStopping) ? IoAllocateWorkItem(m_DeviceObject) : nullptr;
  if (item) {
    work->item = item;
    work->device = this;
    IoQueueWorkItem(item, &CUsbAudioDevice::IdleWorkItemRoutine, DelayedWorkQueue, work);
    return;
  }
  ExFreePool(work);
  IdleWorkDone();
}

void CUsbAudioDevice::IdleWorkDone() {
  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (InterlockedDecrement(&m_IdleWorkItems) == 0) KeSetEvent(&m_IdleWorkEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&m_IdleLock, irql);
}

void CUsbAudioDevice::IdleWorkItemRoutine(PDEVICE_OBJECT, PVOID context) {
  auto* work = static_cast<IdleWorkContext*>(context);
  PIO_WORKITEM item = work->item;
  CUsbAudioDevice* device = work->device;
  ExFreePool(work);
  // After IdleWork the object may be gone: only the item is touched.
  device->IdleWork();
  IoFreeWorkItem(item);
}

void CUsbAudioDevice::IdleWork() {
  PAGED_CODE();
  if (IsIdle() && !m_IdleStopping) SendIdleRequest();
  IdleWorkDone();
}

// ---- The idle request ------------------------------------------------------------------

NTSTATUS CUsbAudioDevice::SendIdleRequest() {
  PAGED_CODE();
  if (m_DevicePowerState != PowerDeviceD0) return STATUS_POWER_STATE_INVALID;

  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (InterlockedExchange(&m_IdleRequestPending, 1)) {
    KeReleaseSpinLock(&m_IdleLock, irql);
    return STATUS_DEVICE_BUSY;
  }
  KeClearEvent(&m_IdleIrpEvent);
  auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(ExAllocatePool(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO)));
  PIRP irp = info ? IoAllocateIrp(static_cast<CCHAR>(m_LowerDeviceObject->StackSize + 1), FALSE) : nullptr;
  if (!irp) {
    KeSetEvent(&m_IdleIrpEvent, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&m_IdleRequestPending, 0);
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (info) ExFreePool(info);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  info->IdleCallback = &CUsbAudioDevice::IdleNotificationCallback;
  info->IdleContext = this;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
  next->Parameters.DeviceIoControl.Type3InputBuffer = info;
  IoSetCompletionRoutine(irp, &CUsbAudioDevice::IdleIrpCompletion, this, TRUE, TRUE, TRUE);
  m_IdleCallbackInfo = info;
  m_IdleIrp = irp;
  InterlockedExchange(&m_IdleIrpOwnership, IDLE_IRP_OWNERS);
  KeReleaseSpinLock(&m_IdleLock, irql);

  if (IdleRequestBuiltHook) IdleRequestBuiltHook(this);

  // Something may have woken the device while the request was being built:
  // a request in flight, a power change, or a canceller that took the IRP
  // (and may still be inside IoCancelIrp). The request is then not sent,
  // and the IRP is freed by whichever share goes last, never behind a
  // canceller's back.
  KeAcquireSpinLock(&m_IdleLock, &irql);
  bool undo = m_IdleIrp != irp || !IsIdle() || m_DevicePowerState != PowerDeviceD0;
  PIRP taken = nullptr;
  if (undo) {
    taken = static_cast<PIRP>(InterlockedExchangePointer(&m_IdleIrp, nullptr));
    m_IdleCallbackInfo = nullptr;
    InterlockedExchange(&m_IdleRequestPending, 0);
  }
  KeReleaseSpinLock(&m_IdleLock, irql);
  if (undo) {
    ExFreePool(info);
    // The completion's share is ours since the IRP was never sent; without
    // a canceller the canceller's share is ours too.
    LONG shares = taken ? 2 : 1;
    if (InterlockedExchangeAdd(&m_IdleIrpOwnership, -shares) == shares) {
      IoFreeIrp(irp);
      KeSetEvent(&m_IdleIrpEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_UNSUCCESSFUL;
  }

  // The completion re-arms the timer.
  if (m_SelectiveSuspendEnabled) KeCancelTimer(&m_IdleTimer);
  return IofCallDriver(m_LowerDeviceObject, irp);
}

void CUsbAudioDevice::IdleNotificationCallback(PVOID context) {
  static_cast<CUsbAudioDevice*>(context)->RequestSuspendPower();
}

void CUsbAudioDevice::RequestSuspendPower() {
  PAGED_CODE();
  if (m_IdleStopping) return;
  auto* request = static_cast<SuspendContext*>(ExAllocatePool(NonPagedPool, sizeof(SuspendContext)));
  if (!request) return;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  request->done = &done;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD2;
  NTSTATUS status = PoRequestPowerIrp(m_PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                      &CUsbAudioDevice::SuspendPowerCompletionRoutine, request, nullptr);
  if (status == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  else
    ExFreePool(request);
}

void CUsbAudioDevice::SuspendPowerCompletionRoutine(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                                    PIO_STATUS_BLOCK) {
  auto* request = static_cast<SuspendContext*>(context);
  PKEVENT done = request->done;
  ExFreePool(request);
  KeSetEvent(done, IO_NO_INCREMENT, FALSE);
}

// Runs in the idle IRP's completion, at up to DISPATCH_LEVEL: the power
// manager takes the request to the pageable stack at PASSIVE_LEVEL.
void CUsbAudioDevice::RequestWakePower() {
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  // Once the request completes the wake event is set and this object may
  // be gone: nothing is touched after a pending request.
  if (PoRequestPowerIrp(m_PhysicalDeviceObject, IRP_MN_SET_POWER, state, &CUsbAudioDevice::PowerUpCompletionRoutine,
                        &m_WakeEvent, nullptr) != STATUS_PENDING)
    KeSetEvent(&m_WakeEvent, IO_NO_INCREMENT, FALSE);
}

void CUsbAudioDevice::PowerUpCompletionRoutine(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUsbAudioDevice::IdleIrpCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* self = static_cast<CUsbAudioDevice*>(context);
  NTSTATUS status = irp->IoStatus.Status;
  if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && self->m_DevicePowerState != PowerDeviceD0 &&
      !self->m_IdleStopping) {
    KeClearEvent(&self->m_WakeEvent);
    self->RequestWakePower();
  }

  KIRQL irql;
  KeAcquireSpinLock(&self->m_IdleLock, &irql);
  PUSB_IDLE_CALLBACK_INFO info = self->m_IdleCallbackInfo;
  self->m_IdleCallbackInfo = nullptr;
  bool took = InterlockedExchangePointer(&self->m_IdleIrp, nullptr) != nullptr;
  InterlockedExchange(&self->m_IdleRequestPending, 0);
  KeReleaseSpinLock(&self->m_IdleLock, irql);
  if (info) ExFreePool(info);

  bool last = took || InterlockedDecrement(&self->m_IdleIrpOwnership) == 0;
  // Re-armed before the IRP's event is set: once it is, the destructor may
  // run, and a stopping device is not re-armed at all.
  if (self->m_SelectiveSuspendEnabled && !self->m_IdleStopping) self->ArmIdleTimer();
  if (last) {
    IoFreeIrp(irp);
    KeSetEvent(&self->m_IdleIrpEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Cancel ------------------------------------------------------------------------------

void CUsbAudioDevice::CancelIdleIrp() {
  KIRQL irql;
  PIRP irp = nullptr;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (!IsIdle()) irp = static_cast<PIRP>(InterlockedExchangePointer(&m_IdleIrp, nullptr));
  KeReleaseSpinLock(&m_IdleLock, irql);
  if (!irp) return;
  IoCancelIrp(irp);
  if (InterlockedDecrement(&m_IdleIrpOwnership) == 0) {
    IoFreeIrp(irp);
    KeSetEvent(&m_IdleIrpEvent, IO_NO_INCREMENT, FALSE);
  }
}

NTSTATUS CUsbAudioDevice::CancelIdleRequest() {
  PAGED_CODE();
  // While counted, the device is not idle: no new request starts and the
  // DPC queues nothing.
  InterlockedIncrement(&m_OutstandingCount);
  CancelIdleIrp();
  LARGE_INTEGER timeout;
  timeout.QuadPart = IDLE_CANCEL_WAIT;
  KeWaitForSingleObject(&m_IdleIrpEvent, Executive, KernelMode, FALSE, &timeout);
  timeout.QuadPart = IDLE_CANCEL_WAIT;
  KeWaitForSingleObject(&m_WakeEvent, Executive, KernelMode, FALSE, &timeout);
  InterlockedDecrement(&m_OutstandingCount);
  return STATUS_SUCCESS;
}

// ---- Teardown ------------------------------------------------------------------------------

void CUsbAudioDevice::StopSelectiveSuspend() {
  PAGED_CODE();
  InterlockedExchange(&m_IdleStopping, 1);
  KeCancelTimer(&m_IdleTimer);
  KeFlushQueuedDpcs();
}

void CUsbAudioDevice::DrainSelectiveSuspend() {
  PAGED_CODE();
  StopSelectiveSuspend();
  KeWaitForSingleObject(&m_IdleWorkEvent, Executive, KernelMode, FALSE, nullptr);
  // No work item runs any more, so no request is being built: an idle IRP
  // still at the hub is cancelled rather than waited for.
  InterlockedIncrement(&m_OutstandingCount);
  CancelIdleIrp();
  KeWaitForSingleObject(&m_IdleIrpEvent, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&m_WakeEvent, Executive, KernelMode, FALSE, nullptr);
  InterlockedDecrement(&m_OutstandingCount);
  // A completion that ran before it saw the flag may have re-armed it.
  KeCancelTimer(&m_IdleTimer);
  KeFlushQueuedDpcs();
}

// ---- Power -----------------------------------------------------------------------------------

void CUsbAudioDevice::PowerChangeState(POWER_STATE newState) {
  PAGED_CODE();
  DEVICE_POWER_STATE state = newState.DeviceState;
  if (state == m_DevicePowerState) return;
  m_PowerMutex.Lock();
  if (state == PowerDeviceD0) {
    TellModelPower(PowerDeviceD0);
    ExSetTimerResolution(10000, TRUE);
    m_Asio.PowerUp();
  } else {
    if (!IsDeviceRemoved()) TellModelPower(state);
    m_Asio.PowerDown();
    ExSetTimerResolution(0, FALSE);
  }
  m_DevicePowerState = state;
  m_PowerMutex.Unlock();

  if (state == PowerDeviceD0) m_Asio.CompleteHeldStop();
}
