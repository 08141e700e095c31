// The controls of the driver's topology filter as headset-host shows them:
// read and changed through the property path the way a control panel does,
// and the control-change events that changes made on the device (a button
// on the headset) raise. Each call reports as text or JSON into `out`.
//
// Controls are named as sim/host/TopologyView.h says: a node number (the
// hardware model's, as `info` lists the nodes and the stored values name
// them), or a kind counted along the render path ("volume", "mute#2"), or
// along the capture path with `capture`.
#pragma once

#include <string>
#include <vector>

#include "sim/host/RunningDriver.h"
#include "sim/host/TopologyView.h"

namespace tools {

// The driver's topology filter as the user sees it: the filter's view with
// the hardware model's node numbers; empty when there is no filter.
sim::host::TopologyView ViewDriverTopology(sim::host::RunningDriver& driver);

// Every control of the filter when `specs` is empty, otherwise the named
// ones. False with `error` when a name matches nothing or a read fails.
bool GetControls(sim::host::FilterHandle* filter, const sim::host::TopologyView& view,
                 const std::vector<std::string>& specs, bool json, std::string* out, std::string* error,
                 bool capture = false);

// Changes one control (`channel` from 0; -1: every channel the node
// reports) and reports what it reads afterwards. A value the control does
// not take is refused with its range.
bool SetControl(sim::host::FilterHandle* filter, const sim::host::TopologyView& view, const std::string& spec,
                const std::string& value, LONG channel, bool json, std::string* out, std::string* error,
                bool capture = false);

// Why `spec` names no control, and what names there are.
std::string NoControl(const sim::host::TopologyView& view, const std::string& spec, bool capture);

// One reading as a JSON object.
std::string ReadingJson(const sim::host::ControlReading& reading);

// A change made on the device itself: a unit's control takes a new value and
// the device reports it on its interrupt endpoint.
struct DeviceChange {
  uint8_t unit = 0;
  uint8_t controlSelector = 0;  // 0 for a selector unit
  uint8_t channel = 0;          // 0: master
  std::vector<uint8_t> value;   // as it travels on the wire
  std::string text;             // "unit 2 volume channel 1 = -6.00 dB"
};

// The numbers of "UNIT:CS[:CH]=VALUE" (decimal or 0x hex; the first three
// from 0 to 255, the value a whole number that fits four bytes), for
// devices whose controls are numbered only.
bool ParseChangeFields(const std::string& text, uint8_t* unit, uint8_t* cs, uint8_t* channel, long long* value,
                       std::string* error);
// A control value as it travels on the wire (little-endian, signed).
long long LittleEndianSigned(const sim::Bytes& bytes);

// "UNIT:CONTROL[:CHANNEL]=VALUE": the unit's number as `info` lists the
// units; the control by name (mute, volume, bass, ...) or selector number;
// the channel from 1, 0 or none for the master; the value as `set` takes
// it: dB for volume and tone controls, on/off for switches, a number
// otherwise. Checked against the device's range for the control.
bool ParseDeviceChange(const std::string& text, const sim::SimDevice& device, DeviceChange* change,
                       std::string* error);
// What a user would do with the device's buttons: each feature unit's mute
// toggled, then its volume turned 3 dB down, where the unit has them.
std::vector<DeviceChange> DefaultDeviceChanges(sim::SimDevice& device);

// Subscribes to KSEVENT_CONTROL_CHANGE on every node, makes each change on
// the device and reports the events that arrive, with what the node reads
// afterwards. False when some change raised no event.
bool WatchEvents(sim::host::RunningDriver& driver, const sim::host::TopologyView& view,
                 const std::vector<DeviceChange>& changes, bool json, std::string* out);

}  // namespace tools
