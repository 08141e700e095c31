#include "sim/device/ChipDevices.h"
#include "usb/usbaudio.h"

namespace sim::chip7762 {

using chipdevice::Bit;

DescriptorSet Descriptors() {
  const uint32_t mute = Bit(USB_AUDIO_FU_MUTE_CONTROL), volume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
  ConfigBuilder c;
  c.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({1, 2})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT)
      .FeatureUnit(kRenderFeatureUnit, 1, 1, {mute | Bit(USB_AUDIO_FU_BASS_CONTROL), volume, volume})
      .OutputTerminal(kSpeakerTerminal, USB_AUDIO_TERMINAL_SPEAKER, kRenderFeatureUnit)
      .InputTerminal(2, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(kMicFeatureUnit, 2, 1, {mute | volume, 0})
      .FeatureUnit(kSidetoneFeatureUnit, kMicFeatureUnit, 1, {mute | volume, 0})
      .OutputTerminal(7, USB_AUDIO_TERMINAL_USB_STREAMING, kSidetoneFeatureUnit);
  chipdevice::StreamingInterface(c, 1, 1, 2, {48000}, 0x01);
  chipdevice::StreamingInterface(c, 2, 7, 1, {48000}, 0x82);
  return chipdevice::ChipSet(kVendorId, kProductId, 0x0100, c.Build(), u"7762-A Headset", u"USB Headset");
}

DeviceProfile Profile() {
  DeviceProfile p = DefaultProfile();
  p.answersVendorRequests = false;
  // The chip's tone controls are two bytes, in its unit's own counts.
  p.controlSizes[USB_AUDIO_FU_BASS_CONTROL] = 2;
  // Unit 9: -16 - 192 per decibel down to -37 dB.
  p.unitControlRanges[{kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-7120, -16, 192, -1936};
  p.unitControlRanges[{kRenderFeatureUnit, USB_AUDIO_FU_BASS_CONTROL}] = {-7120, -16, 192, -16};
  // Unit 10: 1/256 dB from 0 to +22.5 dB; unit 13: 384 per 1.5 dB from
  // -13.5 dB at 0 to +9 dB.
  p.unitControlRanges[{kMicFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {0, 5760, 384, 0};
  p.unitControlRanges[{kSidetoneFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {0, 5760, 384, 3456};
  return p;
}

}  // namespace sim::chip7762
