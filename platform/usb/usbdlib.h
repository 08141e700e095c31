// The USBD library routines client drivers link against: descriptor parsing,
// the SELECT_CONFIGURATION builder, and the URB-building helpers.
//
// The parsers never trust a descriptor's own lengths. Every walk is bounded
// by the bytes that really exist: the caller's TotalLength, or for a
// configuration descriptor its wTotalLength limited further by the size of
// the pool block that holds it (a device may report a larger wTotalLength in
// its second answer than in the first, after the buffer was sized). A
// bLength of 0, a descriptor that runs past the bound, or a standard
// descriptor shorter than its fixed part ends the walk.
#pragma once

#include "kernel/pool.h"
#include "usb/usbdi.h"

// Finds the first descriptor of `descriptorType` at or after
// `startPosition` within [descriptorBuffer, descriptorBuffer + totalLength).
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength, PVOID startPosition,
                                             LONG descriptorType);

// Finds the first interface descriptor at or after `startPosition` that
// matches every argument that is not -1.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol);

// Builds a SELECT_CONFIGURATION URB (nonpaged pool, freed by the caller with
// ExFreePool) for the interfaces of the null-terminated list, and points each
// entry's Interface at its record inside the URB. Returns null when the pool
// is exhausted, when a listed descriptor is not an interface descriptor
// inside the configuration, or when the URB would not fit its 16-bit length.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList);

// Bytes of an interface's descriptors from `interfaceDescriptor` up to the
// next interface descriptor or `bufferEnd`.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, PUCHAR bufferEnd);

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION versionInformation);

constexpr ULONG USBD_CONFIGURATION_REQUEST_TAG = MakeTag("UsbC");

namespace platform::usb {

// The bytes of a configuration descriptor that may be read: wTotalLength,
// limited by the real size of its pool block when it starts one.
ULONG ConfigurationExtent(const USB_CONFIGURATION_DESCRIPTOR* configuration);

// The bounded walks behind the USBD routines, for callers that know the
// buffer's length themselves (the bus, the device model, the fuzzers).
const USB_COMMON_DESCRIPTOR* FindDescriptor(const UCHAR* buffer, size_t length, const UCHAR* start,
                                            LONG descriptorType);
const USB_INTERFACE_DESCRIPTOR* FindInterface(const UCHAR* buffer, size_t length, const UCHAR* start,
                                              LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass,
                                              LONG interfaceSubClass, LONG interfaceProtocol);

// The smallest bLength a standard descriptor of this type may have (2 for
// types without a fixed part).
UCHAR MinimumDescriptorLength(UCHAR descriptorType);

}  // namespace platform::usb

// ---- URB builders ------------------------------------------------------------------------------
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, MDL* transferBufferMdl,
                                         ULONG transferBufferLength, PURB link) {
  auto& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.Hdr.Length = length;
  r.TransferBufferLength = transferBufferLength;
  r.TransferBufferMDL = transferBufferMdl;
  r.TransferBuffer = transferBuffer;
  r.DescriptorType = descriptorType;
  r.Index = descriptorIndex;
  r.LanguageId = languageId;
  r.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = length;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length, USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = length;
  urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
  urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
  urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(length - offsetof(URB_SELECT_INTERFACE, Interface));
  urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, MDL* transferBufferMdl,
                                                   ULONG transferBufferLength, ULONG transferFlags, PURB link) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.Hdr.Length = length;
  r.PipeHandle = pipeHandle;
  r.TransferBufferLength = transferBufferLength;
  r.TransferBufferMDL = transferBufferMdl;
  r.TransferBuffer = transferBuffer;
  r.TransferFlags = transferFlags;
  r.UrbLink = link;
}

inline void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags, UCHAR reservedBits,
                                  UCHAR request, USHORT value, USHORT index, PVOID transferBuffer,
                                  MDL* transferBufferMdl, ULONG transferBufferLength, PURB link) {
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Function = function;
  r.Hdr.Length = length;
  r.TransferBufferLength = transferBufferLength;
  r.TransferBufferMDL = transferBufferMdl;
  r.TransferBuffer = transferBuffer;
  r.RequestTypeReservedBits = reservedBits;
  r.Request = request;
  r.Value = value;
  r.Index = index;
  r.TransferFlags = transferFlags;
  r.UrbLink = link;
}

inline void UsbBuildGetStatusRequest(PURB urb, USHORT op, USHORT index, PVOID transferBuffer, MDL* transferBufferMdl,
                                     PURB link) {
  auto& r = urb->UrbControlGetStatusRequest;
  r.Hdr.Function = op;
  r.Hdr.Length = sizeof(URB_CONTROL_GET_STATUS_REQUEST);
  r.TransferBufferLength = sizeof(USHORT);
  r.TransferBufferMDL = transferBufferMdl;
  r.TransferBuffer = transferBuffer;
  r.Index = index;
  r.UrbLink = link;
}

inline void UsbBuildFeatureRequest(PURB urb, USHORT op, USHORT featureSelector, USHORT index, PURB link) {
  auto& r = urb->UrbControlFeatureRequest;
  r.Hdr.Function = op;
  r.Hdr.Length = sizeof(URB_CONTROL_FEATURE_REQUEST);
  r.FeatureSelector = featureSelector;
  r.Index = index;
  r.UrbLink = link;
}
