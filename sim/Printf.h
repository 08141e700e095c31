// printf into a std::string, for the text reports of the host side.
#pragma once

#include <string>

namespace sim {

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
