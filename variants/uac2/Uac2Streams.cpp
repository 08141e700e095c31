#include "variants/uac2/Uac2Streams.h"

#include "driver/common/PoolBuffer.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio2.h"

namespace {

constexpr ULONG VALID_ALTERNATES_REPLY_BYTES = 5;

}  // namespace

NTSTATUS SetStreamClockRate(IAudioHal* model, ULONG clockNodeId, ULONG rate) {
  PAGED_CODE();
  if (!model) return STATUS_UNSUCCESSFUL;
  // The last node with that id, as the model's own lookup finds it.
  ITopoNode* clockNode = nullptr;
  for (ULONG i = 0, count = model->GetNodeCount(); i < count; ++i) {
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(model->GetNode(i, &node)) && node && node->GetId() == clockNodeId) clockNode = node;
  }
  if (!clockNode) return STATUS_UNSUCCESSFUL;
  IClockSource* clock = nullptr;
  NTSTATUS status = clockNode->QueryInterface(IID_IClockSource, reinterpret_cast<PVOID*>(&clock));
  if (!NT_SUCCESS(status)) return status;
  status = clock->SetRate(rate);
  clock->Release();
  return status;
}

BOOLEAN IsUac2AlternateSettingValid(IAudioHal* model, UCHAR interfaceNumber, UCHAR alternateSetting) {
  PAGED_CODE();
  if (alternateSetting == 0) return TRUE;
  IUsbDevice* usb = nullptr;
  if (!model || !NT_SUCCESS(model->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)))) return FALSE;
  CPoolBuffer urb(NonPagedPool, sizeof(URB), UAC2_STREAM_RING_TAG);
  if (!urb) {
    usb->Release();
    return FALSE;
  }
  RtlZeroMemory(urb.Get(), sizeof(URB));
  UCHAR reply[VALID_ALTERNATES_REPLY_BYTES] = {};
  auto& r = urb.As<URB>()->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  r.TransferBuffer = reply;
  r.TransferBufferLength = sizeof reply;
  r.Request = USB_AUDIO2_CUR;
  r.Value = USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL << 8;
  r.Index = interfaceNumber;
  const NTSTATUS status = usb->SubmitUrb(urb.As<URB>());
  usb->Release();
  if (!NT_SUCCESS(status)) return FALSE;
  const ULONG received = r.TransferBufferLength < sizeof reply ? r.TransferBufferLength : ULONG(sizeof reply);
  if (received < 1) return FALSE;
  const ULONG byte = alternateSetting / 8u;
  // Only bitmap bytes the device sent count.
  if (alternateSetting >= 8u * reply[0] || 1 + byte >= received) return FALSE;
  return (reply[1 + byte] >> (alternateSetting % 8u)) & 1 ? TRUE : FALSE;
}
