// What headset-host's `events` does on a board whose driver polls a HID
// status (the 7753's polled board): the board answers a scripted series of
// status reports, one per poll, and the report says each time the poll's
// state changed, with the forced mute the device then holds on unit 11 and
// the render gain's mode.
#pragma once

#include <string>
#include <vector>

#include "sim/host/RunningDriver.h"

namespace tools {

struct StatusStep {
  sim::Bytes report;  // the status report, 3 bytes
  ULONG polls = 1;    // how many polls it answers
};

// "status=HEX[*POLLS]": HEX the report's first one to three bytes (the rest
// zero), POLLS 1 to 1000.
bool ParseStatusStep(const std::string& text, StatusStep* step, std::string* error);
// The jack sense set for a few polls, toggling for a few, clear for thirty,
// then set for thirty: the poll's three states in turn.
std::vector<StatusStep> DefaultStatusScript();
// Whether the started driver runs a status poll `events` can drive.
bool HasStatusPoll(sim::host::RunningDriver& driver);

bool WatchStatus(sim::host::RunningDriver& driver, const std::vector<StatusStep>& script, bool json, std::string* out,
                 std::string* error);

}  // namespace tools
