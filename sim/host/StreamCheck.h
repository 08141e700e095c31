// What the host can tell a user about streams the driver does not offer:
// which of a device's AudioStreaming alternate settings have a data
// endpoint that cannot carry their format, or some of its rates, read from
// the descriptors as the driver reads them.
#pragma once

#include <string>

#include "sim/device/ConfigModel.h"

namespace sim::host {

// One line per AudioStreaming alternate setting of the direction (render:
// the interface feeds an input terminal) whose first endpoint is missing,
// not isochronous data, of the other direction, or too small for a packet's
// frames at every rate of its format; empty when there is none.
std::string DescribeUnstreamableSettings(const ConfigModel& model, bool render);

// One line per AudioStreaming alternate setting, either direction, whose
// data endpoint cannot carry some of the rates the driver would offer (on a
// high-speed bus with `highSpeed`): "interface 1 alternate setting 1: 96000
// Hz (why)"; empty when there is none.
std::string DescribeRatesLeftOut(const ConfigModel& model, bool highSpeed);

}  // namespace sim::host
