#include "sim/host/StreamCheck.h"

#include <algorithm>
#include <cstdio>

#include "driver/hal/C7719AudioHal.h"

namespace sim::host {
namespace {

constexpr uint8_t kInputTerminal = 2;
constexpr uint8_t kOutputTerminal = 3;
constexpr uint8_t kIsochronous = 1;
constexpr uint8_t kFeedbackUsage = 1;

// The rates the driver makes formats of: a discrete list as it stands, a
// continuous range at the standard rates it spans (none beyond 96000 Hz,
// which the driver refuses).
std::vector<uint32_t> OfferedRates(const FormatInfo& f) {
  if (!f.continuous) {
    std::vector<uint32_t> rates;
    for (uint32_t rate : f.rates)
      if (rate) rates.push_back(rate);
    return rates;
  }
  if (f.rates.size() != 2) return {};
  const uint32_t lower = std::min(f.rates[0], f.rates[1]), upper = std::max(f.rates[0], f.rates[1]);
  if (upper > StandardSampleRates[ARRAYSIZE(StandardSampleRates) - 1]) return {};
  return std::vector<uint32_t>(StandardSampleRates + StandardRateIndex(lower),
                               StandardSampleRates + StandardRateIndex(upper) + 1);
}

// Whether an alternate setting streams for a terminal of the direction, and
// which direction: render when it feeds an input terminal.
bool StreamsFor(const ConfigModel& model, const AltSetting& alt, bool* render) {
  if (alt.subClass != 2 || !alt.format) return false;
  const auto unit = model.units.find(alt.terminalLink);
  if (unit == model.units.end()) return false;
  *render = unit->second.subtype == kInputTerminal;
  return *render || unit->second.subtype == kOutputTerminal;
}

// Why the setting's data endpoint streams nothing in the direction, or empty.
std::string WhyEndpointUnusable(const AltSetting& alt, bool render) {
  if (alt.endpoints.empty()) return "has no endpoint";
  const EndpointInfo& e = alt.endpoints.front();
  char text[200];
  if (e.Type() != kIsochronous) {
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    std::snprintf(text, sizeof text, "endpoint 0x%02X is a %s endpoint, not isochronous", e.address, kTypes[e.Type()]);
    return text;
  }
  if (((e.attributes >> 4) & 3) == kFeedbackUsage) {
    std::snprintf(text, sizeof text, "endpoint 0x%02X is a feedback endpoint", e.address);
    return text;
  }
  if (e.IsIn() == render) {
    std::snprintf(text, sizeof text, "endpoint 0x%02X points %s the device", e.address, e.IsIn() ? "out of" : "into");
    return text;
  }
  return {};
}

std::string Head(const InterfaceInfo& iface, const AltSetting& alt) {
  char head[80];
  std::snprintf(head, sizeof head, "interface %u alternate setting %u", iface.number, alt.alternate);
  return head;
}

}  // namespace

std::string DescribeUnstreamableSettings(const ConfigModel& model, bool render) {
  std::string out;
  for (const InterfaceInfo& iface : model.interfaces) {
    for (const AltSetting& alt : iface.alternates) {
      bool forRender = false;
      if (!StreamsFor(model, alt, &forRender) || forRender != render) continue;
      std::string why = WhyEndpointUnusable(alt, render);
      if (why.empty()) {
        // At full speed one packet a millisecond; a high-speed interval is
        // not known here, so a packet is judged by the millisecond at most.
        const EndpointInfo& e = alt.endpoints.front();
        const FormatInfo& f = *alt.format;
        const std::vector<uint32_t> rates = OfferedRates(f);
        if (rates.empty()) continue;
        const uint32_t lowest = *std::min_element(rates.begin(), rates.end());
        if (lowest <= UsbHighestCarriedRate(e.maxPacketSize, e.interval, false, f.BlockAlign())) continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      "endpoint 0x%02X takes %u-byte packets; a millisecond of %u ch %u-bit %u Hz needs %u bytes",
                      e.address, static_cast<unsigned>(UsbEndpointPacketBytes(e.maxPacketSize)), f.channels,
                      f.subframeSize * 8u, lowest, (lowest + 999) / 1000 * f.BlockAlign());
        why = text;
      }
      out += Head(iface, alt) + ": " + why + "\n";
    }
  }
  return out;
}

std::string DescribeRatesLeftOut(const ConfigModel& model, bool highSpeed) {
  std::string out;
  for (const InterfaceInfo& iface : model.interfaces) {
    for (const AltSetting& alt : iface.alternates) {
      bool render = false;
      if (!StreamsFor(model, alt, &render)) continue;
      const FormatInfo& f = *alt.format;
      const std::vector<uint32_t> rates = OfferedRates(f);
      if (rates.empty()) continue;
      const std::string unusable = WhyEndpointUnusable(alt, render);
      if (!unusable.empty()) {
        out += Head(iface, alt) + ": every rate (" + unusable + ")\n";
        continue;
      }
      const EndpointInfo& e = alt.endpoints.front();
      const uint32_t highest = UsbHighestCarriedRate(e.maxPacketSize, e.interval, highSpeed, f.BlockAlign());
      std::string left;
      for (uint32_t rate : rates)
        if (rate > highest) left += (left.empty() ? "" : ", ") + std::to_string(rate);
      if (left.empty()) continue;
      char text[200];
      std::snprintf(text, sizeof text, " Hz (endpoint 0x%02X carries %u bytes a packet, %u ch %u-bit up to %u Hz)",
                    e.address, static_cast<unsigned>(UsbEndpointPacketBytes(e.maxPacketSize)), f.channels,
                    f.subframeSize * 8u, highest);
      out += Head(iface, alt) + ": " + left + text + "\n";
    }
  }
  return out;
}

}  // namespace sim::host
