#include "tools/streams.h"

#include "sim/host/StreamCheck.h"

#include <cstdio>
#include <map>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "sim/ModelReport.h"
#include "sim/device/Uac2Device.h"
#include "sim/host/AudioEngine.h"
#include "sim/host/Host.h"
#include "sim/host/StreamCheck.h"
#include "sim/host/TopologyView.h"
#include "sim/host/Values.h"
#include "tools/controls.h"
#include "variants/uac2/CUac2AudioHal.h"
#include "variants/uac2/CUac2Render.h"
#include "tools/driverinfo.h"

namespace tools {
namespace {

std::string TimeText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

// The Audio Class 2.0 render pipe of the started driver, or null.
CUac2Render* Uac2RenderPipe(sim::host::RunningDriver& driver) {
  CUacAudioHal* model = sim::AudioClassModelOf(driver.HostSide().AdapterDevice());
  if (!model) return nullptr;
  for (ULONG i = 0; i < model->GetStreamEngineCount(); ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(model->GetStreamEngine(i, &engine)) || engine->IsCapture()) continue;
    if (auto* render = dynamic_cast<CUac2Render*>(static_cast<CUsbStreamEngine*>(engine))) return render;
  }
  return nullptr;
}

std::string FeedbackText(const FeedbackReport& f) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "device clock: %+.1f ppm%s", f.startPpm, "");
  out += line;
  if (f.endPpm != f.startPpm) {
    std::snprintf(line, sizeof line, ", drifting to %+.1f ppm", f.endPpm);
    out += line;
  }
  std::snprintf(line, sizeof line, "\nfeedback: %llu values from the device (%.3f .. %.3f Hz)",
                static_cast<unsigned long long>(f.values), f.minFeedbackHz, f.maxFeedbackHz);
  out += line;
  if (!f.decoded.empty()) {
    long low = f.decoded.front().second, high = low;
    for (const auto& [when, rate] : f.decoded) {
      low = std::min(low, rate);
      high = std::max(high, rate);
    }
    std::snprintf(line, sizeof line, "; the render pipe decoded %ld .. %ld Hz", low, high);
    out += line;
  }
  out += "\npacket sizes (frames x packets):";
  for (const auto& [frames, count] : f.packetSizes) {
    std::snprintf(line, sizeof line, " %u x %llu", frames, static_cast<unsigned long long>(count));
    out += line;
  }
  std::snprintf(line, sizeof line,
                "\ndevice buffer: %.2f .. %.2f ms while playing (of 40 ms, started at 20 ms); underrun %llu frames, "
                "overflow %llu frames\nbuffer level (s: ms):",
                f.minBufferMs, f.maxBufferMs, static_cast<unsigned long long>(f.underrunFrames),
                static_cast<unsigned long long>(f.overflowFrames));
  out += line;
  // At most about twenty points, evenly spread.
  const size_t step = f.bufferLevels.size() > 20 ? (f.bufferLevels.size() + 19) / 20 : 1;
  for (size_t i = 0; i < f.bufferLevels.size(); i += step) {
    std::snprintf(line, sizeof line, " %.0f: %.2f", f.bufferLevels[i].first, f.bufferLevels[i].second);
    out += line;
  }
  return out + "\n";
}

}  // namespace

uint8_t DataEndpoint(const sim::SimDevice& device, bool in) {
  for (const sim::InterfaceInfo& i : device.Model().interfaces)
    for (const sim::AltSetting& a : i.alternates)
      for (const sim::EndpointInfo& e : a.endpoints)
        // A feedback endpoint carries the device's rate, not samples.
        if (e.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && e.IsIn() == in && a.format &&
            (e.attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK)
          return e.address;
  return 0;
}

std::string FeedbackJson(const FeedbackReport& f) {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"startPpm\": %.3f, \"endPpm\": %.3f, \"feedbackValues\": %llu, \"minFeedbackHz\": %.3f, "
                "\"maxFeedbackHz\": %.3f, ",
                f.startPpm, f.endPpm, static_cast<unsigned long long>(f.values), f.minFeedbackHz, f.maxFeedbackHz);
  std::string out = text;
  out += "\"decoded\": [";
  for (size_t i = 0; i < f.decoded.size(); ++i) {
    std::snprintf(text, sizeof text, "%s[%.3f, %ld]", i ? ", " : "", f.decoded[i].first, f.decoded[i].second);
    out += text;
  }
  out += "], \"packetSizes\": {";
  for (size_t i = 0; i < f.packetSizes.size(); ++i) {
    std::snprintf(text, sizeof text, "%s\"%u\": %llu", i ? ", " : "", f.packetSizes[i].first,
                  static_cast<unsigned long long>(f.packetSizes[i].second));
    out += text;
  }
  std::snprintf(text, sizeof text,
                "}, \"minBufferMs\": %.3f, \"maxBufferMs\": %.3f, \"underrunFrames\": %llu, \"overflowFrames\": "
                "%llu, \"bufferLevels\": [",
                f.minBufferMs, f.maxBufferMs, static_cast<unsigned long long>(f.underrunFrames),
                static_cast<unsigned long long>(f.overflowFrames));
  out += text;
  for (size_t i = 0; i < f.bufferLevels.size(); ++i) {
    std::snprintf(text, sizeof text, "%s[%.3f, %.3f]", i ? ", " : "", f.bufferLevels[i].first,
                  f.bufferLevels[i].second);
    out += text;
  }
  return out + "]}";
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

bool ParseTimedSet(const std::string& text, double defaultSeconds, TimedSet* set, std::string* error) {
  const size_t equals = text.find('=');
  const size_t at = text.rfind('@');
  if (equals == std::string::npos || equals == 0 || (at != std::string::npos && at < equals)) {
    *error = "'" + text + "' is not CONTROL=VALUE[@SECONDS]";
    return false;
  }
  set->control = text.substr(0, equals);
  set->value = text.substr(equals + 1, at == std::string::npos ? std::string::npos : at - equals - 1);
  set->atSeconds = defaultSeconds;
  if (at != std::string::npos) {
    std::string why;
    if (!sim::host::ParseInRange(text.substr(at + 1), {0, kMaxStreamSeconds, "s", false, -1}, &set->atSeconds, &why)) {
      *error = "the time in '" + text + "': " + why;
      return false;
    }
  }
  if (set->value.empty()) {
    *error = "'" + text + "' names no value";
    return false;
  }
  return true;
}

namespace {

// Why a direction has no wave filter, as far as the descriptors tell.
std::string NoFilterReason(sim::host::RunningDriver& driver, bool render) {
  std::string why = sim::host::DescribeUnstreamableSettings(driver.Device().Model(), render);
  if (why.empty()) return std::string("the device offers no ") + (render ? "render" : "capture") + " stream";
  why.pop_back();
  for (size_t at = why.find('\n'); at != std::string::npos; at = why.find('\n', at)) why.replace(at, 1, "; ");
  return "no alternate setting of the device can stream: " + why;
}

}  // namespace

PlayReport Play(sim::host::RunningDriver& driver, const sim::host::WavData& wav, bool realtime,
                const PlayOptions& options, const std::function<void(double)>& onProgress) {
  const std::vector<TimedSet>& sets = options.sets;
  PlayReport r;
  r.filter = FindWaveFilter(driver, true);
  if (r.filter.empty()) {
    r.text = "the driver has no render wave filter on this device\n";
    r.failure = NoFilterReason(driver, true);
    return r;
  }
  r.endpoint = DataEndpoint(driver.Device(), false);

  auto* uac2 = dynamic_cast<sim::Uac2Device*>(&driver.Device());
  const double seconds = wav.sampleRate ? static_cast<double>(wav.Frames()) / wav.sampleRate : 0;
  if (options.clockPpm && !uac2) {
    r.status = STATUS_INVALID_PARAMETER;
    r.refused = true;
    r.failure = "the device has no clock of its own to drift: --clock-ppm needs an Audio Class 2.0 device";
    r.text = r.failure + "\n";
    return r;
  }
  FeedbackReport feedback;
  if (uac2) {
    if (options.clockPpm) {
      feedback.startPpm = options.clockPpm->first;
      feedback.endPpm = options.clockPpm->second;
    }
    uac2->SetClockDrift(feedback.startPpm, seconds > 0 ? (feedback.endPpm - feedback.startPpm) / seconds : 0);
  }
  sim::IsoSink* sink = r.endpoint ? &driver.Device().Sink(r.endpoint) : nullptr;
  if (sink) sink->SetKeepData(seconds <= kKeepDeviceAudioSeconds);
  CUac2Render* pipe = uac2 ? Uac2RenderPipe(driver) : nullptr;
  const ULONG bytesPerSecond = wav.sampleRate * wav.BlockAlign();
  ULONG nextSample = 0;
  // The controls are looked up before anything plays.
  sim::host::FilterHandle* topology = sets.empty() ? nullptr : driver.Topology();
  sim::host::TopologyView view;
  if (!sets.empty()) {
    if (!topology) {
      r.refused = true;
      r.failure = "the driver's topology filter is not available for the changes during play";
      r.text = r.failure + "\n";
      return r;
    }
    view = ViewDriverTopology(driver);
    for (const TimedSet& set : sets) {
      ULONG node = 0;
      int setting = -1;
      std::string why;
      if (!sim::host::FindControl(view, set.control, false, &node, &setting))
        why = NoControl(view, set.control, false);
      else
        sim::host::CheckControlValue(topology, view, node, set.value, -1, &why, setting);
      if (!why.empty()) {
        r.status = STATUS_INVALID_PARAMETER;
        r.refused = true;
        r.failure = why;
        r.text = why + "\n";
        return r;
      }
    }
  }
  auto make = [topology, &view](TimedSetDone* done) {
    std::string out, error;
    done->ok = SetControl(topology, view, done->set.control, done->set.value, -1, false, &out, &error);
    done->text = done->ok ? out.substr(0, out.find('\n')) : error;
  };
  // Sets timed before the audio are made before the stream opens; the others
  // once the stream has played up to their time.
  std::vector<TimedSetDone*> during;
  for (const TimedSet& set : sets) r.sets.push_back({set, 0.0, false, "not made: the play ended first"});
  for (TimedSetDone& done : r.sets) {
    if (done.set.atSeconds >= 0) {
      during.push_back(&done);
      continue;
    }
    done.playedSeconds = -1;
    sim::host::WhileTimePasses([&] {
      make(&done);
      return STATUS_SUCCESS;
    });
  }
  size_t next = 0;
  std::unique_ptr<sim::host::BackgroundWork> pending;
  r.seconds = seconds;
  auto progress = [&](const sim::host::StreamProgress& p) {
    // The decoded rate once a second of audio played.
    if (pipe && bytesPerSecond && p.bytesDone >= nextSample) {
      feedback.decoded.emplace_back(static_cast<double>(p.bytesDone) / bytesPerSecond, pipe->GetDeviceRate());
      nextSample = p.bytesDone + bytesPerSecond;
    }
    const double played = p.bytesTotal ? seconds * p.bytesDone / p.bytesTotal : 0.0;
    r.playedSeconds = played;
    if (onProgress) onProgress(played);
    // One set at a time, in their order, each once its time has come.
    if (next == during.size() || played < during[next]->set.atSeconds || (pending && !pending->Done())) return;
    TimedSetDone* done = during[next++];
    done->playedSeconds = played;
    pending = std::make_unique<sim::host::BackgroundWork>([done, &make] { make(done); });
  };

  sim::host::FilterHandle* filter = nullptr;
  r.status = driver.HostSide().OpenFilter(sim::host::Widen(r.filter), &filter);
  // The audio engine's part: the file in the format the pin takes.
  sim::host::EngineFormat format;
  std::string why;
  if (NT_SUCCESS(r.status) && !sim::host::ChooseEngineFormat(filter, wav, &format, &why)) {
    delete filter;
    r.status = STATUS_NO_MATCH;
    r.refused = true;
    r.text = why + "\n";
    return r;
  }
  r.format = format.text;
  if (NT_SUCCESS(r.status)) {
    // The file plays from where it is unless it must be converted.
    sim::host::WavData converted;
    if (format.converted) converted = sim::host::ConvertWav(wav, format.format);
    if (sink && options.deviceFile)
      sink->SetTap([file = options.deviceFile](const sim::StreamFormat& f, const uint8_t* data, uint32_t length) {
        file->Append(sim::WavFormatOf(f), data, length);
      });
    r.status = driver.HostSide().Render(filter, format.converted ? converted : wav, realtime, progress);
    if (sink) sink->SetTap(nullptr);
  }
  pending.reset();
  delete filter;
  r.text = "played " + std::to_string(wav.Frames()) + " frames (" + TimeText(r.seconds) + ") through " + r.filter +
           " as " + r.format + ": " + StatusText(r.status) + "\n";
  if (!NT_SUCCESS(r.status))
    r.text += "the stream stopped " + TimeText(r.playedSeconds) + " into the " + TimeText(r.seconds) + "\n";
  r.failure = sim::host::DescribeStreamFailure(r.status);
  for (const TimedSetDone& d : r.sets) {
    char line[96];
    if (d.playedSeconds < 0)
      std::snprintf(line, sizeof line, "set %s %s before playing: ", d.set.control.c_str(), d.set.value.c_str());
    else
      std::snprintf(line, sizeof line, "set %s %s at %.3f s: ", d.set.control.c_str(), d.set.value.c_str(),
                    d.playedSeconds);
    r.text += line + d.text + "\n";
  }
  if (sink) {
    const sim::IsoSink::Stats s = sink->GetStats();
    r.device = seconds <= kKeepDeviceAudioSeconds ? sink->ToWav() : sim::WavFormatOf(sink->Format());
    r.deviceSeconds = r.device.sampleRate ? static_cast<double>(s.frames) / r.device.sampleRate : 0.0;
    r.devicePackets = s.packets;
    r.strayPackets = s.strayPackets;
    r.gaps = s.gaps;
    r.missedPackets = s.missedPackets;
    char line[256];
    std::snprintf(line, sizeof line,
                  "device endpoint 0x%02X received %llu packets, %llu bytes, %llu frames (%s); gaps %u, overruns %u, "
                  "partial frames %u, stray sizes %u\n",
                  r.endpoint, static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.bytes),
                  static_cast<unsigned long long>(s.frames), sim::host::FormatText(r.device).c_str(), s.gaps, s.overruns,
                  s.partialFrames, s.strayPackets);
    r.text += line;
    if (uac2) {
      const sim::Uac2Device::FeedbackStats fb = uac2->Feedback();
      feedback.values = fb.values;
      feedback.minFeedbackHz = fb.minRate;
      feedback.maxFeedbackHz = fb.maxRate;
      const std::map<uint32_t, uint64_t> sizes = sink->PacketFrames();
      feedback.packetSizes.assign(sizes.begin(), sizes.end());
      const sim::Uac2Device::BufferStats buffer = uac2->RenderBuffer(r.endpoint);
      feedback.minBufferMs = buffer.minMs;
      feedback.maxBufferMs = buffer.maxMs;
      feedback.bufferLevels = buffer.history;
      feedback.underrunFrames = buffer.underrunFrames;
      feedback.overflowFrames = buffer.overflowFrames;
      r.text += FeedbackText(feedback);
      r.feedback = feedback;
    }
  }
  return r;
}

std::string PlayFault(const PlayReport& r) {
  // A change or a format the play cannot make is refused before anything
  // plays.
  if (r.refused) return r.text.substr(0, r.text.find('\n'));
  // Without a wave filter nothing played: why is all there is to say.
  if (r.filter.empty()) return r.failure.empty() ? r.text.substr(0, r.text.find('\n')) : r.failure;
  if (!NT_SUCCESS(r.status))
    return "playing stopped " + TimeText(r.playedSeconds) + " into the " + TimeText(r.seconds) + ": " +
           (r.failure.empty() ? StatusText(r.status) : r.failure);
  // What reached the device, not only what the stream said, tells a stream
  // that ended early.
  if (r.endpoint && r.deviceSeconds + 0.05 < r.seconds)
    return "the stream ended early: the device received " + TimeText(r.deviceSeconds) + " of the " +
           TimeText(r.seconds) + " played";
  // Packets the device never got are audio it never played, however much
  // arrived around them (in real time: the host fell behind the bus).
  if (r.gaps)
    return "the device missed " + std::to_string(r.missedPackets) + " packets in " + std::to_string(r.gaps) +
           (r.gaps == 1 ? " gap" : " gaps") + " in its packet stream: that audio never reached it";
  // Packets the device could not take as its format are audio it did not
  // play as sent, whatever arrived.
  if (r.strayPackets)
    return "the device flagged " + std::to_string(r.strayPackets) + " of the " + std::to_string(r.devicePackets) +
           " packets it received stray: their sizes fit no packet of the format it runs";
  for (const TimedSetDone& d : r.sets)
    if (!d.ok) return "set " + d.set.control + " " + d.set.value + " during play: " + d.text;
  return {};
}

std::string RecordFault(const RecordReport& r) {
  if (r.filter.empty()) return r.failure.empty() ? r.text.substr(0, r.text.find('\n')) : r.failure;
  if (!NT_SUCCESS(r.status))
    return "recording stopped after " + TimeText(r.recordedSeconds) + " of " + TimeText(r.seconds) + ": " +
           (r.failure.empty() ? StatusText(r.status) : r.failure);
  if (r.endedEarly)
    return "the stream ended early: " + TimeText(r.recordedSeconds) + " of the " + TimeText(r.seconds) + " arrived";
  return {};
}

RecordReport Record(sim::host::RunningDriver& driver, double seconds, double toneHz, bool realtime,
                    const std::function<void(double)>& onProgress, sim::host::WavWriter* file) {
  RecordReport r;
  r.seconds = seconds;
  r.filter = FindWaveFilter(driver, false);
  if (r.filter.empty()) {
    r.text = "the driver has no capture wave filter on this device\n";
    r.failure = NoFilterReason(driver, false);
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
  auto progress = [&](const sim::host::StreamProgress& p) {
    if (onProgress && p.bytesTotal) onProgress(seconds * p.bytesDone / p.bytesTotal);
  };
  std::function<void(const sim::host::WavData&, const uint8_t*, size_t)> toFile;
  if (file)
    toFile = [file](const sim::host::WavData& f, const uint8_t* data, size_t size) { file->Append(f, data, size); };
  if (NT_SUCCESS(r.status))
    r.status = driver.HostSide().Capture(filter, format, seconds, realtime, &r.recorded, progress, toFile);
  delete filter;
  r.frames = file ? file->Frames() : r.recorded.Frames();
  r.recordedSeconds = r.recorded.sampleRate ? static_cast<double>(r.frames) / r.recorded.sampleRate : 0.0;
  char line[200];
  std::snprintf(line, sizeof line, "recorded %.3f s (%s, %llu frames) from %s while the microphone played %.0f Hz: %s\n",
                r.recordedSeconds, sim::host::FormatText(r.recorded).c_str(), static_cast<unsigned long long>(r.frames),
                r.filter.c_str(), toneHz, StatusText(r.status).c_str());
  r.text = line;
  r.failure = sim::host::DescribeStreamFailure(r.status);
  // A recording that stopped short is no success, whatever the stop said.
  const auto wanted = static_cast<uint64_t>(seconds * r.recorded.sampleRate);
  if (NT_SUCCESS(r.status) && r.frames < wanted) {
    r.endedEarly = true;
    r.text += "the stream ended early: " + TimeText(r.recordedSeconds) + " of " + TimeText(seconds) + " arrived\n";
  }
  return r;
}

}  // namespace tools
