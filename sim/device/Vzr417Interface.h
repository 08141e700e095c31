// The embedded "VZR417" audio interface: a two-in, two-out Audio Class 1.0
// device of a chip family the generic Audio Class 1.0 model knows by its
// vendor string (descriptor 0x50) and two vendor bytes, which mark both of
// its streams ASIO-capable.
//
//   interface 0  AudioControl, interrupt IN 0x83
//     IT 1 USB streaming (2 ch) -> FU 2 (mute; volume L/R) -> OT 3 speaker
//     IT 4 line in (2 ch) -> FU 5 (mute, volume) -> OT 6 USB streaming
//   interface 1  render, isochronous OUT 0x01 (adaptive)
//   interface 2  capture, isochronous IN 0x82 (asynchronous)
//   each with alt 1: 16-bit, alt 2: 24-bit in 3 bytes, alt 3: 24-bit in 4
//   bytes, stereo at 44100, 48000 and 96000 Hz
#pragma once

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"

namespace sim::vzr417 {

constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x4170;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;
// The vendor string and the registers the chip probe reads (recipient
// "other", bRequest 0, wValue 0x1A and 0x20).
constexpr uint8_t kChipString = 0x50;
constexpr uint8_t kKindRegister = 0x1A;
constexpr uint8_t kVariantRegister = 0x20;

DescriptorSet Descriptors();
DeviceProfile Profile();

}  // namespace sim::vzr417
