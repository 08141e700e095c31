// headset-host's `events` on an Audio Class 2.0 device. A change on the
// device travels as a 6-byte interrupt data message naming the entity, the
// control selector and the channel; what the driver makes of it differs by
// entity: a feature unit's node re-reads its value and is announced (an
// AudioHalNotify and a KSEVENT_CONTROL_CHANGE), a clock's validity is
// announced on the model's callback only (the clock node is not a KS node),
// and a terminal's connector makes the pin re-read its jacks and every
// engine update its wave subdevice, which comes and goes with the jack.
#pragma once

#include <string>
#include <vector>

#include "sim/device/Uac2Device.h"
#include "tools/controls.h"

namespace tools {

// "UNIT:CS[:CH]=VALUE": a feature or selector unit's control (the value in
// the control's size on the wire), a clock's validity (CS 2, 0 or 1), a
// terminal's connector (CS 2, the mask of connected channels) or an output
// terminal's type (CS 8, a terminal type).
bool ParseUac2Change(const std::string& text, const sim::Uac2Device& device, DeviceChange* change,
                     std::string* error);
// What a user and the device itself would do: each feature unit's mute
// toggled and its volume turned 3 dB down, each clock losing its lock and
// finding it again, each terminal with a connector unplugged and plugged in.
std::vector<DeviceChange> DefaultUac2Changes(sim::Uac2Device& device);

// Makes each change on the device and reports the message it sent, the
// model's notifications, the control-change events, what the driver read
// back from the entity and how the wave filters changed. False when a
// change the driver should have answered got no answer at all.
bool WatchUac2Events(sim::host::RunningDriver& driver, const sim::host::TopologyView& view,
                     const std::vector<DeviceChange>& changes, bool json, std::string* out);

}  // namespace tools
