#include "sim/device/MalformedDescriptors.h"

#include "usb/usbaudio.h"

namespace sim::malformed {

namespace {

constexpr uint8_t kInput = 1;
constexpr uint8_t kFeature = 2;
constexpr uint8_t kOutput = 3;

struct Shape {
  // Writes the units between the input terminal and the output terminal and
  // returns the output terminal's source.
  std::function<uint8_t(ConfigBuilder&)> units = [](ConfigBuilder& c) {
    c.FeatureUnit(kFeature, kInput, 1, {0x03, 0, 0});
    return kFeature;
  };
  uint16_t maxPacketSize = 192;
  bool isoEndpoint = true;
  uint8_t endpointType = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE;
  std::function<void(ConfigBuilder&)> format = [](ConfigBuilder& c) {
    c.FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000});
  };
};

DescriptorSet Build(const Shape& shape) {
  DescriptorSet set;
  DeviceDescriptorFields device;
  device.idVendor = 0x1209;
  device.idProduct = 0x0002;
  device.iProduct = 1;
  set.device = BuildDeviceDescriptor(device);
  ConfigBuilder c;
  c.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({1})
      .InputTerminal(kInput, USB_AUDIO_TERMINAL_USB_STREAMING, 2,
                     USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT);
  const uint8_t source = shape.units(c);
  c.OutputTerminal(kOutput, USB_AUDIO_TERMINAL_SPEAKER, source)
      .Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .Interface(1, 1, shape.isoEndpoint ? 1 : 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kInput, 1, USB_AUDIO_FORMAT_PCM);
  shape.format(c);
  if (shape.isoEndpoint) {
    c.Endpoint(0x01, shape.endpointType, shape.maxPacketSize, 1)
        .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  }
  set.configurations.push_back(c.Build());
  set.strings[1] = u"Malformed Test Device";
  return set;
}

// Offset of the first class-specific AudioControl descriptor of `subtype`.
size_t FindAc(const Bytes& config, uint8_t subtype) {
  for (size_t i = 9; i + 2 < config.size() && config[i] != 0; i += config[i])
    if (config[i + 1] == USB_AUDIO_CS_INTERFACE && config[i + 2] == subtype) return i;
  return 0;
}

}  // namespace

DescriptorSet RenderDevice() { return Build({}); }

DescriptorSet ZeroLengthDescriptor() {
  DescriptorSet set = RenderDevice();
  Bytes& c = set.configurations[0];
  c[FindAc(c, USB_AUDIO_AC_FEATURE_UNIT)] = 0;
  return set;
}

DescriptorSet DescriptorPastTotalLength() {
  DescriptorSet set = RenderDevice();
  Bytes& c = set.configurations[0];
  // The class-specific endpoint descriptor is last: let it claim 40 bytes.
  size_t last = 9;
  for (size_t i = 9; i < c.size() && c[i] != 0; i += c[i]) last = i;
  c[last] = 40;
  return set;
}

DescriptorSet TotalLengthTooShort() {
  DescriptorSet set = RenderDevice();
  Bytes& c = set.configurations[0];
  const uint16_t shorter = static_cast<uint16_t>(c.size() - 20);
  c[2] = static_cast<uint8_t>(shorter);
  c[3] = static_cast<uint8_t>(shorter >> 8);
  return set;
}

DescriptorSet ZeroControlSize() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    c.Raw({7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT, kFeature, kInput, 0, 0});
    return kFeature;
  };
  return Build(shape);
}

DescriptorSet ControlSizePastLength() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    // bControlSize 8 with room for one byte of bitmap only.
    c.Raw({8, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT, kFeature, kInput, 8, 0x03, 0});
    return kFeature;
  };
  return Build(shape);
}

DescriptorSet UnitLoop() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    c.FeatureUnit(kFeature, 4, 1, {0x03, 0, 0});
    c.FeatureUnit(4, kFeature, 1, {0x01});
    return static_cast<uint8_t>(4);
  };
  return Build(shape);
}

DescriptorSet UnitNamingItself() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    c.FeatureUnit(kFeature, kFeature, 1, {0x03, 0, 0});
    return kFeature;
  };
  return Build(shape);
}

DescriptorSet LayeredMixerGraph(int layers) {
  Shape shape;
  shape.units = [layers](ConfigBuilder& c) {
    // Layer k holds units 10 + 2k and 11 + 2k; layer 0 mixes the input
    // terminal with itself.
    uint8_t previousA = kInput, previousB = kInput;
    for (int k = 0; k < layers; ++k) {
      const uint8_t a = static_cast<uint8_t>(10 + 2 * k), b = static_cast<uint8_t>(11 + 2 * k);
      c.MixerUnit(a, {previousA, previousB}, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT, {0xFF});
      c.MixerUnit(b, {previousA, previousB}, 2, USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT, {0xFF});
      previousA = a;
      previousB = b;
    }
    return previousA;
  };
  return Build(shape);
}

DescriptorSet DanglingSourceId() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    c.FeatureUnit(kFeature, 99, 1, {0x03, 0, 0});
    return kFeature;
  };
  return Build(shape);
}

DescriptorSet InputPinsPastLength() {
  Shape shape;
  shape.units = [](ConfigBuilder& c) {
    // bNrInPins 200, but bLength leaves room for one source id and iSelector.
    c.Raw({7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT, 5, 200, kInput, 0});
    return static_cast<uint8_t>(5);
  };
  return Build(shape);
}

DescriptorSet ZeroMaxPacketSize() {
  Shape shape;
  shape.maxPacketSize = 0;
  return Build(shape);
}

DescriptorSet MaxPacketSizeBelowOneFrame() {
  Shape shape;
  shape.maxPacketSize = 100;  // 48 stereo 16-bit frames need 192
  return Build(shape);
}

DescriptorSet BulkStreamingEndpoint() {
  Shape shape;
  shape.endpointType = USB_ENDPOINT_TYPE_BULK;
  return Build(shape);
}

DescriptorSet StreamingWithoutIsoEndpoint() {
  Shape shape;
  shape.isoEndpoint = false;
  return Build(shape);
}

DescriptorSet RatesPastLength() {
  Shape shape;
  shape.format = [](ConfigBuilder& c) {
    // bSamFreqType 30 with one rate's room.
    Bytes d{11, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, 30};
    PutLe24(d, 48000);
    c.Raw(d);
  };
  return Build(shape);
}

const std::vector<Case>& Catalogue() {
  static const std::vector<Case> cases = {
      {"ZeroLengthDescriptor", ZeroLengthDescriptor},
      {"DescriptorPastTotalLength", DescriptorPastTotalLength},
      {"TotalLengthTooShort", TotalLengthTooShort},
      {"ZeroControlSize", ZeroControlSize},
      {"ControlSizePastLength", ControlSizePastLength},
      {"UnitLoop", UnitLoop},
      {"UnitNamingItself", UnitNamingItself},
      {"LayeredMixerGraph", [] { return LayeredMixerGraph(60); }},
      {"DanglingSourceId", DanglingSourceId},
      {"InputPinsPastLength", InputPinsPastLength},
      {"ZeroMaxPacketSize", ZeroMaxPacketSize},
      {"MaxPacketSizeBelowOneFrame", MaxPacketSizeBelowOneFrame},
      {"BulkStreamingEndpoint", BulkStreamingEndpoint},
      {"StreamingWithoutIsoEndpoint", StreamingWithoutIsoEndpoint},
      {"RatesPastLength", RatesPastLength},
  };
  return cases;
}

uint16_t GrownTotalLength(const DescriptorSet& set, uint16_t extra) {
  return static_cast<uint16_t>(set.Configuration().size() + extra);
}

}  // namespace sim::malformed
