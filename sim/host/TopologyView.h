// What a control panel sees of the driver's topology filter: its pins,
// nodes and connections as text or a Graphviz graph; its controls read
// and changed through the real property path; and the control-change events
// a device-side change raises. The headset-host commands `info --dot`,
// `get`, `set` and `events` are thin wrappers over these.
//
// Names: a node is shown and found by one number, the hardware model's
// (the number in its stored values' names, "Unit02_" for node 2) when the
// view comes from the running driver, the filter's node index otherwise;
// and by its kind, counted along the render path ("volume", "mute#2") or,
// asked for, the capture path.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/host/Host.h"

namespace sim::host {

// ---- The description ------------------------------------------------------------------

struct TopologyPin {
  ULONG id;
  bool input;           // KSPIN_DATAFLOW_IN
  std::string category;  // "KSNODETYPE_HEADPHONES", or a GUID
  std::string name;      // empty when the pin has none
  bool stream = false;   // the wave filter's side (KSCATEGORY_AUDIO)
};

struct TopologyNode {
  ULONG id;
  std::string kind;  // short: "volume", "mute", "bass", "selector", "output type", "headphone", ...
  std::string type;  // "KSNODETYPE_VOLUME", or a GUID
  std::string name;  // empty when the node has none
  // A processing node's settings, by name ("room", "variant"; the index
  // when the node's kind has no names for them), and the values each takes
  // where the kind is known (empty: any whole number).
  std::vector<std::string> settings = {};
  std::vector<std::pair<LONG, LONG>> settingRanges = {};
  // The number the node is shown and found by (see above).
  ULONG number = 0;
  // Steps from the render stream pin downstream, and from the capture
  // stream pin upstream; 0 off that path.
  ULONG renderStep = 0, captureStep = 0;
};

struct TopologyLink {
  ULONG fromNode, fromPin, toNode, toPin;  // PCFILTER_NODE for filter pins
};

struct TopologyView {
  std::string filter;
  std::vector<std::string> categories;
  std::vector<TopologyPin> pins;
  std::vector<TopologyNode> nodes;
  std::vector<TopologyLink> links;
};

TopologyView ViewTopology(const std::u16string& name, const PCFILTER_DESCRIPTOR& descriptor);
// The same for an open filter, with each processing node asked for its own
// name and settings: the filter's description gives every processing node
// one name.
TopologyView ViewTopology(FilterHandle* filter);
// Gives the nodes the hardware model's numbers. `adapterDevice` must be this
// driver's adapter; a model whose nodes do not match the filter's leaves
// the filter's numbers (false).
bool NumberAsModel(TopologyView* view, PDEVICE_OBJECT adapterDevice);
// "render", "capture", "render, capture" or "" for a node off both paths.
std::string PathText(const TopologyNode& node);
// The nodes in the order they are listed: by number.
std::vector<ULONG> NodesInOrder(const TopologyView& view);
std::string TopologyText(const TopologyView& view);
// A left-to-right graph: filter pins as arrows, nodes as boxes, node pin
// numbers on the edges.
std::string TopologyDot(const TopologyView& view);

// The driver's GUID names: kernel-streaming names, the private node kinds
// and pin names; the braced form for anything else.
std::string TopologyGuidName(const GUID& guid);

// ---- Controls --------------------------------------------------------------------------

// A node by number ("3") or by kind, optionally the n-th of its kind
// ("volume", "volume#2", "output type"), counted along the render path in
// the signal's order, or the capture path's with `capture`; a kind that
// path lacks (a microphone's selector, seen from the render side) is counted over
// every node by number, and so is every kind on a filter with no stream
// pins. False when nothing matches. *node is the filter's node index.
bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node);
// The same, or one setting of a processing node after a dot
// ("headphone.room", "2.variant"): *setting is its index, -1 for the node's
// own value.
bool FindControl(const TopologyView& view, const std::string& spec, ULONG* node, int* setting);
bool FindControl(const TopologyView& view, const std::string& spec, bool capture, ULONG* node, int* setting);
// The names FindControl knows on one path, for messages: "mute, volume,
// bass, room".
std::string ControlNames(const TopologyView& view, bool capture);
// "volume (node 2)".
std::string NodeText(const TopologyView& view, ULONG node);

struct ControlReading {
  ULONG node = 0;    // the filter's node index
  ULONG number = 0;  // the node's number as shown
  std::string kind;
  std::string path;  // PathText
  // Per channel, in the property's own unit: 1/65536 dB for levels, 0/1 for
  // switches, the input number for a selector, the pin category for an output
  // type, the byte for a processing node.
  std::vector<LONG> values;
  // For an output type: the categories it can take.
  std::vector<ULONG> choices;
  // A processing node's settings, by name, as it reports them.
  std::vector<std::pair<std::string, LONG>> settings;
  // The level range, when the node has one.
  bool hasRange = false;
  LONG minimum = 0, maximum = 0, step = 0;
  std::string text;  // "volume (node 1): -6.00 dB, -6.00 dB"
};

// Reads every channel of a node's control; STATUS_NOT_SUPPORTED for nodes
// without one (sum nodes).
NTSTATUS ReadControl(FilterHandle* filter, const TopologyView& view, ULONG node, ControlReading* reading);

// Changes a control. `value`: "-6dB" / "-6" for levels, "on" / "off" / 1 / 0
// for switches, an input number for a selector, a category number or prefix
// ("HP", "SPK") for an output type, a number for device-specific nodes.
// `channel` (from 0) -1 sets every channel the node reports. `setting` 0 or
// more changes that setting of a processing node (a number) instead.
// Values outside what the node reports (its level range, its channels, its
// output types, its inputs) are refused before anything is sent, with
// STATUS_INVALID_PARAMETER and a message that names the node, the value and
// what it accepts; channels count from 1 in messages. With a null `filter`
// only what the description shows is checked.
NTSTATUS WriteControl(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& value,
                      LONG channel, std::string* error, int setting = -1);
// All of WriteControl's checks, without the change.
NTSTATUS CheckControlValue(FilterHandle* filter, const TopologyView& view, ULONG node, const std::string& value,
                           LONG channel, std::string* error, int setting = -1);

// ---- Events -------------------------------------------------------------------------------

// KSEVENT_CONTROL_CHANGE subscriptions on every node whose table offers the
// event, for as long as the watch lives.
class ControlChangeWatch {
 public:
  ControlChangeWatch(FilterHandle* filter, const TopologyView& view);
  ~ControlChangeWatch();
  ControlChangeWatch(const ControlChangeWatch&) = delete;
  ControlChangeWatch& operator=(const ControlChangeWatch&) = delete;

  size_t Subscriptions() const { return m_Subscriptions.size(); }
  // Nodes with deliveries since the last call, with their counts.
  std::vector<std::pair<ULONG, ULONG>> TakeDeliveries();

 private:
  struct Subscription {
    ULONG node;
    KSEVENTDATA data;
    KEVENT event;
    ULONG seen;
  };
  FilterHandle* m_Filter;
  std::vector<Subscription*> m_Subscriptions;
};

}  // namespace sim::host
