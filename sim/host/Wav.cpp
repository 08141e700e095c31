#include "sim/host/Wav.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "host/replace_file.h"

namespace sim::host {
namespace {

constexpr uint16_t kFormatPcm = 1, kFormatFloat = 3, kFormatExtensible = 0xFFFE;
// The GUID tail every wave subformat shares after its format tag.
constexpr uint8_t kSubformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint8_t* Put32(uint8_t* p, uint32_t x) {
  for (int i = 0; i < 4; ++i) *p++ = static_cast<uint8_t>(x >> (8 * i));
  return p;
}
uint8_t* Put16(uint8_t* p, uint16_t x) {
  *p++ = static_cast<uint8_t>(x);
  *p++ = static_cast<uint8_t>(x >> 8);
  return p;
}
uint8_t* PutTag(uint8_t* p, const char* tag) {
  std::memcpy(p, tag, 4);
  return p + 4;
}

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

const char* const kAccepted = "accepted: PCM of 8, 16, 24 or 32 bits, or 32-bit float";

}  // namespace

std::string FormatText(const WavData& w) {
  char text[96];
  std::snprintf(text, sizeof text, "%u ch %u Hz %u bit%s", static_cast<unsigned>(w.channels),
                static_cast<unsigned>(w.sampleRate), static_cast<unsigned>(w.bitsPerSample),
                w.formatTag == kFormatFloat ? " float" : "");
  return text;
}

bool ParseWav(const std::vector<uint8_t>& b, WavData* wav, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return fail("not a RIFF/WAVE file");
  bool haveFormat = false, haveData = false;
  uint16_t blockAlign = 0;
  WavData out;
  size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t size = Le32(b.data() + at + 4);
    const size_t body = at + 8;
    if (size > b.size() - body) return fail("a chunk runs past the end of the file");
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && !haveFormat) {
      if (size < 16) return fail("format chunk too short");
      const uint8_t* f = b.data() + body;
      out.formatTag = Le16(f);
      out.channels = Le16(f + 2);
      out.sampleRate = Le32(f + 4);
      blockAlign = Le16(f + 12);
      out.bitsPerSample = Le16(f + 14);
      if (out.formatTag == kFormatExtensible) {
        if (size < 40 || Le16(f + 16) < 22) return fail("extensible format chunk too short");
        const uint16_t valid = Le16(f + 18);
        out.channelMask = Le32(f + 20);
        if (std::memcmp(f + 26, kSubformatTail, sizeof kSubformatTail) != 0)
          return fail("the extensible format's subformat is not a wave format (" + std::string(kAccepted) + ")");
        out.formatTag = Le16(f + 24);
        // Samples with fewer valid bits than their container are played as
        // the container holds them: the low bits are zero.
        if (valid > out.bitsPerSample) return fail("more valid bits than bits per sample");
      }
      haveFormat = true;
    } else if (std::memcmp(b.data() + at, "data", 4) == 0 && !haveData) {
      out.samples.assign(b.begin() + static_cast<std::ptrdiff_t>(body),
                         b.begin() + static_cast<std::ptrdiff_t>(body + size));
      haveData = true;
    }
    at = body + size + (size & 1);
  }
  if (!haveFormat) return fail("no format chunk");
  if (!haveData) return fail("no data chunk");
  if (out.formatTag != kFormatPcm && out.formatTag != kFormatFloat)
    return fail("format " + Hex4(out.formatTag) + " is compressed (" + kAccepted + ")");
  const bool pcmSize =
      out.bitsPerSample == 8 || out.bitsPerSample == 16 || out.bitsPerSample == 24 || out.bitsPerSample == 32;
  if ((out.formatTag == kFormatPcm && !pcmSize) || (out.formatTag == kFormatFloat && out.bitsPerSample != 32))
    return fail(std::to_string(out.bitsPerSample) + "-bit " + (out.formatTag == kFormatFloat ? "float" : "PCM") +
                " samples are not supported (" + kAccepted + ")");
  if (out.channels == 0 || out.channels > kMaxWavChannels)
    return fail(std::to_string(out.channels) + " channels (accepted: 1 to " + std::to_string(kMaxWavChannels) + ")");
  if (out.sampleRate == 0) return fail("a sample rate of 0 Hz");
  if (blockAlign != out.BlockAlign())
    return fail("block align " + std::to_string(blockAlign) + " does not match " + std::to_string(out.channels) +
                " channels of " + std::to_string(out.bitsPerSample) + " bits");
  out.samples.resize(out.samples.size() - out.samples.size() % out.BlockAlign());
  *wav = std::move(out);
  return true;
}

bool ReadWav(const std::string& path, WavData* wav, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadInputFile(path, "WAV file", kMaxWavFileBytes, &bytes, error)) return false;
  std::string why;
  if (ParseWav(bytes, wav, &why)) return true;
  if (error) *error = path + ": " + why;
  return false;
}

std::vector<uint8_t> SerializeWav(const WavData& wav) {
  const bool extensible = wav.channelMask != 0;
  const uint32_t formatSize = extensible ? 40 : 16;
  const size_t header = 12 + 8 + formatSize + 8;
  std::vector<uint8_t> v(header + wav.samples.size());
  uint8_t* p = PutTag(v.data(), "RIFF");
  p = Put32(p, static_cast<uint32_t>(v.size() - 8));
  p = PutTag(p, "WAVE");
  p = PutTag(p, "fmt ");
  p = Put32(p, formatSize);
  p = Put16(p, extensible ? kFormatExtensible : wav.formatTag);
  p = Put16(p, wav.channels);
  p = Put32(p, wav.sampleRate);
  p = Put32(p, wav.sampleRate * wav.BlockAlign());
  p = Put16(p, static_cast<uint16_t>(wav.BlockAlign()));
  p = Put16(p, wav.bitsPerSample);
  if (extensible) {
    p = Put16(p, 22);
    p = Put16(p, wav.bitsPerSample);
    p = Put32(p, wav.channelMask);
    p = Put16(p, wav.formatTag);
    std::memcpy(p, kSubformatTail, sizeof kSubformatTail);
    p += sizeof kSubformatTail;
  }
  p = PutTag(p, "data");
  p = Put32(p, static_cast<uint32_t>(wav.samples.size()));
  if (!wav.samples.empty()) std::memcpy(p, wav.samples.data(), wav.samples.size());
  return v;
}

bool WriteWav(const std::string& path, const WavData& wav, std::string* error) {
  const std::vector<uint8_t> bytes = SerializeWav(wav);
  return ReplaceFileContents(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, error) == 0;
}

WavData SineWav(uint32_t sampleRate, uint16_t channels, double frequency, double seconds, double amplitude) {
  WavData wav;
  wav.channels = channels;
  wav.sampleRate = sampleRate;
  wav.bitsPerSample = 16;
  const auto frames = static_cast<uint32_t>(sampleRate * seconds);
  wav.samples.resize(static_cast<size_t>(frames) * wav.BlockAlign());
  uint8_t* p = wav.samples.data();
  for (uint32_t i = 0; i < frames; ++i) {
    const double x = amplitude * std::sin(2.0 * M_PI * frequency * i / sampleRate);
    const auto s = static_cast<int16_t>(std::lround(x * 32767.0));
    for (uint16_t c = 0; c < channels; ++c) p = Put16(p, static_cast<uint16_t>(s));
  }
  return wav;
}

}  // namespace sim::host
