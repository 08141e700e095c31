// The one check for numbers a user types: a control's level, a channel, a
// duration, a time into a stream. A number is decimal (a whole number may
// also be 0x hex), may carry its unit ("-6dB", "-6 dB", "1.5s"), must be
// finite and must fall in the range; anything else is refused with a
// message that names what was wrong and what is accepted:
//   "'-40000dB' is out of range (accepted: -60.00 dB to 0.00 dB)"
//   "'nan' is not a finite number (accepted: 0 to 600 s)"
// The caller puts the subject in front ("volume (node 2): ...").
#pragma once

#include <string>
#include <vector>

namespace sim::host {

struct ValueRange {
  double minimum = 0;
  double maximum = 0;
  std::string unit;    // shown after the numbers, and accepted after the value
  bool whole = false;  // whole numbers only
  int decimals = -1;   // decimals shown in the range; -1: as few as exact
};

// The range as the messages show it: "-60.00 dB to 0.00 dB", "1 to 2".
std::string RangeText(const ValueRange& range);

// True with the value; false with the message in `error`.
bool ParseInRange(const std::string& text, const ValueRange& range, double* value, std::string* error);

// One of a few words: on/off and the like. `accepted` lists them for the
// message; false when `text` is none of `words`.
bool ParseWord(const std::string& text, const std::vector<std::string>& words, size_t* index, std::string* error);

}  // namespace sim::host
