// Reading a file a user named on the command line (a WAV to play, a
// descriptor dump, its string table). The file must be a regular file no
// larger than the caller's bound, checked on the open file before a byte is
// read: a directory, a device such as /dev/zero, a pipe or a file that grows
// past the bound while it is read is refused with a message that names the
// file, what it is and what is accepted, never read without end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr uint64_t kKiB = 1024, kMiB = 1024 * kKiB;

// `what` names the kind of file in messages ("WAV file", "descriptor file").
bool ReadInputFile(const std::string& path, const std::string& what, uint64_t maxBytes, std::vector<uint8_t>* out,
                   std::string* error);

// A size as people read it: "512 MiB", "1.5 GiB", "300 bytes".
std::string SizeText(uint64_t bytes);

}  // namespace sim
