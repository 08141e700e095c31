#include "sim/host/TopologyView.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <strings.h>

#include "driver/common/PrivateInterfaces.h"
#include "ks/ksguid.h"
#include "sim/host/Values.h"
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
  // One kind for both forms of a selector: KS tells a mux from a selector
  // with one input, the user need not.
  if (table == &MuxNodeAutomation || table == &SingleInputSelectorAutomation) return "selector";
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
  std::vector<std::pair<LONG, LONG>> ranges;
};
const std::vector<KnownProcessing>& KnownProcessingNodes() {
  // The headphone effect's rooms 0 to 2; its variant is a flag.
  static const std::vector<KnownProcessing> known = {
      {&NODENAME_HeadphoneEffect, "headphone", {"room", "variant"}, {{0, 2}, {0, 1}}},
      {&NODE_NAME_ROOM_EFFECT, "room", {}, {}},
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

// A selector with more than one input is a MUX node with its own property;
// one with a single input is a device-specific node that reads nothing back.
bool IsMux(const TopologyNode& node) { return node.type == "KSNODETYPE_MUX"; }

// The inputs a node takes, as the filter's connections number them.
ULONG InputCount(const TopologyView& view, ULONG node) {
  ULONG inputs = 0;
  for (const TopologyLink& l : view.links)
    if (l.toNode == node) inputs = std::max(inputs, l.toPin);
  return inputs;
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

std::string StatusHex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Whether a model node of `type` can be the filter's node of `kind`: the
// kinds a type shows as, for the types that have one.
bool ModelTypeFits(ULONG type, const std::string& kind) {
  switch (type) {
    case NODE_TYPE_MUTE: return kind == "mute";
    case NODE_TYPE_VOLUME: return kind == "volume" || kind == "mic boost";
    case NODE_TYPE_SUM: return kind == "sum";
    case NODE_TYPE_AGC: return kind == "agc";
    case NODE_TYPE_LOUDNESS: return kind == "loudness";
    case NODE_TYPE_BASS: return kind == "bass";
    case NODE_TYPE_MID: return kind == "mid";
    case NODE_TYPE_TREBLE: return kind == "treble";
    case NODE_TYPE_SELECTOR: return kind == "selector";
    default: return true;
  }
}

// The nodes of one path in the signal's order: from the render stream pin
// on, or towards the capture stream pin. A filter with no stream pins has
// one path of every node, in index order.
std::vector<ULONG> PathOrder(const TopologyView& view, bool capture) {
  std::vector<ULONG> order;
  bool anyStream = false;
  for (const TopologyPin& p : view.pins) anyStream = anyStream || p.stream;
  for (const TopologyNode& n : view.nodes)
    if (!anyStream || (capture ? n.captureStep : n.renderStep)) order.push_back(n.id);
  if (!anyStream) return order;
  std::stable_sort(order.begin(), order.end(), [&](ULONG a, ULONG b) {
    const TopologyNode &x = view.nodes[a], &y = view.nodes[b];
    if (capture) return x.captureStep != y.captureStep ? x.captureStep > y.captureStep : x.number < y.number;
    return x.renderStep != y.renderStep ? x.renderStep < y.renderStep : x.number < y.number;
  });
  return order;
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

bool ParseCategory(const std::string& text, ULONG* category) {
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 10);
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0') {
    *category = number < PIN_CATEGORY_COUNT ? static_cast<ULONG>(number) : PIN_CATEGORY_COUNT;
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

// An output type node's current category and the ones it can take.
NTSTATUS OutputTypes(FilterHandle* filter, ULONG node, ULONG* current, std::vector<ULONG>* choices) {
  choices->clear();
  ULONG size = sizeof *current;
  NTSTATUS status =
      filter->Property(PROPSETID_OutputType, OUTPUTTYPE_CURRENT, KSPROPERTY_TYPE_GET, node, nullptr, 0, current, &size);
  ULONG list[2 + PIN_CATEGORY_COUNT] = {};
  size = sizeof list;
  if (NT_SUCCESS(status))
    status = filter->Property(PROPSETID_OutputType, OUTPUTTYPE_LIST, KSPROPERTY_TYPE_GET, node, nullptr, 0, list, &size);
  if (!NT_SUCCESS(status)) return status;
  const ULONG count = size >= 8 ? (size - 8) / sizeof(ULONG) : 0;
  for (ULONG i = 0; i < count && i < list[1]; ++i) choices->push_back(list[2 + i]);
  return STATUS_SUCCESS;
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
                         p.Name ? TopologyGuidName(*p.Name) : "", p.Category && *p.Category == KSCATEGORY_AUDIO});
  }
  for (ULONG i = 0; i < d.NodeCount; ++i) {
    const PCNODE_DESCRIPTOR& n = d.Nodes[i];
    TopologyNode node{i, NodeKind(n), n.Type ? TopologyGuidName(*n.Type) : "none",
                      n.Name ? TopologyGuidName(*n.Name) : ""};
    node.number = i;
    view.nodes.push_back(node);
  }
  for (ULONG i = 0; i < d.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
    view.links.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  }
  // The render path runs downstream from the stream pins that take data
  // in, the capture path upstream from those that give it out; each node
  // keeps the fewest steps it is from its path's pin.
  auto walk = [&view](bool render) {
    std::vector<ULONG> frontier;
    for (const TopologyLink& l : view.links) {
      const ULONG pin = render ? l.fromPin : l.toPin;
      const bool fromFilter = render ? l.fromNode == PCFILTER_NODE : l.toNode == PCFILTER_NODE;
      const ULONG next = render ? l.toNode : l.fromNode;
      if (fromFilter && pin < view.pins.size() && view.pins[pin].stream && view.pins[pin].input == render &&
          next < view.nodes.size())
        frontier.push_back(next);
    }
    for (ULONG step = 1; !frontier.empty(); ++step) {
      std::vector<ULONG> next;
      for (ULONG n : frontier) {
        ULONG& mark = render ? view.nodes[n].renderStep : view.nodes[n].captureStep;
        if (mark) continue;
        mark = step;
        for (const TopologyLink& l : view.links) {
          const ULONG from = render ? l.fromNode : l.toNode, to = render ? l.toNode : l.fromNode;
          if (from == n && to < view.nodes.size()) next.push_back(to);
        }
      }
      frontier = std::move(next);
    }
  };
  walk(true);
  walk(false);
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
      node.settingRanges = k.ranges;
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

bool NumberAsModel(TopologyView* view, PDEVICE_OBJECT adapterDevice) {
  if (!adapterDevice || !adapterDevice->DeviceExtension) return false;
  IAudioHal* model = GetDeviceExtension(adapterDevice)->Adapter;
  if (!model) return false;
  // The topology miniport lists the model's nodes, pins and clocks left
  // out, last first.
  std::vector<ITopoNode*> nodes;
  const ULONG count = model->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(model->GetNode(i, &node)) || !node) continue;
    const ULONG type = node->GetType();
    if (type == NODE_TYPE_INPUT_PIN || type == NODE_TYPE_OUTPUT_PIN || type == NODE_TYPE_CLOCK) continue;
    nodes.insert(nodes.begin(), node);
  }
  if (nodes.size() != view->nodes.size()) return false;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!ModelTypeFits(nodes[i]->GetType(), view->nodes[i].kind)) return false;
  for (size_t i = 0; i < nodes.size(); ++i) view->nodes[i].number = nodes[i]->GetId();
  return true;
}

std::string PathText(const TopologyNode& node) {
  if (node.renderStep && node.captureStep) return "render, capture";
  if (node.renderStep) return "render";
  return node.captureStep ? "capture" : "";
}

std::vector<ULONG> NodesInOrder(const TopologyView& view) {
  std::vector<ULONG> order;
  for (const TopologyNode& n : view.nodes) order.push_back(n.id);
  std::stable_sort(order.begin(), order.end(),
                   [&view](ULONG a, ULONG b) { return view.nodes[a].number < view.nodes[b].number; });
  return order;
}

std::string NodeText(const TopologyView& view, ULONG node) {
  if (node >= view.nodes.size()) return "node index " + std::to_string(node);
  return view.nodes[node].kind + " (node " + std::to_string(view.nodes[node].number) + ")";
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
  for (ULONG id : NodesInOrder(view)) {
    const TopologyNode& n = view.nodes[id];
    out += "    " + std::to_string(n.number) + ": " + n.kind + "  " + n.type;
    if (!n.name.empty()) out += ", name " + n.name;
    const std::string path = PathText(n);
    if (!path.empty()) out += " (" + path + ")";
    out += "\n";
  }
  out += "  connections:\n";
  auto end = [&view](ULONG node, ULONG pin) {
    return node == PCFILTER_NODE ? "pin " + std::to_string(pin)
           : node < view.nodes.size()
               ? "node " + std::to_string(view.nodes[node].number) + "." + std::to_string(pin)
               : "node index " + std::to_string(node) + "." + std::to_string(pin);
  };
  for (const TopologyLink& l : view.links)
    out += "    " + end(l.fromNode, l.fromPin) + " -> " + end(l.toNode, l.toPin) + "\n";
  return out;
}

std::string TopologyDot(const TopologyView& view) {
  // A DOT string: quotes and backslashes escaped, line breaks as \n, each
  // once.
  auto quote = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '\n') {
        out += "\\n";
        continue;
      }
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  auto nodeId = [&view](ULONG node) {
    return "node" + std::to_string(node < view.nodes.size() ? view.nodes[node].number : node);
  };
  std::string out = "digraph " + quote(view.filter) + " {\n  rankdir=LR;\n  node [fontname=\"Helvetica\"];\n";
  out += "  label=" + quote("topology filter " + view.filter) + ";\n";
  for (const TopologyPin& p : view.pins) {
    std::string label = PinText(p) + (p.input ? " (in)" : " (out)") + "\n" + p.category;
    if (!p.name.empty()) label += "\n" + p.name;
    out += "  pin" + std::to_string(p.id) + " [shape=cds, style=filled, fillcolor=" +
           (p.input ? "\"#dbe9f6\"" : "\"#f6e3db\"") + ", label=" + quote(label) + "];\n";
  }
  for (ULONG id : NodesInOrder(view)) {
    const TopologyNode& n = view.nodes[id];
    std::string label = std::to_string(n.number) + ": " + n.kind + "\n" + n.type;
    if (!n.name.empty() && n.kind != "bass" && n.kind != "mid" && n.kind != "treble") label += "\n" + n.name;
    out += "  " + nodeId(id) + " [shape=box, style=rounded, label=" + quote(label) + "];\n";
  }
  for (const TopologyLink& l : view.links) {
    const bool fromPin = l.fromNode == PCFILTER_NODE, toPin = l.toNode == PCFILTER_NODE;
    out += "  " + (fromPin ? "pin" + std::to_string(l.fromPin) : nodeId(l.fromNode)) + " -> " +
           (toPin ? "pin" + std::to_string(l.toPin) : nodeId(l.toNode));
    if (!toPin) out += " [headlabel=\"" + std::to_string(l.toPin) + "\"]";
    out += ";\n";
  }
  out += "}\n";
  return out;
}

bool FindControl(const TopologyView& view, const std::string& spec, bool capture, ULONG* node, int* setting) {
  *setting = -1;
  const size_t dot = spec.find('.');
  if (dot != std::string::npos && FindControl(view, spec.substr(0, dot), capture, node, setting)) {
    *setting = -1;
    const std::vector<std::string>& names = view.nodes[*node].settings;
    for (size_t i = 0; i < names.size(); ++i) {
      if (strcasecmp(names[i].c_str(), spec.c_str() + dot + 1) == 0) {
        *setting = static_cast<int>(i);
        return true;
      }
    }
    return false;
  }
  if (!spec.empty() && spec.find_first_not_of("0123456789") == std::string::npos) {
    if (spec.size() > 9) return false;
    const auto number = static_cast<ULONG>(std::stoul(spec));
    for (const TopologyNode& n : view.nodes) {
      if (n.number != number) continue;
      *node = n.id;
      return true;
    }
    return false;
  }
  std::string kind = spec;
  ULONG wanted = 1;
  const size_t hash = spec.rfind('#');
  if (hash != std::string::npos) {
    kind = spec.substr(0, hash);
    const std::string count = spec.substr(hash + 1);
    if (count.empty() || count.size() > 4 || count.find_first_not_of("0123456789") != std::string::npos) return false;
    wanted = static_cast<ULONG>(std::stoul(count));
    if (wanted == 0) return false;
  }
  // A selector was shown as a mux once; scripts may still name it so.
  if (strcasecmp(kind.c_str(), "mux") == 0) kind = "selector";
  // The path asked for; a kind that path does not have at all is counted
  // over every node, by number.
  auto ofKind = [&](ULONG id) { return strcasecmp(view.nodes[id].kind.c_str(), kind.c_str()) == 0; };
  std::vector<ULONG> order = PathOrder(view, capture);
  if (std::none_of(order.begin(), order.end(), ofKind)) order = NodesInOrder(view);
  for (ULONG id : order) {
    if (ofKind(id) && --wanted == 0) {
      *node = id;
      return true;
    }
  }
  return false;
}

bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node, int* setting) {
  return FindControl(view, spec, false, node, setting);
}

bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node) {
  int setting = -1;
  return FindControl(view, spec, false, node, &setting) && setting < 0;
}

std::string ControlNames(const TopologyView& view, bool capture) {
  std::vector<std::string> names;
  std::map<std::string, int> seen;
  for (ULONG id : PathOrder(view, capture)) {
    const std::string& kind = view.nodes[id].kind;
    if (kind == "sum") continue;
    const int n = ++seen[kind];
    names.push_back(n == 1 ? kind : kind + "#" + std::to_string(n));
  }
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out.empty() ? "none" : out;
}

NTSTATUS ReadControl(FilterHandle* filter, const TopologyView& view, ULONG node, ControlReading* reading) {
  *reading = {};
  if (node >= view.nodes.size()) return STATUS_INVALID_PARAMETER;
  const std::string& kind = view.nodes[node].kind;
  reading->node = node;
  reading->number = view.nodes[node].number;
  reading->kind = kind;
  reading->path = PathText(view.nodes[node]);
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
  } else if (kind == "selector" && IsMux(view.nodes[node])) {
    ULONG input = 0;
    status = GetUlong(filter, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, node, 0, &input);
    if (NT_SUCCESS(status)) {
      reading->values.push_back(static_cast<LONG>(input));
      parts.push_back("input " + std::to_string(input) + " of " + std::to_string(InputCount(view, node)));
    }
  } else if (kind == "selector") {
    // The node reads nothing back, and has nothing to choose: its one
    // input is the one selected.
    if (InputCount(view, node) == 1) {
      reading->values.push_back(1);
      parts.push_back("input 1 of 1");
    } else {
      status = STATUS_NOT_SUPPORTED;
    }
  } else if (kind == "output type") {
    ULONG current = 0;
    status = OutputTypes(filter, node, &current, &reading->choices);
    if (NT_SUCCESS(status)) {
      reading->values.push_back(static_cast<LONG>(current));
      std::string choices;
      for (ULONG c : reading->choices) choices += (choices.empty() ? "" : ", ") + CategoryText(c);
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
  reading->text = NodeText(view, node) + ":";
  for (size_t i = 0; i < parts.size(); ++i) reading->text += (i ? ", " : " ") + parts[i];
  if (reading->hasRange)
    reading->text += "  [" + Decibels(reading->minimum) + " .. " + Decibels(reading->maximum) + ", step " +
                     Decibels(reading->step) + "]";
  return STATUS_SUCCESS;
}

namespace {

// What WriteControl sends: one property of a node, the same value on each
// of its channels, or a block of settings.
struct ControlWrite {
  const GUID* set = &KSPROPSETID_Audio;
  ULONG property = KSPROPERTY_AUDIO_DEV_SPECIFIC;
  ULONG value = 0;
  std::vector<ULONG> channels;
  int setting = -1;
};

NTSTATUS PrepareWrite(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& text,
                      LONG channel, int setting, std::string* error, ControlWrite* write) {
  if (node >= view.nodes.size()) {
    if (error) *error = "no node index " + std::to_string(node);
    return STATUS_INVALID_PARAMETER;
  }
  const TopologyNode& n = view.nodes[node];
  const std::string& kind = n.kind;
  const std::string subject = NodeText(view, node);
  auto fail = [&](const std::string& why) {
    if (error) *error = subject + ": " + why;
    return STATUS_INVALID_PARAMETER;
  };
  std::string why;
  double number = 0;
  write->setting = setting;
  if (setting >= 0) {
    if (size_t(setting) >= n.settings.size()) return fail("has no setting " + std::to_string(setting));
    if (channel > 0) return fail(n.settings[setting] + " has one value, not channels");
    ValueRange range{INT32_MIN, UINT32_MAX, "", true, 0};
    if (size_t(setting) < n.settingRanges.size())
      range = {static_cast<double>(n.settingRanges[setting].first), static_cast<double>(n.settingRanges[setting].second),
               "", true, 0};
    if (!ParseInRange(text, range, &number, &why)) return fail(n.settings[setting] + " " + why);
    write->value = static_cast<ULONG>(static_cast<LONGLONG>(number));
    return STATUS_SUCCESS;
  }
  // Level and switch nodes say how many channels they have, and a level
  // node its range on each.
  std::vector<KSPROPERTY_STEPPING_LONG> ranges;
  if (IsLevel(kind) || IsSwitch(kind)) {
    write->property = IsLevel(kind) ? LevelProperty(kind) : SwitchProperty(kind);
    if (filter) {
      const NTSTATUS status = SteppedRanges(filter, write->property, node, &ranges);
      if (!NT_SUCCESS(status)) {
        if (error) *error = subject + ": its channels cannot be read, " + StatusHex(status);
        return status;
      }
      if (ranges.empty()) return fail("reports no channels");
      if (channel >= LONG(ranges.size()))
        return fail("has no channel " + std::to_string(channel + 1) + " (accepted: 1 to " +
                    std::to_string(ranges.size()) + ")");
    }
  } else if (channel > 0) {
    return fail("has one value, not channels");
  }
  if (IsLevel(kind) || kind == "gain pad") {
    ValueRange range{-1e6, 1e6, "dB", false, 2};
    if (!ranges.empty()) {
      // The range of the channels set: each may have its own.
      const size_t first = channel >= 0 ? size_t(channel) : 0, last = channel >= 0 ? size_t(channel) : ranges.size() - 1;
      range.minimum = -1e9;
      range.maximum = 1e9;
      for (size_t c = first; c <= last; ++c) {
        range.minimum = std::max(range.minimum, ranges[c].Bounds.SignedMinimum / 65536.0);
        range.maximum = std::min(range.maximum, ranges[c].Bounds.SignedMaximum / 65536.0);
      }
    }
    if (!ParseInRange(text, range, &number, &why)) return fail(why);
    write->value = static_cast<ULONG>(static_cast<LONG>(std::lround(number * 65536.0)));
  } else if (IsSwitch(kind) || kind == "vendor switch" || kind == "board switch" ||
             (IsProcessing(n) && kind != "processing")) {
    size_t word = 0;
    if (!ParseWord(text, {"on", "off", "1", "0", "true", "false"}, &word, &why)) return fail(why);
    write->value = word % 2 == 0 ? 1 : 0;
  } else if (kind == "output type") {
    ULONG category = 0;
    std::vector<ULONG> choices;
    if (filter) {
      ULONG current = 0;
      const NTSTATUS status = OutputTypes(filter, node, &current, &choices);
      if (!NT_SUCCESS(status)) {
        if (error) *error = subject + ": its types cannot be read, " + StatusHex(status);
        return status;
      }
    }
    std::string accepted;
    for (ULONG c : choices) accepted += (accepted.empty() ? "" : ", ") + CategoryText(c);
    if (!ParseCategory(text, &category) ||
        (filter && std::find(choices.begin(), choices.end(), category) == choices.end()))
      return fail("'" + text + "' is not one of its types" + (accepted.empty() ? "" : " (accepted: " + accepted + ")"));
    write->value = category;
  } else if (kind == "selector") {
    // A selector takes the number of one of its inputs; one with a single
    // input takes only that (the device-specific range it reports is not
    // its inputs').
    const ULONG inputs = InputCount(view, node);
    if (!ParseInRange(text, {1, static_cast<double>(std::max<ULONG>(inputs, 1)), "", true, 0}, &number, &why))
      return fail(why);
    if (IsMux(n)) write->property = KSPROPERTY_AUDIO_MUX_SOURCE;
    write->value = static_cast<ULONG>(number);
  } else if (kind == "processing" || kind == "flag" || kind == "ranged value" || kind == "parameter block") {
    if (!ParseInRange(text, {0, UINT32_MAX, "", true, 0}, &number, &why)) return fail(why);
    write->value = static_cast<ULONG>(number);
  } else {
    if (error) *error = "a " + kind + " node has no control";
    return STATUS_NOT_SUPPORTED;
  }
  // Every channel means every channel the node reports, not a count the
  // caller made up.
  if (channel >= 0)
    write->channels.push_back(static_cast<ULONG>(channel));
  else if (!ranges.empty())
    for (ULONG c = 0; c < ranges.size(); ++c) write->channels.push_back(c);
  else
    write->channels.push_back(0);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CheckControlValue(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& text,
                           LONG channel, std::string* error, int setting) {
  ControlWrite write;
  return PrepareWrite(filter, view, node, text, channel, setting, error, &write);
}

NTSTATUS WriteControl(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& text,
                      LONG channel, std::string* error, int setting) {
  ControlWrite write;
  NTSTATUS status = PrepareWrite(filter, view, node, text, channel, setting, error, &write);
  if (!NT_SUCCESS(status) || !filter) return status;
  const std::string subject = NodeText(view, node);
  if (write.setting >= 0) {
    const ULONG instance[3] = {static_cast<ULONG>(write.setting), 1, write.value};
    ULONG size = 0;
    status = filter->Property(PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, KSPROPERTY_TYPE_SET, node,
                              instance, sizeof instance, nullptr, &size);
    if (!NT_SUCCESS(status) && error)
      *error = subject + ": " + view.nodes[node].settings[write.setting] + " refused the value " + text + ", " +
               StatusHex(status);
    return status;
  }
  for (ULONG c : write.channels) {
    status = SetUlong(filter, *write.set, write.property, node, c, write.value);
    if (!NT_SUCCESS(status)) {
      if (error)
        *error = subject + (write.channels.size() > 1 || write.channels[0] ? " channel " + std::to_string(c + 1) : "") +
                 " refused the value " + text + ", " + StatusHex(status);
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
