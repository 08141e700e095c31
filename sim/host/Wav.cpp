#include "sim/host/Wav.h"

#include <cmath>
#include <cstdio>
#include <cstring>

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

namespace {

// The header ahead of `dataBytes` of `format`'s frames.
std::vector<uint8_t> WavHeader(const WavData& wav, uint32_t dataBytes) {
  const bool extensible = wav.channelMask != 0;
  const uint32_t formatSize = extensible ? 40 : 16;
  std::vector<uint8_t> v(12 + 8 + formatSize + 8);
  uint8_t* p = PutTag(v.data(), "RIFF");
  p = Put32(p, static_cast<uint32_t>(v.size() - 8 + dataBytes));
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
  Put32(p, dataBytes);
  return v;
}

// What the writer holds before it writes.
constexpr size_t kWriteBufferBytes = 256 * 1024;

}  // namespace

std::vector<uint8_t> SerializeWav(const WavData& wav) {
  std::vector<uint8_t> v = WavHeader(wav, static_cast<uint32_t>(wav.samples.size()));
  v.insert(v.end(), wav.samples.begin(), wav.samples.end());
  return v;
}

bool WriteWav(const std::string& path, const WavData& wav, std::string* error) {
  WavWriter writer;
  if (!writer.Open(path, error)) return false;
  writer.Append(wav, wav.samples.data(), wav.samples.size());
  return writer.Finish(error);
}

bool WavWriter::Open(const std::string& path, std::string* error) {
  m_Path = path;
  m_HeaderBytes = 0;
  m_DataBytes = 0;
  m_AppendedBytes = 0;
  m_Buffer.clear();
  m_Error.clear();
  if (m_File.Open(path)) return true;
  m_Error = m_File.ErrorText();
  if (error) *error = m_Error;
  return false;
}

bool WavWriter::Failed(const std::string& why) {
  if (m_Error.empty()) m_Error = why;
  m_Buffer.clear();
  m_File.Abandon();
  return false;
}

bool WavWriter::WriteFrames(const uint8_t* data, size_t size) {
  // The sizes are 32 bits wide: a longer file is refused, not wrapped.
  if (m_HeaderBytes - 8 + m_DataBytes + size > UINT32_MAX)
    return Failed("cannot write " + m_Path + ": its audio passes the 4 GiB a WAV file can hold");
  if (size && !m_File.Write(data, size)) return Failed(m_File.ErrorText());
  m_DataBytes += size;
  return true;
}

void WavWriter::Append(const WavData& format, const uint8_t* data, size_t size) {
  m_AppendedBytes += size;
  if (!m_Error.empty()) return;
  m_Format.formatTag = format.formatTag;
  m_Format.channels = format.channels;
  m_Format.sampleRate = format.sampleRate;
  m_Format.bitsPerSample = format.bitsPerSample;
  m_Format.channelMask = format.channelMask;
  if (m_HeaderBytes == 0) {
    // Its sizes are filled in by Finish.
    const std::vector<uint8_t> header = WavHeader(m_Format, 0);
    if (!m_File.Write(header.data(), header.size())) {
      Failed(m_File.ErrorText());
      return;
    }
    m_HeaderBytes = header.size();
  }
  const uint32_t block = m_Format.BlockAlign();
  if (size == 0 || block == 0) return;
  if (m_Buffer.empty() && size >= kWriteBufferBytes) {
    // Much at once goes out from where it is; a part frame waits.
    const size_t whole = size / block * block;
    if (WriteFrames(data, whole)) m_Buffer.assign(data + whole, data + size);
    return;
  }
  m_Buffer.insert(m_Buffer.end(), data, data + size);
  if (m_Buffer.size() < kWriteBufferBytes) return;
  const size_t whole = m_Buffer.size() / block * block;
  if (WriteFrames(m_Buffer.data(), whole))
    m_Buffer.erase(m_Buffer.begin(), m_Buffer.begin() + static_cast<std::ptrdiff_t>(whole));
}

bool WavWriter::Finish(std::string* error) {
  if (m_HeaderBytes == 0) Append(m_Format, nullptr, 0);
  // A part frame left at the end is no frame.
  const uint32_t block = m_Format.BlockAlign();
  if (m_Error.empty() && WriteFrames(m_Buffer.data(), block ? m_Buffer.size() / block * block : 0)) {
    m_Buffer.clear();
    const std::vector<uint8_t> header = WavHeader(m_Format, static_cast<uint32_t>(m_DataBytes));
    if (header.size() != m_HeaderBytes)
      Failed("cannot write " + m_Path + ": its format changed layout while it was written");
    else if (!m_File.WriteAt(0, header.data(), header.size()) || !m_File.Commit())
      Failed(m_File.ErrorText());
    else
      return true;
  }
  if (error) *error = m_Error;
  return false;
}

uint64_t WavWriter::Frames() const {
  const uint32_t block = m_Format.BlockAlign();
  return block ? m_AppendedBytes / block : 0;
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
