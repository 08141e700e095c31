// Coefficient tables of the rate-conversion stages.
#pragma once

#include <cstdint>

constexpr int32_t HALF_RATE_TAPS = 66;
constexpr int32_t QUARTER_RATE_TAPS = 132;
constexpr int32_t SRC147_UP_PHASES = 160;
constexpr int32_t SRC147_UP_TAPS = 20;
constexpr int32_t SRC147_DOWN_PHASES = 147;
constexpr int32_t SRC147_DOWN_TAPS = 24;
// Room for either direction's phases of taps.
constexpr int32_t SRC147_REVERSED_FLOATS = SRC147_DOWN_PHASES * SRC147_DOWN_TAPS;
static_assert(SRC147_UP_PHASES * SRC147_UP_TAPS <= SRC147_REVERSED_FLOATS);

// Linear-phase lowpass filters of the power-of-two stages (symmetric).
extern const float HalfRateTaps66[HALF_RATE_TAPS];
extern const float QuarterRateTaps132[QUARTER_RATE_TAPS];

// Polyphase rows of the 160/147 and 147/160 stages, by phase, then tap.
// Tap k of up phase p is sample 160k + p of the prototype
//   u[n] = sinc((n - 1600) / 160) w(n - 1600),  n = 0 .. 3199,
// and tap k of down phase p is sample 147k + p of
//   d[n] = 1.03 (147 / 160) sinc(1.03 (n - 1600) / 160) w(n - 1600),  n = 0 .. 3200, 0 beyond,
// with sinc(x) = sin(pi x) / (pi x) and the Kaiser window
//   w(m) = I0(10 sqrt(1 - (m / 1600)^2)) / I0(10),
// each value rounded to single precision. Up phase 0 is the exact unit
// impulse at tap 10 (the formula's off-centre taps are zero but for the
// rounding of sin(pi k)). The down filter's cutoff lies 3 % above half the
// lower rate.
extern const float Src147UpTaps[SRC147_UP_PHASES][SRC147_UP_TAPS];
extern const float Src147DownTaps[SRC147_DOWN_PHASES][SRC147_DOWN_TAPS];
