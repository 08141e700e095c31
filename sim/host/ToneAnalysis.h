// Finding tones in recorded audio: the power of one frequency over a block
// (Goertzel's recurrence) and the strongest frequency of a band. Used to
// tell which prompt a device heard and to check the prompt's own tables.
#pragma once

#include <cstddef>

namespace sim::host {

// The power of `hz` over x[0, n) at `rate`, normalised so that a full-scale
// sine filling the block gives about 0.25.
double GoertzelPower(const float* x, size_t n, double rate, double hz);

// The frequency of [loHz, hiHz] with the most power over x[0, n): a 5 Hz
// scan, then a quarter-hertz one around its best.
double DominantFrequency(const float* x, size_t n, double rate, double loHz, double hiHz);

}  // namespace sim::host
