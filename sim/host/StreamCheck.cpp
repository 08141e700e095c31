#include "sim/host/StreamCheck.h"

#include <algorithm>
#include <cstdio>

namespace sim::host {
namespace {

constexpr uint8_t kInputTerminal = 2;
constexpr uint8_t kIsochronous = 1;

// The highest rate a format offers (a continuous range: its upper bound).
uint32_t HighestRate(const FormatInfo& format) {
  return format.rates.empty() ? 0 : *std::max_element(format.rates.begin(), format.rates.end());
}

std::string WhyUnstreamable(const AltSetting& alt, bool render) {
  if (alt.endpoints.empty()) return "has no endpoint";
  const EndpointInfo& e = alt.endpoints.front();
  char text[200];
  if (e.Type() != kIsochronous) {
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    std::snprintf(text, sizeof text, "endpoint 0x%02X is a %s endpoint, not isochronous", e.address, kTypes[e.Type()]);
    return text;
  }
  if (e.IsIn() == render) {
    std::snprintf(text, sizeof text, "endpoint 0x%02X points %s the device", e.address, e.IsIn() ? "out of" : "into");
    return text;
  }
  const uint32_t packetBytes = static_cast<uint32_t>(e.maxPacketSize & 0x7FF) * (1 + ((e.maxPacketSize >> 11) & 3));
  if (!alt.format) return {};
  const FormatInfo& f = *alt.format;
  // At full speed one packet a millisecond; a high-speed interval is not
  // known here, so a packet is judged by the millisecond at most.
  const uint32_t needed = (HighestRate(f) + 999) / 1000 * f.BlockAlign();
  if (packetBytes == 0 || packetBytes < needed) {
    std::snprintf(text, sizeof text,
                  "endpoint 0x%02X takes %u-byte packets; a millisecond of %u ch %u-bit %u Hz needs %u bytes", e.address,
                  packetBytes, f.channels, f.subframeSize * 8u, HighestRate(f), needed);
    return text;
  }
  return {};
}

}  // namespace

std::string DescribeUnstreamableSettings(const ConfigModel& model, bool render) {
  std::string out;
  for (const InterfaceInfo& iface : model.interfaces) {
    for (const AltSetting& alt : iface.alternates) {
      if (alt.subClass != 2 || !alt.format) continue;
      const auto unit = model.units.find(alt.terminalLink);
      if (unit == model.units.end() || (unit->second.subtype == kInputTerminal) != render) continue;
      const std::string why = WhyUnstreamable(alt, render);
      if (why.empty()) continue;
      char head[80];
      std::snprintf(head, sizeof head, "interface %u alternate setting %u: ", iface.number, alt.alternate);
      out += head + why + "\n";
    }
  }
  return out;
}

}  // namespace sim::host
