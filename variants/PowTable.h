// Powers of 2 and 10 from tables, for turning decibels into linear gains
// without the math library: 10^x to 1/200 of a decade (0.1 dB when x is a
// level in dB over 20).
#pragma once

#include <cstdint>

inline constexpr int kTwoPowerCount = 16;
inline constexpr int kTenthPowerCount = 201;
// 2^i, i = 0..15.
extern const double TwoPowers[kTwoPowerCount];
// 10^(i/200), i = 0..200.
extern const double TenthPowers[kTenthPowerCount];

// Halves go away from zero. Values beyond the 32-bit range saturate, NaN
// gives 0.
int32_t RoundToInt(double x);

// base^exponent for base exactly 2 or 10; 0 for any other base and for a
// NaN exponent.
double PowTable(double base, double exponent);
float PowTableF(float base, float exponent);
