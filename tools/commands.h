#pragma once

#include <string>
#include <vector>

namespace tools {

struct Options {
  std::string descriptors;         // empty: the embedded device named by `device`
  std::string device = "headset";  // an embedded device (sim::EmbeddedDevices)
  // "product" or "chip": whose hardware-model factory starts the device;
  // empty: the embedded device's own (the product's for a descriptor file).
  std::string factory;
  std::string stateDir = "out/state";
  bool realtime = false;
  bool json = false;
  bool verbose = false;
};

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const Options&, const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

}  // namespace tools
