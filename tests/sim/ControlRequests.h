// Control transfers sent straight to a simulated device, as the bus hands
// them over: the outcome and, for an IN request, the bytes answered.
#pragma once

#include "sim/device/SimDevice.h"

namespace simtest {

constexpr uint8_t kStdIn = 0x80, kStdOut = 0x00;
constexpr uint8_t kClassIfIn = 0xA1, kClassIfOut = 0x21;
constexpr uint8_t kClassEpIn = 0xA2, kClassEpOut = 0x22;
constexpr uint8_t kVendorIfIn = 0xC1, kVendorIfOut = 0x41;

struct Result {
  platform::usb::ControlOutcome outcome;
  sim::Bytes data;
};

// `out` is the data stage of an OUT request; an IN request (bit 7 of
// `type`) asks for `inLength` bytes.
inline Result Send(sim::SimDevice& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index, sim::Bytes out,
                   uint16_t inLength = 0) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index,
                                  static_cast<USHORT>((type & 0x80) ? inLength : out.size())};
  sim::Bytes buffer = (type & 0x80) ? sim::Bytes(inLength, 0xEE) : out;
  auto reply = d.Control(s, buffer.data());
  buffer.resize((type & 0x80) ? reply.length : 0);
  return {reply.outcome, buffer};
}

inline Result Get(sim::SimDevice& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
  return Send(d, type, request, value, index, {}, length);
}

}  // namespace simtest
