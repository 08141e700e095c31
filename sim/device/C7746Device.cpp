#include "sim/device/ChipDevices.h"
#include "usb/usbaudio.h"

namespace sim::chip7746 {

using chipdevice::Bit;

DescriptorSet Descriptors() {
  const uint32_t mute = Bit(USB_AUDIO_FU_MUTE_CONTROL), volume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
  ConfigBuilder c;
  c.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({1, 2, 3})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT)
      .FeatureUnit(kRenderFeatureUnit, 1, 1, {mute | Bit(USB_AUDIO_FU_BASS_CONTROL), volume, volume})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_HEADPHONES, kRenderFeatureUnit)
      .InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(kMicFeatureUnit, 4, 1, {mute | volume, 0})
      .OutputTerminal(5, USB_AUDIO_TERMINAL_USB_STREAMING, kMicFeatureUnit)
      .InputTerminal(6, USB_AUDIO_TERMINAL_LINE_CONNECTOR, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT)
      .FeatureUnit(kLineFeatureUnit, 6, 1, {mute | volume, 0, 0})
      .OutputTerminal(7, USB_AUDIO_TERMINAL_USB_STREAMING, kLineFeatureUnit);
  chipdevice::StreamingInterface(c, 1, 1, 2, {48000, 44100}, 0x01);
  chipdevice::StreamingInterface(c, 2, 5, 1, {48000, 16000}, 0x82);
  chipdevice::StreamingInterface(c, 3, 7, 2, {48000}, 0x83);
  return chipdevice::ChipSet(kVendorId, kProductId, 0x0100, c.Build(), u"7746 USB Audio", u"USB Sound Adapter");
}

DeviceProfile Profile() {
  DeviceProfile p = DefaultProfile();
  p.answersVendorRequests = false;
  // Unit 9 steps whole decibels down to -37 dB.
  p.unitControlRanges[{kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-9472, 0, 256, -2560};
  // Units 10-12 and 13-14 step 1.5 dB in counts of 1/256: the ranges the
  // chip's own conversions reach from -6 .. +33 dB and -36 .. +22.5 dB.
  p.unitControlRanges[{kMicFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-5888, 768, 256, 0};
  p.unitControlRanges[{kLineFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-7168, 2816, 256, 0};
  return p;
}

}  // namespace sim::chip7746
