// The embedded Audio Class 2.0 device: a USB headset of our own with an
// asynchronous render stream paced by explicit feedback.
//
//   interface 0  AudioControl (protocol 0x20), interrupt IN 0x83 (6-byte
//                status messages), bulk IN 0x84
//     CS 9 internal programmable clock (frequency read/write, validity)
//     IT 1 USB streaming (2 ch, clock 9) -> FU 2 (master: mute, volume;
//       L/R: volume; vendor block: switch 0x90) -> OT 3 headphones (clock 9,
//       connector; types headphones and line out)
//     IT 4 microphone (1 ch, clock 9, connector) -> FU 5 (mute, volume)
//       -> OT 6 USB streaming
//   interface 1  render: alt 1 stereo 16-bit, alt 2 stereo 24-bit, at the
//                clock's rates; isochronous OUT 0x01 (asynchronous) and the
//                feedback IN 0x81
//   interface 2  capture: alt 1 mono 16-bit, isochronous IN 0x82
//
// At high speed the data endpoints serve every microframe (bInterval 1)
// and the feedback endpoint once a millisecond (bInterval 4); the clock
// offers 44.1 to 192 kHz. At full speed everything runs once a millisecond
// and the clock stops at 96 kHz.
#pragma once

#include <memory>

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "sim/device/Uac2Device.h"

namespace sim::uac2headset {

constexpr uint16_t kVendorId = 0x0B05;
constexpr uint16_t kProductId = 0x17B1;

constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

constexpr uint8_t kClock = 9;
constexpr uint8_t kRenderInputTerminal = 1;
constexpr uint8_t kRenderFeatureUnit = 2;
constexpr uint8_t kRenderOutputTerminal = 3;
constexpr uint8_t kMicInputTerminal = 4;
constexpr uint8_t kMicFeatureUnit = 5;
constexpr uint8_t kCaptureOutputTerminal = 6;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint8_t kStatusEndpoint = 0x83;
constexpr uint8_t kBulkEndpoint = 0x84;

// The vendor switch of the render feature unit's vendor block.
constexpr uint8_t kVendorSwitch = 0x90;

DescriptorSet Descriptors(platform::usb::Speed speed = platform::usb::Speed::High);
DescriptorSet FullSpeedDescriptors();
DeviceProfile Profile(platform::usb::Speed speed = platform::usb::Speed::High);
DeviceProfile FullSpeedProfile();
std::unique_ptr<Uac2Device> Create(platform::usb::Speed speed = platform::usb::Speed::High);

}  // namespace sim::uac2headset
