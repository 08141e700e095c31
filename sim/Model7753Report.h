// What the 7753 model holds beyond the Audio Class units, for the host's
// report: the switches in force (after the Settings store, the board's
// overrides and what the rewrite implies), the chip probe, the codec
// register shadow and the status poll with what it drives.
#pragma once

#include <string>

class C7753AudioHal;

namespace sim {

std::string Describe7753Model(C7753AudioHal& model);
// The poll state as words: "0 (forced mute on, render gain passes)".
std::string Describe7753PollState(unsigned long state);

}  // namespace sim
