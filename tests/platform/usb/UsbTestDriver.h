// A small client driver for tests of the USB stand-in: everything goes to
// the lower device through IofCallDriver, as a real client's requests do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "kernel/nt.h"
#include "usb/HubPort.h"
#include "usb/usbaudio.h"
#include "usb/usbdlib.h"

namespace usbtest {

// Sends one IRP to `lower` and waits for it (PASSIVE_LEVEL only).
class UsbTestDriver {
 public:
  explicit UsbTestDriver(PDEVICE_OBJECT lower) : m_Lower(lower) {}

  // An internal device I/O control with Argument1 (for the idle
  // notification: the input buffer) set; waits and returns the final status.
  NTSTATUS Ioctl(ULONG code, PVOID argument1, ULONG inputLength = 0);
  NTSTATUS Submit(PURB urb) { return Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }
  // Sends and returns at once with the IRP (its status in *callStatus);
  // `done` is signalled on completion, then the caller frees the IRP.
  PIRP IoctlAsync(ULONG code, PVOID argument1, ULONG inputLength, PKEVENT done, NTSTATUS* callStatus = nullptr);
  PIRP SubmitAsync(PURB urb, PKEVENT done) { return IoctlAsync(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, 0, done); }
  void FreeAsync(PIRP irp) { IoFreeIrp(irp); }
  // The next request is cancelled before it is sent, as a client's
  // IoCancelIrp does while no cancel routine is set: only the flag is set.
  void CancelNextBeforeSending() { m_CancelNext = true; }
  // Sends an IRP whose next stack location the caller filled (power IRPs
  // with PoCallDriver), waits, and returns the final status; the caller
  // frees the IRP.
  NTSTATUS SendAndWait(PIRP irp);

  NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, std::vector<UCHAR>* out, ULONG length);
  NTSTATUS SelectConfiguration(const std::vector<UCHAR>& config);
  NTSTATUS SelectInterface(UCHAR number, UCHAR alternate, std::vector<UCHAR>* info = nullptr);
  NTSTATUS ClassRequest(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, std::vector<UCHAR>* data);
  NTSTATUS QueryBusInterface(USB_BUS_INTERFACE_USBDI_V1* bus, USHORT version = USB_BUSIF_USBDI_VERSION_1,
                             USHORT size = sizeof(USB_BUS_INTERFACE_USBDI_V1));
  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);

  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return m_ConfigurationHandle; }
  // The pipe of an endpoint in the last interface information returned.
  USBD_PIPE_HANDLE Pipe(UCHAR endpointAddress) const;
  const USBD_PIPE_INFORMATION* PipeInfo(UCHAR endpointAddress) const;

 private:
  PDEVICE_OBJECT m_Lower;
  bool m_CancelNext = false;
  USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
  std::vector<USBD_PIPE_INFORMATION> m_Pipes;
};

// A pipeline of isochronous URBs kept in flight on one pipe: each completion
// hands its URB to `onComplete` and, while running, resubmits the next.
class IsoPipeline {
 public:
  struct Options {
    ULONG urbs = 10;
    ULONG packetsPerUrb = 10;
    ULONG packetBytes = 192;  // OUT: bytes per packet; IN: room per packet
    bool in = false;
    bool asap = true;
    ULONG firstFrame = 0;  // explicit start: the first URB's frame
  };
  // Fills an OUT URB's buffer before it is sent (packet i at offset i x packetBytes).
  using Fill = std::function<void(UCHAR* buffer, ULONG length)>;
  // Sees every completed URB at DISPATCH_LEVEL.
  using Completed = std::function<void(PIRP irp, PURB urb)>;

  IsoPipeline(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, Options options, Fill fill, Completed completed);
  ~IsoPipeline();

  // Sends every URB; returns the status of the first send that failed.
  NTSTATUS Start();
  // Stops resubmitting; in-flight URBs still complete.
  void Stop() { m_Running = false; }
  ULONG InFlight() const { return m_InFlight; }
  ULONG Completions() const { return m_Completions; }
  // Completions that arrived while the submitting IofCallDriver had not
  // returned, or on the submitting thread, or below DISPATCH_LEVEL.
  ULONG RuleBreaks() const { return m_RuleBreaks; }

 private:
  struct Slot {
    IsoPipeline* owner;
    PIRP irp;
    PURB urb;
    UCHAR* buffer;
  };
  NTSTATUS Send(Slot& slot);
  static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  PDEVICE_OBJECT m_Lower;
  USBD_PIPE_HANDLE m_Pipe;
  Options m_Options;
  Fill m_Fill;
  Completed m_Completed;
  std::vector<Slot> m_Slots;
  std::atomic<bool> m_Running{false};
  std::atomic<ULONG> m_InFlight{0};
  std::atomic<ULONG> m_Completions{0};
  std::atomic<ULONG> m_RuleBreaks{0};
  ULONG m_NextFrame = 0;
  KSPIN_LOCK m_SendLock;
};

}  // namespace usbtest
