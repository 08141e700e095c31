// Reading and writing WAV files: RIFF with 'fmt ' and 'data' chunks (other
// chunks are skipped), PCM of 8, 16, 24 or 32 bits and 32-bit IEEE float,
// plain or in the extensible layout with its channel mask. Malformed files
// are refused with a message, never read past their end; a file named by a
// user is checked before it is read (sim/InputFile.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/replace_file.h"
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

// A WAV file written as its audio arrives, in bounded memory however long
// it runs: the header goes out with the first frames and gets its sizes
// when the file is finished, and only then does the file replace its target
// (ReplacingFile). A writer never finished leaves the target as it was.
class WavWriter {
 public:
  // Refuses a target that may not be replaced before any audio is written.
  bool Open(const std::string& path, std::string* error);
  // Frames in `format`'s layout (its samples are not used); a frame split
  // across calls is joined. The header carries the last format given. A
  // failure is kept for Finish.
  void Append(const WavData& format, const uint8_t* data, size_t size);
  bool Finish(std::string* error);
  // Frames appended, written or not.
  uint64_t Frames() const;

 private:
  bool WriteFrames(const uint8_t* data, size_t size);
  bool Failed(const std::string& why);

  ReplacingFile m_File;
  std::string m_Path;
  WavData m_Format;  // never holds samples
  size_t m_HeaderBytes = 0;       // 0 until the header is written
  uint64_t m_DataBytes = 0;       // whole frames gone to the file
  uint64_t m_AppendedBytes = 0;
  std::vector<uint8_t> m_Buffer;  // not yet written, a part frame at its end
  std::string m_Error;
};
// A 16-bit PCM sine tone, for the demo and tests.
WavData SineWav(uint32_t sampleRate, uint16_t channels, double frequency, double seconds, double amplitude);

}  // namespace sim::host
