// A device whose answers the fuzzer rewrites: every call reaches the
// simulated headset first, and then, as the input says, its control replies
// are stalled, left unanswered, cut short, run long or changed byte by
// byte, its isochronous packets fail or carry other lengths and bytes, and
// its interrupt endpoint sends status words of any length and content.
#pragma once

#include <mutex>
#include <vector>

#include "sim/device/SimDevice.h"
#include "usb/function.h"

namespace driverfuzz {

class FuzzedDevice final : public platform::usb::UsbFunction, private platform::usb::PortEvents {
 public:
  struct Rewrites {
    bool controls = false;
    bool iso = false;
    bool interrupt = false;
  };
  FuzzedDevice(sim::SimDevice& device, const uint8_t* data, size_t size, Rewrites rewrites)
      : m_Device(device), m_Script(data, data + size), m_Rewrites(rewrites) {}

  // Raises "data ready" on the status endpoint, so that the port polls it.
  void RaiseInterrupt(UCHAR endpoint) {
    if (m_Port) m_Port->InterruptDataReady(endpoint);
  }

  platform::usb::Speed GetSpeed() const override { return m_Device.GetSpeed(); }

  platform::usb::ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) override {
    platform::usb::ControlReply reply = m_Device.Control(setup, data);
    if (!m_Rewrites.controls) return reply;
    const uint8_t how = Next();
    const bool in = (setup.bmRequestType & 0x80) != 0;
    switch (how % 8) {
      case 4: return {platform::usb::ControlOutcome::Stall, 0};
      case 5: return {platform::usb::ControlOutcome::NoResponse, 0};
      case 6:  // short
        if (reply.outcome == platform::usb::ControlOutcome::Ack && reply.length) reply.length = Next() % reply.length;
        break;
      case 7:  // more than asked for
        if (in) return {platform::usb::ControlOutcome::Overrun, setup.wLength};
        break;
      default:
        break;
    }
    if (in && data && (how & 8) && reply.outcome == platform::usb::ControlOutcome::Ack)
      for (ULONG i = 0; i < reply.length; ++i) data[i] ^= Next();
    return reply;
  }

  USBD_STATUS IsoOut(UCHAR endpoint, ULONGLONG interval, const UCHAR* data, ULONG length) override {
    const USBD_STATUS status = m_Device.IsoOut(endpoint, interval, data, length);
    if (!m_Rewrites.iso) return status;
    const uint8_t how = Next();
    return how < 16 ? Status(how) : status;
  }

  USBD_STATUS IsoIn(UCHAR endpoint, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) override {
    USBD_STATUS status = m_Device.IsoIn(endpoint, interval, data, maxLength, length);
    if (!m_Rewrites.iso) return status;
    const uint8_t how = Next();
    if (how < 16) status = Status(how);
    if (how & 0x40) *length = maxLength ? Next() * 4u % (maxLength + 1) : 0;
    if (how & 0x80)
      for (ULONG i = 0; i < *length; i += 1 + Next() % 8) data[i] ^= Next();
    return status;
  }

  bool InterruptIn(UCHAR endpoint, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) override {
    if (!m_Rewrites.interrupt || Next() < 64) return m_Device.InterruptIn(endpoint, data, maxLength, length, status);
    // A word of the input's making: any length up to the buffer, any bytes,
    // sometimes an error instead.
    const uint8_t how = Next();
    *length = maxLength ? how % (maxLength + 1) : 0;
    for (ULONG i = 0; i < *length; ++i) data[i] = Next();
    *status = how & 0x80 ? Status(how) : USBD_STATUS_SUCCESS;
    return true;
  }

  void BusReset() override { m_Device.BusReset(); }
  void SetSuspended(bool suspended) override { m_Device.SetSuspended(suspended); }
  void Attach(platform::usb::PortEvents* port) override {
    m_Port = port;
    m_Device.Attach(port ? this : nullptr);
  }

 private:
  // The device's own events go through to the port.
  void InterruptDataReady(UCHAR endpoint) override {
    if (m_Port) m_Port->InterruptDataReady(endpoint);
  }
  void Unplug() override {
    if (m_Port) m_Port->Unplug();
  }

  uint8_t Next() {
    std::lock_guard<std::mutex> guard(m_Lock);
    // Past its end the input repeats from the start (an empty one passes).
    if (m_Script.empty()) return 0xFF;
    const uint8_t value = m_Script[m_At % m_Script.size()];
    ++m_At;
    return value;
  }
  static USBD_STATUS Status(uint8_t how) {
    static const USBD_STATUS kStatuses[] = {
        USBD_STATUS_CRC,          USBD_STATUS_BTSTUFF,         USBD_STATUS_STALL_PID,     USBD_STATUS_DEV_NOT_RESPONDING,
        USBD_STATUS_DATA_OVERRUN, USBD_STATUS_DATA_UNDERRUN,   USBD_STATUS_BUFFER_OVERRUN, USBD_STATUS_NOT_ACCESSED,
        USBD_STATUS_XACT_ERROR,   USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_BAD_START_FRAME, USBD_STATUS_TIMEOUT,
        USBD_STATUS_ISOCH_REQUEST_FAILED, USBD_STATUS_DEVICE_GONE, USBD_STATUS_FIFO,       USBD_STATUS_SUCCESS};
    return kStatuses[how % (sizeof kStatuses / sizeof kStatuses[0])];
  }

  sim::SimDevice& m_Device;
  std::vector<uint8_t> m_Script;
  Rewrites m_Rewrites;
  std::mutex m_Lock;
  size_t m_At = 0;
  platform::usb::PortEvents* m_Port = nullptr;
};

}  // namespace driverfuzz
