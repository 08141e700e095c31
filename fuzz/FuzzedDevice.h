// A device whose answers the fuzzer rewrites: every call reaches the
// simulated device first, and then, as the input's fault script says, its
// control replies are stalled, left unanswered, cut short, run long or
// changed byte by byte, its isochronous packets fail or carry other lengths
// and bytes, and its interrupt endpoint sends status words of any length
// and content.
//
// The script is a list of faults, each "let `gap` transfers through, then
// fault the next one like this": a gap byte, a byte saying how, and the
// bytes the fault reads. Only the kinds of transfer being rewritten count.
// Once the script is used up the device answers as itself, so a short input
// faults the first transfers and a longer one reaches deeper, and no fault
// repeats unless the script says so twice. A device made disarmed answers
// as itself until Arm() (the script then starts with the transfers after a
// start, say).
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
  FuzzedDevice(sim::SimDevice& device, const uint8_t* data, size_t size, Rewrites rewrites, bool armed = true)
      : m_Device(device), m_Script(data, data + size), m_Rewrites(rewrites), m_Armed(armed) {}

  void Arm() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Armed = true;
  }

  // Raises "data ready" on the status endpoint, so that the port polls it.
  void RaiseInterrupt(UCHAR endpoint) {
    if (m_Port) m_Port->InterruptDataReady(endpoint);
  }
  // Faults the script has applied so far, and whether it has come to its
  // end (every fault it holds applied).
  size_t Faults() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Faults;
  }
  bool ScriptDone() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_At >= m_Script.size() && !m_GapLeft;
  }

  platform::usb::Speed GetSpeed() const override { return m_Device.GetSpeed(); }

  platform::usb::ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) override {
    platform::usb::ControlReply reply = m_Device.Control(setup, data);
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Rewrites.controls || !Due()) return reply;
    const uint8_t how = Next();
    const bool in = (setup.bmRequestType & 0x80) != 0;
    switch (how % 5) {
      case 0:
        return {platform::usb::ControlOutcome::Stall, 0};
      case 1:
        return {platform::usb::ControlOutcome::NoResponse, 0};
      case 2: {  // short
        // The fault's bytes are read whatever the transfer, so that the
        // records after it keep their places.
        const uint8_t cut = Next();
        if (reply.outcome == platform::usb::ControlOutcome::Ack && reply.length) reply.length = cut % reply.length;
        return reply;
      }
      case 3:  // more than asked for
        return in ? platform::usb::ControlReply{platform::usb::ControlOutcome::Overrun, setup.wLength}
                  : platform::usb::ControlReply{platform::usb::ControlOutcome::Stall, 0};
      default:  // other bytes
        Edit(data, in && data && reply.outcome == platform::usb::ControlOutcome::Ack ? reply.length : 0);
        return reply;
    }
  }

  USBD_STATUS IsoOut(UCHAR endpoint, ULONGLONG interval, const UCHAR* data, ULONG length) override {
    const USBD_STATUS status = m_Device.IsoOut(endpoint, interval, data, length);
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Rewrites.iso || !Due()) return status;
    return Status(Next());
  }

  USBD_STATUS IsoIn(UCHAR endpoint, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) override {
    USBD_STATUS status = m_Device.IsoIn(endpoint, interval, data, maxLength, length);
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Rewrites.iso || !Due()) return status;
    const uint8_t how = Next();
    if (how & 0x20) status = Status(how);
    if (how & 0x40) *length = maxLength ? Next() * 4u % (maxLength + 1) : 0;
    if (how & 0x80) Edit(data, *length);
    return status;
  }

  bool InterruptIn(UCHAR endpoint, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) override {
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      if (m_Rewrites.interrupt && Due()) {
        // A word of the script's making: any length up to the buffer, any
        // bytes, sometimes an error instead.
        const uint8_t how = Next();
        *length = maxLength ? how % (maxLength + 1) : 0;
        for (ULONG i = 0; i < *length; ++i) data[i] = Next();
        *status = how & 0x80 ? Status(how) : USBD_STATUS_SUCCESS;
        return true;
      }
    }
    return m_Device.InterruptIn(endpoint, data, maxLength, length, status);
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

  // Whether this transfer is the one the current fault waits for (counting
  // down its gap); false for every transfer once the script is used up.
  bool Due() {
    if (!m_Armed) return false;
    if (!m_GapLeft) {
      if (m_At >= m_Script.size()) return false;
      m_GapLeft = 1 + m_Script[m_At++];
    }
    if (--m_GapLeft) return false;
    ++m_Faults;
    return true;
  }
  // The fault's next byte; zeros past the script's end.
  uint8_t Next() { return m_At < m_Script.size() ? m_Script[m_At++] : 0; }
  // Up to seven bytes of `data` changed, each at an offset and by a value
  // the script gives (none: the fault changes nothing, a way to move on);
  // the script's bytes are read even when there is nothing to change.
  void Edit(UCHAR* data, ULONG length) {
    for (uint8_t edits = Next() % 8; edits; --edits) {
      const uint8_t at = Next(), by = Next();
      if (length) data[at % length] ^= by;
    }
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
  bool m_Armed;
  mutable std::mutex m_Lock;
  size_t m_At = 0;
  uint32_t m_GapLeft = 0;  // transfers until the current fault, counting the faulted one
  size_t m_Faults = 0;
  platform::usb::PortEvents* m_Port = nullptr;
};

}  // namespace driverfuzz
