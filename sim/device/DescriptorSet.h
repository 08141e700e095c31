// A device's descriptors as it answers GET_DESCRIPTOR: the device
// descriptor, its configurations and its string table. Loaded from a file in
// the layout of Linux sysfs' `descriptors` (the 18-byte device descriptor,
// then each configuration, wTotalLength bytes) with an optional companion
// string table, or built in code.
//
// String table format (UTF-8 text, one entry per line, '#' starts a comment):
//   langids 0409 0407        language IDs of string descriptor 0 (hex)
//   1 Maker of Things        string index, blank, the text
//   2 USB Headset
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/device/DescriptorBuilder.h"

namespace sim {

struct DescriptorSet {
  Bytes device;
  std::vector<Bytes> configurations;
  std::vector<uint16_t> languages{0x0409};
  std::map<uint8_t, std::u16string> strings;

  uint16_t VendorId() const;
  uint16_t ProductId() const;
  const Bytes& Configuration() const { return configurations.at(0); }
};

// Parses the sysfs layout. Fails (false, with a reason) on a file too short
// for the device descriptor, a device descriptor that is not one, or a
// configuration whose header or wTotalLength does not fit what remains.
bool ParseSysfsDescriptors(const Bytes& data, DescriptorSet* out, std::string* error);
bool ParseStringTable(const std::string& text, DescriptorSet* out, std::string* error);

// Loads `path`, and the string table from `stringsPath`, or when that is
// empty from `path` + ".strings" if such a file exists. Indices the
// descriptors name but the table lacks get default texts.
bool LoadDescriptorFiles(const std::string& path, const std::string& stringsPath, DescriptorSet* out,
                         std::string* error);

// Gives every string index named by the device or configuration descriptors
// (iManufacturer, iProduct, iSerialNumber, iConfiguration, iInterface,
// iTerminal, ...) a text when it has none.
void FillDefaultStrings(DescriptorSet* set);

// The first isochronous endpoint of the set that full speed cannot carry
// (more than 1023 bytes, or more than one transaction, an interval), as
// "endpoint 0x81's wMaxPacketSize 0x1400 (3 x 1024 bytes)"; empty when
// every one fits full speed.
std::string HighSpeedOnlyEndpoint(const DescriptorSet& set);

// The sysfs layout of a set (device descriptor and configurations).
Bytes ToSysfsBytes(const DescriptorSet& set);

bool ReadFileBytes(const std::string& path, Bytes* out);
bool WriteFileBytes(const std::string& path, const Bytes& data);

}  // namespace sim
