// What the system audio engine does between a client's stream and a wave
// pin in shared mode: the client plays whatever PCM or float format its
// file has, and the engine converts it into the one format the pin takes,
// choosing that format from what the pin's intersection offers.
//
// The choice keeps as much of the source as the pin allows, the rate first
// (rate conversion is the costly and lossy step), then the sample type and
// size, then the channel count; where the pin has no such rate it takes
// 48 kHz, else 44.1 kHz, else its highest. The conversion runs in double
// precision: samples to [-1, 1), channels by speaker position (a speaker
// the pin lacks folds into its neighbours; a mono source plays on the
// front pair), the rate through a windowed-sinc resampler, and back into
// the pin's sample type with rounding and clipping. A source already in
// the chosen format passes unchanged, sample for sample.
#pragma once

#include <string>

#include "sim/host/Host.h"
#include "sim/host/Wav.h"

namespace sim::host {

// The source rates the engine converts from.
constexpr uint32_t kMinEngineRate = 8000, kMaxEngineRate = 384000;

struct EngineFormat {
  WavData format;    // the pin's format (no samples)
  std::string text;  // "8 ch 48000 Hz 16 bit, converted from 2 ch 44100 Hz 24 bit (rate, sample size, channels)"
  bool converted = false;
};

// The format `source` plays in on the filter's streaming pin. False, with
// why, when the source's rate is outside what the engine converts or the
// pin offers no audio format at all.
bool ChooseEngineFormat(FilterHandle* filter, const WavData& source, EngineFormat* chosen, std::string* error);

// `source` converted into `format`'s type, size, channels (and mask) and
// rate.
WavData ConvertWav(const WavData& source, const WavData& format);

}  // namespace sim::host
