// Standard USB 2.0 descriptors, setup packets and request codes, as the bus
// and its clients see them on the wire: byte-packed, little-endian.
#pragma once

#include "kernel/ntdef.h"

// ---- Descriptor types ----------------------------------------------------
constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
constexpr UCHAR USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06;
constexpr UCHAR USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE = 0x07;
constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;

// ---- Standard requests (bRequest) ------------------------------------------
constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
constexpr UCHAR USB_REQUEST_SYNC_FRAME = 0x0C;

// Feature selectors.
constexpr USHORT USB_FEATURE_ENDPOINT_STALL = 0x0000;
constexpr USHORT USB_FEATURE_REMOTE_WAKEUP = 0x0001;

// bmRequestType fields.
constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0;
constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 1;
constexpr UCHAR BMREQUEST_STANDARD = 0;
constexpr UCHAR BMREQUEST_CLASS = 1;
constexpr UCHAR BMREQUEST_VENDOR = 2;
constexpr UCHAR BMREQUEST_TO_DEVICE = 0;
constexpr UCHAR BMREQUEST_TO_INTERFACE = 1;
constexpr UCHAR BMREQUEST_TO_ENDPOINT = 2;
constexpr UCHAR BMREQUEST_TO_OTHER = 3;

constexpr UCHAR MakeRequestType(UCHAR dir, UCHAR type, UCHAR recipient) {
  return static_cast<UCHAR>((dir << 7) | (type << 5) | recipient);
}

// ---- Endpoint attributes -----------------------------------------------------
constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_ADDRESS_MASK = 0x0F;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
// Isochronous synchronisation (bits 2-3) and usage (bits 4-5).
constexpr UCHAR USB_ENDPOINT_SYNC_MASK = 0x0C;
constexpr UCHAR USB_ENDPOINT_SYNC_ASYNCHRONOUS = 0x04;
constexpr UCHAR USB_ENDPOINT_SYNC_ADAPTIVE = 0x08;
constexpr UCHAR USB_ENDPOINT_SYNC_SYNCHRONOUS = 0x0C;
constexpr UCHAR USB_ENDPOINT_USAGE_MASK = 0x30;
constexpr UCHAR USB_ENDPOINT_USAGE_DATA = 0x00;
constexpr UCHAR USB_ENDPOINT_USAGE_FEEDBACK = 0x10;

constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
constexpr bool USB_ENDPOINT_DIRECTION_OUT(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) == 0; }

// Configuration bmAttributes.
constexpr UCHAR USB_CONFIG_BUS_POWERED = 0x80;
constexpr UCHAR USB_CONFIG_SELF_POWERED = 0x40;
constexpr UCHAR USB_CONFIG_REMOTE_WAKEUP = 0x20;

// GET_STATUS answer bits of the device.
constexpr USHORT USB_GETSTATUS_SELF_POWERED = 0x01;
constexpr USHORT USB_GETSTATUS_REMOTE_WAKEUP_ENABLED = 0x02;

// Interface classes.
constexpr UCHAR USB_DEVICE_CLASS_RESERVED = 0x00;
constexpr UCHAR USB_DEVICE_CLASS_AUDIO = 0x01;
constexpr UCHAR USB_DEVICE_CLASS_HUMAN_INTERFACE = 0x03;
constexpr UCHAR USB_DEVICE_CLASS_VENDOR_SPECIFIC = 0xFF;

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
};
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;  // 2 mA units
};
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;

struct USB_STRING_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  WCHAR bString[1];
};
using PUSB_STRING_DESCRIPTOR = USB_STRING_DESCRIPTOR*;

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bFirstInterface;
  UCHAR bInterfaceCount;
  UCHAR bFunctionClass;
  UCHAR bFunctionSubClass;
  UCHAR bFunctionProtocol;
  UCHAR iFunction;
};

// The eight bytes of a control transfer's SETUP stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
using PUSB_DEFAULT_PIPE_SETUP_PACKET = USB_DEFAULT_PIPE_SETUP_PACKET*;

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);

// Helpers for reading packed little-endian fields from raw descriptor bytes.
namespace platform::usb {
inline USHORT ReadLe16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
inline ULONG ReadLe24(const UCHAR* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16);
}
inline ULONG ReadLe32(const UCHAR* p) { return ReadLe24(p) | (static_cast<ULONG>(p[3]) << 24); }
inline void WriteLe16(UCHAR* p, USHORT v) {
  p[0] = static_cast<UCHAR>(v);
  p[1] = static_cast<UCHAR>(v >> 8);
}
inline void WriteLe24(UCHAR* p, ULONG v) {
  p[0] = static_cast<UCHAR>(v);
  p[1] = static_cast<UCHAR>(v >> 8);
  p[2] = static_cast<UCHAR>(v >> 16);
}
inline void WriteLe32(UCHAR* p, ULONG v) {
  WriteLe24(p, v);
  p[3] = static_cast<UCHAR>(v >> 24);
}
}  // namespace platform::usb
