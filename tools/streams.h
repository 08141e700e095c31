// Playing into and recording from the device through the driver's wave
// filters, as the system audio engine does: the WAV's format or the one the
// pin's intersection offers, the cyclic buffer kept ahead of the play
// position, and what reached the device's isochronous endpoint reported
// alongside.
#pragma once

#include <string>

#include "sim/host/RunningDriver.h"
#include "sim/host/Wav.h"

namespace tools {

struct PlayReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;        // the wave filter played through
  uint8_t endpoint = 0;      // the device's OUT endpoint
  sim::host::WavData device;  // what the endpoint received, decoded
  std::string text;
};

struct RecordReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string filter;
  uint8_t endpoint = 0;
  sim::host::WavData recorded;
  std::string text;
};

// The device's first isochronous data endpoint of that direction; 0 when
// it has none.
uint8_t DataEndpoint(const sim::SimDevice& device, bool in);

// `render`: the wave filter whose streaming pin takes data in (render) or
// gives it out (capture); empty when the driver has none.
std::string FindWaveFilter(sim::host::RunningDriver& driver, bool render);

PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime);
// The device's microphone plays a sine of `toneHz` while it records.
RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime);

}  // namespace tools
