// Power states and power IRPs. A power IRP travels down the device stack
// like any other IRP (IRP_MJ_POWER); PoRequestPowerIrp builds one, sends it
// to the top of a device's stack and calls the requester back when it
// completes.
#pragma once

#include "kernel/ntdef.h"

struct DEVICE_OBJECT;
struct IRP;
struct IO_STATUS_BLOCK;

enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7,
};
using PSYSTEM_POWER_STATE = SYSTEM_POWER_STATE*;
constexpr int POWER_SYSTEM_MAXIMUM = PowerSystemMaximum;

enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5,
};
using PDEVICE_POWER_STATE = DEVICE_POWER_STATE*;

enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };
using PPOWER_STATE_TYPE = POWER_STATE_TYPE*;

union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
using PPOWER_STATE = POWER_STATE*;

enum POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved = 1,
  PowerActionSleep = 2,
  PowerActionHibernate = 3,
  PowerActionShutdown = 4,
  PowerActionShutdownReset = 5,
  PowerActionShutdownOff = 6,
  PowerActionWarmEject = 7,
};

// The requester's callback: the device passed to PoRequestPowerIrp, the
// minor function, the state asked for, its context and the final status.
using PREQUEST_POWER_COMPLETE = void (*)(DEVICE_OBJECT* deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                         PVOID context, IO_STATUS_BLOCK* ioStatus);

// Builds an IRP_MJ_POWER request (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or
// IRP_MN_WAIT_WAKE) and sends it to the top of the stack that `deviceObject`
// belongs to, with PoCallDriver. Callable up to DISPATCH_LEVEL. Returns
// STATUS_PENDING once it is on its way; `completion` runs when it completes,
// after which the IRP is freed.
NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, IRP** irp);
// Sends a power IRP to `deviceObject`. A device marked DO_POWER_PAGABLE is
// never called at DISPATCH_LEVEL: from there the call is handed to the power
// manager's worker, which makes it at PASSIVE_LEVEL, and STATUS_PENDING is
// returned (the IRP counts as pending from the target's stack location).
NTSTATUS PoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp);
void PoStartNextPowerIrp(IRP* irp);
// Records the device's new power state; returns the previous one.
POWER_STATE PoSetPowerState(DEVICE_OBJECT* deviceObject, POWER_STATE_TYPE type, POWER_STATE state);

namespace platform::power {
// The device power state a device last reported with PoSetPowerState
// (PowerDeviceUnspecified before any report).
DEVICE_POWER_STATE ReportedDeviceState(DEVICE_OBJECT* deviceObject);
// Power IRPs built by PoRequestPowerIrp that have not completed yet.
size_t OutstandingRequests();
// The I/O manager forgets a device's power state when the device goes.
void ForgetDevice(DEVICE_OBJECT* deviceObject);
}  // namespace platform::power
