#include "sim/device/IsoStreams.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sim {

double DecodeSample(const uint8_t* p, uint32_t bytesPerSample, bool isFloat) {
  if (isFloat && bytesPerSample == 4) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  if (bytesPerSample == 1) return (static_cast<int>(p[0]) - 128) / 128.0;
  int64_t v = 0;
  for (uint32_t i = 0; i < bytesPerSample; ++i) v |= static_cast<int64_t>(p[i]) << (8 * i);
  const int shift = 64 - 8 * static_cast<int>(bytesPerSample);
  v = static_cast<int64_t>(static_cast<uint64_t>(v) << shift) >> shift;
  return static_cast<double>(v) / static_cast<double>(int64_t{1} << (8 * bytesPerSample - 1));
}

void EncodeSample(double value, uint8_t* p, uint32_t bytesPerSample, bool isFloat) {
  if (isFloat && bytesPerSample == 4) {
    float f = static_cast<float>(value);
    std::memcpy(p, &f, 4);
    return;
  }
  const double scale = static_cast<double>(int64_t{1} << (8 * bytesPerSample - 1));
  double scaled = std::nearbyint(value * scale);
  if (scaled > scale - 1) scaled = scale - 1;
  if (scaled < -scale) scaled = -scale;
  int64_t v = static_cast<int64_t>(scaled);
  if (bytesPerSample == 1) {
    p[0] = static_cast<uint8_t>(v + 128);
    return;
  }
  for (uint32_t i = 0; i < bytesPerSample; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}

host::WavData WavFormatOf(const StreamFormat& format) {
  host::WavData wav;
  wav.sampleRate = format.rate;
  wav.channels = format.channels;
  wav.bitsPerSample = static_cast<uint16_t>(8 * format.subframeSize);
  return wav;
}

uint32_t FramesInPacket(uint64_t index, uint32_t rate, const EndpointTiming& timing) {
  const uint64_t numerator = static_cast<uint64_t>(rate) * timing.intervalsPerPacket;
  const uint64_t denominator = timing.intervalsPerSecond ? timing.intervalsPerSecond : 1000;
  return static_cast<uint32_t>((index + 1) * numerator / denominator - index * numerator / denominator);
}

// ---- Loopback ---------------------------------------------------------------------------

void IsoLoopback::Push(const StreamFormat& format, const uint8_t* data, uint32_t length) {
  const uint32_t block = format.BlockAlign();
  if (block == 0) return;
  std::lock_guard<std::mutex> guard(m_Lock);
  if (format.rate) m_Limit = format.rate;
  for (uint32_t offset = 0; offset + block <= length; offset += block) {
    std::vector<double> frame(format.channels);
    for (uint32_t c = 0; c < format.channels; ++c)
      frame[c] = DecodeSample(data + offset + c * format.subframeSize, format.subframeSize, false);
    m_Frames.push_back(std::move(frame));
  }
  while (m_Frames.size() > m_Limit) m_Frames.pop_front();
}

bool IsoLoopback::Pop(std::vector<double>* frame) {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (m_Frames.empty()) return false;
  *frame = std::move(m_Frames.front());
  m_Frames.pop_front();
  return true;
}

void IsoLoopback::Clear() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Frames.clear();
}

// ---- Sink -------------------------------------------------------------------------------

void IsoSink::Start(const StreamFormat& format, const EndpointTiming& timing) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Format = format;
  m_Timing = timing;
  if (m_Timing.intervalsPerPacket == 0) m_Timing.intervalsPerPacket = 1;
  m_Streaming = true;
  m_HaveLast = false;
  m_FramesSinceStart = 0;
  ++m_Stats.starts;
  // A new stream plays back from its own start.
  if (m_Loopback) m_Loopback->Clear();
}

void IsoSink::Stop() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Streaming = false;
  m_HaveLast = false;
}

void IsoSink::SetRate(uint32_t rate) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Format.rate = rate;
  // A new rate starts a new measure of drift.
  m_HaveLast = false;
  m_FramesSinceStart = 0;
}

void IsoSink::OnPacket(uint64_t interval, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++m_Stats.packets;
  m_Stats.bytes += length;
  if (m_KeepData) {
    m_Packets.push_back({interval, length});
    m_Data.insert(m_Data.end(), data, data + length);
  }
  if (m_Tap) m_Tap(m_Format, data, length);
  if (m_Loopback) m_Loopback->Push(m_Format, data, length);
  if (m_Timing.maxPacketSize && length > m_Timing.maxPacketSize) ++m_Stats.overruns;

  const uint32_t block = m_Format.BlockAlign();
  ++m_PacketFrames[block ? length / block : length];
  if (block == 0) return;
  if (length % block) ++m_Stats.partialFrames;
  const uint64_t frames = length / block;
  m_Stats.frames += frames;

  if (m_HaveLast) {
    if (interval <= m_LastInterval) {
      ++m_Stats.reordered;
    } else if (interval != m_LastInterval + m_Timing.intervalsPerPacket) {
      ++m_Stats.gaps;
      m_Stats.missedPackets += (interval - m_LastInterval) / m_Timing.intervalsPerPacket - 1;
    }
  } else {
    m_StartInterval = interval;
    m_FramesSinceStart = 0;
  }
  m_HaveLast = true;
  m_LastInterval = std::max(m_LastInterval, interval);

  if (m_Format.rate) {
    const uint64_t numerator = static_cast<uint64_t>(m_Format.rate) * m_Timing.intervalsPerPacket;
    const uint64_t denominator = m_Timing.intervalsPerSecond;
    const uint64_t low = numerator / denominator;
    const uint64_t high = low + (numerator % denominator ? 1 : 0);
    if (length % block == 0 && (frames < low || frames > high)) ++m_Stats.strayPackets;
    m_FramesSinceStart += frames;
    const double elapsed = static_cast<double>(interval - m_StartInterval + m_Timing.intervalsPerPacket);
    const double expected = elapsed * m_Format.rate / m_Timing.intervalsPerSecond;
    m_Stats.maxDriftFrames = std::max(m_Stats.maxDriftFrames, std::fabs(m_FramesSinceStart - expected));
  }
}

void IsoSink::SetKeepData(bool keep) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_KeepData = keep;
}

void IsoSink::Clear() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Packets.clear();
  m_Data.clear();
  m_PacketFrames.clear();
  const uint32_t starts = m_Stats.starts;
  m_Stats = Stats{};
  m_Stats.starts = starts;
  m_HaveLast = false;
}

void IsoSink::SetLoopback(std::shared_ptr<IsoLoopback> loopback) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Loopback = std::move(loopback);
}

void IsoSink::SetTap(Tap tap) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Tap = std::move(tap);
}

IsoSink::Stats IsoSink::GetStats() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Stats;
}

std::vector<IsoSink::Packet> IsoSink::Packets() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Packets;
}

std::map<uint32_t, uint64_t> IsoSink::PacketFrames() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_PacketFrames;
}

Bytes IsoSink::Data() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Data;
}

StreamFormat IsoSink::Format() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Format;
}

bool IsoSink::Streaming() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Streaming;
}

std::vector<double> IsoSink::ChannelSamples(uint32_t channel) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  std::vector<double> out;
  const uint32_t block = m_Format.BlockAlign();
  if (block == 0 || channel >= m_Format.channels) return out;
  for (size_t offset = 0; offset + block <= m_Data.size(); offset += block)
    out.push_back(DecodeSample(m_Data.data() + offset + channel * m_Format.subframeSize, m_Format.subframeSize, false));
  return out;
}

host::WavData IsoSink::ToWav() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  host::WavData wav = WavFormatOf(m_Format);
  const uint32_t block = m_Format.BlockAlign();
  wav.samples.assign(m_Data.begin(), m_Data.begin() + (block ? m_Data.size() / block * block : 0));
  return wav;
}

bool IsoSink::WriteWav(const std::string& path) const { return host::WriteWav(path, ToWav(), nullptr); }

// ---- Source -----------------------------------------------------------------------------

void IsoSource::SetSilence() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Kind = Kind::Silence;
}

void IsoSource::SetSine(double frequency, double amplitude) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Kind = Kind::Sine;
  m_Frequency = frequency;
  m_Amplitude = amplitude;
  m_Phase = 0;
}

void IsoSource::SetRamp() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Kind = Kind::Ramp;
  m_RampCounter = 0;
}

void IsoSource::SetWav(const host::WavData& wav, bool loop) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Kind = Kind::Wav;
  m_Wav = wav;
  m_Loop = loop;
  m_WavFrame = 0;
}

void IsoSource::SetLoopback(std::shared_ptr<IsoLoopback> loopback) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Kind = Kind::Loopback;
  m_Loopback = std::move(loopback);
}

void IsoSource::Start(const StreamFormat& format, const EndpointTiming& timing) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Format = format;
  m_Timing = timing;
  if (m_Timing.intervalsPerPacket == 0) m_Timing.intervalsPerPacket = 1;
  m_Streaming = true;
  m_PacketIndex = 0;
}

void IsoSource::Stop() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Streaming = false;
}

void IsoSource::SetRate(uint32_t rate) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Format.rate = rate;
  m_PacketIndex = 0;
}

void IsoSource::WriteFrame(uint8_t* frame) {
  const uint32_t size = m_Format.subframeSize;
  switch (m_Kind) {
    case Kind::Silence:
      std::memset(frame, 0, m_Format.BlockAlign());
      break;
    case Kind::Sine: {
      const double value = m_Amplitude * std::sin(m_Phase);
      m_Phase += 2 * std::numbers::pi * m_Frequency / (m_Format.rate ? m_Format.rate : 48000);
      if (m_Phase > 2 * std::numbers::pi) m_Phase -= 2 * std::numbers::pi;
      for (uint32_t c = 0; c < m_Format.channels; ++c) EncodeSample(value, frame + c * size, size, false);
      break;
    }
    case Kind::Ramp:
      for (uint32_t c = 0; c < m_Format.channels; ++c) {
        std::memset(frame + c * size, 0, size);
        // The counter sits in the sample's two most significant bytes.
        const uint16_t v = m_RampCounter++;
        if (size >= 2) {
          frame[c * size + size - 2] = static_cast<uint8_t>(v);
          frame[c * size + size - 1] = static_cast<uint8_t>(v >> 8);
        } else if (size == 1) {
          frame[c * size] = static_cast<uint8_t>(v);
        }
      }
      break;
    case Kind::Wav: {
      const size_t frames = m_Wav.Frames();
      if (m_WavFrame >= frames && m_Loop && frames) m_WavFrame = 0;
      if (m_WavFrame >= frames) {
        std::memset(frame, 0, m_Format.BlockAlign());
        break;
      }
      const uint32_t inSize = m_Wav.bitsPerSample / 8;
      const uint8_t* in = m_Wav.samples.data() + m_WavFrame * m_Wav.BlockAlign();
      const bool isFloat = m_Wav.formatTag == 3;
      for (uint32_t c = 0; c < m_Format.channels; ++c) {
        const uint32_t from = c < m_Wav.channels ? c : m_Wav.channels - 1;
        EncodeSample(DecodeSample(in + from * inSize, inSize, isFloat), frame + c * size, size, false);
      }
      ++m_WavFrame;
      break;
    }
    case Kind::Loopback: {
      std::vector<double> values;
      if (!m_Loopback || !m_Loopback->Pop(&values) || values.empty()) {
        std::memset(frame, 0, m_Format.BlockAlign());
        break;
      }
      for (uint32_t c = 0; c < m_Format.channels; ++c)
        EncodeSample(values[c < values.size() ? c : values.size() - 1], frame + c * size, size, false);
      break;
    }
  }
}

uint32_t IsoSource::Fill(uint64_t /*interval*/, uint8_t* data, uint32_t maxLength, bool* overrun) {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (overrun) *overrun = false;
  const uint32_t block = m_Format.BlockAlign();
  if (!m_Streaming || block == 0) return 0;
  const uint32_t frames = FramesInPacket(m_PacketIndex++, m_Format.rate, m_Timing);
  uint32_t length = frames * block;
  if (length > maxLength) {
    if (overrun) *overrun = true;
    length = maxLength / block * block;
  }
  for (uint32_t f = 0; f < length / block; ++f) WriteFrame(data + f * block);
  m_FramesSent += length / block;
  return length;
}

IsoSource::Kind IsoSource::GetKind() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Kind;
}

uint64_t IsoSource::FramesSent() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_FramesSent;
}

bool IsoSource::Streaming() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Streaming;
}

}  // namespace sim
