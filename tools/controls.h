// The controls of the driver's topology filter as headset-host shows them:
// read and changed through the property path the way a control panel does,
// and the control-change events that changes made on the device (a button
// on the headset) raise. Each call reports as text or JSON into `out`.
#pragma once

#include <string>
#include <vector>

#include "sim/host/RunningDriver.h"
#include "sim/host/TopologyView.h"

namespace tools {

// Every control of the filter when `specs` is empty, otherwise the named
// ones ("3", "volume", "volume#2", "output type"). False with `error` when a
// name matches nothing or a read fails.
bool GetControls(sim::host::FilterHandle* filter, const sim::host::TopologyView& view,
                 const std::vector<std::string>& specs, bool json, std::string* out, std::string* error);

// Changes one control (`channel` -1: every channel the node reports) and
// reports what it reads afterwards.
bool SetControl(sim::host::FilterHandle* filter, const sim::host::TopologyView& view, const std::string& spec,
                const std::string& value, LONG channel, bool json, std::string* out, std::string* error);

// A change made on the device itself: a unit's control takes a new value and
// the device reports it on its interrupt endpoint.
struct DeviceChange {
  uint8_t unit = 0;
  uint8_t controlSelector = 0;  // 0 for a selector unit
  uint8_t channel = 0;          // 0: master
  std::vector<uint8_t> value;   // as it travels on the wire
  std::string text;             // "unit 2 mute master = 1"
};

// The numbers of "UNIT:CS[:CH]=VALUE" (decimal or 0x hex; the first three
// from 0 to 255, the value signed).
bool ParseChangeFields(const std::string& text, uint8_t* unit, uint8_t* cs, uint8_t* channel, long long* value,
                       std::string* error);
// A control value as it travels on the wire (little-endian, signed).
long long LittleEndianSigned(const sim::Bytes& bytes);
// A control's reading as a JSON object.
std::string ReadingJson(const sim::host::ControlReading& reading);

// "UNIT:CS[:CH]=VALUE" (decimal or 0x hex; the value is a signed number
// sent in the control's size on the wire).
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
