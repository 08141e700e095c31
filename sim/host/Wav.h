// Reading and writing WAV files: RIFF with 'fmt ' and 'data' chunks (other
// chunks are skipped), PCM of 8, 16, 24 or 32 bits and 32-bit IEEE float,
// plain or in the extensible layout with its channel mask. Malformed files
// are refused with a message, never read past their end; a file named by a
// user is checked before it is read (sim/InputFile.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/InputFile.h"

namespace sim::host {

// The largest WAV file ReadWav takes.
constexpr uint64_t kMaxWavFileBytes = 512 * kMiB;
// At most this many channels in a file.
constexpr uint16_t kMaxWavChannels = 32;

struct WavData {
  uint16_t formatTag = 1;  // 1 PCM, 3 IEEE float
  uint16_t channels = 2;
  uint32_t sampleRate = 48000;
  uint16_t bitsPerSample = 16;
  // The speakers of the channels, in the extensible layout's bits; 0: the
  // usual layout for the channel count.
  uint32_t channelMask = 0;
  std::vector<uint8_t> samples;  // interleaved frames

  uint32_t BlockAlign() const { return channels * bitsPerSample / 8u; }
  uint32_t Frames() const { return BlockAlign() ? static_cast<uint32_t>(samples.size() / BlockAlign()) : 0; }
  double Seconds() const { return sampleRate ? static_cast<double>(Frames()) / sampleRate : 0.0; }
};

// "2 ch 44100 Hz 16 bit", "6 ch 96000 Hz 32 bit float".
std::string FormatText(const WavData& wav);

bool ParseWav(const std::vector<uint8_t>& bytes, WavData* wav, std::string* error);
bool ReadWav(const std::string& path, WavData* wav, std::string* error);
// The extensible layout when the data carries a channel mask, the plain one
// otherwise.
std::vector<uint8_t> SerializeWav(const WavData& wav);
bool WriteWav(const std::string& path, const WavData& wav, std::string* error);
// A 16-bit PCM sine tone, for the demo and tests.
WavData SineWav(uint32_t sampleRate, uint16_t channels, double frequency, double seconds, double amplitude);

}  // namespace sim::host
