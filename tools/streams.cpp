#include "tools/streams.h"

#include <cstdio>

#include "sim/host/Host.h"

namespace tools {
namespace {

std::string StatusHex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string FormatText(const sim::host::WavData& w) {
  char text[96];
  std::snprintf(text, sizeof text, "%u ch %u Hz %u bit%s", static_cast<unsigned>(w.channels),
                static_cast<unsigned>(w.sampleRate), static_cast<unsigned>(w.bitsPerSample),
                w.formatTag == 3 ? " float" : "");
  return text;
}

}  // namespace

uint8_t DataEndpoint(const sim::SimDevice& device, bool in) {
  for (const sim::InterfaceInfo& i : device.Model().interfaces)
    for (const sim::AltSetting& a : i.alternates)
      for (const sim::EndpointInfo& e : a.endpoints)
        if (e.Type() == 1 && e.IsIn() == in && a.format) return e.address;
  return 0;
}

std::string FindWaveFilter(sim::host::RunningDriver& driver, bool render) {
  sim::host::Host& host = driver.HostSide();
  for (const auto& f : host.Filters()) {
    if (f.name == u"GlobalTopo") continue;
    sim::host::FilterHandle* filter = nullptr;
    if (!NT_SUCCESS(host.OpenFilter(f.name, &filter))) continue;
    const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
    bool match = false;
    for (ULONG p = 0; p < d.PinCount; ++p) {
      const KSPIN_DESCRIPTOR& pin = d.Pins[p].KsPinDescriptor;
      if (pin.Communication == KSPIN_COMMUNICATION_SINK)
        match = (pin.DataFlow == KSPIN_DATAFLOW_IN) == render;
    }
    delete filter;
    if (match) return sim::host::Narrow(f.name);
  }
  return {};
}

PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime) {
  PlayReport r;
  r.filter = FindWaveFilter(driver, true);
  if (r.filter.empty()) {
    r.text = "the driver has no render wave filter on this device\n";
    return r;
  }
  r.endpoint = DataEndpoint(driver.Device(), false);
  sim::host::FilterHandle* filter = nullptr;
  r.status = driver.HostSide().OpenFilter(sim::host::Widen(r.filter), &filter);
  if (NT_SUCCESS(r.status)) r.status = driver.HostSide().Render(filter, wav, realtime);
  delete filter;
  r.text = "played " + FormatText(wav) + ", " + std::to_string(wav.Frames()) + " frames through " + r.filter +
           ": " + StatusHex(r.status) + "\n";
  if (r.endpoint) {
    const sim::IsoSink& sink = driver.Device().Sink(r.endpoint);
    const sim::IsoSink::Stats s = sink.GetStats();
    r.device = sink.ToWav();
    char line[256];
    std::snprintf(line, sizeof line,
                  "device endpoint 0x%02X received %llu packets, %llu bytes, %llu frames (%s); gaps %u, overruns %u, "
                  "partial frames %u, stray sizes %u\n",
                  r.endpoint, static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.bytes),
                  static_cast<unsigned long long>(s.frames), FormatText(r.device).c_str(), s.gaps, s.overruns,
                  s.partialFrames, s.strayPackets);
    r.text += line;
  }
  return r;
}

RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime) {
  RecordReport r;
  r.filter = FindWaveFilter(driver, false);
  if (r.filter.empty()) {
    r.text = "the driver has no capture wave filter on this device\n";
    return r;
  }
  r.endpoint = DataEndpoint(driver.Device(), true);
  if (r.endpoint) driver.Device().Source(r.endpoint).SetSine(toneHz, 0.5);
  sim::host::FilterHandle* filter = nullptr;
  r.status = driver.HostSide().OpenFilter(sim::host::Widen(r.filter), &filter);
  // Ask for the device's first format; the pin answers with what it takes.
  sim::host::WavData format;
  format.channels = 1;
  format.sampleRate = 48000;
  format.bitsPerSample = 16;
  if (NT_SUCCESS(r.status)) r.status = driver.HostSide().Capture(filter, format, seconds, realtime, &r.recorded);
  delete filter;
  char line[200];
  std::snprintf(line, sizeof line, "recorded %.2f s (%s, %u frames) from %s while the microphone played %.0f Hz: %s\n",
                seconds, FormatText(r.recorded).c_str(), r.recorded.Frames(), r.filter.c_str(), toneHz,
                StatusHex(r.status).c_str());
  r.text = line;
  return r;
}

}  // namespace tools
