#include "usb/usbdlib.h"

#include <algorithm>

namespace platform::usb {

UCHAR MinimumDescriptorLength(UCHAR descriptorType) {
  switch (descriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return sizeof(USB_DEVICE_DESCRIPTOR);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
    case USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE:
      return sizeof(USB_CONFIGURATION_DESCRIPTOR);
    case USB_INTERFACE_DESCRIPTOR_TYPE:
      return sizeof(USB_INTERFACE_DESCRIPTOR);
    case USB_ENDPOINT_DESCRIPTOR_TYPE:
      return sizeof(USB_ENDPOINT_DESCRIPTOR);
    case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
      return sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR);
    default:
      return sizeof(USB_COMMON_DESCRIPTOR);
  }
}

ULONG ConfigurationExtent(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
  if (!configuration) return 0;
  size_t extent = configuration->wTotalLength;
  size_t blockSize = 0;
  if (platform::pool::QueryBlockSize(configuration, &blockSize))
    extent = std::min(extent, blockSize);
  return static_cast<ULONG>(extent);
}

const USB_COMMON_DESCRIPTOR* FindDescriptor(const UCHAR* buffer, size_t length, const UCHAR* start,
                                            LONG descriptorType) {
  if (!buffer || !start || start < buffer) return nullptr;
  size_t offset = static_cast<size_t>(start - buffer);
  while (offset < length) {
    size_t left = length - offset;
    if (left < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(buffer + offset);
    // A zero length would never advance; a length past the bound is a lie.
    if (d->bLength == 0 || d->bLength > left) return nullptr;
    if (d->bLength < MinimumDescriptorLength(d->bDescriptorType)) return nullptr;
    if (descriptorType < 0 || d->bDescriptorType == descriptorType) return d;
    offset += d->bLength;
  }
  return nullptr;
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const UCHAR* buffer, size_t length, const UCHAR* start,
                                              LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass,
                                              LONG interfaceSubClass, LONG interfaceProtocol) {
  const UCHAR* position = start;
  const UCHAR* end = buffer + length;
  while (position && position < end) {
    const auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(
        FindDescriptor(buffer, length, position, USB_INTERFACE_DESCRIPTOR_TYPE));
    if (!d) return nullptr;
    if ((interfaceNumber == -1 || d->bInterfaceNumber == interfaceNumber) &&
        (alternateSetting == -1 || d->bAlternateSetting == alternateSetting) &&
        (interfaceClass == -1 || d->bInterfaceClass == interfaceClass) &&
        (interfaceSubClass == -1 || d->bInterfaceSubClass == interfaceSubClass) &&
        (interfaceProtocol == -1 || d->bInterfaceProtocol == interfaceProtocol))
      return d;
    position = reinterpret_cast<const UCHAR*>(d) + d->bLength;
  }
  return nullptr;
}

}  // namespace platform::usb

using namespace platform::usb;

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength, PVOID startPosition,
                                             LONG descriptorType) {
  return const_cast<PUSB_COMMON_DESCRIPTOR>(FindDescriptor(static_cast<const UCHAR*>(descriptorBuffer), totalLength,
                                                           static_cast<const UCHAR*>(startPosition), descriptorType));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol) {
  if (!configurationDescriptor) return nullptr;
  return const_cast<PUSB_INTERFACE_DESCRIPTOR>(
      FindInterface(reinterpret_cast<const UCHAR*>(configurationDescriptor),
                    ConfigurationExtent(configurationDescriptor), static_cast<const UCHAR*>(startPosition),
                    interfaceNumber, alternateSetting, interfaceClass, interfaceSubClass, interfaceProtocol));
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  if (!configurationDescriptor || !interfaceList) return nullptr;
  const auto* base = reinterpret_cast<const UCHAR*>(configurationDescriptor);
  const ULONG extent = ConfigurationExtent(configurationDescriptor);

  size_t size = sizeof(URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG count = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e, ++count) {
    const auto* d = reinterpret_cast<const UCHAR*>(e->InterfaceDescriptor);
    // Only interface descriptors that lie wholly inside the configuration.
    if (d < base || d >= base + extent) return nullptr;
    size_t offset = static_cast<size_t>(d - base);
    if (extent - offset < sizeof(USB_INTERFACE_DESCRIPTOR)) return nullptr;
    if (e->InterfaceDescriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
        e->InterfaceDescriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) ||
        e->InterfaceDescriptor->bLength > extent - offset)
      return nullptr;
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  }
  if (count == 0) size = sizeof(URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USBD_CONFIGURATION_REQUEST_TAG));
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), configurationDescriptor);

  auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = GET_USBD_INTERFACE_SIZE(pipes);
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    record += info->Length;
  }
  return urb;
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, PUCHAR bufferEnd) {
  if (!interfaceDescriptor || !bufferEnd) return 0;
  const auto* start = reinterpret_cast<const UCHAR*>(interfaceDescriptor);
  if (bufferEnd <= start) return 0;
  const size_t length = static_cast<size_t>(bufferEnd - start);
  size_t offset = 0;
  bool first = true;
  while (offset < length) {
    size_t left = length - offset;
    if (left < sizeof(USB_COMMON_DESCRIPTOR)) break;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(start + offset);
    if (d->bLength == 0 || d->bLength > left) break;
    if (!first && d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    first = false;
    offset += d->bLength;
  }
  return static_cast<ULONG>(offset);
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION versionInformation) {
  if (!versionInformation) return;
  versionInformation->USBDI_Version = 0x600;
  versionInformation->Supported_USB_Version = 0x200;
}
