#include "sim/device/DefaultHeadset.h"

#include "usb/usbaudio.h"

namespace sim::headset {

namespace {
constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
}  // namespace

DescriptorSet Descriptors() {
  DescriptorSet set;
  DeviceDescriptorFields device;
  device.idVendor = kVendorId;
  device.idProduct = kProductId;
  device.bcdDevice = 0x0100;
  device.iManufacturer = 1;
  device.iProduct = 2;
  device.iSerialNumber = 3;
  set.device = BuildDeviceDescriptor(device);

  const uint32_t renderMaster = Bit(USB_AUDIO_FU_MUTE_CONTROL) | Bit(USB_AUDIO_FU_BASS_CONTROL) |
                                Bit(USB_AUDIO_FU_MID_CONTROL) | Bit(USB_AUDIO_FU_TREBLE_CONTROL) |
                                Bit(USB_AUDIO_FU_LOUDNESS_CONTROL);
  const uint32_t renderChannel = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
  const uint32_t micMaster =
      Bit(USB_AUDIO_FU_MUTE_CONTROL) | Bit(USB_AUDIO_FU_VOLUME_CONTROL) | Bit(USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL);

  ConfigBuilder c(1, USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP, 50);
  c.Interface(kControlInterface, 0, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({kRenderInterface, kCaptureInterface})
      .InputTerminal(kRenderInputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, 2,
                     USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT)
      .FeatureUnit(kRenderFeatureUnit, kRenderInputTerminal, 2, {renderMaster, renderChannel, renderChannel})
      .OutputTerminal(kRenderOutputTerminal, USB_AUDIO_TERMINAL_HEADSET, kRenderFeatureUnit, kMicInputTerminal)
      .InputTerminal(kMicInputTerminal, USB_AUDIO_TERMINAL_HEADSET, 1, 0, kRenderOutputTerminal)
      .FeatureUnit(kMicFeatureUnit, kMicInputTerminal, 1, {micMaster, 0})
      .SelectorUnit(kMicSelector, {kMicFeatureUnit})
      .OutputTerminal(kCaptureOutputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, kMicSelector)
      .Endpoint(kStatusEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 2, 16)
      // Render.
      .Interface(kRenderInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .Interface(kRenderInterface, 1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kRenderInputTerminal, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000, 44100})
      .Endpoint(kRenderEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, kRenderMaxPacket, 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ)
      // Capture.
      .Interface(kCaptureInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .Interface(kCaptureInterface, 1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kCaptureOutputTerminal, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 1, 2, 16, {48000, 44100, 32000, 16000})
      .Endpoint(kCaptureEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, kCaptureMaxPacket, 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  set.configurations.push_back(c.Build());

  set.strings[1] = u"Example Audio Works";
  set.strings[2] = u"USB Headset";
  set.strings[3] = u"SIM0000001";
  return set;
}

DeviceProfile Profile() {
  DeviceProfile p = DefaultProfile();
  // Jacks: the headphone plug (front left and right, green, 3.5 mm, on the
  // headset's cable) and the microphone (pink); both report presence.
  const JackEntry phones{0x3, 0x01014000};
  const JackEntry microphone{0x4, 0x01019000};
  p.terminals[kRenderOutputTerminal].outputTypes = {{USB_AUDIO_TERMINAL_HEADSET, {phones}}};
  p.terminals[kRenderOutputTerminal].jacks = {phones};
  p.terminals[kMicInputTerminal].jacks = {microphone};
  p.presenceMask = 0x7;
  // The render feature unit's vendor block: one switch, 0x8B, on the master.
  Bytes block(21, 0);
  block[16] = 21;
  block[18] = 2;
  block[19] = 0x00;
  block[20] = 0x04;  // bit 10: control 0x8B
  p.unitMemory[kRenderFeatureUnit] = block;
  // The microphone's level: -20 dB .. +30 dB in 1 dB steps.
  p.unitControlRanges[{kMicFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-0x1400, 0x1E00, 0x0100, 0x0000};
  return p;
}

std::unique_ptr<SimDevice> Create() { return std::make_unique<SimDevice>(Descriptors(), Profile()); }

}  // namespace sim::headset
