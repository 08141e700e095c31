#include "sim/device/ChipDevices.h"
#include "usb/usbaudio.h"

namespace sim::tq4187 {

using chipdevice::Bit;

DescriptorSet Descriptors(int profile) {
  const uint32_t mute = Bit(USB_AUDIO_FU_MUTE_CONTROL), volume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
  ConfigBuilder c;
  c.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({1, 2})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT)
      .FeatureUnit(kRenderFeatureUnit, 1, 1, {mute, volume, volume})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_HEADPHONES, kRenderFeatureUnit)
      .InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(kMicFeatureUnit, 4, 1, {mute | volume, 0})
      .OutputTerminal(6, USB_AUDIO_TERMINAL_USB_STREAMING, kMicFeatureUnit);
  chipdevice::StreamingInterface(c, 1, 1, 2, {48000, 44100}, 0x01);
  chipdevice::StreamingInterface(c, 2, 6, 1, {48000, 16000}, 0x82);
  return chipdevice::ChipSet(kVendorId, kProductId, profile == 2 ? 0x0200 : 0x0100, c.Build(), u"VZR419 7.1",
                             u"Virtual Surround Headset");
}

DescriptorSet FirstProfileDescriptors() { return Descriptors(1); }
DescriptorSet SecondProfileDescriptors() { return Descriptors(2); }

DeviceProfile Profile() {
  DeviceProfile p = DefaultProfile();
  // The render unit's vendor block: length at 16-17, control size 2 at 18,
  // the master's bitmap at 19: controls 0x8B and 0x8C (bits 10 and 11).
  Bytes block(21, 0);
  block[16] = 21;
  block[18] = 2;
  block[19] = 0x00;
  block[20] = 0x0C;
  p.unitMemory[kRenderFeatureUnit] = block;
  return p;
}

}  // namespace sim::tq4187
