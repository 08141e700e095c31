// headset-host asio: the driver's private ASIO interface as an ASIO host
// uses it. Lists what the device offers (channels, rates, sample types,
// latencies), applies the chosen settings, streams a tone out and records
// the input for a while, and reports the buffer switches, the latencies
// the driver reports and the round trip measured through the device's
// loopback.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/host/AsioHost.h"
#include "sim/host/RunningDriver.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace tools {

struct AsioArguments {
  long latencyIndex = -1;  // -1: keep the driver's
  double seconds = 1.0;
  ULONG rate = 0;        // 0: keep the driver's
  ULONG sampleType = 0;  // 0: keep the active one
  std::string out = "out/asio-recorded.wav";
  std::function<void(double)> onProgress;  // the seconds streamed so far
};

// The command's options, and their values read from what ParseArgs found;
// false with one line naming what was wrong and what is accepted.
const std::vector<OptionSpec>& AsioOptions();
bool ParseAsioArguments(const Args& args, AsioArguments* parsed, std::string* error);

// The host's name of a sample type ("int16", "int32-24"), and the code
// for a name or a number; 0 when there is none.
std::string AsioSampleTypeName(ULONG code);
ULONG AsioSampleTypeCode(const std::string& text);

struct AsioReport {
  bool ok = false;
  std::string error;  // one line, when !ok
  std::string text;
  std::string json;
  sim::host::AsioStreamReport stream;
};

// The whole session on a started driver: the device's loopback joins its
// first isochronous OUT and IN endpoints.
AsioReport RunAsio(sim::host::RunningDriver& driver, const AsioArguments& arguments, bool realtime);

int Asio(const Options& options, const Args& args, const Reporter& reporter);

}  // namespace tools
