// Simulated boards with the 7753 chip. The chip describes everything it
// has in a 509-byte configuration of a fixed layout (the driver rewrites
// it before parsing), followed by its HID interface:
//
//   interface 0  AudioControl
//     IT 1 USB streaming (8 ch) --------------------------+
//     IT 4 microphone -> FU 8 (recording)                  |
//                     -> FU 9 (monitor) -----------------> MU 12 -> FU 13 (8 ch: mute; volume) -> OT 3 speaker
//     IT 5 line in    -> FU 15 (recording)                 |      \-> MU 14 stereo mix -> FU 2 (recording)
//                     -> FU 11 (monitor) ------------------+
//     IT 6 S/PDIF in  -> FU 16 (recording)
//     SU 18 (8, 15, 16, 2) -> OT 7 USB streaming
//   interface 1  render: alternate settings 1-4 at 8, 2, 4 and 6 channels
//                (44100 and 48000 Hz), 5 stereo at one rate (48000 Hz),
//                isochronous OUT 0x01
//   interface 2  capture: stereo 16-bit at 44100 and 48000 Hz, IN 0x82
//   interface 3  HID: codec writes as output reports {0x20, value low,
//                value high, register}; a 3-byte status input report
//                (bit 4 of byte 0 the jack sense, bit 0 the mute button)
//
// The vendor string (index 0x50) starts with the chip's marker, code units
// 0x000B, 'S', 'w'; vendor request 0x81 to "other" reads the chip bytes at
// wIndex 9 and 8.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"

namespace sim::chip7753 {

constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kHidInterface = 3;

constexpr uint8_t kStreamTerminal = 1;
constexpr uint8_t kStereoMixRecordUnit = 2;
constexpr uint8_t kSpeakerTerminal = 3;
constexpr uint8_t kMicTerminal = 4;
constexpr uint8_t kLineTerminal = 5;
constexpr uint8_t kSpdifTerminal = 6;
constexpr uint8_t kRecordTerminal = 7;
constexpr uint8_t kMicRecordUnit = 8;
constexpr uint8_t kMicMonitorUnit = 9;
constexpr uint8_t kLineMonitorUnit = 11;
constexpr uint8_t kMonitorMixer = 12;
constexpr uint8_t kMasterUnit = 13;
constexpr uint8_t kStereoMixer = 14;
constexpr uint8_t kLineRecordUnit = 15;
constexpr uint8_t kSpdifRecordUnit = 16;
constexpr uint8_t kRecordSelector = 18;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint8_t kHidEndpoint = 0x83;

constexpr uint8_t kStatusJackSense = 0x10;
constexpr uint8_t kStatusMuteButton = 0x01;

// The chip's 509 bytes alone (bNumInterfaces counts the three audio
// interfaces), and the whole configuration with the HID interface after it.
Bytes Layout();
Bytes Configuration();

// A board with these IDs, and the chip bytes its probe reads.
DescriptorSet Descriptors(uint16_t vendorId, uint16_t productId);
DeviceProfile Profile(uint8_t chipHigh, uint8_t chipLow);

// The embedded boards: "7753-poll" (the polled board, IDs 0x1E7D:0x3750,
// chip bytes 0x9F and 3) and "7753" (an evaluation board whose IDs and chip
// bytes no override knows).
constexpr uint16_t kPollBoardVendor = 0x1E7D;
constexpr uint16_t kPollBoardProduct = 0x3750;
constexpr uint16_t kEvaluationVendor = 0x1209;
constexpr uint16_t kEvaluationProduct = 0x7753;
DescriptorSet PollBoardDescriptors();
DeviceProfile PollBoardProfile();
DescriptorSet EvaluationBoardDescriptors();
DeviceProfile EvaluationBoardProfile();

// The codec's six registers as the board's output reports left them
// (empty: never written).
std::array<std::optional<uint16_t>, 6> CodecRegisters(const std::vector<Bytes>& outputReports);

}  // namespace sim::chip7753
