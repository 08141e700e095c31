// Playing into and recording from the device through the driver's wave
// filters, as the system audio engine does: the WAV's format or the one the
// pin's intersection offers, the cyclic buffer kept ahead of the play
// position, and what reached the device's isochronous endpoint reported
// alongside.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/RunningDriver.h"
#include "sim/host/Wav.h"

namespace tools {

// What an Audio Class 2.0 device's asynchronous render did while playing.
struct FeedbackReport {
  // The device clock's offset at the start and the end, in ppm.
  double startPpm = 0, endPpm = 0;
  // The values the feedback endpoint sent, and the rates they stood for.
  uint64_t values = 0;
  double minFeedbackHz = 0, maxFeedbackHz = 0;
  // The render pipe's decoded rate, once a second: (seconds played, Hz).
  std::vector<std::pair<double, long>> decoded;
  // Packet sizes the endpoint received, in frames: (frames, packets).
  std::vector<std::pair<uint32_t, uint64_t>> packetSizes;
  // The device's render buffer: its range while playing, its level once a
  // second, and what it lost.
  double minBufferMs = 0, maxBufferMs = 0;
  std::vector<std::pair<double, double>> bufferLevels;
  uint64_t underrunFrames = 0, overflowFrames = 0;
};

struct PlayReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;        // the wave filter played through
  uint8_t endpoint = 0;      // the device's OUT endpoint
  sim::host::WavData device;  // what the endpoint received, decoded (short plays only)
  std::optional<FeedbackReport> feedback;  // Audio Class 2.0 devices
  std::string text;
};

struct PlayOptions {
  // The device clock's offset in ppm at the start and, drifting linearly,
  // at the end of the play (Audio Class 2.0 devices, whose clock is their
  // own).
  std::optional<std::pair<double, double>> clockPpm;
};

struct RecordReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;
  uint8_t endpoint = 0;
  sim::host::WavData recorded;
  std::string text;
};

// `render`: the wave filter whose streaming pin takes data in (render) or
// gives it out (capture); empty when the driver has none.
std::string FindWaveFilter(sim::host::RunningDriver& driver, bool render);

PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime,
                const PlayOptions& options = {});
std::string FeedbackJson(const FeedbackReport& report);
// The device's microphone plays a sine of `toneHz` while it records.
RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime);

}  // namespace tools
