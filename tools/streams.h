// Playing into and recording from the device through the driver's wave
// filters, as the system audio engine does: the WAV converted into the
// format the pin's intersection offers, the cyclic buffer kept ahead of the play
// position, and what reached the device's isochronous endpoint reported
// alongside.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/RunningDriver.h"
#include "sim/host/Wav.h"

namespace tools {

// The longest play or recording.
constexpr double kMaxStreamSeconds = 600;
// Plays whose device audio is also held in memory, for hearing what a
// change during the play left in it; longer ones only write it to a file.
constexpr double kKeepDeviceAudioSeconds = 60;

// A control change made while the stream plays, `atSeconds` into it ("set
// room on" half a second in), or before it starts when below 0.
struct TimedSet {
  std::string control;
  std::string value;
  double atSeconds = 0;
};

// What became of one TimedSet.
struct TimedSetDone {
  TimedSet set;
  double playedSeconds = 0;  // where the stream was when the set was made
  bool ok = false;
  std::string text;          // the control's reading afterwards, or why it failed
};

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
  std::string format;        // the format the audio engine chose (sim::host::EngineFormat::text)
  double seconds = 0;        // the file's length
  double playedSeconds = 0;  // how far the stream's position got
  uint8_t endpoint = 0;      // the device's OUT endpoint
  // What the endpoint received, decoded: its format always, its samples for
  // plays up to kKeepDeviceAudioSeconds.
  sim::host::WavData device;
  double deviceSeconds = 0;  // how much audio the endpoint received
  // Packets the endpoint received, those whose size fits no packet of the
  // format the device runs, and those it never got (breaks in the packet
  // stream, and how many they lost).
  uint64_t devicePackets = 0, strayPackets = 0;
  uint32_t gaps = 0;
  uint64_t missedPackets = 0;
  std::vector<TimedSetDone> sets;
  std::optional<FeedbackReport> feedback;  // Audio Class 2.0 devices
  bool refused = false;  // a change was refused before anything played
  std::string text;
  std::string failure;  // why the stream failed or ended early, in words
};

// "CONTROL=VALUE[@SECONDS]" (the time defaults to `defaultSeconds`).
bool ParseTimedSet(const std::string& text, double defaultSeconds, TimedSet* set, std::string* error);

struct PlayOptions {
  // The device clock's offset in ppm at the start and, drifting linearly,
  // at the end of the play (Audio Class 2.0 devices, whose clock is their
  // own).
  std::optional<std::pair<double, double>> clockPpm;
  // Control changes made while the stream plays (see Play).
  std::vector<TimedSet> sets;
  // Takes what the device's endpoint receives as it arrives (null: none).
  sim::host::WavWriter* deviceFile = nullptr;
};

struct RecordReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  double seconds = 0;          // asked for
  double recordedSeconds = 0;  // what arrived
  bool endedEarly = false;     // the stop succeeded, but less arrived than asked for
  std::string filter;
  uint8_t endpoint = 0;
  // The recording's format, and its samples unless they went to a file.
  sim::host::WavData recorded;
  uint64_t frames = 0;
  std::string text;
  std::string failure;  // why the recording failed or ended early, in words
};

// The device's first isochronous data endpoint of that direction; 0 when
// it has none.
uint8_t DataEndpoint(const sim::SimDevice& device, bool in);
// Why a play or recording did not do its whole job, in one line: the status
// and how far the stream got, a stream that ended early (the device got
// less than was played, less arrived than was asked for); empty when it
// did.
std::string PlayFault(const PlayReport& report);
std::string RecordFault(const RecordReport& report);

// `render`: the wave filter whose streaming pin takes data in (render) or
// gives it out (capture); empty when the driver has none.
std::string FindWaveFilter(sim::host::RunningDriver& driver, bool render);

// The options' sets are made through the topology filter while the stream
// plays, each on a thread of its own as a control panel would, so that a
// set that waits (a prompt still playing) does not hold the stream up. A
// control the filter does not have fails the play before it starts.
// The WAV goes through the audio engine's conversion (sim/host/
// AudioEngine.h) into the format the pin takes; a WAV the engine cannot
// convert is refused before anything plays. `onProgress` hears the seconds
// played so far.
PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime,
                const PlayOptions& options = {}, const std::function<void(double)>& onProgress = nullptr);
std::string FeedbackJson(const FeedbackReport& report);
// The device's microphone plays a sine of `toneHz` while it records. With
// a `file` the recording goes there as it arrives, not into the report.
RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime,
                    const std::function<void(double)>& onProgress = nullptr, sim::host::WavWriter* file = nullptr);

}  // namespace tools
