#include "sim/device/DescriptorBuilder.h"

#include <set>

#include "usb/usbaudio2.h"

namespace sim {

void PutLe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe24(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v >> 16));
}

void PutLe32(Bytes& out, uint32_t v) {
  PutLe16(out, static_cast<uint16_t>(v));
  PutLe16(out, static_cast<uint16_t>(v >> 16));
}

Bytes BuildDeviceDescriptor(const DeviceDescriptorFields& f) {
  Bytes d{18, USB_DEVICE_DESCRIPTOR_TYPE};
  PutLe16(d, f.bcdUSB);
  d.push_back(f.deviceClass);
  d.push_back(f.deviceSubClass);
  d.push_back(f.deviceProtocol);
  d.push_back(f.maxPacketSize0);
  PutLe16(d, f.idVendor);
  PutLe16(d, f.idProduct);
  PutLe16(d, f.bcdDevice);
  d.push_back(f.iManufacturer);
  d.push_back(f.iProduct);
  d.push_back(f.iSerialNumber);
  d.push_back(f.numConfigurations);
  return d;
}

ConfigBuilder::ConfigBuilder(uint8_t configurationValue, uint8_t attributes, uint8_t maxPower)
    : m_ConfigurationValue(configurationValue), m_Attributes(attributes), m_MaxPower(maxPower) {}

ConfigBuilder& ConfigBuilder::Append(const Bytes& descriptor) {
  m_Body.insert(m_Body.end(), descriptor.begin(), descriptor.end());
  return *this;
}

ConfigBuilder& ConfigBuilder::Raw(const Bytes& descriptor) { return Append(descriptor); }

ConfigBuilder& ConfigBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t interfaceClass,
                                        uint8_t subClass, uint8_t protocol, uint8_t iInterface) {
  return Append({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, numEndpoints, interfaceClass, subClass, protocol,
                 iInterface});
}

ConfigBuilder& ConfigBuilder::Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacketSize, uint8_t interval,
                                       bool audio, uint8_t refresh, uint8_t synchAddress) {
  Bytes d{static_cast<uint8_t>(audio ? 9 : 7), USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes};
  PutLe16(d, maxPacketSize);
  d.push_back(interval);
  if (audio) {
    d.push_back(refresh);
    d.push_back(synchAddress);
  }
  return Append(d);
}

ConfigBuilder& ConfigBuilder::AcHeader(const std::vector<uint8_t>& streamingInterfaces, uint16_t bcdADC) {
  Bytes d{static_cast<uint8_t>(8 + streamingInterfaces.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_HEADER};
  PutLe16(d, bcdADC);
  PutLe16(d, 0);  // wTotalLength, filled in by Build
  d.push_back(static_cast<uint8_t>(streamingInterfaces.size()));
  d.insert(d.end(), streamingInterfaces.begin(), streamingInterfaces.end());
  m_AcHeaderOffset = m_Body.size();
  m_AcTotalAt = 5;
  return Append(d);
}

ConfigBuilder& ConfigBuilder::InputTerminal(uint8_t id, uint16_t terminalType, uint8_t channels, uint16_t channelConfig,
                                            uint8_t assocTerminal, uint8_t iTerminal) {
  Bytes d{12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL, id};
  PutLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(channels);
  PutLe16(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.push_back(iTerminal);
  return Append(d);
}

ConfigBuilder& ConfigBuilder::OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t assocTerminal,
                                             uint8_t iTerminal) {
  Bytes d{9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL, id};
  PutLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(source);
  d.push_back(iTerminal);
  return Append(d);
}

ConfigBuilder& ConfigBuilder::MixerUnit(uint8_t id, const std::vector<uint8_t>& sources, uint8_t channels,
                                        uint16_t channelConfig, const std::vector<uint8_t>& controls) {
  Bytes d{static_cast<uint8_t>(10 + sources.size() + controls.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_MIXER_UNIT,
          id, static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(channels);
  PutLe16(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.insert(d.end(), controls.begin(), controls.end());
  d.push_back(0);  // iMixer
  return Append(d);
}

ConfigBuilder& ConfigBuilder::SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources) {
  Bytes d{static_cast<uint8_t>(6 + sources.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT, id,
          static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(0);  // iSelector
  return Append(d);
}

ConfigBuilder& ConfigBuilder::FeatureUnit(uint8_t id, uint8_t source, uint8_t controlSize,
                                          const std::vector<uint32_t>& controls, uint8_t iFeature) {
  Bytes d{static_cast<uint8_t>(7 + controls.size() * controlSize),
          USB_AUDIO_CS_INTERFACE,
          USB_AUDIO_AC_FEATURE_UNIT,
          id,
          source,
          controlSize};
  for (uint32_t bitmap : controls)
    for (uint8_t i = 0; i < controlSize; ++i) d.push_back(i < 4 ? static_cast<uint8_t>(bitmap >> (8 * i)) : 0);
  d.push_back(iFeature);
  return Append(d);
}

namespace {
Bytes ProcessingLike(uint8_t subtype, uint8_t id, uint16_t code, const std::vector<uint8_t>& sources, uint8_t channels,
                     uint16_t channelConfig, const std::vector<uint8_t>& controls, const Bytes& specific) {
  Bytes d{0, USB_AUDIO_CS_INTERFACE, subtype, id};
  PutLe16(d, code);
  d.push_back(static_cast<uint8_t>(sources.size()));
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(channels);
  PutLe16(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.push_back(static_cast<uint8_t>(controls.size()));
  d.insert(d.end(), controls.begin(), controls.end());
  d.push_back(0);  // iProcessing / iExtension
  d.insert(d.end(), specific.begin(), specific.end());
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}
}  // namespace

ConfigBuilder& ConfigBuilder::ProcessingUnit(uint8_t id, uint16_t processType, const std::vector<uint8_t>& sources,
                                             uint8_t channels, uint16_t channelConfig,
                                             const std::vector<uint8_t>& controls, const Bytes& specific) {
  return Append(ProcessingLike(USB_AUDIO_AC_PROCESSING_UNIT, id, processType, sources, channels, channelConfig,
                               controls, specific));
}

ConfigBuilder& ConfigBuilder::ExtensionUnit(uint8_t id, uint16_t extensionCode, const std::vector<uint8_t>& sources,
                                            uint8_t channels, uint16_t channelConfig,
                                            const std::vector<uint8_t>& controls) {
  return Append(
      ProcessingLike(USB_AUDIO_AC_EXTENSION_UNIT, id, extensionCode, sources, channels, channelConfig, controls, {}));
}

ConfigBuilder& ConfigBuilder::AsGeneral(uint8_t terminalLink, uint8_t delay, uint16_t formatTag) {
  Bytes d{7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, terminalLink, delay};
  PutLe16(d, formatTag);
  return Append(d);
}

ConfigBuilder& ConfigBuilder::FormatType(uint8_t formatType, uint8_t channels, uint8_t subframeSize,
                                         uint8_t bitResolution, const std::vector<uint32_t>& rates) {
  Bytes d{static_cast<uint8_t>(8 + 3 * rates.size()),
          USB_AUDIO_CS_INTERFACE,
          USB_AUDIO_AS_FORMAT_TYPE,
          formatType,
          channels,
          subframeSize,
          bitResolution,
          static_cast<uint8_t>(rates.size())};
  for (uint32_t r : rates) PutLe24(d, r);
  return Append(d);
}

ConfigBuilder& ConfigBuilder::FormatTypeContinuous(uint8_t formatType, uint8_t channels, uint8_t subframeSize,
                                                   uint8_t bitResolution, uint32_t lowerRate, uint32_t upperRate) {
  Bytes d{14, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, formatType, channels, subframeSize, bitResolution, 0};
  PutLe24(d, lowerRate);
  PutLe24(d, upperRate);
  return Append(d);
}

ConfigBuilder& ConfigBuilder::CsEndpoint(uint8_t attributes, uint8_t lockDelayUnits, uint16_t lockDelay) {
  Bytes d{7, USB_AUDIO_CS_ENDPOINT, USB_AUDIO_EP_GENERAL, attributes, lockDelayUnits};
  PutLe16(d, lockDelay);
  return Append(d);
}

// ---- Audio Class 2.0 ------------------------------------------------------------------------

ConfigBuilder& ConfigBuilder::Uac2AcHeader(uint8_t category, uint16_t bcdADC) {
  Bytes d{9, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_HEADER};
  PutLe16(d, bcdADC);
  d.push_back(category);
  PutLe16(d, 0);  // wTotalLength, filled in by Build
  d.push_back(0);  // bmControls
  m_AcHeaderOffset = m_Body.size();
  m_AcTotalAt = 6;
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2ClockSource(uint8_t id, uint8_t attributes, uint8_t controls,
                                              uint8_t assocTerminal) {
  return Append({8, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SOURCE, id, attributes, controls, assocTerminal, 0});
}

ConfigBuilder& ConfigBuilder::Uac2ClockSelector(uint8_t id, const std::vector<uint8_t>& sources) {
  Bytes d{static_cast<uint8_t>(7 + sources.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SELECTOR, id,
          static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(0);  // bmControls
  d.push_back(0);  // iClockSelector
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2ClockMultiplier(uint8_t id, uint8_t source) {
  return Append({7, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_MULTIPLIER, id, source, 0, 0});
}

ConfigBuilder& ConfigBuilder::Uac2InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clock, uint8_t channels,
                                                uint32_t channelConfig, uint16_t controls, uint8_t assocTerminal) {
  Bytes d{17, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_INPUT_TERMINAL, id};
  PutLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(clock);
  d.push_back(channels);
  PutLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  PutLe16(d, controls);
  d.push_back(0);  // iTerminal
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t clock,
                                                 uint16_t controls, uint8_t assocTerminal) {
  Bytes d{12, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_OUTPUT_TERMINAL, id};
  PutLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(source);
  d.push_back(clock);
  PutLe16(d, controls);
  d.push_back(0);  // iTerminal
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2FeatureUnit(uint8_t id, uint8_t source, const std::vector<uint32_t>& controls) {
  Bytes d{static_cast<uint8_t>(6 + 4 * controls.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_FEATURE_UNIT, id,
          source};
  for (uint32_t c : controls) PutLe32(d, c);
  d.push_back(0);  // iFeature
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2MixerUnit(uint8_t id, const std::vector<uint8_t>& sources, uint8_t channels,
                                            uint32_t channelConfig) {
  Bytes d{0, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_MIXER_UNIT, id, static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(channels);
  PutLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.push_back(0);  // bmMixerControls: one byte, nothing programmable
  d.push_back(0);  // bmControls
  d.push_back(0);  // iMixer
  d[0] = static_cast<uint8_t>(d.size());
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources) {
  Bytes d{static_cast<uint8_t>(7 + sources.size()), USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_SELECTOR_UNIT, id,
          static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(0x03);  // bmControls: selector readable and writable
  d.push_back(0);     // iSelector
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2ExtensionUnit(uint8_t id, uint16_t extensionCode, const std::vector<uint8_t>& sources,
                                                uint8_t channels, uint32_t channelConfig) {
  Bytes d{0, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_EXTENSION_UNIT, id};
  PutLe16(d, extensionCode);
  d.push_back(static_cast<uint8_t>(sources.size()));
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(channels);
  PutLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.push_back(0);  // bmControls
  d.push_back(0);  // iExtension
  d[0] = static_cast<uint8_t>(d.size());
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2AsGeneral(uint8_t terminalLink, uint8_t formatType, uint32_t formats,
                                            uint8_t channels, uint32_t channelConfig) {
  Bytes d{16, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AS_GENERAL, terminalLink, 0, formatType};
  PutLe32(d, formats);
  d.push_back(channels);
  PutLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  return Append(d);
}

ConfigBuilder& ConfigBuilder::Uac2FormatType(uint8_t formatType, uint8_t subslotSize, uint8_t bitResolution) {
  return Append({6, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AS_FORMAT_TYPE, formatType, subslotSize, bitResolution});
}

ConfigBuilder& ConfigBuilder::Uac2CsEndpoint(uint8_t attributes, uint8_t controls) {
  return Append({8, USB_AUDIO_CS_ENDPOINT, USB_AUDIO_EP_GENERAL, attributes, controls, 0, 0, 0});
}

Bytes ConfigBuilder::Build() const {
  Bytes out{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
  const size_t total = 9 + m_Body.size();
  PutLe16(out, static_cast<uint16_t>(total));
  std::set<uint8_t> interfaces;
  for (size_t i = 0; i + 2 < m_Body.size() && m_Body[i] != 0; i += m_Body[i])
    if (m_Body[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) interfaces.insert(m_Body[i + 2]);
  out.push_back(static_cast<uint8_t>(interfaces.size()));
  out.push_back(m_ConfigurationValue);
  out.push_back(0);  // iConfiguration
  out.push_back(m_Attributes);
  out.push_back(m_MaxPower);
  Bytes body = m_Body;
  if (m_AcHeaderOffset != SIZE_MAX) {
    // The AC header counts itself and every class-specific descriptor after it.
    size_t end = m_AcHeaderOffset;
    while (end + 1 < body.size() && body[end] != 0 && body[end + 1] == USB_AUDIO_CS_INTERFACE) end += body[end];
    uint16_t acTotal = static_cast<uint16_t>(end - m_AcHeaderOffset);
    body[m_AcHeaderOffset + m_AcTotalAt] = static_cast<uint8_t>(acTotal);
    body[m_AcHeaderOffset + m_AcTotalAt + 1] = static_cast<uint8_t>(acTotal >> 8);
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead >> 5) == 0x6) {
      c = lead & 0x1F, extra = 1;
    } else if ((lead >> 4) == 0xE) {
      c = lead & 0x0F, extra = 2;
    } else if ((lead >> 3) == 0x1E) {
      c = lead & 0x07, extra = 3;
    }
    if (i + extra >= text.size() && extra != 0) {
      out.push_back(u'\uFFFD');
      break;
    }
    for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace sim
