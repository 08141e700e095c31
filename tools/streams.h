// Playing into and recording from the device through the driver's wave
// filters, as the system audio engine does: the WAV's format or the one the
// pin's intersection offers, the cyclic buffer kept ahead of the play
// position, and what reached the device's isochronous endpoint reported
// alongside.
#pragma once

#include <string>
#include <vector>

#include "sim/host/RunningDriver.h"
#include "sim/host/Wav.h"

namespace tools {

// A control change made while the stream plays, `atSeconds` into it ("set
// room on" half a second in), or before it starts when below 0.
struct TimedSet {
  std::string control;
  std::string value;
  double atSeconds = 0;
};

// What became of one TimedSet.
struct TimedSetDone {
  TimedSet set;
  double playedSeconds = 0;  // where the stream was when the set was made
  bool ok = false;
  std::string text;          // the control's reading afterwards, or why it failed
};

struct PlayReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;        // the wave filter played through
  uint8_t endpoint = 0;      // the device's OUT endpoint
  sim::host::WavData device;  // what the endpoint received, decoded
  std::vector<TimedSetDone> sets;
  bool refused = false;  // a change was refused before anything played
  std::string text;
  std::string failure;  // why the stream failed or ended early, in words
};

// "CONTROL=VALUE[@SECONDS]" (the time defaults to `defaultSeconds`).
bool ParseTimedSet(const std::string& text, double defaultSeconds, TimedSet* set, std::string* error);

struct RecordReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;
  uint8_t endpoint = 0;
  sim::host::WavData recorded;
  std::string text;
  std::string failure;  // why the recording failed or ended early, in words
};

// `render`: the wave filter whose streaming pin takes data in (render) or
// gives it out (capture); empty when the driver has none.
std::string FindWaveFilter(sim::host::RunningDriver& driver, bool render);

// `sets` are made through the topology filter while the stream plays, each
// on a thread of its own as a control panel would, so that a set that waits
// (a prompt still playing) does not hold the stream up. A control the
// filter does not have fails the play before it starts.
PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime,
                const std::vector<TimedSet>& sets = {});
// The device's microphone plays a sine of `toneHz` while it records.
RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime);

}  // namespace tools
