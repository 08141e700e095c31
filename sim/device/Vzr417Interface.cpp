#include "sim/device/Vzr417Interface.h"

#include "usb/usbaudio.h"

namespace sim::vzr417 {

namespace {

constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
constexpr uint8_t kChannels = 2;
constexpr uint32_t kMaxRate = 96000;

// The three sample layouts each stream offers: bytes per sample and the
// bits that carry the signal.
struct Layout {
  uint8_t subframe;
  uint8_t bits;
};
constexpr Layout kLayouts[] = {{2, 16}, {3, 24}, {4, 24}};

void StreamingInterface(ConfigBuilder& c, uint8_t number, uint8_t terminal, uint8_t endpoint, uint8_t attributes) {
  c.Interface(number, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING);
  uint8_t alternate = 1;
  for (const Layout& l : kLayouts) {
    // Room for one frame more than the highest rate carries in a frame.
    const auto maxPacket = static_cast<uint16_t>((kMaxRate / 1000 + 1) * kChannels * l.subframe);
    c.Interface(number, alternate++, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
        .AsGeneral(terminal, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, kChannels, l.subframe, l.bits, {44100, 48000, 96000})
        .Endpoint(endpoint, attributes, maxPacket, 1)
        .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  }
}

}  // namespace

DescriptorSet Descriptors() {
  DescriptorSet set;
  DeviceDescriptorFields device;
  device.idVendor = kVendorId;
  device.idProduct = kProductId;
  device.iManufacturer = 1;
  device.iProduct = 2;
  device.iSerialNumber = 3;
  set.device = BuildDeviceDescriptor(device);

  const uint32_t mute = Bit(USB_AUDIO_FU_MUTE_CONTROL);
  const uint32_t volume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
  ConfigBuilder c(1, USB_CONFIG_BUS_POWERED, 100);
  c.Interface(0, 0, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({1, 2})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, kChannels, 0x3)
      .FeatureUnit(2, 1, 1, {mute, volume, volume})
      .OutputTerminal(3, 0x0301, 2)
      .InputTerminal(4, 0x0603, kChannels, 0x3)
      .FeatureUnit(5, 4, 1, {mute | volume})
      .OutputTerminal(6, USB_AUDIO_TERMINAL_USB_STREAMING, 5)
      .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 2, 16);
  StreamingInterface(c, 1, 1, kRenderEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE);
  StreamingInterface(c, 2, 6, kCaptureEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS);
  set.configurations.push_back(c.Build());

  set.strings[1] = u"Example Audio Works";
  set.strings[2] = u"VZR417 Audio Interface  ";
  set.strings[3] = u"VZR0000417";
  set.strings[kChipString] = u"VZR417 rev B";
  return set;
}

DeviceProfile Profile() {
  DeviceProfile p = DefaultProfile();
  // Kind 0xE with bit 1 of the variant clear: the streams are ASIO-capable.
  p.otherRegisters[{0x00, kKindRegister, 0}] = 0x0E;
  p.otherRegisters[{0x00, kVariantRegister, 0}] = 0x00;
  return p;
}

}  // namespace sim::vzr417
