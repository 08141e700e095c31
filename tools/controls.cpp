#include "tools/controls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "sim/host/Values.h"
#include "tools/json.h"

namespace tools {
namespace {

using sim::host::ControlReading;
using sim::host::FilterHandle;
using sim::host::TopologyView;
using sim::host::ValueRange;

constexpr uint8_t kFeatureUnit = 0x06;
constexpr uint8_t kSelectorUnit = 0x05;
constexpr uint8_t kMuteControl = 1;
constexpr uint8_t kVolumeControl = 2;

std::string StatusHex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string ReadingsOut(const std::vector<ControlReading>& readings, bool json) {
  std::string out;
  if (json) {
    JsonWriter j;
    j.Array();
    for (const ControlReading& r : readings) j.Raw(ReadingJson(r));
    return j.End().Text() + "\n";
  }
  for (const ControlReading& r : readings) out += r.text + "\n";
  return out;
}

// Feature-unit controls by selector, as the device's descriptors name them.
constexpr const char* kFeatureControlNames[] = {"control 0", "mute",   "volume", "bass",       "mid",     "treble",
                                                "equalizer", "agc",    "delay",  "bass boost", "loudness"};

const char* FeatureControlName(uint8_t cs) {
  return cs < std::size(kFeatureControlNames) ? kFeatureControlNames[cs] : "control";
}

bool IsSwitchControl(uint8_t cs) { return cs == 1 || cs == 7 || cs == 9 || cs == 10; }
// Wire steps per dB of the level controls: volume in 1/256 dB, tone in 1/4.
double StepsPerDb(uint8_t cs) { return cs == kVolumeControl ? 256.0 : 4.0; }
bool IsLevelControl(uint8_t cs) { return cs >= 2 && cs <= 5; }

// The wire value's size and how the change reads.
DeviceChange MakeChange(const sim::SimDevice& device, uint8_t unit, uint8_t cs, uint8_t channel, long long value) {
  DeviceChange c;
  c.unit = unit;
  c.controlSelector = cs;
  c.channel = channel;
  const auto found = device.Model().units.find(unit);
  const bool feature = found != device.Model().units.end() && found->second.subtype == kFeatureUnit;
  const uint8_t size = feature ? sim::FeatureControlSize(cs, device.Profile()) : 1;
  for (uint8_t i = 0; i < size; ++i)
    c.value.push_back(static_cast<uint8_t>(static_cast<unsigned long long>(value) >> (8 * i)));
  std::string shown = std::to_string(value);
  if (feature && IsSwitchControl(cs)) {
    shown = value ? "on" : "off";
  } else if (feature && IsLevelControl(cs)) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", static_cast<double>(value) / StepsPerDb(cs));
    shown = text;
  }
  c.text = "unit " + std::to_string(unit) + " " + (feature ? FeatureControlName(cs) : "control " + std::to_string(cs)) +
           " " + (channel ? "channel " + std::to_string(channel) : "master") + " = " + shown;
  return c;
}

}  // namespace

long long LittleEndianSigned(const sim::Bytes& bytes) {
  long long v = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) v |= static_cast<long long>(bytes[i]) << (8 * i);
  if (!bytes.empty() && bytes.size() < 8 && (bytes.back() & 0x80)) v -= 1LL << (8 * bytes.size());
  return v;
}

sim::host::TopologyView ViewDriverTopology(sim::host::RunningDriver& driver) {
  sim::host::FilterHandle* topology = driver.Topology();
  if (!topology) return {};
  sim::host::TopologyView view = sim::host::ViewTopology(topology);
  sim::host::NumberAsModel(&view, driver.HostSide().AdapterDevice());
  return view;
}

std::string ReadingJson(const ControlReading& r) {
  JsonWriter j;
  j.Object().Field("node", r.number).Field("kind", r.kind).Field("path", r.path).Field("values", r.values);
  if (!r.settings.empty()) {
    j.Key("settings").Object();
    for (const auto& [name, value] : r.settings) j.Field(name, value);
    j.End();
  }
  if (r.hasRange) j.Field("minimum", r.minimum).Field("maximum", r.maximum).Field("step", r.step);
  return j.Field("text", r.text).End().Text();
}

std::string NoControl(const TopologyView& view, const std::string& spec, bool capture) {
  return "no control '" + spec + "' on the " + (capture ? "capture" : "render") + " path (there: " +
         sim::host::ControlNames(view, capture) + "; " + (capture ? "without --capture" : "--capture") +
         " for the " + (capture ? "render" : "capture") + " path's; a node number as `info` lists them for any)";
}

bool GetControls(FilterHandle* filter, const TopologyView& view, const std::vector<std::string>& specs, bool json,
                 std::string* out, std::string* error, bool capture) {
  std::vector<ControlReading> readings;
  if (specs.empty()) {
    // Sum nodes and other nodes without a control answer "not supported".
    for (ULONG id : sim::host::NodesInOrder(view)) {
      ControlReading r;
      if (NT_SUCCESS(sim::host::ReadControl(filter, view, id, &r))) readings.push_back(r);
    }
  }
  for (const std::string& spec : specs) {
    ULONG node = 0;
    int setting = -1;
    if (!sim::host::FindControl(view, spec, capture, &node, &setting)) {
      *error = NoControl(view, spec, capture);
      return false;
    }
    ControlReading r;
    const NTSTATUS status = sim::host::ReadControl(filter, view, node, &r);
    if (!NT_SUCCESS(status)) {
      *error = sim::host::NodeText(view, node) + ": " +
               (status == STATUS_NOT_SUPPORTED ? "has no control to read" : "the read failed, " + StatusHex(status));
      return false;
    }
    readings.push_back(r);
  }
  *out += ReadingsOut(readings, json);
  return true;
}

bool SetControl(FilterHandle* filter, const TopologyView& view, const std::string& spec, const std::string& value,
                LONG channel, bool json, std::string* out, std::string* error, bool capture) {
  ULONG node = 0;
  int setting = -1;
  if (!sim::host::FindControl(view, spec, capture, &node, &setting)) {
    *error = NoControl(view, spec, capture);
    return false;
  }
  if (!NT_SUCCESS(sim::host::WriteControl(filter, view, node, value, channel, error, setting))) return false;
  ControlReading r;
  if (!NT_SUCCESS(sim::host::ReadControl(filter, view, node, &r))) {
    *error = sim::host::NodeText(view, node) + ": the value was set but cannot be read back";
    return false;
  }
  *out += ReadingsOut({r}, json);
  return true;
}

namespace {

// "UNIT:CONTROL[:CHANNEL]=VALUE" cut at its colons and its equals sign;
// false unless two or three fields stand before the value.
bool SplitChange(const std::string& text, std::vector<std::string>* fields, std::string* value) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  for (size_t from = 0;;) {
    const size_t colon = text.find(':', from);
    fields->push_back(text.substr(from, std::min(colon, equals) - from));
    if (colon == std::string::npos || colon > equals) break;
    from = colon + 1;
  }
  *value = text.substr(equals + 1);
  return fields->size() >= 2 && fields->size() <= 3;
}

}  // namespace

bool ParseChangeFields(const std::string& text, uint8_t* unit, uint8_t* cs, uint8_t* channel, long long* value,
                       std::string* error) {
  std::vector<std::string> fields;
  std::string valueText;
  if (!SplitChange(text, &fields, &valueText)) {
    *error = "'" + text + "' is not UNIT:CS[:CH]=VALUE";
    return false;
  }
  static const char* const names[] = {"unit", "control selector", "channel"};
  uint8_t* bytes[] = {unit, cs, channel};
  *channel = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    double number = 0;
    std::string why;
    if (!sim::host::ParseInRange(fields[i], {0, 255, "", true, 0}, &number, &why)) {
      *error = std::string(names[i]) + " in '" + text + "': " + why;
      return false;
    }
    *bytes[i] = static_cast<uint8_t>(number);
  }
  // Four bytes are the widest control value on the wire.
  double number = 0;
  std::string why;
  if (!sim::host::ParseInRange(valueText, {-2147483648.0, 4294967295.0, "", true, 0}, &number, &why)) {
    *error = "the value in '" + text + "': " + why;
    return false;
  }
  *value = static_cast<long long>(number);
  return true;
}

bool ParseDeviceChange(const std::string& text, const sim::SimDevice& device, DeviceChange* change,
                       std::string* error) {
  const std::string form = "'" + text + "' is not UNIT:CONTROL[:CHANNEL]=VALUE";
  std::vector<std::string> fields;
  std::string valueText;
  if (!SplitChange(text, &fields, &valueText) || valueText.empty()) {
    *error = form;
    return false;
  }
  double unitNumber = 0;
  std::string why;
  if (!sim::host::ParseInRange(fields[0], {1, 255, "", true, 0}, &unitNumber, &why)) {
    *error = "unit " + why;
    return false;
  }
  const auto unitId = static_cast<uint8_t>(unitNumber);
  const auto found = device.Model().units.find(unitId);
  if (found == device.Model().units.end()) {
    std::string units;
    for (const auto& [id, u] : device.Model().units)
      if (u.subtype == kFeatureUnit || u.subtype == kSelectorUnit) units += (units.empty() ? "" : ", ") + std::to_string(id);
    *error = "the device has no unit " + fields[0] + " (its units with controls: " + units + ")";
    return false;
  }
  const sim::UnitInfo& unit = found->second;
  const bool feature = unit.subtype == kFeatureUnit;
  // The control by name or selector number.
  uint8_t cs = 0;
  size_t named = 0;
  std::vector<std::string> names(std::begin(kFeatureControlNames) + 1, std::end(kFeatureControlNames));
  if (feature && sim::host::ParseWord(fields[1], names, &named, nullptr)) {
    cs = static_cast<uint8_t>(named + 1);
  } else {
    double number = 0;
    if (!sim::host::ParseInRange(fields[1], {0, 255, "", true, 0}, &number, &why)) {
      *error = "control " + why + (feature ? "; or a name: mute, volume, bass, mid, treble, agc, loudness, ..." : "");
      return false;
    }
    cs = static_cast<uint8_t>(number);
  }
  double channelNumber = 0;
  if (fields.size() == 3 && fields[2] != "master" &&
      !sim::host::ParseInRange(fields[2], {0, 254, "", true, 0}, &channelNumber, &why)) {
    *error = "channel " + why + "; channels count from 1, 0 or master is the master control";
    return false;
  }
  const auto channel = static_cast<uint8_t>(channelNumber);
  if (feature && !unit.HasControl(cs, channel)) {
    *error = "unit " + std::to_string(unitId) + " has no " + FeatureControlName(cs) + " control on " +
             (channel ? "channel " + std::to_string(channel) : std::string("its master"));
    return false;
  }
  // The value as `set` takes it, within the device's range.
  const std::string subject = "unit " + std::to_string(unitId) + " " +
                              (feature ? FeatureControlName(cs) : "control " + std::to_string(cs)) + ": ";
  long long wire = 0;
  const sim::ControlRange* range = feature ? device.Profile().RangeFor(unitId, cs) : nullptr;
  if (feature && IsSwitchControl(cs)) {
    size_t word = 0;
    if (!sim::host::ParseWord(valueText, {"on", "off", "1", "0", "true", "false"}, &word, &why)) {
      *error = subject + why;
      return false;
    }
    wire = word % 2 == 0 ? 1 : 0;
  } else if (feature && IsLevelControl(cs)) {
    const double steps = StepsPerDb(cs);
    const uint8_t size = sim::FeatureControlSize(cs, device.Profile());
    const double limit = std::ldexp(1.0, 8 * size - 1);
    ValueRange db{-limit / steps, (limit - 1) / steps, "dB", false, 2};
    if (range) db = {range->min / steps, range->max / steps, "dB", false, 2};
    double value = 0;
    if (!sim::host::ParseInRange(valueText, db, &value, &why)) {
      *error = subject + why;
      return false;
    }
    wire = std::llround(value * steps);
  } else {
    ValueRange plain{0, 255, "", true, 0};
    if (!feature && unit.subtype == kSelectorUnit) plain = {1, static_cast<double>(std::max<size_t>(unit.sources.size(), 1)), "", true, 0};
    else if (range) plain = {static_cast<double>(range->min), static_cast<double>(range->max), "", true, 0};
    double value = 0;
    if (!sim::host::ParseInRange(valueText, plain, &value, &why)) {
      *error = subject + why;
      return false;
    }
    wire = static_cast<long long>(value);
  }
  *change = MakeChange(device, unitId, cs, channel, wire);
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
  JsonWriter j;
  j.Object().Field("subscriptions", watch.Subscriptions()).Key("changes").Array();
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
    j.Object().Field("change", change.text).Key("events").Array();
    for (const auto& [node, count] : deliveries) {
      ControlReading r;
      const bool read = NT_SUCCESS(sim::host::ReadControl(filter, view, node, &r));
      text += "  event: " + sim::host::NodeText(view, node) + (count > 1 ? " x" + std::to_string(count) : "") +
              (read ? " -> " + r.text : "") + "\n";
      j.Object().Field("node", view.nodes[node].number).Field("kind", view.nodes[node].kind).Field("count", count);
      if (read) j.Key("reading").Raw(ReadingJson(r));
      j.End();
    }
    j.End().End();
  }
  j.End().End();
  *out += json ? j.Text() + "\n" : text;
  return everyChangeSeen;
}

}  // namespace tools
