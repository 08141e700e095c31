// The embedded default device: a representative USB headset of our own.
//
//   interface 0  AudioControl, interrupt IN 0x83 (2-byte status words)
//     IT 1 USB streaming (2 ch) -> FU 2 (master: mute, bass, mid, treble,
//       loudness; L/R: volume; vendor block: switch 0x8B) -> OT 3 headset
//     IT 4 headset microphone (1 ch) -> FU 5 (mute, volume, AGC) -> SU 6
//       (one input) -> OT 7 USB streaming
//   interface 1  render: alt 1 stereo 16-bit at 48000 and 44100 Hz,
//                isochronous OUT 0x01 (adaptive)
//   interface 2  capture: alt 1 mono 16-bit at 48000, 44100, 32000 and
//                16000 Hz, isochronous IN 0x82 (asynchronous)
#pragma once

#include <memory>

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "sim/device/SimDevice.h"

namespace sim::headset {

constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x0001;

constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

constexpr uint8_t kRenderInputTerminal = 1;
constexpr uint8_t kRenderFeatureUnit = 2;
constexpr uint8_t kRenderOutputTerminal = 3;
constexpr uint8_t kMicInputTerminal = 4;
constexpr uint8_t kMicFeatureUnit = 5;
constexpr uint8_t kMicSelector = 6;
constexpr uint8_t kCaptureOutputTerminal = 7;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint8_t kStatusEndpoint = 0x83;

constexpr uint16_t kRenderMaxPacket = 196;  // 49 stereo 16-bit frames
constexpr uint16_t kCaptureMaxPacket = 98;  // 49 mono 16-bit frames

DescriptorSet Descriptors();
DeviceProfile Profile();
std::unique_ptr<SimDevice> Create();

}  // namespace sim::headset
