// What test doubles of the driver's USB device object do with the stack
// below them: one URB at a time, sent down and waited for, and the
// configuration selected with every interface at its first setting.
#pragma once

#include "kernel/nt.h"
#include "usb/usbdlib.h"

namespace testsupport {

// Sends `urb` to `target` as IOCTL_INTERNAL_USB_SUBMIT_URB in an IRP of its
// own and waits for it to complete; the IRP's final status.
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT target, PURB urb);

// Selects `configuration` with alternate setting 0 of each of its
// interfaces; `handle` (optional) gets the configuration handle.
NTSTATUS SelectEveryInterface(PDEVICE_OBJECT target, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                              USBD_CONFIGURATION_HANDLE* handle = nullptr);

// The bus's current frame number, as the device object's QueryBusTime
// answers it (0 on failure).
NTSTATUS QueryFrameNumber(PDEVICE_OBJECT target, PULONG currentFrame);

}  // namespace testsupport
