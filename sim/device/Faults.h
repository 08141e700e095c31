// Scripted misbehaviour of the simulated device, per kind of request: so
// that tests reach every failure path of the driver, and the driver meets the
// faults real devices have.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "usb/usbdi.h"
#include "usb/usbspec.h"

namespace sim {

// Which control requests a fault applies to; unset fields match anything.
struct RequestMatch {
  std::optional<uint8_t> type;       // BMREQUEST_STANDARD, _CLASS, _VENDOR
  std::optional<uint8_t> recipient;  // BMREQUEST_TO_DEVICE, _INTERFACE, _ENDPOINT, _OTHER
  std::optional<bool> in;            // device-to-host
  std::optional<uint8_t> request;    // bRequest
  std::optional<uint16_t> value;     // wValue
  std::optional<uint8_t> valueHigh;  // high byte of wValue (control selector, descriptor type)
  std::optional<uint16_t> index;     // wIndex
  std::optional<uint8_t> indexHigh;  // high byte of wIndex (unit or terminal id)

  bool Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;

  static RequestMatch Any() { return {}; }
  static RequestMatch GetDescriptor(uint8_t descriptorType);
  static RequestMatch Standard(uint8_t request);
  static RequestMatch Class();
  // Class requests to an AudioControl unit, optionally one request code only.
  static RequestMatch ClassToUnit(uint8_t unitId, std::optional<uint8_t> request = std::nullopt);
  static RequestMatch ClassToEndpoint(uint8_t endpointAddress);
  static RequestMatch Vendor();
  static RequestMatch VendorToUnit(uint8_t unitId, std::optional<uint8_t> request = std::nullopt);
  static RequestMatch VendorToDevice();
  static RequestMatch ToOther();
};

enum class FaultAction {
  Stall,        // the device stalls the request
  Timeout,      // the device never answers; the request stays pending until cancelled
  ShortReply,   // an IN request gets only `length` bytes
  ReplyLength,  // the data stage carries `length` bytes, more than asked is a babble (overrun)
  DeviceGone,   // the device drops off the bus in the middle of the request
  ReplyWith,    // an IN request is answered with `reply` (cut to wLength) whatever the device holds
};

struct ControlFault {
  RequestMatch match;
  FaultAction action = FaultAction::Stall;
  uint32_t length = 0;
  uint32_t skip = 0;   // matching requests let through before the fault starts
  int32_t times = -1;  // how many times it applies; -1 for ever
  std::vector<uint8_t> reply;  // ReplyWith
};

// Packets of an isochronous endpoint that fail: packet numbers (counted on
// that endpoint from 0 since the device was created) `first`, and then
// `count` - 1 more every `period` packets (period 1: consecutive).
struct IsoFault {
  uint8_t endpoint = 0;
  USBD_STATUS status = USBD_STATUS_XACT_ERROR;
  uint64_t first = 0;
  uint64_t count = 1;
  uint64_t period = 1;
  // Instead of failing, the packet succeeds without a byte (an IN endpoint
  // with nothing ready); `status` is not used.
  bool empty = false;
  // Instead of failing, an IN packet succeeds with at most this many of its
  // bytes (a device that cuts a frame short); `status` is not used.
  std::optional<ULONG> cutTo;

  bool Hits(uint64_t packet) const;
};

struct FaultScript {
  std::vector<ControlFault> control;
  std::vector<IsoFault> iso;
  // The device drops off the bus when this many isochronous packets (all
  // endpoints) have moved.
  std::optional<uint64_t> unplugAfterIsoPackets;
  // From the second configuration read on, the header reports this
  // wTotalLength (the first read, which the host sizes its buffer by, is
  // answered truthfully).
  std::optional<uint16_t> configurationLengthOnRereads;
  // The interrupt endpoint answers polls with this error instead of data.
  std::optional<USBD_STATUS> interruptError;

  void Clear() { *this = FaultScript{}; }
};

}  // namespace sim
