// The audio ends of the simulated device's isochronous endpoints.
//
// An IsoSink receives an OUT endpoint's packets: it keeps every packet with
// its bus interval and size, keeps the bytes, decodes them as samples of the
// selected alternate setting's format, and notices what a real device would
// suffer from: gaps in the packet stream, packets larger than the endpoint
// allows, sizes that are not whole frames or stray from the nominal rate.
// Its counts and packet sizes take the same memory however long it runs;
// the packets and bytes themselves are kept only while asked to.
//
// An IsoSource feeds an IN endpoint: silence, a sine, a ramp (each sample is
// a running 16-bit counter, so a reader can prove that nothing was lost or
// repeated) or a WAV file, in packets whose sizes follow the rate the way a
// device's do (at 44.1 kHz and 1 ms: nine packets of 44 frames, one of 45).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device/DescriptorBuilder.h"
#include "sim/host/Wav.h"

namespace sim {

struct StreamFormat {
  uint32_t rate = 0;
  uint8_t channels = 0;
  uint8_t subframeSize = 0;
  uint8_t bitResolution = 0;
  uint32_t BlockAlign() const { return static_cast<uint32_t>(channels) * subframeSize; }
};

// The WAV layout of a stream's frames (no samples).
host::WavData WavFormatOf(const StreamFormat& format);

// Bus timing of an endpoint: `intervalsPerPacket` bus intervals (frames or
// microframes) between packets, `intervalsPerSecond` 1000 or 8000.
struct EndpointTiming {
  uint16_t maxPacketSize = 0;
  uint32_t intervalsPerPacket = 1;
  uint32_t intervalsPerSecond = 1000;
};

// The device's loopback: frames an OUT endpoint received, as values, played
// back by an IN endpoint in its own format. What is not played back within
// a second is dropped, oldest first.
class IsoLoopback {
 public:
  void Push(const StreamFormat& format, const uint8_t* data, uint32_t length);
  // The oldest frame not yet played back; false when there is none.
  bool Pop(std::vector<double>* frame);
  void Clear();

 private:
  std::mutex m_Lock;
  std::deque<std::vector<double>> m_Frames;
  uint32_t m_Limit = 48000;
};

class IsoSink {
 public:
  struct Packet {
    uint64_t interval;
    uint32_t bytes;
  };
  struct Stats {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t frames = 0;
    uint32_t starts = 0;         // times the streaming alternate setting was selected
    uint32_t gaps = 0;           // breaks in the packet sequence while streaming
    uint64_t missedPackets = 0;  // packets those gaps lost
    uint32_t reordered = 0;      // packets at or before the previous one's interval
    uint32_t overruns = 0;       // packets larger than wMaxPacketSize
    uint32_t partialFrames = 0;  // packets that are not a whole number of frames
    uint32_t strayPackets = 0;   // whole-frame packets off the nominal size for the rate
    double maxDriftFrames = 0;   // largest distance of the frame count from rate x time
  };

  void Start(const StreamFormat& format, const EndpointTiming& timing);
  void Stop();
  void SetRate(uint32_t rate);
  void OnPacket(uint64_t interval, const uint8_t* data, uint32_t length);

  // Bytes and the packet log are kept unless switched off (long runs of the
  // main job take the bytes through a tap and want only statistics).
  void SetKeepData(bool keep);
  void Clear();
  // Every packet from now on also goes to the loopback (null: none).
  void SetLoopback(std::shared_ptr<IsoLoopback> loopback);
  // Every packet's bytes from now on also go to `tap`, with the format they
  // came in, on the bus's thread (null: none).
  using Tap = std::function<void(const StreamFormat& format, const uint8_t* data, uint32_t length)>;
  void SetTap(Tap tap);

  Stats GetStats() const;
  std::vector<Packet> Packets() const;
  // How many packets carried each size, in whole frames of the format they
  // came in (a part frame counts as its whole frames).
  std::map<uint32_t, uint64_t> PacketFrames() const;
  Bytes Data() const;
  StreamFormat Format() const;
  bool Streaming() const;
  // Samples of one channel as values in [-1, 1).
  std::vector<double> ChannelSamples(uint32_t channel) const;
  host::WavData ToWav() const;
  bool WriteWav(const std::string& path) const;

 private:
  mutable std::mutex m_Lock;
  StreamFormat m_Format;
  EndpointTiming m_Timing;
  bool m_Streaming = false;
  bool m_KeepData = true;
  bool m_HaveLast = false;
  uint64_t m_LastInterval = 0;
  uint64_t m_StartInterval = 0;
  uint64_t m_FramesSinceStart = 0;
  std::vector<Packet> m_Packets;
  Bytes m_Data;
  Stats m_Stats;
  std::map<uint32_t, uint64_t> m_PacketFrames;
  std::shared_ptr<IsoLoopback> m_Loopback;
  Tap m_Tap;
};

class IsoSource {
 public:
  enum class Kind { Silence, Sine, Ramp, Wav, Loopback };

  void SetSilence();
  void SetSine(double frequency, double amplitude = 0.5);
  void SetRamp();
  // Plays the file's frames (channels mapped, samples converted; the rate is
  // taken as it is), then silence, or again from the start when looping.
  void SetWav(const host::WavData& wav, bool loop);
  // Plays what the loopback's OUT endpoint received (silence while it has
  // nothing), each channel from the same channel or the last there is.
  void SetLoopback(std::shared_ptr<IsoLoopback> loopback);

  void Start(const StreamFormat& format, const EndpointTiming& timing);
  void Stop();
  void SetRate(uint32_t rate);
  // Fills the next packet; at most `maxLength` bytes. A packet the host left
  // too little room for is cut and reported through `overrun`.
  uint32_t Fill(uint64_t interval, uint8_t* data, uint32_t maxLength, bool* overrun);

  Kind GetKind() const;
  uint64_t FramesSent() const;
  bool Streaming() const;

 private:
  void WriteFrame(uint8_t* frame);

  mutable std::mutex m_Lock;
  Kind m_Kind = Kind::Silence;
  double m_Frequency = 1000;
  double m_Amplitude = 0.5;
  double m_Phase = 0;
  uint16_t m_RampCounter = 0;
  host::WavData m_Wav;
  bool m_Loop = false;
  size_t m_WavFrame = 0;
  std::shared_ptr<IsoLoopback> m_Loopback;
  StreamFormat m_Format;
  EndpointTiming m_Timing;
  bool m_Streaming = false;
  uint64_t m_PacketIndex = 0;
  uint64_t m_FramesSent = 0;
};

// One sample of `bytesPerSample` little-endian bytes as a value scaled to
// [-1, 1); and the reverse, with rounding and saturation.
double DecodeSample(const uint8_t* p, uint32_t bytesPerSample, bool isFloat);
void EncodeSample(double value, uint8_t* p, uint32_t bytesPerSample, bool isFloat);

// Frames a device puts in packet `index` (0-based from the stream start) at
// `rate`, so that packet sizes vary by one frame and add up to the rate.
uint32_t FramesInPacket(uint64_t index, uint32_t rate, const EndpointTiming& timing);

}  // namespace sim
