#include "tests/support/UsbRequests.h"

#include <vector>

namespace testsupport {
namespace {

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT target, PURB urb) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (IofCallDriver(target, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS SelectEveryInterface(PDEVICE_OBJECT target, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                              USBD_CONFIGURATION_HANDLE* handle) {
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG number = 0; number < 256 && list.size() < configuration->bNumInterfaces; ++number)
    if (auto* d = USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0, -1, -1, -1))
      list.push_back({d, nullptr});
  list.push_back({nullptr, nullptr});
  PURB select = USBD_CreateConfigurationRequestEx(configuration, list.data());
  if (!select) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = SubmitUrbAndWait(target, select);
  if (NT_SUCCESS(status) && handle) *handle = select->UrbSelectConfiguration.ConfigurationHandle;
  ExFreePool(select);
  return status;
}

NTSTATUS QueryFrameNumber(PDEVICE_OBJECT target, PULONG currentFrame) {
  if (!currentFrame) return STATUS_INVALID_PARAMETER;
  URB urb{};
  urb.UrbGetCurrentFrameNumber.Hdr.Length = sizeof(URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  const NTSTATUS status = SubmitUrbAndWait(target, &urb);
  *currentFrame = NT_SUCCESS(status) ? urb.UrbGetCurrentFrameNumber.FrameNumber : 0;
  return status;
}

}  // namespace testsupport
