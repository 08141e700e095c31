// The device side of a hub port: what the simulated bus asks of the USB
// function plugged into it. The bus turns URBs into setup packets and
// per-(micro)frame isochronous packets; the function answers as a device
// would, with no knowledge of IRPs, URBs or pipes.
#pragma once

#include "usb/usbdi.h"
#include "usb/usbspec.h"

namespace platform::usb {

enum class Speed { Full, High };

// What the device did with a control transfer.
enum class ControlOutcome {
  Ack,         // status stage reached; `length` data-stage bytes moved
  Stall,       // the device stalled the request
  NoResponse,  // the device never answers: the transfer stays pending until cancelled
  Gone,        // the device vanished during the transfer
  Overrun,     // the device sent more than the host asked for
};

struct ControlReply {
  ControlOutcome outcome = ControlOutcome::Stall;
  ULONG length = 0;
};

// Events the function raises towards its port.
class PortEvents {
 public:
  // An interrupt IN endpoint has data for the host.
  virtual void InterruptDataReady(UCHAR endpointAddress) = 0;
  // The device drops off the bus (as if unplugged).
  virtual void Unplug() = 0;

 protected:
  ~PortEvents() = default;
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  virtual Speed GetSpeed() const = 0;

  // A control transfer on the default pipe. For device-to-host requests
  // `data` has room for setup.wLength bytes; for host-to-device requests it
  // holds them.
  virtual ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) = 0;

  // One isochronous packet of an OUT endpoint at bus interval `interval`
  // (frames at full speed, microframes at high speed). Returns the packet's
  // status as the host controller reports it.
  virtual USBD_STATUS IsoOut(UCHAR endpointAddress, ULONGLONG interval, const UCHAR* data, ULONG length) = 0;
  // One isochronous packet of an IN endpoint: fills at most `maxLength`
  // bytes and reports how many it sent.
  virtual USBD_STATUS IsoIn(UCHAR endpointAddress, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) = 0;

  // An interrupt IN poll: true when the endpoint answers with data (or an
  // error in `status`), false when it NAKs.
  virtual bool InterruptIn(UCHAR endpointAddress, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) = 0;

  // Bus reset (port reset, re-enumeration): back to the default state,
  // unconfigured.
  virtual void BusReset() = 0;
  // The port's suspend state changed.
  virtual void SetSuspended(bool suspended) { (void)suspended; }

  // Called when the function is plugged into a port (null when unplugged).
  virtual void Attach(PortEvents* port) { (void)port; }
};

}  // namespace platform::usb
