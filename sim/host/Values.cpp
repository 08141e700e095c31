#include "sim/host/Values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace sim::host {
namespace {

std::string Number(double value, int decimals) {
  char text[64];
  if (decimals >= 0)
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
  else
    std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The text without its unit, when it ends in it (case aside).
std::string WithoutUnit(const std::string& text, const std::string& unit) {
  if (unit.empty() || text.size() < unit.size()) return text;
  const size_t at = text.size() - unit.size();
  if (strcasecmp(text.c_str() + at, unit.c_str()) != 0) return text;
  return Trim(text.substr(0, at));
}

}  // namespace

std::string RangeText(const ValueRange& r) {
  const std::string unit = r.unit.empty() ? "" : " " + r.unit;
  return Number(r.minimum, r.decimals) + unit + " to " + Number(r.maximum, r.decimals) + unit;
}

bool ParseInRange(const std::string& text, const ValueRange& range, double* value, std::string* error) {
  const std::string accepted = " (accepted: " + RangeText(range) + ")";
  auto fail = [&](const std::string& why) {
    if (error) *error = "'" + text + "' " + why + accepted;
    return false;
  };
  const std::string t = WithoutUnit(Trim(text), range.unit);
  if (t.empty()) return fail("is not a number");
  const char* begin = t.c_str();
  char* end = nullptr;
  double parsed = 0;
  const size_t digits = t[0] == '-' || t[0] == '+' ? 1 : 0;
  const bool hex = t.size() > digits + 2 && t[digits] == '0' && (t[digits + 1] == 'x' || t[digits + 1] == 'X');
  errno = 0;
  if (hex) {
    if (!range.whole) return fail("is not a decimal number");
    const long long whole = std::strtoll(begin, &end, 16);
    if (*end != '\0') return fail("is not a number");
    if (errno == ERANGE) return fail("is out of range");
    parsed = static_cast<double>(whole);
  } else {
    // Words strtod would take ("inf", "nan", "infinity") are no numbers
    // here, but they are named for what they are.
    parsed = std::strtod(begin, &end);
    if (*end != '\0') return fail("is not a number");
    if (std::isnan(parsed)) return fail("is not a finite number");
    if (std::isinf(parsed)) return fail(errno == ERANGE ? "is out of range" : "is not a finite number");
  }
  if (range.whole && parsed != std::floor(parsed)) return fail("is not a whole number");
  if (parsed < range.minimum || parsed > range.maximum) return fail("is out of range");
  *value = parsed;
  return true;
}

bool ParseWord(const std::string& text, const std::vector<std::string>& words, size_t* index, std::string* error) {
  const std::string t = Trim(text);
  std::string list;
  for (size_t i = 0; i < words.size(); ++i) {
    if (strcasecmp(words[i].c_str(), t.c_str()) == 0) {
      *index = i;
      return true;
    }
    list += (i ? ", " : "") + words[i];
  }
  if (error) *error = "'" + text + "' is not a choice (accepted: " + list + ")";
  return false;
}

}  // namespace sim::host
