#include "tools/controls.h"

#include <cstdio>
#include <cstdlib>

#include "tools/session.h"

namespace tools {
namespace {

using sim::host::ControlReading;
using sim::host::FilterHandle;
using sim::host::TopologyView;

constexpr uint8_t kFeatureUnit = 0x06;
constexpr uint8_t kMuteControl = 1;
constexpr uint8_t kVolumeControl = 2;

std::string StatusHex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string ReadingJson(const ControlReading& r) {
  std::string out = "{\"node\": " + std::to_string(r.node) + ", \"kind\": " + JsonString(r.kind) + ", \"values\": [";
  for (size_t i = 0; i < r.values.size(); ++i) out += (i ? ", " : "") + std::to_string(r.values[i]);
  out += "]";
  if (!r.settings.empty()) {
    out += ", \"settings\": {";
    for (size_t i = 0; i < r.settings.size(); ++i)
      out += (i ? ", " : "") + JsonString(r.settings[i].first) + ": " + std::to_string(r.settings[i].second);
    out += "}";
  }
  if (r.hasRange)
    out += ", \"minimum\": " + std::to_string(r.minimum) + ", \"maximum\": " + std::to_string(r.maximum) +
           ", \"step\": " + std::to_string(r.step);
  return out + ", \"text\": " + JsonString(r.text) + "}";
}

std::string ReadingsOut(const std::vector<ControlReading>& readings, bool json) {
  std::string out;
  if (json) {
    out = "[";
    for (size_t i = 0; i < readings.size(); ++i) out += (i ? ", " : "") + ReadingJson(readings[i]);
    return out + "]\n";
  }
  for (const ControlReading& r : readings) out += r.text + "\n";
  return out;
}

const char* FeatureControlName(uint8_t cs) {
  static const char* const names[] = {"control 0", "mute",   "volume", "bass",       "mid",     "treble",
                                      "equalizer", "agc",    "delay",  "bass boost", "loudness"};
  return cs < sizeof names / sizeof names[0] ? names[cs] : "control";
}

bool ParseSigned(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 0);
  return end && *end == '\0';
}

DeviceChange MakeChange(const sim::SimDevice& device, uint8_t unit, uint8_t cs, uint8_t channel, long long value) {
  DeviceChange c;
  c.unit = unit;
  c.controlSelector = cs;
  c.channel = channel;
  const auto found = device.Model().units.find(unit);
  const bool feature = found != device.Model().units.end() && found->second.subtype == kFeatureUnit;
  const uint8_t size = feature ? sim::FeatureControlSize(cs, device.Profile()) : 1;
  for (uint8_t i = 0; i < size; ++i) c.value.push_back(static_cast<uint8_t>(static_cast<unsigned long long>(value) >> (8 * i)));
  c.text = "unit " + std::to_string(unit) + " " + (feature ? FeatureControlName(cs) : "control " + std::to_string(cs)) +
           " " + (channel ? "channel " + std::to_string(channel) : "master") + " = " + std::to_string(value);
  return c;
}

long long LittleEndianSigned(const sim::Bytes& bytes) {
  long long v = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) v |= static_cast<long long>(bytes[i]) << (8 * i);
  if (!bytes.empty() && bytes.size() < 8 && (bytes.back() & 0x80)) v -= 1LL << (8 * bytes.size());
  return v;
}

}  // namespace

bool GetControls(FilterHandle* filter, const TopologyView& view, const std::vector<std::string>& specs, bool json,
                 std::string* out, std::string* error) {
  std::vector<ControlReading> readings;
  if (specs.empty()) {
    // Sum nodes and other nodes without a control answer "not supported".
    for (const sim::host::TopologyNode& n : view.nodes) {
      ControlReading r;
      if (NT_SUCCESS(sim::host::ReadControl(filter, view, n.id, &r))) readings.push_back(r);
    }
  }
  for (const std::string& spec : specs) {
    ULONG node = 0;
    int setting = -1;
    if (!sim::host::FindControl(view, spec, &node, &setting)) {
      *error = "no control '" + spec +
               "' (names: a node number or kind, e.g. volume, volume#2, mute, output type, headphone.room)";
      return false;
    }
    ControlReading r;
    const NTSTATUS status = sim::host::ReadControl(filter, view, node, &r);
    if (!NT_SUCCESS(status)) {
      *error = "node " + std::to_string(node) + " (" + view.nodes[node].kind + "): " +
               (status == STATUS_NOT_SUPPORTED ? "has no control" : "read failed, " + StatusHex(status));
      return false;
    }
    readings.push_back(r);
  }
  *out += ReadingsOut(readings, json);
  return true;
}

bool SetControl(FilterHandle* filter, const TopologyView& view, const std::string& spec, const std::string& value,
                LONG channel, bool json, std::string* out, std::string* error) {
  ULONG node = 0;
  int setting = -1;
  if (!sim::host::FindControl(view, spec, &node, &setting)) {
    *error = "no control '" + spec + "'";
    return false;
  }
  std::string why;
  const NTSTATUS status = sim::host::WriteControl(filter, view, node, value, channel, &why, setting);
  if (!NT_SUCCESS(status)) {
    *error = "node " + std::to_string(node) + " (" + view.nodes[node].kind + "): " + why;
    return false;
  }
  ControlReading r;
  if (!NT_SUCCESS(sim::host::ReadControl(filter, view, node, &r))) {
    *error = "node " + std::to_string(node) + ": the value was set but cannot be read back";
    return false;
  }
  *out += ReadingsOut({r}, json);
  return true;
}

bool ParseDeviceChange(const std::string& text, const sim::SimDevice& device, DeviceChange* change,
                       std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    *error = "'" + text + "' is not UNIT:CS[:CH]=VALUE";
    return false;
  }
  std::vector<std::string> fields;
  for (size_t from = 0;;) {
    const size_t colon = text.find(':', from);
    fields.push_back(text.substr(from, std::min(colon, equals) - from));
    if (colon == std::string::npos || colon > equals) break;
    from = colon + 1;
  }
  long long numbers[3] = {0, 0, 0};
  long long value = 0;
  if (fields.size() < 2 || fields.size() > 3 || !ParseSigned(text.substr(equals + 1), &value)) {
    *error = "'" + text + "' is not UNIT:CS[:CH]=VALUE";
    return false;
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ParseSigned(fields[i], &numbers[i]) || numbers[i] < 0 || numbers[i] > 255) {
      *error = "'" + fields[i] + "' in '" + text + "' is not a number from 0 to 255";
      return false;
    }
  }
  if (!device.Model().units.count(static_cast<uint8_t>(numbers[0]))) {
    *error = "the device has no unit " + std::to_string(numbers[0]);
    return false;
  }
  const sim::UnitInfo& unit = device.Model().units.at(static_cast<uint8_t>(numbers[0]));
  if (unit.subtype == kFeatureUnit &&
      !unit.HasControl(static_cast<uint8_t>(numbers[1]), static_cast<uint8_t>(numbers[2]))) {
    *error = "unit " + std::to_string(numbers[0]) + " has no " + FeatureControlName(static_cast<uint8_t>(numbers[1])) +
             " control on " + (numbers[2] ? "channel " + std::to_string(numbers[2]) : std::string("its master"));
    return false;
  }
  *change = MakeChange(device, static_cast<uint8_t>(numbers[0]), static_cast<uint8_t>(numbers[1]),
                       static_cast<uint8_t>(numbers[2]), value);
  return true;
}

std::vector<DeviceChange> DefaultDeviceChanges(sim::SimDevice& device) {
  std::vector<DeviceChange> changes;
  for (const auto& [id, unit] : device.Model().units) {
    if (unit.subtype != kFeatureUnit) continue;
    for (uint8_t cs : {kMuteControl, kVolumeControl}) {
      // The master control when there is one, else the first channel's.
      uint8_t channel = 0;
      while (channel < unit.bitmaps.size() && !unit.HasControl(cs, channel)) ++channel;
      if (channel == unit.bitmaps.size()) continue;
      const long long now = LittleEndianSigned(device.ControlValue(id, cs, channel));
      const long long next = cs == kMuteControl ? !now : now - 3 * 256;
      changes.push_back(MakeChange(device, id, cs, channel, next));
    }
  }
  return changes;
}

bool WatchEvents(sim::host::RunningDriver& driver, const TopologyView& view, const std::vector<DeviceChange>& changes,
                 bool json, std::string* out) {
  FilterHandle* filter = driver.Topology();
  sim::host::ControlChangeWatch watch(filter, view);
  // The start's own announcements (every node reloads its value) settle
  // before the first change, so that what follows belongs to the changes.
  for (int quiet = 0; quiet < 3;) {
    driver.AdvanceUntil([] { return false; }, 10);
    quiet = watch.TakeDeliveries().empty() ? quiet + 1 : 0;
  }
  bool everyChangeSeen = true;
  std::string text = "watching " + std::to_string(watch.Subscriptions()) + " nodes for KSEVENT_CONTROL_CHANGE\n";
  std::string items;
  for (const DeviceChange& change : changes) {
    driver.Device().SetControlValue(change.unit, change.controlSelector, change.channel, change.value, true);
    std::vector<std::pair<ULONG, ULONG>> deliveries;
    auto collect = [&] {
      auto more = watch.TakeDeliveries();
      deliveries.insert(deliveries.end(), more.begin(), more.end());
    };
    driver.AdvanceUntil([&] {
      collect();
      return !deliveries.empty() && driver.Device().PendingStatusWords() == 0;
    });
    // Nodes of one unit are announced together; let the rest arrive.
    driver.AdvanceUntil([] { return false; }, 20);
    collect();
    everyChangeSeen = everyChangeSeen && !deliveries.empty();
    text += "device: " + change.text + "\n";
    if (deliveries.empty()) text += "  no event\n";
    std::string events;
    for (const auto& [node, count] : deliveries) {
      ControlReading r;
      const bool read = NT_SUCCESS(sim::host::ReadControl(filter, view, node, &r));
      text += "  event: node " + std::to_string(node) + " (" + view.nodes[node].kind + ")" +
              (count > 1 ? " x" + std::to_string(count) : "") + (read ? " -> " + r.text : "") + "\n";
      events += std::string(events.empty() ? "" : ", ") + "{\"node\": " + std::to_string(node) +
                ", \"kind\": " + JsonString(view.nodes[node].kind) + ", \"count\": " + std::to_string(count) +
                (read ? ", \"reading\": " + ReadingJson(r) : "") + "}";
    }
    items += std::string(items.empty() ? "" : ", ") + "{\"change\": " + JsonString(change.text) + ", \"events\": [" +
             events + "]}";
  }
  *out += json ? "{\"subscriptions\": " + std::to_string(watch.Subscriptions()) + ", \"changes\": [" + items + "]}\n"
               : text;
  return everyChangeSeen;
}

}  // namespace tools
