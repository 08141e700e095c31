// What the ASIO interface needs of the device object that carries it. The
// device owns the ASIO object and hands it this view of itself, so that the
// ASIO code reaches the device's engines, requests and state without its
// class, as the stream engine's data side reaches its bus side.
#pragma once

#include "driver/common/PrivateInterfaces.h"

// Pool tag of the device's and its ASIO interface's own records.
constexpr ULONG USB_DEVICE_DATA_TAG = MakeTag("USBd");

class IAsioDeviceLink {
 public:
  // The device's engines, as the rest of the driver sees them.
  virtual ULONG STDMETHODCALLTYPE GetStreamEngineCount() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG index, IStreamEngine** engine) = 0;
  // The device's USB services.
  virtual NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) = 0;
  virtual BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() = 0;
  // The functional device object: the settings' key, and the completion of
  // a held request.
  virtual PDEVICE_OBJECT AsioDeviceObject() = 0;
  virtual DEVICE_POWER_STATE AsioPowerState() = 0;
  virtual USHORT AsioVendorId() = 0;
  virtual USHORT AsioProductId() = 0;
  // The device's product string, at most `maxChars` characters (`text` has
  // room for one more); fails when the device names none.
  virtual NTSTATUS AsioProductName(PWSTR text, ULONG* chars, ULONG maxChars) = 0;

 protected:
  ~IAsioDeviceLink() = default;
};
