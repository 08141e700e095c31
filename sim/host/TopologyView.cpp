#include "sim/host/TopologyView.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "ks/ksguid.h"
#include "topology/CRoomEffectNode.h"
#include "topology/TopologyTable.h"
#include "variants/effects/CHeadphoneEffectNode.h"

namespace sim::host {
namespace {

using namespace topology_table;

std::string Decibels(LONG level) {
  if (level == KSAUDIO_LEVEL_MINUS_INFINITY) return "-inf dB";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", level / 65536.0);
  return text;
}

std::string NodeKind(const PCNODE_DESCRIPTOR& node) {
  const PCAUTOMATION_TABLE* table = node.AutomationTable;
  const GUID* name = node.Name;
  if (table == &MuteNodeAutomation) return "mute";
  if (table == &VolumeNodeAutomation) return name && *name == KSAUDFNAME_MICROPHONE_BOOST ? "mic boost" : "volume";
  if (table == &ToneNodeAutomation) {
    if (name && *name == KSAUDFNAME_BASS) return "bass";
    if (name && *name == KSAUDFNAME_MIDRANGE) return "mid";
    return "treble";
  }
  if (table == &AgcNodeAutomation) return "agc";
  if (table == &LoudnessNodeAutomation) return "loudness";
  if (table == &MuxNodeAutomation) return "mux";
  if (table == &SingleInputSelectorAutomation) return "selector";
  if (table == &OutputTypeNodeAutomation) return "output type";
  if (table == &ParameterBlockNodeAutomation) return "parameter block";
  if (table == &ProcessingNodeAutomation) return name && *name == NODE_NAME_ROOM_EFFECT ? "room" : "processing";
  if (table == &DevSpecificNodeAutomation && name) {
    if (*name == NODEKIND_InputGainPad) return "gain pad";
    if (*name == NODEKIND_Flag) return "flag";
    if (*name == NODEKIND_RangedValue) return "ranged value";
    if (*name == NODEKIND_VendorSwitch) return "vendor switch";
    if (*name == NODEKIND_BoardSwitch) return "board switch";
  }
  if (node.Type && *node.Type == KSNODETYPE_SUM) return "sum";
  return "node";
}

// Processing nodes the host knows by their names: the kind they are shown
// as and the names of their settings.
struct KnownProcessing {
  const GUID* name;
  const char* kind;
  std::vector<std::string> settings;
};
const std::vector<KnownProcessing>& KnownProcessingNodes() {
  static const std::vector<KnownProcessing> known = {
      {&NODENAME_HeadphoneEffect, "headphone", {"room", "variant"}},
      {&NODE_NAME_ROOM_EFFECT, "room", {}},
  };
  return known;
}

// A processing node: unknown ("processing", its value a number) or known
// by its name (its value an on/off byte).
bool IsProcessing(const TopologyNode& node) {
  if (node.kind == "processing") return true;
  for (const KnownProcessing& k : KnownProcessingNodes())
    if (node.kind == k.kind) return true;
  return false;
}

bool IsLevel(const std::string& kind) {
  return kind == "volume" || kind == "mic boost" || kind == "bass" || kind == "mid" || kind == "treble";
}
bool IsSwitch(const std::string& kind) { return kind == "mute" || kind == "agc" || kind == "loudness"; }

ULONG LevelProperty(const std::string& kind) {
  if (kind == "bass") return KSPROPERTY_AUDIO_BASS;
  if (kind == "mid") return KSPROPERTY_AUDIO_MID;
  if (kind == "treble") return KSPROPERTY_AUDIO_TREBLE;
  return KSPROPERTY_AUDIO_VOLUMELEVEL;
}

ULONG SwitchProperty(const std::string& kind) {
  if (kind == "agc") return KSPROPERTY_AUDIO_AGC;
  if (kind == "loudness") return KSPROPERTY_AUDIO_LOUDNESS;
  return KSPROPERTY_AUDIO_MUTE;
}

std::string PinText(const TopologyPin& p) {
  return "pin " + std::to_string(p.id);
}

// The stepped ranges a level or switch node answers to basic support: a
// size query first, then the whole answer. Channels come from what the
// answer really holds, never from a count alone.
NTSTATUS SteppedRanges(FilterHandle* filter, ULONG property, ULONG node, std::vector<KSPROPERTY_STEPPING_LONG>* out) {
  out->clear();
  ULONG size = 2;
  UCHAR probe[4];
  NTSTATUS status = filter->Property(KSPROPSETID_Audio, property, KSPROPERTY_TYPE_BASICSUPPORT, node, nullptr, 0,
                                     probe, &size);
  if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  const ULONG header = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
  if (size < header || size > 1 << 16) return STATUS_UNSUCCESSFUL;
  std::vector<UCHAR> answer(size);
  status = filter->Property(KSPROPSETID_Audio, property, KSPROPERTY_TYPE_BASICSUPPORT, node, nullptr, 0,
                            answer.data(), &size);
  if (!NT_SUCCESS(status)) return status;
  if (size < header) return STATUS_UNSUCCESSFUL;
  KSPROPERTY_MEMBERSHEADER members;
  std::memcpy(&members, answer.data() + sizeof(KSPROPERTY_DESCRIPTION), sizeof members);
  const ULONG room = (size - header) / sizeof(KSPROPERTY_STEPPING_LONG);
  const ULONG count = members.MembersCount < room ? members.MembersCount : room;
  out->resize(count);
  if (count) std::memcpy(out->data(), answer.data() + header, count * sizeof(KSPROPERTY_STEPPING_LONG));
  return STATUS_SUCCESS;
}

NTSTATUS GetUlong(FilterHandle* filter, const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG* value) {
  ULONG instance[2] = {channel, 0};
  ULONG size = sizeof(ULONG);
  return filter->Property(set, id, KSPROPERTY_TYPE_GET, node, instance, sizeof instance, value, &size);
}

NTSTATUS SetUlong(FilterHandle* filter, const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG value) {
  ULONG instance[2] = {channel, 0};
  ULONG size = sizeof(ULONG);
  return filter->Property(set, id, KSPROPERTY_TYPE_SET, node, instance, sizeof instance, &value, &size);
}

bool ParseNumber(const std::string& text, double* value) {
  std::string t = text;
  for (const char* unit : {"dB", "db", "DB"}) {
    const size_t at = t.rfind(unit);
    if (at != std::string::npos && at + 2 == t.size()) t.erase(at);
  }
  if (t == "-inf") {
    *value = -INFINITY;
    return true;
  }
  char* end = nullptr;
  *value = std::strtod(t.c_str(), &end);
  return !t.empty() && end && *end == '\0';
}

bool ParseInteger(const std::string& text, LONGLONG* value) {
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 0);
  return !text.empty() && end && *end == '\0';
}

bool ParseSwitch(const std::string& text, ULONG* value) {
  if (text == "on" || text == "true" || text == "1") *value = 1;
  else if (text == "off" || text == "false" || text == "0") *value = 0;
  else return false;
  return true;
}

bool ParseCategory(const std::string& text, ULONG* category) {
  double number = 0;
  if (ParseNumber(text, &number) && number >= 0 && number < PIN_CATEGORY_COUNT) {
    *category = static_cast<ULONG>(number);
    return true;
  }
  for (ULONG i = 0; i < PIN_CATEGORY_COUNT; ++i) {
    std::string prefix;
    for (const WCHAR* c = PinCategoryPrefixes[i]; *c; ++c) prefix.push_back(static_cast<char>(*c));
    if (strcasecmp(prefix.c_str(), text.c_str()) == 0) {
      *category = i;
      return true;
    }
  }
  return false;
}

std::string CategoryText(ULONG category) {
  std::string prefix;
  for (const WCHAR* c = PinCategoryPrefix(category); *c; ++c) prefix.push_back(static_cast<char>(*c));
  return prefix + " (" + std::to_string(category) + ")";
}

}  // namespace

std::string TopologyGuidName(const GUID& guid) {
  static const struct {
    const GUID* guid;
    const char* name;
  } own[] = {
      {&NODEKIND_InputGainPad, "input gain pad"},
      {&NODEKIND_OutputType, "output type"},
      {&NODEKIND_Flag, "flag"},
      {&NODEKIND_RangedValue, "ranged value"},
      {&NODEKIND_VendorSwitch, "vendor switch"},
      {&NODEKIND_ParameterBlock, "parameter block"},
      {&NODEKIND_BoardSwitch, "board switch"},
      {&PINNAME_SpdifOut, "S/PDIF out"},
      {&PINNAME_SpdifIn, "S/PDIF in"},
      {&PINNAME_Hdmi, "HDMI"},
      {&PINNAME_DisplayPort, "DisplayPort"},
      {&PINNAME_Aux, "Aux"},
      {&PINNAME_StereoMix, "Stereo Mix"},
      {&PINCATEGORY_StereoMixLegacy, "Stereo Mix (legacy category)"},
      {&EnumPrivateInterfaceClass, "EnumPrivateInterfaceClass"},
      {&KSAUDFNAME_BASS, "KSAUDFNAME_BASS"},
      {&KSAUDFNAME_MIDRANGE, "KSAUDFNAME_MIDRANGE"},
      {&KSAUDFNAME_TREBLE, "KSAUDFNAME_TREBLE"},
      {&KSAUDFNAME_MICROPHONE_BOOST, "KSAUDFNAME_MICROPHONE_BOOST"},
      {&NODE_NAME_ROOM_EFFECT, "room effect"},
  };
  for (const auto& o : own)
    if (*o.guid == guid) return o.name;
  return platform::ks::GuidName(guid);
}

TopologyView ViewTopology(const std::u16string& name, const PCFILTER_DESCRIPTOR& d) {
  TopologyView view;
  view.filter = Narrow(name);
  for (ULONG i = 0; i < d.CategoryCount; ++i) view.categories.push_back(TopologyGuidName(d.Categories[i]));
  for (ULONG i = 0; i < d.PinCount; ++i) {
    const KSPIN_DESCRIPTOR& p = d.Pins[i].KsPinDescriptor;
    view.pins.push_back({i, p.DataFlow == KSPIN_DATAFLOW_IN, p.Category ? TopologyGuidName(*p.Category) : "none",
                         p.Name ? TopologyGuidName(*p.Name) : ""});
  }
  for (ULONG i = 0; i < d.NodeCount; ++i) {
    const PCNODE_DESCRIPTOR& n = d.Nodes[i];
    view.nodes.push_back({i, NodeKind(n), n.Type ? TopologyGuidName(*n.Type) : "none",
                          n.Name ? TopologyGuidName(*n.Name) : ""});
  }
  for (ULONG i = 0; i < d.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
    view.links.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  }
  return view;
}

TopologyView ViewTopology(FilterHandle* filter) {
  TopologyView view = ViewTopology(filter->Name(), filter->Descriptor());
  for (TopologyNode& node : view.nodes) {
    // The filter's description gives every processing node one shared name,
    // so each node is asked for its own.
    if (!IsProcessing(node)) continue;
    GUID name{};
    ULONG size = sizeof name;
    if (!NT_SUCCESS(filter->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_NAME, KSPROPERTY_TYPE_GET, node.id,
                                     nullptr, 0, &name, &size)))
      continue;
    node.name = TopologyGuidName(name);
    node.kind = "processing";
    bool known = false;
    for (const KnownProcessing& k : KnownProcessingNodes()) {
      if (*k.name != name) continue;
      node.kind = k.kind;
      node.settings = k.settings;
      known = true;
    }
    ULONG count = 0;
    size = sizeof count;
    if (!known && NT_SUCCESS(filter->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETER_COUNT,
                                              KSPROPERTY_TYPE_GET, node.id, nullptr, 0, &count, &size)))
      for (ULONG i = 0; i < count && i < 32; ++i) node.settings.push_back(std::to_string(i));
  }
  return view;
}

std::string TopologyText(const TopologyView& view) {
  std::string out = "topology filter " + view.filter + "\n  categories:";
  for (const std::string& c : view.categories) out += " " + c;
  out += "\n  pins:\n";
  for (const TopologyPin& p : view.pins) {
    out += "    " + std::to_string(p.id) + ": " + (p.input ? "in " : "out") + "  " + p.category;
    if (!p.name.empty()) out += ", name " + p.name;
    out += "\n";
  }
  out += "  nodes:\n";
  for (const TopologyNode& n : view.nodes) {
    out += "    " + std::to_string(n.id) + ": " + n.kind + "  " + n.type;
    if (!n.name.empty()) out += ", name " + n.name;
    out += "\n";
  }
  out += "  connections:\n";
  auto end = [](ULONG node, ULONG pin) {
    return node == PCFILTER_NODE ? "pin " + std::to_string(pin)
                                 : "node " + std::to_string(node) + "." + std::to_string(pin);
  };
  for (const TopologyLink& l : view.links)
    out += "    " + end(l.fromNode, l.fromPin) + " -> " + end(l.toNode, l.toPin) + "\n";
  return out;
}

std::string TopologyDot(const TopologyView& view) {
  auto quote = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  std::string out = "digraph " + quote(view.filter) + " {\n  rankdir=LR;\n  node [fontname=\"Helvetica\"];\n";
  out += "  label=" + quote("topology filter " + view.filter) + ";\n";
  for (const TopologyPin& p : view.pins) {
    std::string label = PinText(p) + (p.input ? " (in)" : " (out)") + "\\n" + p.category;
    if (!p.name.empty()) label += "\\n" + p.name;
    out += "  pin" + std::to_string(p.id) + " [shape=cds, style=filled, fillcolor=" +
           (p.input ? "\"#dbe9f6\"" : "\"#f6e3db\"") + ", label=" + quote(label) + "];\n";
  }
  for (const TopologyNode& n : view.nodes) {
    std::string label = std::to_string(n.id) + ": " + n.kind + "\\n" + n.type;
    if (!n.name.empty() && n.kind != "bass" && n.kind != "mid" && n.kind != "treble") label += "\\n" + n.name;
    out += "  node" + std::to_string(n.id) + " [shape=box, style=rounded, label=" + quote(label) + "];\n";
  }
  for (const TopologyLink& l : view.links) {
    const bool fromPin = l.fromNode == PCFILTER_NODE, toPin = l.toNode == PCFILTER_NODE;
    out += "  " + (fromPin ? "pin" + std::to_string(l.fromPin) : "node" + std::to_string(l.fromNode)) + " -> " +
           (toPin ? "pin" + std::to_string(l.toPin) : "node" + std::to_string(l.toNode));
    std::string attributes;
    if (!toPin) attributes += "headlabel=\"" + std::to_string(l.toPin) + "\"";
    if (!attributes.empty()) out += " [" + attributes + "]";
    out += ";\n";
  }
  out += "}\n";
  return out;
}

bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node, int* setting) {
  *setting = -1;
  const size_t dot = spec.find('.');
  if (dot != std::string::npos && FindControl(view, spec.substr(0, dot), node)) {
    const std::vector<std::string>& names = view.nodes[*node].settings;
    for (size_t i = 0; i < names.size(); ++i) {
      if (strcasecmp(names[i].c_str(), spec.c_str() + dot + 1) == 0) {
        *setting = static_cast<int>(i);
        return true;
      }
    }
  }
  return FindControl(view, spec, node);
}

bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node) {
  double number = 0;
  if (ParseNumber(spec, &number) && number >= 0 && number == std::floor(number)) {
    if (number >= view.nodes.size()) return false;
    *node = static_cast<ULONG>(number);
    return true;
  }
  std::string kind = spec;
  ULONG wanted = 1;
  const size_t hash = spec.rfind('#');
  if (hash != std::string::npos) {
    kind = spec.substr(0, hash);
    wanted = static_cast<ULONG>(std::strtoul(spec.c_str() + hash + 1, nullptr, 10));
    if (wanted == 0) return false;
  }
  for (const TopologyNode& n : view.nodes) {
    if (strcasecmp(n.kind.c_str(), kind.c_str()) == 0 && --wanted == 0) {
      *node = n.id;
      return true;
    }
  }
  return false;
}

NTSTATUS ReadControl(FilterHandle* filter, const TopologyView& view, ULONG node, ControlReading* reading) {
  *reading = {};
  if (node >= view.nodes.size()) return STATUS_INVALID_PARAMETER;
  const std::string& kind = view.nodes[node].kind;
  reading->node = node;
  reading->kind = kind;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<std::string> parts;
  if (IsLevel(kind) || IsSwitch(kind)) {
    const ULONG property = IsLevel(kind) ? LevelProperty(kind) : SwitchProperty(kind);
    std::vector<KSPROPERTY_STEPPING_LONG> ranges;
    status = SteppedRanges(filter, property, node, &ranges);
    for (ULONG channel = 0; NT_SUCCESS(status) && channel < ranges.size(); ++channel) {
      ULONG value = 0;
      status = GetUlong(filter, KSPROPSETID_Audio, property, node, channel, &value);
      if (!NT_SUCCESS(status)) break;
      reading->values.push_back(static_cast<LONG>(value));
      parts.push_back(IsLevel(kind) ? Decibels(static_cast<LONG>(value)) : value ? "on" : "off");
    }
    if (NT_SUCCESS(status) && IsLevel(kind) && !ranges.empty()) {
      reading->hasRange = true;
      reading->minimum = ranges[0].Bounds.SignedMinimum;
      reading->maximum = ranges[0].Bounds.SignedMaximum;
      reading->step = static_cast<LONG>(ranges[0].SteppingDelta);
    }
  } else if (kind == "mux") {
    ULONG input = 0;
    status = GetUlong(filter, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, node, 0, &input);
    if (NT_SUCCESS(status)) {
      reading->values.push_back(static_cast<LONG>(input));
      parts.push_back("input " + std::to_string(input));
    }
  } else if (kind == "output type") {
    ULONG current = 0, size = sizeof current;
    status = filter->Property(PROPSETID_OutputType, OUTPUTTYPE_CURRENT, KSPROPERTY_TYPE_GET, node, nullptr, 0, &current,
                              &size);
    ULONG list[2 + PIN_CATEGORY_COUNT] = {};
    size = sizeof list;
    if (NT_SUCCESS(status))
      status = filter->Property(PROPSETID_OutputType, OUTPUTTYPE_LIST, KSPROPERTY_TYPE_GET, node, nullptr, 0, list,
                                &size);
    if (NT_SUCCESS(status)) {
      reading->values.push_back(static_cast<LONG>(current));
      const ULONG count = size >= 8 ? (size - 8) / sizeof(ULONG) : 0;
      std::string choices;
      for (ULONG i = 0; i < count && i < list[1]; ++i) {
        reading->choices.push_back(list[2 + i]);
        choices += (i ? ", " : "") + CategoryText(list[2 + i]);
      }
      parts.push_back(CategoryText(current) + " of " + choices);
    }
  } else if (IsProcessing(view.nodes[node]) || kind == "gain pad" || kind == "vendor switch" ||
             kind == "board switch" || kind == "flag" || kind == "ranged value") {
    ULONG value = 0;
    status = GetUlong(filter, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, node, 0, &value);
    if (NT_SUCCESS(status)) {
      reading->values.push_back(static_cast<LONG>(value));
      parts.push_back(kind == "gain pad"       ? Decibels(static_cast<LONG>(value))
                      : kind == "processing" ? std::to_string(value)
                      : IsProcessing(view.nodes[node]) ? (value ? "on" : "off")
                                                       : std::to_string(value));
    }
    const std::vector<std::string>& names = view.nodes[node].settings;
    if (NT_SUCCESS(status) && !names.empty()) {
      std::vector<ULONG> block(2 + names.size());
      const ULONG instance[2] = {0, static_cast<ULONG>(names.size())};
      ULONG size = static_cast<ULONG>(block.size() * sizeof(ULONG));
      status = filter->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, KSPROPERTY_TYPE_GET, node,
                                instance, sizeof instance, block.data(), &size);
      for (size_t i = 0; NT_SUCCESS(status) && i < names.size() && 8 + 4 * i < size; ++i) {
        reading->settings.emplace_back(names[i], static_cast<LONG>(block[2 + i]));
        parts.push_back(names[i] + " " + std::to_string(static_cast<LONG>(block[2 + i])));
      }
    }
  } else {
    status = STATUS_NOT_SUPPORTED;
  }
  if (!NT_SUCCESS(status)) return status;
  reading->text = kind + " (node " + std::to_string(node) + "):";
  for (size_t i = 0; i < parts.size(); ++i) reading->text += (i ? ", " : " ") + parts[i];
  if (reading->hasRange)
    reading->text += "  [" + Decibels(reading->minimum) + " .. " + Decibels(reading->maximum) + ", step " +
                     Decibels(reading->step) + "]";
  return STATUS_SUCCESS;
}

NTSTATUS WriteControl(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& text,
                      LONG channel, std::string* error, int setting) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return STATUS_INVALID_PARAMETER;
  };
  if (node >= view.nodes.size()) return fail("no node " + std::to_string(node));
  const std::string& kind = view.nodes[node].kind;
  if (setting >= 0) {
    LONGLONG number = 0;
    if (size_t(setting) >= view.nodes[node].settings.size()) return fail("no such setting");
    if (!ParseInteger(text, &number) || number < INT32_MIN || number > UINT32_MAX)
      return fail("not a whole number: " + text);
    const ULONG instance[3] = {static_cast<ULONG>(setting), 1, static_cast<ULONG>(number)};
    ULONG size = 0;
    const NTSTATUS status = filter->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS,
                                             KSPROPERTY_TYPE_SET, node, instance, sizeof instance, nullptr, &size);
    if (!NT_SUCCESS(status) && error) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
      *error = view.nodes[node].settings[setting] + " refused the value " + text + ": " + code;
    }
    return status;
  }
  ULONG value = 0;
  const GUID* set = &KSPROPSETID_Audio;
  ULONG property = KSPROPERTY_AUDIO_DEV_SPECIFIC;
  double number = 0;
  if (IsLevel(kind) || kind == "gain pad") {
    if (!ParseNumber(text, &number)) return fail("not a level in dB: " + text);
    value = std::isinf(number) ? ULONG(KSAUDIO_LEVEL_MINUS_INFINITY)
                               : static_cast<ULONG>(static_cast<LONG>(std::lround(number * 65536.0)));
    if (IsLevel(kind)) property = LevelProperty(kind);
  } else if (IsSwitch(kind) || kind == "vendor switch" || kind == "board switch" ||
             (IsProcessing(view.nodes[node]) && kind != "processing")) {
    if (!ParseSwitch(text, &value)) return fail("not on or off: " + text);
    if (IsSwitch(kind)) property = SwitchProperty(kind);
  } else if (kind == "output type") {
    if (!ParseCategory(text, &value)) return fail("not a pin category: " + text);
  } else if (kind == "mux" || kind == "processing" || kind == "flag" || kind == "ranged value" ||
             kind == "selector" || kind == "parameter block") {
    if (!ParseNumber(text, &number) || number < 0 || number > 0xFFFFFFFF) return fail("not a number: " + text);
    value = static_cast<ULONG>(number);
    if (kind == "mux") property = KSPROPERTY_AUDIO_MUX_SOURCE;
  } else {
    if (error) *error = "a " + kind + " node has no control";
    return STATUS_NOT_SUPPORTED;
  }
  if (!filter) return STATUS_SUCCESS;

  // Every channel means every channel the node reports, not a count the
  // caller made up.
  std::vector<ULONG> channels;
  if (channel >= 0) {
    channels.push_back(static_cast<ULONG>(channel));
  } else if (IsLevel(kind) || IsSwitch(kind)) {
    std::vector<KSPROPERTY_STEPPING_LONG> ranges;
    NTSTATUS status = SteppedRanges(filter, property, node, &ranges);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG c = 0; c < ranges.size(); ++c) channels.push_back(c);
  } else {
    channels.push_back(0);
  }
  for (ULONG c : channels) {
    NTSTATUS status = SetUlong(filter, *set, property, node, c, value);
    if (!NT_SUCCESS(status)) {
      if (error) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
        *error = "channel " + std::to_string(c) + " refused the value: " + code;
      }
      return status;
    }
  }
  return STATUS_SUCCESS;
}

ControlChangeWatch::ControlChangeWatch(FilterHandle* filter, const TopologyView& view) : m_Filter(filter) {
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  for (const TopologyNode& n : view.nodes) {
    if (n.id >= d.NodeCount) continue;
    const PCAUTOMATION_TABLE* table = d.Nodes[n.id].AutomationTable;
    if (!table || table->EventCount == 0) continue;
    auto* s = new Subscription{};
    s->node = n.id;
    KeInitializeEvent(&s->event, NotificationEvent, FALSE);
    if (NT_SUCCESS(filter->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, n.id, &s->data,
                                       &s->event)))
      m_Subscriptions.push_back(s);
    else
      delete s;
  }
}

ControlChangeWatch::~ControlChangeWatch() {
  for (Subscription* s : m_Subscriptions) {
    m_Filter->DisableEvent(&s->data);
    delete s;
  }
}

std::vector<std::pair<ULONG, ULONG>> ControlChangeWatch::TakeDeliveries() {
  std::vector<std::pair<ULONG, ULONG>> out;
  for (Subscription* s : m_Subscriptions) {
    const ULONG delivered = m_Filter->Filter()->EventDeliveries(&s->data);
    if (delivered > s->seen) out.emplace_back(s->node, delivered - s->seen);
    s->seen = delivered;
    KeClearEvent(&s->event);
  }
  return out;
}

}  // namespace sim::host
