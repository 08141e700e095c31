// Descriptor sets in the layout of real devices, for the hardware model's
// tests: what each is shaped after is said with it. Unit and terminal ids
// are the constants below; every AudioControl interface is number 0.
#pragma once

#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"

namespace haltest {

using sim::Bytes;

// A set with this configuration and a device descriptor with these IDs.
sim::DescriptorSet MakeSet(const Bytes& configuration, uint16_t vendorId = 0x0D8C, uint16_t productId = 0x0014);

// A stereo headset with a mono microphone and a status endpoint:
//   IT 1 USB streaming -> FU 2 (mute; volume L/R) -> OT 3 headphones
//   IT 4 microphone -> FU 5 (mute, volume) -> OT 6 USB streaming
//   interface 1 render, alt 1: stereo 16-bit 48000 Hz
//   interface 2 capture, alt 1: mono 16-bit 48000 and 16000 Hz
// `statusEndpoint` is the AudioControl interface's one endpoint
// (address, attributes, wMaxPacketSize); address 0 leaves it out.
struct EndpointSpec {
  uint8_t address = 0x83;
  uint8_t attributes = 0x03;  // interrupt
  uint16_t maxPacket = 2;
};
sim::DescriptorSet StereoHeadset(const EndpointSpec& statusEndpoint = {}, uint16_t vendorId = 0x0D8C,
                                 uint16_t productId = 0x0014);

// A webcam microphone: one alternate setting per rate.
//   IT 1 microphone -> FU 2 (mute, volume) -> OT 3 USB streaming
//   interface 1 capture, alt 1/2/3: mono 16-bit at 16000/32000/48000 Hz
sim::DescriptorSet WebcamMicrophone();

// A sound card with a playback mixer and a recording selector:
//   IT 1 USB streaming, IT 4 line in -> MU 5 -> FU 6 (mute, volume) -> OT 7 speaker
//   IT 4 line in, IT 8 microphone -> SU 9 -> FU 10 (mute, volume) -> OT 11 USB streaming
//   interface 1 render (IT 1), interface 2 capture (OT 11), stereo 16-bit 48000 Hz
sim::DescriptorSet SoundCard();

// A microphone with a continuous rate range 8000-47000 Hz:
//   IT 1 microphone -> FU 2 (mute) -> OT 3 USB streaming; interface 1 capture
sim::DescriptorSet ContinuousRateMicrophone();

// USB speakers without controls: IT 1 USB streaming -> OT 2 speaker.
sim::DescriptorSet BareSpeakers();

// A device with an up/down-mix processing unit between its terminals.
sim::DescriptorSet ProcessingUnitDevice();

// An Audio Class device whose AudioControl protocol is not 0 (class 2.0).
sim::DescriptorSet ProtocolTwoDevice();

// A minimal render device (IT 1 USB streaming -> FU 2 mute -> OT 3 speaker)
// whose streaming interface 1 carries, in alternate setting 1, exactly
// `streamingDescriptors` (AS_GENERAL, FORMAT_TYPE ... as raw bytes) and an
// isochronous OUT endpoint of `maxPacketSize` bytes (the largest at full
// speed: room for every format the tests offer).
sim::DescriptorSet RenderDeviceWith(const std::vector<Bytes>& streamingDescriptors, uint16_t maxPacketSize = 1023);
// The same for capture (IT 1 microphone -> FU 2 mute -> OT 3 USB streaming,
// the streaming interface linked to OT 3).
sim::DescriptorSet CaptureDeviceWith(const std::vector<Bytes>& streamingDescriptors, uint16_t maxPacketSize = 1023);

// Raw AS descriptors.
Bytes AsGeneral(uint8_t terminalLink, uint16_t formatTag = 0x0001);
Bytes FormatType(uint8_t formatType, uint8_t channels, uint8_t subframe, uint8_t bits,
                 const std::vector<uint32_t>& rates);
Bytes ContinuousFormatType(uint8_t formatType, uint8_t channels, uint8_t subframe, uint8_t bits, uint32_t lower,
                           uint32_t upper);

// A plain Audio Class profile (no vendor block, no vendor requests).
sim::DeviceProfile PlainProfile();

}  // namespace haltest
