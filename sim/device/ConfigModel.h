// The simulated device's own reading of its configuration: interfaces with
// their alternate settings and endpoints, the AudioControl units and the
// streaming formats. The reading is bounded by the bytes that exist and
// tolerant of malformed descriptors, which a device answers with as stored
// whatever its own firmware made of them: what cannot be read is left out.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "sim/device/DescriptorBuilder.h"

namespace sim {

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
  bool hasCsEndpoint = false;
  uint8_t csAttributes = 0;  // sampling-frequency and pitch control bits

  uint8_t Type() const { return attributes & 0x03; }
  bool IsIn() const { return (address & 0x80) != 0; }
};

struct FormatInfo {
  uint16_t formatTag = 0;
  uint8_t formatType = 0;
  uint8_t channels = 0;
  uint8_t subframeSize = 0;
  uint8_t bitResolution = 0;
  bool continuous = false;
  std::vector<uint32_t> rates;  // discrete rates, or {lower, upper} when continuous
  // Audio Class 2.0: bmFormats and bmChannelConfig of AS_GENERAL. Its rates
  // are the clock's, not the format's: `rates` stays empty.
  uint32_t formats = 0;
  uint32_t channelConfig = 0;

  bool Supports(uint32_t rate) const;
  uint32_t DefaultRate() const;
  uint32_t BlockAlign() const { return static_cast<uint32_t>(channels) * subframeSize; }
};

struct AltSetting {
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  uint8_t declaredEndpoints = 0;
  std::vector<EndpointInfo> endpoints;
  uint8_t terminalLink = 0;
  std::optional<FormatInfo> format;
};

struct InterfaceInfo {
  uint8_t number = 0;
  std::vector<AltSetting> alternates;

  const AltSetting* Find(uint8_t alternate) const;
};

struct UnitInfo {
  uint8_t id = 0;
  uint8_t subtype = 0;
  std::vector<uint8_t> sources;
  uint16_t terminalType = 0;           // terminals
  uint8_t channels = 0;                // input terminals, mixers, processing units: output channels
  uint8_t controlSize = 0;             // feature units
  std::vector<uint32_t> bitmaps;       // feature units: master, then each channel
  uint16_t processType = 0;            // processing and extension units
  std::vector<uint8_t> inputChannels;  // mixer units: channels of each input, where known

  // Feature unit: does channel `channel` (0 master) carry control `cs`?
  bool HasControl(uint8_t cs, uint8_t channel) const;
};

struct ConfigModel {
  uint8_t configurationValue = 0;
  uint8_t attributes = 0;
  int controlInterface = -1;
  std::vector<InterfaceInfo> interfaces;
  std::map<uint8_t, UnitInfo> units;

  const InterfaceInfo* FindInterface(uint8_t number) const;
  // The interface and alternate setting that declare an endpoint address.
  const EndpointInfo* FindEndpoint(uint8_t address, uint8_t* interfaceNumber = nullptr,
                                   uint8_t* alternate = nullptr) const;
};

ConfigModel ParseConfigModel(const Bytes& configuration);

}  // namespace sim
