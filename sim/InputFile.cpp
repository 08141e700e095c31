#include "sim/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Closes the descriptor on every path out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::string SizeText(uint64_t bytes) {
  char text[48];
  if (bytes >= 1024 * kMiB)
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * kMiB));
  else if (bytes >= kMiB && bytes % kMiB == 0)
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes / kMiB));
  else if (bytes >= kMiB)
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  else if (bytes >= kKiB && bytes % kKiB == 0)
    std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes / kKiB));
  else
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  return text;
}

bool ReadInputFile(const std::string& path, const std::string& what, uint64_t maxBytes, std::vector<uint8_t>* out,
                   std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (path.empty()) return fail("no " + what + " named (an empty path)");
  // Non-blocking, so that opening a pipe with no writer does not wait for one.
  Descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return fail("cannot open " + what + " " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(file.fd, &info) != 0) return fail("cannot examine " + path + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return fail(path + " is " + KindOf(info.st_mode) + ", not a " + what);
  const auto size = static_cast<uint64_t>(info.st_size);
  const std::string bound = "a " + what + " may have at most " + SizeText(maxBytes);
  if (size > maxBytes) return fail(path + " is " + SizeText(size) + "; " + bound);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t have = 0;
  for (;;) {
    // Room beyond the size fstat gave tells a file that grows meanwhile.
    if (have == bytes.size()) {
      if (have > maxBytes) return fail(path + " grew past the bound while it was read; " + bound);
      bytes.resize(static_cast<size_t>(std::min<uint64_t>(have + 64 * kKiB, maxBytes + 1)));
    }
    const ssize_t got = read(file.fd, bytes.data() + have, bytes.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail("cannot read " + path + ": " + std::strerror(errno));
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  bytes.resize(have);
  *out = std::move(bytes);
  return true;
}

}  // namespace sim
