#include "sim/device/DescriptorSet.h"

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "host/replace_file.h"
#include "sim/InputFile.h"
#include "usb/usbaudio.h"

namespace sim {

uint16_t DescriptorSet::VendorId() const {
  return device.size() >= 10 ? static_cast<uint16_t>(device[8] | (device[9] << 8)) : 0;
}

uint16_t DescriptorSet::ProductId() const {
  return device.size() >= 12 ? static_cast<uint16_t>(device[10] | (device[11] << 8)) : 0;
}

bool ParseSysfsDescriptors(const Bytes& data, DescriptorSet* out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (data.size() < sizeof(USB_DEVICE_DESCRIPTOR)) return fail("shorter than a device descriptor");
  if (data[0] != sizeof(USB_DEVICE_DESCRIPTOR) || data[1] != USB_DEVICE_DESCRIPTOR_TYPE)
    return fail("does not start with a device descriptor");
  DescriptorSet set;
  set.device.assign(data.begin(), data.begin() + sizeof(USB_DEVICE_DESCRIPTOR));
  size_t offset = sizeof(USB_DEVICE_DESCRIPTOR);
  while (offset < data.size()) {
    const size_t left = data.size() - offset;
    if (left < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return fail("trailing bytes shorter than a configuration header");
    const uint8_t* c = data.data() + offset;
    if (c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return fail("expected a configuration descriptor");
    const size_t total = platform::usb::ReadLe16(c + 2);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return fail("configuration wTotalLength below 9");
    if (total > left) return fail("configuration wTotalLength runs past the end of the file");
    set.configurations.emplace_back(c, c + total);
    offset += total;
  }
  if (set.configurations.empty()) return fail("no configuration descriptor");
  *out = std::move(set);
  return true;
}

bool ParseStringTable(const std::string& text, DescriptorSet* out, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream fields(line.substr(start));
    std::string key;
    fields >> key;
    if (key == "langids") {
      std::vector<uint16_t> ids;
      std::string id;
      while (fields >> id) {
        char* idEnd = nullptr;
        unsigned long value = std::strtoul(id.c_str(), &idEnd, 16);
        if (*idEnd != '\0' || value > 0xFFFF) {
          if (error) *error = "line " + std::to_string(lineNumber) + ": bad language ID";
          return false;
        }
        ids.push_back(static_cast<uint16_t>(value));
      }
      if (ids.empty() || ids.size() > 126) {
        if (error) *error = "line " + std::to_string(lineNumber) + ": expected 1-126 language IDs";
        return false;
      }
      out->languages = ids;
      continue;
    }
    char* end = nullptr;
    unsigned long index = std::strtoul(key.c_str(), &end, 10);
    if (*end != '\0' || index == 0 || index > 255) {
      if (error) *error = "line " + std::to_string(lineNumber) + ": expected a string index 1-255";
      return false;
    }
    size_t textStart = line.find_first_not_of(" \t", start + key.size());
    std::string value = textStart == std::string::npos ? std::string() : line.substr(textStart);
    out->strings[static_cast<uint8_t>(index)] = Utf8ToUtf16(value);
  }
  return true;
}

bool ReadFileBytes(const std::string& path, Bytes* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFileBytes(const std::string& path, const Bytes& data) {
  return ReplaceFileContents(path, {reinterpret_cast<const char*>(data.data()), data.size()}) == 0;
}

namespace {

void NameIndex(DescriptorSet* set, uint8_t index, const char* text) {
  if (index == 0 || set->strings.count(index)) return;
  set->strings[index] = Utf8ToUtf16(text ? std::string(text) : "String " + std::to_string(index));
}

}  // namespace

void FillDefaultStrings(DescriptorSet* set) {
  if (set->device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
    NameIndex(set, set->device[14], "Simulated Audio");
    NameIndex(set, set->device[15], "Simulated USB Audio Device");
    NameIndex(set, set->device[16], "00000001");
  }
  for (const Bytes& config : set->configurations) {
    if (config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) NameIndex(set, config[6], nullptr);
    for (size_t i = sizeof(USB_CONFIGURATION_DESCRIPTOR); i + 2 <= config.size();) {
      const uint8_t length = config[i];
      if (length < 2 || length > config.size() - i) break;
      const uint8_t* d = config.data() + i;
      if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) NameIndex(set, d[8], nullptr);
      if (d[1] == USB_AUDIO_CS_INTERFACE && length >= 3) {
        if (d[2] == USB_AUDIO_AC_INPUT_TERMINAL && length >= 12) NameIndex(set, d[11], nullptr);
        if (d[2] == USB_AUDIO_AC_OUTPUT_TERMINAL && length >= 9) NameIndex(set, d[8], nullptr);
      }
      i += length;
    }
  }
}

bool LoadDescriptorFiles(const std::string& path, const std::string& stringsPath, DescriptorSet* out,
                         std::string* error) {
  // A device's descriptors are a few kilobytes: every configuration fits
  // in wTotalLength's 64 KiB.
  constexpr uint64_t kMaxDescriptorBytes = 1 * kMiB, kMaxStringTableBytes = 1 * kMiB;
  Bytes data;
  if (!ReadInputFile(path, "descriptor file", kMaxDescriptorBytes, &data, error)) return false;
  DescriptorSet set;
  if (!ParseSysfsDescriptors(data, &set, error)) {
    if (error) *error = path + ": " + *error;
    return false;
  }
  const std::string tablePath = stringsPath.empty() ? path + ".strings" : stringsPath;
  std::error_code ec;
  if (!stringsPath.empty() || std::filesystem::exists(tablePath, ec)) {
    Bytes table;
    if (!ReadInputFile(tablePath, "string table", kMaxStringTableBytes, &table, error)) return false;
    if (!ParseStringTable(std::string(table.begin(), table.end()), &set, error)) {
      if (error) *error = tablePath + ": " + *error;
      return false;
    }
  }
  FillDefaultStrings(&set);
  *out = std::move(set);
  return true;
}

std::string HighSpeedOnlyEndpoint(const DescriptorSet& set) {
  for (const Bytes& c : set.configurations)
    for (size_t at = 0; at + 2 <= c.size() && c[at] >= 2; at += c[at]) {
      if (c[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || c[at] < 7 || at + 7 > c.size()) continue;
      if ((c[at + 3] & 0x03) != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
      const unsigned size = c[at + 4] | c[at + 5] << 8;
      // Full speed moves one transaction of at most 1023 bytes a frame.
      const unsigned bytes = size & 0x7FF, transactions = 1 + ((size >> 11) & 3);
      if (bytes <= 1023 && transactions == 1) continue;
      char text[160];
      std::snprintf(text, sizeof text, "endpoint 0x%02X's wMaxPacketSize 0x%04X (%u x %u bytes)", c[at + 2], size,
                    transactions, bytes);
      return text;
    }
  return {};
}

Bytes ToSysfsBytes(const DescriptorSet& set) {
  Bytes out = set.device;
  for (const Bytes& c : set.configurations) out.insert(out.end(), c.begin(), c.end());
  return out;
}

}  // namespace sim
