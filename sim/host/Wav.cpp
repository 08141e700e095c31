#include "sim/host/Wav.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::host {
namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

}  // namespace

bool ParseWav(const std::vector<uint8_t>& b, WavData* wav, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return fail("not a RIFF/WAVE file");
  bool haveFormat = false, haveData = false;
  WavData out;
  size_t at = 12;
  while (at + 8 <= b.size()) {
    uint32_t size = Le32(b.data() + at + 4);
    size_t body = at + 8;
    if (size > b.size() - body) return fail("chunk runs past the end of the file");
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0) {
      if (size < 16) return fail("format chunk too short");
      out.formatTag = Le16(b.data() + body);
      out.channels = Le16(b.data() + body + 2);
      out.sampleRate = Le32(b.data() + body + 4);
      out.bitsPerSample = Le16(b.data() + body + 14);
      if (out.formatTag == 0xFFFE && size >= 40) out.formatTag = Le16(b.data() + body + 24);
      haveFormat = true;
    } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
      out.samples.assign(b.begin() + static_cast<std::ptrdiff_t>(body),
                         b.begin() + static_cast<std::ptrdiff_t>(body + size));
      haveData = true;
    }
    at = body + size + (size & 1);
  }
  if (!haveFormat || !haveData) return fail("missing format or data chunk");
  if (out.formatTag != 1 && out.formatTag != 3) return fail("only PCM and IEEE float WAV files are supported");
  if (out.channels == 0 || out.channels > 8 || out.sampleRate == 0 ||
      (out.bitsPerSample != 8 && out.bitsPerSample != 16 && out.bitsPerSample != 24 && out.bitsPerSample != 32))
    return fail("unsupported channel count, rate or sample size");
  out.samples.resize(out.samples.size() - out.samples.size() % out.BlockAlign());
  *wav = std::move(out);
  return true;
}

bool ReadWav(const std::string& path, WavData* wav, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseWav(bytes, wav, error);
}

std::vector<uint8_t> SerializeWav(const WavData& wav) {
  std::vector<uint8_t> v;
  v.insert(v.end(), {'R', 'I', 'F', 'F'});
  Put32(v, static_cast<uint32_t>(36 + wav.samples.size()));
  v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(v, 16);
  Put16(v, wav.formatTag);
  Put16(v, wav.channels);
  Put32(v, wav.sampleRate);
  Put32(v, wav.sampleRate * wav.BlockAlign());
  Put16(v, static_cast<uint16_t>(wav.BlockAlign()));
  Put16(v, wav.bitsPerSample);
  v.insert(v.end(), {'d', 'a', 't', 'a'});
  Put32(v, static_cast<uint32_t>(wav.samples.size()));
  v.insert(v.end(), wav.samples.begin(), wav.samples.end());
  return v;
}

bool WriteWav(const std::string& path, const WavData& wav, std::string* error) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint8_t> bytes = SerializeWav(wav);
  if (!out || !out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

WavData SineWav(uint32_t sampleRate, uint16_t channels, double frequency, double seconds, double amplitude) {
  WavData wav;
  wav.channels = channels;
  wav.sampleRate = sampleRate;
  wav.bitsPerSample = 16;
  auto frames = static_cast<uint32_t>(sampleRate * seconds);
  for (uint32_t i = 0; i < frames; ++i) {
    double x = amplitude * std::sin(2.0 * M_PI * frequency * i / sampleRate);
    auto s = static_cast<int16_t>(std::lround(x * 32767.0));
    for (uint16_t c = 0; c < channels; ++c) Put16(wav.samples, static_cast<uint16_t>(s));
  }
  return wav;
}

}  // namespace sim::host
