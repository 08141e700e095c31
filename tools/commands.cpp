#include "tools/commands.h"

#include <cstdio>

#include "kernel/nt.h"

namespace tools {
namespace {

int NotYet(const char* what) {
  std::printf("%s: not available yet (the driver parts it needs have not landed)\n", what);
  return 0;
}

// Exercises the kernel stand-in the way the driver will: pool by tag, a
// timed wait on the manual clock and a debug print.
int SelfCheck(const Options& options, const std::vector<std::string>&) {
  if (options.verbose) platform::debug::SetEcho(true);
  const ULONG tag = MakeTag("Demo");
  void* block = ExAllocatePoolWithTag(NonPagedPool, 64, tag);
  DbgPrint("%s allocated %d bytes with tag '%s'\n", "headset-host::SelfCheck", 64, "Demo");
  std::printf("kernel stand-in: pool %s, %zu block(s) outstanding\n", block ? "ok" : "FAILED",
              platform::pool::OutstandingCount());
  if (block) ExFreePool(block);
  std::printf("kernel stand-in: %zu block(s) outstanding after free\n", platform::pool::OutstandingCount());
  return block && platform::pool::OutstandingCount() == 0 ? 0 : 1;
}

int Demo(const Options& options, const std::vector<std::string>& args) {
  std::printf("headset-host demo: the embedded default headset\n");
  return SelfCheck(options, args);
}

int Info(const Options&, const std::vector<std::string>&) { return NotYet("info"); }
int Play(const Options&, const std::vector<std::string>&) { return NotYet("play"); }
int Record(const Options&, const std::vector<std::string>&) { return NotYet("record"); }
int Get(const Options&, const std::vector<std::string>&) { return NotYet("get"); }
int Set(const Options&, const std::vector<std::string>&) { return NotYet("set"); }
int Events(const Options&, const std::vector<std::string>&) { return NotYet("events"); }

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "show the device's descriptors and the driver's filters", Info},
      {"get", "read a control (node name or number)", Get},
      {"set", "change a control (volume in dB, mute, tone, selector, output type)", Set},
      {"play", "render a WAV file through the driver into the device", Play},
      {"record", "capture SECONDS from the device's microphone into a WAV file", Record},
      {"events", "watch control changes raised by device-side changes", Events},
      {"selfcheck", "check the kernel stand-in", SelfCheck},
      {"demo", "all of it on the embedded default headset, results into out/", Demo},
  };
  return commands;
}

}  // namespace tools
