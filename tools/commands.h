// headset-host's commands and the program around them. The mechanisms every
// command shares (options, numbers, files, output, progress) are described
// in tools/cli.h.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli.h"

namespace tools {

extern const char* const kVersion;

// The program's own options, which every command takes.
struct Options {
  std::string descriptors;         // empty: the embedded device named by `device`
  std::string device = "headset";  // an embedded device (sim::EmbeddedDevices)
  // "product" or "chip": whose hardware-model factory starts the device;
  // empty: the embedded device's own (the product's for a descriptor file).
  std::string factory;
  // "full" or "high": the bus speed of a --descriptors device; empty: its
  // sysfs speed file, else what its endpoints need.
  std::string speed;
  std::string stateDir = "out/state";
  bool stateGiven = false;  // --state was given (demo uses a fresh state otherwise)
  bool realtime = false;
  bool json = false;
  bool verbose = false;
};

struct Command {
  const char* name;
  const char* arguments;  // as the usage shows them: "CONTROL VALUE"
  const char* summary;
  std::vector<OptionSpec> options;
  size_t minArguments = 0;
  size_t maxArguments = 0;
  int (*run)(const Options& options, const Args& args, const Reporter& report);
};

const std::vector<Command>& Commands();
const std::vector<OptionSpec>& ProgramOptions();
// The whole usage, or one command's.
std::string Usage();
std::string CommandUsage(const Command& command);

// The program as main() runs it: `args` without the program's name, output
// to `out` and `err`; returns the exit status (0, 1 failed, 2 usage).
int RunHeadsetHost(const std::vector<std::string>& args, FILE* out = stdout, FILE* err = stderr);

}  // namespace tools
