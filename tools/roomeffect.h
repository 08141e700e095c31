// What a switch of the room effect leaves in the audio the device received:
// the two-tone prompt (which one, from the dominant frequency of each burst)
// and the crossfade between the dry and the wet signal (where, from the dip
// its two ramps make in the signal's level). Both are looked for in the
// front-left channel only, within a window of the recording.
#pragma once

#include <string>

#include "sim/host/Wav.h"

namespace tools {

// The prompt's bursts stand below this frequency; a program played beside
// them should stay above it for them to be told apart.
constexpr double kPromptBandHz = 2500.0;

// A program for hearing the room effect switch: a stereo tone above the
// prompt's band (3 kHz, -12 dBFS) of `seconds`.
sim::host::WavData RoomProgram(double seconds);

struct PromptHeard {
  bool found = false;
  double firstAt = 0, secondAt = 0;  // seconds into the recording
  double firstHz = 0, secondHz = 0;
  bool rising = false;
  std::string text;  // "rising prompt at 0.531 s: 415.0 Hz, then 1568.0 Hz at 0.671 s"
};

// The first two bursts between `fromSeconds` and `toSeconds`: runs of at
// least 50 ms of 10 ms windows whose strongest tone below kPromptBandHz
// stands within 6 dB of the strongest of all.
PromptHeard FindPrompt(const sim::host::WavData& device, double fromSeconds, double toSeconds);

struct CrossfadeHeard {
  bool found = false;
  double startAt = 0, endAt = 0;  // seconds into the recording
  unsigned samples = 0;           // its length, as measured
  std::string text;  // "crossfade at 0.512 s .. 0.516 s (190 samples)"
};

// The deepest dip of the signal's 1 ms level between `fromSeconds` and
// `toSeconds`, if it falls below a fifth of the level on both sides: the
// part below half that level is the middle half of the crossfade.
CrossfadeHeard FindCrossfade(const sim::host::WavData& device, double fromSeconds, double toSeconds);

struct RoomSwitchHeard {
  PromptHeard prompt;
  CrossfadeHeard crossfade;
};

// What a switch made `atSeconds` into a play left in the device's audio:
// its crossfade from 20 ms before to 150 ms after (the pipeline's delay),
// its prompt within 700 ms.
RoomSwitchHeard HearRoomSwitch(const sim::host::WavData& device, double atSeconds);

}  // namespace tools
