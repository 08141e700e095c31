// What a simulated device answers beyond its descriptors: the ranges and
// start values of its class controls, its vendor-defined jack and terminal
// type information, the memory of its units, and the single-byte registers
// it exposes to vendor requests addressed to "other".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim/device/DescriptorBuilder.h"

namespace sim {

// A control's range in wire units (1/256 dB for volume, 1/4 dB for the tone
// controls, 1/64 ms for delay, plain numbers for switches and selectors).
struct ControlRange {
  int32_t min = 0;
  int32_t max = 1;
  int32_t res = 1;
  int32_t start = 0;
};

struct JackEntry {
  uint32_t channelMask = 0;
  uint32_t configuration = 0;  // colour, connection type, locations, presence bits
};

struct OutputType {
  uint16_t terminalType = 0;
  std::vector<JackEntry> jacks;
};

// Vendor information of one terminal (vendor requests 0x81 and 0x86 with
// the terminal id in wIndex).
struct TerminalProfile {
  std::vector<JackEntry> jacks;         // input terminals, or output terminals without types
  std::vector<OutputType> outputTypes;  // selectable output types; empty: the request stalls
  uint16_t currentType = 0;             // 0: the first output type
};

struct DeviceProfile {
  // Nothing here comes from the device: the ranges, start values and clock
  // rates are the simulation's own guesses (a device known only by its
  // descriptors).
  bool assumed = false;

  // Feature-unit ranges by control selector, and ranges of a unit's own
  // controls by (unit id, control selector).
  std::map<uint8_t, ControlRange> controlRanges;
  std::map<std::pair<uint8_t, uint8_t>, ControlRange> unitControlRanges;
  // Graphic equalizer: the bands present (bit n-14 for band n) and the range
  // of each band's 1/4 dB level.
  uint32_t equalizerBands = 0;
  ControlRange equalizerRange{-48, 48, 4, 0};
  // Vendor feature-unit controls (selector bit 7 set): value size in bytes.
  std::map<uint8_t, uint8_t> vendorControlSizes;
  // Standard feature-unit controls whose value size is not the Audio
  // Class's (a chip with two-byte tone controls), by selector.
  std::map<uint8_t, uint8_t> controlSizes;

  // Vendor interface requests.
  bool answersVendorRequests = true;
  std::map<uint8_t, TerminalProfile> terminals;
  uint32_t presenceMask = 0;

  // GET_MEM: each unit's memory, addressed by wValue.
  std::map<uint8_t, Bytes> unitMemory;

  // Vendor requests to the device (bRequest 7 and friends): accepted when
  // listed; the last wValue received is kept by the device.
  std::vector<uint8_t> vendorDeviceRequests{7};
  // Vendor and class requests to "other": (bRequest, wValue, wIndex) -> byte.
  std::map<std::tuple<uint8_t, uint16_t, uint16_t>, uint8_t> otherRegisters;

  // Audio Class 2.0: the discrete sampling frequencies of each clock source
  // (at most 30), by clock id; a clock not listed offers
  // kDefaultClockRates.
  std::map<uint8_t, std::vector<uint32_t>> clockRates;

  // Rates an alternate setting, by (interface, alternate setting), runs at
  // beside those its FORMAT_TYPE names: a chip whose codec, not its
  // descriptors, sets the rate of a setting.
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint32_t>> alternateRates;
  // HID interfaces (class 3): the input report GET_REPORT answers until the
  // device changes it (empty: GET_REPORT stalls). SET_REPORT takes any
  // output report.
  Bytes hidInputReport;

  // A feature-unit control's range: the unit's own, else the selector's.
  const ControlRange* RangeFor(uint8_t unit, uint8_t cs) const;
  // The unit's own range only (mixer controls under selector 0, processing
  // unit controls under theirs).
  const ControlRange* UnitRange(uint8_t unit, uint8_t cs) const;
};

inline const std::vector<uint32_t> kDefaultClockRates = {44100, 48000, 88200, 96000, 176400, 192000};

// Ranges for every Audio Class 1.0 feature-unit control, the selector and
// mixer controls and the endpoint pitch, as a typical headset reports them.
DeviceProfile DefaultProfile();

// The size on the wire of a feature-unit control's value.
uint8_t FeatureControlSize(uint8_t cs, const DeviceProfile& profile);

// A feature-unit control's name, range and start value in its own units
// ("volume -60.00 dB .. 0.00 dB step 0.50 dB, -12.00 dB at start").
std::string DescribeFeatureRange(uint8_t cs, const ControlRange& range);
// "feature unit 2 " and the control's description.
std::string FeatureUnitLine(uint8_t unit, const std::string& control);

}  // namespace sim
