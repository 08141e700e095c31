// Reading and writing PCM WAV files (RIFF, 'fmt ' and 'data' chunks; other
// chunks are skipped). Malformed files are refused with a message, never
// read past their end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::host {

struct WavData {
  uint16_t formatTag = 1;  // 1 PCM, 3 IEEE float
  uint16_t channels = 2;
  uint32_t sampleRate = 48000;
  uint16_t bitsPerSample = 16;
  std::vector<uint8_t> samples;  // interleaved frames

  uint32_t BlockAlign() const { return channels * bitsPerSample / 8u; }
  uint32_t Frames() const { return BlockAlign() ? static_cast<uint32_t>(samples.size() / BlockAlign()) : 0; }
};

bool ParseWav(const std::vector<uint8_t>& bytes, WavData* wav, std::string* error);
bool ReadWav(const std::string& path, WavData* wav, std::string* error);
std::vector<uint8_t> SerializeWav(const WavData& wav);
bool WriteWav(const std::string& path, const WavData& wav, std::string* error);
// A 16-bit PCM sine tone, for the demo and tests.
WavData SineWav(uint32_t sampleRate, uint16_t channels, double frequency, double seconds, double amplitude);

}  // namespace sim::host
