#include "tests/variants/uac2/support/Uac2Devices.h"

#include "sim/device/DescriptorBuilder.h"
#include "sim/device/Uac2Headset.h"
#include "tests/driver/hal/support/Devices.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace uac2test {

namespace {

constexpr uint8_t kAsynchronousData = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
constexpr uint8_t kFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;

}  // namespace

Bytes ClockSource(uint8_t id, uint8_t controls) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2ClockSource(id, 0x03, controls); });
}
Bytes InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clock, uint8_t channels, uint16_t controls) {
  return Descriptor([&](sim::ConfigBuilder& c) {
    c.Uac2InputTerminal(id, terminalType, clock, channels, channels == 1 ? 0x4u : 0x3u, controls);
  });
}
Bytes OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t clock, uint16_t controls) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2OutputTerminal(id, terminalType, source, clock, controls); });
}
Bytes FeatureUnit(uint8_t id, uint8_t source, const std::vector<uint32_t>& controls) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2FeatureUnit(id, source, controls); });
}
Bytes MixerUnit(uint8_t id, const std::vector<uint8_t>& sources) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2MixerUnit(id, sources, 2, 0x3); });
}
Bytes SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2SelectorUnit(id, sources); });
}
Bytes ExtensionUnit(uint8_t id, const std::vector<uint8_t>& sources) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2ExtensionUnit(id, 0x1234, sources, 2, 0x3); });
}
Bytes AsGeneral(uint8_t terminalLink, uint32_t formats, uint8_t formatType, uint8_t channels) {
  return Descriptor([&](sim::ConfigBuilder& c) {
    c.Uac2AsGeneral(terminalLink, formatType, formats, channels, channels == 1 ? 0x4u : 0x3u);
  });
}
Bytes FormatType(uint8_t formatType, uint8_t subslot, uint8_t bits) {
  return Descriptor([&](sim::ConfigBuilder& c) { c.Uac2FormatType(formatType, subslot, bits); });
}

Bytes Cut(Bytes d, size_t length) {
  d.resize(length);
  d[0] = static_cast<uint8_t>(length);
  return d;
}

sim::DescriptorSet Build(const SmallDevice& device) {
  sim::ConfigBuilder c;
  const uint8_t endpoints = static_cast<uint8_t>((device.statusBytes ? 1 : 0) + (device.bulk ? 1 : 0));
  c.Interface(0, 0, endpoints, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AcHeader(0);
  for (const Bytes& d : device.units) c.Raw(d);
  if (device.statusBytes) c.Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, device.statusBytes, 4, false);
  if (device.bulk) c.Endpoint(0x84, USB_ENDPOINT_TYPE_BULK, 512, 0, false);
  if (!device.streaming.empty()) {
    const bool feedback = device.feedback && !device.capture;
    c.Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, USB_AUDIO_PROTOCOL_UAC2);
    for (uint8_t alternate = 1; alternate <= (device.settingWithoutFeedback ? 2 : 1); ++alternate) {
      const bool withFeedback = feedback && alternate == 1;
      c.Interface(1, alternate, withFeedback ? 2 : 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                  USB_AUDIO_PROTOCOL_UAC2);
      for (const Bytes& d : device.streaming) c.Raw(d);
      c.Endpoint(device.capture ? 0x82 : 0x01, kAsynchronousData, device.maxPacket, 1, false);
      for (const Bytes& d : device.endpointExtras) c.Raw(d);
      c.Uac2CsEndpoint();
      if (withFeedback) c.Endpoint(0x81, kFeedback, 4, 4, false);
    }
  }
  return haltest::MakeSet(c.Build(), device.vendorId, device.productId);
}

SmallDevice Speaker() {
  SmallDevice d;
  d.units = {ClockSource(9), InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9),
             FeatureUnit(2, 1, {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL) | ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL), 0, 0}),
             OutputTerminal(3, 0x0301, 2, 9)};
  d.streaming = {AsGeneral(1), FormatType()};
  return d;
}

SmallDevice Microphone() {
  SmallDevice d;
  d.units = {ClockSource(9), InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 9, 1),
             FeatureUnit(2, 1, {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL) | ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL), 0}),
             OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 9)};
  d.streaming = {AsGeneral(3, 0x1, 1, 1), FormatType()};
  d.capture = true;
  return d;
}

std::unique_ptr<haltest::ModelBench> Bench(const sim::DescriptorSet& set, const sim::DeviceProfile& profile,
                                           platform::usb::Speed speed, AudioHalFactory factory) {
  return std::make_unique<haltest::ModelBench>(std::make_unique<sim::Uac2Device>(set, profile, speed), factory);
}

std::unique_ptr<haltest::ModelBench> HeadsetBench(platform::usb::Speed speed) {
  return std::make_unique<haltest::ModelBench>(sim::uac2headset::Create(speed), CUac2AudioHal::Create);
}

Bytes StatusMessage(uint8_t entity, uint8_t cs, uint8_t channel) {
  return {0x00, USB_AUDIO2_CUR, channel, cs, 0x00, entity};
}

}  // namespace uac2test
