// Composes device and configuration descriptors byte by byte: the default
// headset, the malformed descriptors of the fault catalogue and test devices
// are all written with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct DeviceDescriptorFields {
  uint16_t bcdUSB = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 64;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
  uint8_t numConfigurations = 1;
};
Bytes BuildDeviceDescriptor(const DeviceDescriptorFields& fields);

class ConfigBuilder {
 public:
  explicit ConfigBuilder(uint8_t configurationValue = 1, uint8_t attributes = 0x80, uint8_t maxPower = 50);

  ConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t interfaceClass,
                           uint8_t subClass, uint8_t protocol = 0, uint8_t iInterface = 0);
  // Audio endpoints carry bRefresh and bSynchAddress (9 bytes); others are 7.
  ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacketSize, uint8_t interval,
                          bool audio = true, uint8_t refresh = 0, uint8_t synchAddress = 0);

  // AudioControl. The header's wTotalLength is filled in by Build.
  ConfigBuilder& AcHeader(const std::vector<uint8_t>& streamingInterfaces, uint16_t bcdADC = 0x0100);
  ConfigBuilder& InputTerminal(uint8_t id, uint16_t terminalType, uint8_t channels, uint16_t channelConfig,
                               uint8_t assocTerminal = 0, uint8_t iTerminal = 0);
  ConfigBuilder& OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t assocTerminal = 0,
                                uint8_t iTerminal = 0);
  ConfigBuilder& MixerUnit(uint8_t id, const std::vector<uint8_t>& sources, uint8_t channels, uint16_t channelConfig,
                           const std::vector<uint8_t>& controls);
  ConfigBuilder& SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources);
  // `controls` holds the master's bitmap first, then one per channel.
  ConfigBuilder& FeatureUnit(uint8_t id, uint8_t source, uint8_t controlSize, const std::vector<uint32_t>& controls,
                             uint8_t iFeature = 0);
  ConfigBuilder& ProcessingUnit(uint8_t id, uint16_t processType, const std::vector<uint8_t>& sources, uint8_t channels,
                                uint16_t channelConfig, const std::vector<uint8_t>& controls,
                                const Bytes& specific = {});
  ConfigBuilder& ExtensionUnit(uint8_t id, uint16_t extensionCode, const std::vector<uint8_t>& sources,
                               uint8_t channels, uint16_t channelConfig, const std::vector<uint8_t>& controls);

  // AudioStreaming.
  ConfigBuilder& AsGeneral(uint8_t terminalLink, uint8_t delay, uint16_t formatTag);
  ConfigBuilder& FormatType(uint8_t formatType, uint8_t channels, uint8_t subframeSize, uint8_t bitResolution,
                            const std::vector<uint32_t>& rates);
  ConfigBuilder& FormatTypeContinuous(uint8_t formatType, uint8_t channels, uint8_t subframeSize, uint8_t bitResolution,
                                      uint32_t lowerRate, uint32_t upperRate);
  ConfigBuilder& CsEndpoint(uint8_t attributes, uint8_t lockDelayUnits = 0, uint16_t lockDelay = 0);

  // Audio Class 2.0 AudioControl. `controls` are the descriptors' bmControls
  // bit pairs (readable low bit, writable high bit); the header's
  // wTotalLength is filled in by Build.
  ConfigBuilder& Uac2AcHeader(uint8_t category, uint16_t bcdADC = 0x0200);
  ConfigBuilder& Uac2ClockSource(uint8_t id, uint8_t attributes, uint8_t controls, uint8_t assocTerminal = 0);
  ConfigBuilder& Uac2ClockSelector(uint8_t id, const std::vector<uint8_t>& sources);
  ConfigBuilder& Uac2ClockMultiplier(uint8_t id, uint8_t source);
  ConfigBuilder& Uac2InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clock, uint8_t channels,
                                   uint32_t channelConfig, uint16_t controls = 0, uint8_t assocTerminal = 0);
  ConfigBuilder& Uac2OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t clock,
                                    uint16_t controls = 0, uint8_t assocTerminal = 0);
  // `controls` holds the master's 32-bit bmaControls first, then one per
  // channel.
  ConfigBuilder& Uac2FeatureUnit(uint8_t id, uint8_t source, const std::vector<uint32_t>& controls);
  ConfigBuilder& Uac2MixerUnit(uint8_t id, const std::vector<uint8_t>& sources, uint8_t channels,
                               uint32_t channelConfig);
  ConfigBuilder& Uac2SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources);
  ConfigBuilder& Uac2ExtensionUnit(uint8_t id, uint16_t extensionCode, const std::vector<uint8_t>& sources,
                                   uint8_t channels, uint32_t channelConfig);
  // Audio Class 2.0 AudioStreaming.
  ConfigBuilder& Uac2AsGeneral(uint8_t terminalLink, uint8_t formatType, uint32_t formats, uint8_t channels,
                               uint32_t channelConfig);
  ConfigBuilder& Uac2FormatType(uint8_t formatType, uint8_t subslotSize, uint8_t bitResolution);
  ConfigBuilder& Uac2CsEndpoint(uint8_t attributes = 0, uint8_t controls = 0);

  // Any descriptor exactly as given.
  ConfigBuilder& Raw(const Bytes& descriptor);

  // The configuration with wTotalLength, bNumInterfaces (distinct interface
  // numbers) and the AC header's wTotalLength filled in.
  Bytes Build() const;

 private:
  ConfigBuilder& Append(const Bytes& descriptor);

  uint8_t m_ConfigurationValue;
  uint8_t m_Attributes;
  uint8_t m_MaxPower;
  Bytes m_Body;
  size_t m_AcHeaderOffset = SIZE_MAX;
  size_t m_AcTotalAt = 5;  // wTotalLength's offset in the AC header: 5 in 1.0, 6 in 2.0
};

// Little-endian 32-bit writer.
void PutLe32(Bytes& out, uint32_t v);

// Little-endian writers for hand-built descriptors.
void PutLe16(Bytes& out, uint16_t v);
void PutLe24(Bytes& out, uint32_t v);

// UTF-8 <-> UTF-16 for string descriptors and string tables.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace sim
