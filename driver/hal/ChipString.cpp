#include "driver/hal/ChipString.h"

#include "usb/usbdlib.h"

namespace {

NTSTATUS ReadString(IUsbDevice* usb, PURB urb, PUCHAR buffer, UCHAR index) {
  RtlZeroMemory(buffer, UAC1_PROBE_STRING_BYTES);
  RtlZeroMemory(urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, index,
                               UAC1_PROBE_LANGUAGE, buffer, nullptr, UAC1_PROBE_STRING_BYTES, nullptr);
  return usb->SubmitUrb(urb);
}

// The code unit at `index` of the string, when the string holds it.
bool CodeUnitAt(const UCHAR* descriptor, ULONG length, ULONG index, WCHAR* unit) {
  const ULONG at = 2 + 2 * index;
  if (at + 2 > length) return false;
  *unit = static_cast<WCHAR>(descriptor[at] | descriptor[at + 1] << 8);
  return true;
}

ULONG StringLength(const UCHAR* descriptor, ULONG received) {
  return descriptor[0] < received ? descriptor[0] : received;
}

}  // namespace

NTSTATUS ReadChipString(IUsbDevice* usb, PURB urb, PUCHAR buffer, PULONG received) {
  PAGED_CODE();
  *received = 0;
  NTSTATUS status = ReadString(usb, urb, buffer, UAC1_PROBE_STRING_PRIMARY);
  if (!NT_SUCCESS(status)) status = ReadString(usb, urb, buffer, UAC1_PROBE_STRING_FALLBACK);
  if (NT_SUCCESS(status)) {
    const ULONG transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *received = transferred < UAC1_PROBE_STRING_BYTES ? transferred : UAC1_PROBE_STRING_BYTES;
  }
  return status;
}

bool ChipStringBegins(const UCHAR* descriptor, ULONG received, const WCHAR* marker, ULONG units) {
  const ULONG length = StringLength(descriptor, received);
  for (ULONG i = 0; i < units; ++i) {
    WCHAR unit = 0;
    if (!CodeUnitAt(descriptor, length, i, &unit) || unit != marker[i]) return false;
  }
  return true;
}

bool ChipStringBegins(const UCHAR* descriptor, ULONG received, const char* marker) {
  const ULONG length = StringLength(descriptor, received);
  for (ULONG i = 0; marker[i]; ++i) {
    WCHAR unit = 0;
    if (!CodeUnitAt(descriptor, length, i, &unit) || unit != static_cast<UCHAR>(marker[i])) return false;
  }
  return true;
}
