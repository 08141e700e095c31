// UTF-8 <-> UTF-16 for the stand-in's host-facing text (the saved registry,
// host file names). Unpaired surrogates travel as their three-byte forms, so
// every UTF-16 string the kernel can hold round-trips.
#pragma once

#include <string>
#include <string_view>

namespace platform {
std::string ToUtf8(std::u16string_view s);
// False on malformed input (bad sequences, overlong forms, out of range).
bool FromUtf8(std::string_view s, std::u16string* out);
}  // namespace platform
