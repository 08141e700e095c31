// Embedded devices of chips other than the product's: each names its chip
// in vendor string 0x50, which the chip-identifying factory reads, and
// answers what that chip's model asks of it.
//
// 7746 (a USB sound adapter):
//   IT 1 USB streaming (2 ch) -> FU 9 (master: mute, bass; L/R: volume)
//     -> OT 3 headphones
//   IT 4 microphone -> FU 10 (mute, volume) -> OT 5 USB streaming
//   IT 6 line in -> FU 13 (mute, volume) -> OT 7 USB streaming
//   interface 1 render stereo 16-bit 48000/44100 Hz, interface 2 capture
//   mono 16-bit 48000/16000 Hz, interface 3 capture stereo 16-bit 48000 Hz
// 7762 (a USB headset):
//   IT 1 USB streaming (2 ch) -> FU 9 (master: mute, bass; L/R: volume)
//     -> OT 6 speaker
//   IT 2 microphone -> FU 10 (mute, volume) -> FU 13 (mute, volume)
//     -> OT 7 USB streaming
//   interface 1 render stereo 16-bit 48000 Hz, interface 2 capture mono
//   16-bit 48000 Hz
// TQ4187 (a 7.1 virtual-surround headset):
//   IT 1 USB streaming (2 ch) -> FU 2 (master: mute; L/R: volume; vendor
//     block: 0x8B room effect, 0x8C headphone effect) -> OT 3 headphones
//   IT 4 microphone -> FU 5 (mute, volume) -> OT 6 USB streaming
//   interface 1 render stereo 16-bit 48000/44100 Hz, interface 2 capture
//   mono 16-bit 48000/16000 Hz
//   Its release (bcdDevice) names the chip's capability profile: 1.00 the
//   first, 2.00 the second.
// Their volume controls take the chips' own device values (see the
// profiles); the 7762's bass is two bytes.
#pragma once

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"

namespace sim {

namespace chip7746 {
constexpr uint16_t kVendorId = 0x0D8C;
constexpr uint16_t kProductId = 0x0170;
constexpr uint8_t kRenderFeatureUnit = 9;
constexpr uint8_t kMicFeatureUnit = 10;
constexpr uint8_t kLineFeatureUnit = 13;
DescriptorSet Descriptors();
DeviceProfile Profile();
}  // namespace chip7746

namespace chip7762 {
constexpr uint16_t kVendorId = 0x0D8C;
constexpr uint16_t kProductId = 0x0162;
constexpr uint8_t kRenderFeatureUnit = 9;
constexpr uint8_t kMicFeatureUnit = 10;
constexpr uint8_t kSidetoneFeatureUnit = 13;
constexpr uint8_t kSpeakerTerminal = 6;
DescriptorSet Descriptors();
DeviceProfile Profile();
}  // namespace chip7762

namespace tq4187 {
constexpr uint16_t kVendorId = 0x0D8C;
constexpr uint16_t kProductId = 0x0187;
constexpr uint8_t kRenderFeatureUnit = 2;
constexpr uint8_t kMicFeatureUnit = 5;
constexpr uint8_t kHeadphoneControl = 0x8C;
// `profile` 1 or 2.
DescriptorSet Descriptors(int profile);
DescriptorSet FirstProfileDescriptors();
DescriptorSet SecondProfileDescriptors();
DeviceProfile Profile();
}  // namespace tq4187

}  // namespace sim

namespace sim::chipdevice {

// Shared by the chips' descriptor sets.
constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
// One AudioStreaming interface: alternate setting 0 without endpoints, 1
// with a 16-bit PCM format and an isochronous endpoint of 49 frames.
void StreamingInterface(ConfigBuilder& c, uint8_t number, uint8_t terminalLink, uint8_t channels,
                        const std::vector<uint32_t>& rates, uint8_t endpoint);
// The set with a device descriptor of these IDs and release, the
// configuration, and the chip's string at index 0x50.
DescriptorSet ChipSet(uint16_t vendorId, uint16_t productId, uint16_t release, const Bytes& configuration,
                      const std::u16string& chipString, const std::u16string& product);

}  // namespace sim::chipdevice
