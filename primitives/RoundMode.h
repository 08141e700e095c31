// How a float-to-integer conversion rounds. The conversions' baseline and
// level builds both take it, so it stands apart from either.
#pragma once

#include <cstdint>

using RoundMode = int32_t;
inline constexpr RoundMode ROUND_TOWARD_ZERO = 0;
inline constexpr RoundMode ROUND_NEAREST_EVEN = 1;
inline constexpr RoundMode ROUND_NEAREST_AWAY = 2;  // so is every other value
