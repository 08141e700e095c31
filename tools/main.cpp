// headset-host: loads the driver, plugs in a simulated USB headset and shows,
// plays, records and controls it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/device/EmbeddedDevices.h"
#include "tools/commands.h"
#include "tools/session.h"

namespace {

void Usage() {
  std::printf(
      "usage: headset-host [options] <command> [args]\n"
      "commands:\n");
  for (const tools::Command& c : tools::Commands()) std::printf("  %-7s %s\n", c.name, c.summary);
  std::printf(
      "options:\n"
      "  --device NAME       an embedded device (default headset); --device list lists them\n"
      "  --descriptors FILE  device descriptors in the sysfs 'descriptors' layout\n"
      "  --factory KIND      whose hardware-model factory starts the device: product (the product's own)\n"
      "                      or chip (the chip-identifying one); default: the device's own\n"
      "  --state DIR         persisted registry and \\SystemRoot\\ directory (default out/state)\n"
      "  --realtime          run the device clock in real time (default: as fast as possible)\n"
      "  --json              machine-readable output\n"
      "  --verbose           show the driver's debug output\n");
}

int ListDevices(bool json) {
  const auto& devices = sim::EmbeddedDevices();
  if (json) {
    std::printf("[");
    for (size_t n = 0; n < devices.size(); ++n)
      std::printf("%s{\"name\": %s, \"summary\": %s}", n ? ", " : "", tools::JsonString(devices[n].name).c_str(),
                  tools::JsonString(devices[n].summary).c_str());
    std::printf("]\n");
  } else {
    for (const sim::EmbeddedDevice& d : devices) std::printf("%-10s %s\n", d.name, d.summary);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  tools::Options options;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--descriptors" && i + 1 < argc) options.descriptors = argv[++i];
    else if (a == "--device" && i + 1 < argc) options.device = argv[++i];
    else if (a == "--factory" && i + 1 < argc) options.factory = argv[++i];
    else if (a == "--state" && i + 1 < argc) options.stateDir = argv[++i];
    else if (a == "--realtime") options.realtime = true;
    else if (a == "--json") options.json = true;
    else if (a == "--verbose") options.verbose = true;
    else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else
      rest.push_back(a);
  }
  if (options.device == "list") return ListDevices(options.json);
  if (rest.empty()) {
    Usage();
    return 2;
  }
  for (const tools::Command& c : tools::Commands()) {
    if (rest[0] == c.name) return c.run(options, std::vector<std::string>(rest.begin() + 1, rest.end()));
  }
  std::fprintf(stderr, "headset-host: unknown command '%s'\n", rest[0].c_str());
  Usage();
  return 2;
}
