#include "tests/driver/hal/support/Devices.h"

#include "sim/device/DescriptorBuilder.h"
#include "usb/usbaudio.h"
#include "usb/usbspec.h"

namespace haltest {
namespace {

constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
constexpr uint32_t kMute = Bit(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint32_t kVolume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
constexpr uint8_t kIso = 0x01;
constexpr uint8_t kAudio = 1;
constexpr uint8_t kControl = USB_AUDIO_SUBCLASS_AUDIOCONTROL;
constexpr uint8_t kStreaming = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;

sim::ConfigBuilder& StreamingInterface(sim::ConfigBuilder& c, uint8_t number, uint8_t link, uint8_t channels,
                                       const std::vector<uint32_t>& rates, uint8_t endpoint) {
  return c.Interface(number, 0, 0, kAudio, kStreaming)
      .Interface(number, 1, 1, kAudio, kStreaming)
      .AsGeneral(link, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, channels, 2, 16, rates)
      .Endpoint(endpoint, kIso, static_cast<uint16_t>(channels * 2 * 49), 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
}

}  // namespace

sim::DescriptorSet MakeSet(const Bytes& configuration, uint16_t vendorId, uint16_t productId) {
  sim::DescriptorSet set;
  sim::DeviceDescriptorFields fields;
  fields.idVendor = vendorId;
  fields.idProduct = productId;
  set.device = sim::BuildDeviceDescriptor(fields);
  set.configurations = {configuration};
  return set;
}

sim::DescriptorSet StereoHeadset(const EndpointSpec& status, uint16_t vendorId, uint16_t productId) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, status.address ? 1 : 0, kAudio, kControl)
      .AcHeader({1, 2})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume})
      .OutputTerminal(3, 0x0302, 2)
      .InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(5, 4, 1, {kMute | kVolume})
      .OutputTerminal(6, USB_AUDIO_TERMINAL_USB_STREAMING, 5);
  if (status.address) c.Endpoint(status.address, status.attributes, status.maxPacket, 16, false);
  StreamingInterface(c, 1, 1, 2, {48000}, 0x01);
  StreamingInterface(c, 2, 6, 1, {48000, 16000}, 0x82);
  return MakeSet(c.Build(), vendorId, productId);
}

sim::DescriptorSet WebcamMicrophone() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(2, 1, 1, {kMute | kVolume})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 2)
      .Interface(1, 0, 0, kAudio, kStreaming);
  const uint32_t rates[] = {16000, 32000, 48000};
  for (uint8_t alt = 1; alt <= 3; ++alt) {
    c.Interface(1, alt, 1, kAudio, kStreaming)
        .AsGeneral(3, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, 1, 2, 16, {rates[alt - 1]})
        .Endpoint(0x81, 0x05, static_cast<uint16_t>(rates[alt - 1] / 1000 * 2 + 2), 1)
        .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  }
  return MakeSet(c.Build(), 0x046D, 0x0825);
}

sim::DescriptorSet SoundCard() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1, 2})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .InputTerminal(4, 0x0603, 2, 0x3)
      .MixerUnit(5, {1, 4}, 2, 0x3, {0x00})
      .FeatureUnit(6, 5, 1, {kMute | kVolume})
      .OutputTerminal(7, 0x0301, 6)
      .InputTerminal(8, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .SelectorUnit(9, {4, 8})
      .FeatureUnit(10, 9, 1, {kMute | kVolume})
      .OutputTerminal(11, USB_AUDIO_TERMINAL_USB_STREAMING, 10);
  StreamingInterface(c, 1, 1, 2, {48000}, 0x01);
  StreamingInterface(c, 2, 11, 2, {48000}, 0x82);
  return MakeSet(c.Build(), 0x0D8C, 0x0102);
}

sim::DescriptorSet ContinuousRateMicrophone() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(2, 1, 1, {kMute})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 2)
      .Interface(1, 0, 0, kAudio, kStreaming)
      .Interface(1, 1, 1, kAudio, kStreaming)
      .AsGeneral(3, 1, USB_AUDIO_FORMAT_PCM)
      .FormatTypeContinuous(USB_AUDIO_FORMAT_TYPE_I, 1, 2, 16, 8000, 47000)
      .Endpoint(0x81, 0x05, 100, 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  return MakeSet(c.Build(), 0x0D8C, 0x0201);
}

sim::DescriptorSet BareSpeakers() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .OutputTerminal(2, 0x0301, 1);
  StreamingInterface(c, 1, 1, 2, {48000, 44100}, 0x01);
  return MakeSet(c.Build(), 0x0D8C, 0x0301);
}

sim::DescriptorSet ProcessingUnitDevice() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .ProcessingUnit(2, USB_AUDIO_PROCESS_UPDOWNMIX, {1}, 2, 0x3, {0x01}, {1, 0x03, 0x00})
      .FeatureUnit(3, 2, 1, {kMute})
      .OutputTerminal(4, 0x0301, 3);
  StreamingInterface(c, 1, 1, 2, {48000}, 0x01);
  return MakeSet(c.Build(), 0x0D8C, 0x0401);
}

sim::DescriptorSet ProtocolTwoDevice() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl, USB_AUDIO_PROTOCOL_UAC2)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .OutputTerminal(2, 0x0301, 1);
  StreamingInterface(c, 1, 1, 2, {48000}, 0x01);
  return MakeSet(c.Build(), 0x0D8C, 0x0501);
}

namespace {

sim::DescriptorSet DeviceWith(bool render, const std::vector<Bytes>& streaming, uint16_t maxPacketSize) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl).AcHeader({1});
  if (render) {
    c.InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
        .FeatureUnit(2, 1, 1, {kMute})
        .OutputTerminal(3, 0x0301, 2);
  } else {
    c.InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
        .FeatureUnit(2, 1, 1, {kMute})
        .OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 2);
  }
  c.Interface(1, 0, 0, kAudio, kStreaming).Interface(1, 1, 1, kAudio, kStreaming);
  for (const Bytes& d : streaming) c.Raw(d);
  c.Endpoint(render ? 0x01 : 0x81, render ? kIso : 0x05, maxPacketSize, 1);
  return MakeSet(c.Build());
}

void Put24(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v >> 16));
}

}  // namespace

sim::DescriptorSet RenderDeviceWith(const std::vector<Bytes>& streaming, uint16_t maxPacketSize) {
  return DeviceWith(true, streaming, maxPacketSize);
}
sim::DescriptorSet CaptureDeviceWith(const std::vector<Bytes>& streaming, uint16_t maxPacketSize) {
  return DeviceWith(false, streaming, maxPacketSize);
}

Bytes AsGeneral(uint8_t terminalLink, uint16_t formatTag) {
  return {7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, terminalLink, 1, static_cast<uint8_t>(formatTag),
          static_cast<uint8_t>(formatTag >> 8)};
}

Bytes FormatType(uint8_t formatType, uint8_t channels, uint8_t subframe, uint8_t bits,
                 const std::vector<uint32_t>& rates) {
  Bytes d{static_cast<uint8_t>(8 + 3 * rates.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, formatType,
          channels, subframe, bits, static_cast<uint8_t>(rates.size())};
  for (uint32_t rate : rates) Put24(d, rate);
  return d;
}

Bytes ContinuousFormatType(uint8_t formatType, uint8_t channels, uint8_t subframe, uint8_t bits, uint32_t lower,
                           uint32_t upper) {
  Bytes d{14, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, formatType, channels, subframe, bits, 0};
  Put24(d, lower);
  Put24(d, upper);
  return d;
}

sim::DeviceProfile PlainProfile() {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.answersVendorRequests = false;
  return profile;
}

}  // namespace haltest
