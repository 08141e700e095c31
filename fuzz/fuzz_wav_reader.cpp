// WAV files a user gives headset-host: any bytes are refused with a message
// or read into a format and whole frames, and what is read writes back out
// and reads again to the same thing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/Reach.h"
#include "sim/host/Wav.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  sim::host::WavData wav;
  std::string error;
  if (!sim::host::ParseWav(bytes, &wav, &error)) {
    Require(!error.empty(), "a refused file without a message");
    return 0;
  }
  Require(wav.samples.size() <= size, "more samples than the file holds");
  Require(wav.channels > 0 && wav.bitsPerSample > 0 && wav.sampleRate > 0, "a format without channels, size or rate");
  sim::host::WavData again;
  Require(sim::host::ParseWav(sim::host::SerializeWav(wav), &again, &error), "a read file does not read back");
  Require(again.formatTag == wav.formatTag && again.channels == wav.channels && again.sampleRate == wav.sampleRate &&
              again.bitsPerSample == wav.bitsPerSample && again.samples == wav.samples,
          "a read file reads back differently");
  fuzz::Reached("a file read and read back");
  return 0;
}

FUZZ_REACHES("a file read and read back")
