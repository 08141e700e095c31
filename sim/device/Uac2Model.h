// The simulated Audio Class 2.0 device's own reading of its AudioControl
// interface: clock sources, terminals and units with their ids, sources,
// clocks and control bit pairs. Like ConfigModel it reads only what lies
// within each descriptor's bLength and leaves out what it cannot read; the
// interfaces, endpoints and streaming formats are ConfigModel's.
#pragma once

#include <map>
#include <vector>

#include "sim/device/DescriptorBuilder.h"

namespace sim {

struct Uac2Entity {
  uint8_t id = 0;
  uint8_t subtype = 0;
  std::vector<uint8_t> sources;  // bSourceID / baSourceID
  uint8_t clock = 0;             // terminals: bCSourceID
  uint16_t terminalType = 0;     // terminals
  uint16_t controls = 0;         // bmControls of clocks, terminals and selectors
  uint8_t channels = 0;          // input terminals, mixers, extension units
  uint32_t channelConfig = 0;
  // Feature units: bmaControls of the master channel, then each channel.
  std::vector<uint32_t> featureControls;

  // Whether control `cs`'s bit pair (bit 2 cs - 2 of a 32-bit word) on
  // `channel` (0 the master) is readable, or writable.
  bool FeatureReadable(uint8_t cs, uint8_t channel) const;
  bool FeatureWritable(uint8_t cs, uint8_t channel) const;
  // Terminals: bmControls bit 2 (the connector control is readable).
  bool HasConnector() const;
};

struct Uac2Model {
  int controlInterface = -1;
  uint8_t category = 0;  // the header's bCategory
  std::map<uint8_t, Uac2Entity> entities;

  const Uac2Entity* Find(uint8_t id) const;
};

// Bit pair `cs` of a 32-bit controls word: 0 absent, 1 read-only, 3 read
// and write (2 is not a valid pair).
uint32_t ControlPair(uint32_t controls, uint8_t cs);

// Reads the first Audio Class 2.0 AudioControl interface of a configuration.
Uac2Model ParseUac2Model(const Bytes& configuration);

}  // namespace sim
