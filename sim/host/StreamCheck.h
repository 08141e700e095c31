// What the host can tell a user about a device whose streams the driver
// does not offer: which of its AudioStreaming alternate settings have a
// data endpoint that cannot carry their format, read from the descriptors
// as a class driver reads them.
#pragma once

#include <string>

#include "sim/device/ConfigModel.h"

namespace sim::host {

// One line per AudioStreaming alternate setting of the direction (render:
// the interface feeds an input terminal) whose first endpoint is missing,
// not isochronous, of the other direction, or too small for a packet's
// frames at the format's highest rate; empty when there is none.
std::string DescribeUnstreamableSettings(const ConfigModel& model, bool render);

}  // namespace sim::host
