#include "tools/asio.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "sim/Printf.h"
#include "sim/host/Values.h"
#include "topology/CMiniportWaveCyclic.h"
#include "tools/driverinfo.h"
#include "tools/json.h"
#include "tools/progress.h"
#include "tools/session.h"
#include "tools/streams.h"

namespace tools {
namespace {

struct SampleTypeName {
  ULONG code;
  const char* name;
};
constexpr SampleTypeName kSampleTypeNames[] = {
    {ASIO_SAMPLE_INT16, "int16"},       {ASIO_SAMPLE_INT24, "int24"},       {ASIO_SAMPLE_INT32, "int32"},
    {ASIO_SAMPLE_INT32_16, "int32-16"}, {ASIO_SAMPLE_INT32_18, "int32-18"}, {ASIO_SAMPLE_INT32_20, "int32-20"},
    {ASIO_SAMPLE_INT32_24, "int32-24"}, {ASIO_DSD_SAMPLE_TYPE, "dsd"},
};
// The rates a host asks the driver about.
constexpr ULONG kProbedRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

using sim::Printf;

std::string TypeText(ULONG code) { return std::to_string(code) + " (" + AsioSampleTypeName(code) + ")"; }

template <typename T, typename Show>
std::string Join(const std::vector<T>& items, Show show, const char* separator = ", ") {
  std::string out;
  for (const T& item : items) out += (out.empty() ? "" : separator) + show(item);
  return out;
}

}  // namespace

std::string AsioSampleTypeName(ULONG code) {
  for (const SampleTypeName& n : kSampleTypeNames)
    if (n.code == code) return n.name;
  return "unknown";
}

ULONG AsioSampleTypeCode(const std::string& text) {
  for (const SampleTypeName& n : kSampleTypeNames)
    if (text == n.name || text == std::to_string(n.code)) return n.code;
  return 0;
}

const std::vector<OptionSpec>& AsioOptions() {
  static const std::vector<OptionSpec> options = {
      {"--latency", "INDEX", "an index of the driver's latency table, 0 to 8 (default: the driver's)"},
      {"--seconds", "S", "how long to stream, 0.01 to 600 (default 1)"},
      {"--rate", "R", "the sample rate in Hz (default: the driver's)"},
      {"--type", "T", "a PCM sample type: int16, int24, int32, int32-16 .. int32-24, or its code"},
      {"--out", "FILE.wav", "the recording of the input (default out/asio-recorded.wav)"},
  };
  return options;
}

bool ParseAsioArguments(const Args& args, AsioArguments* parsed, std::string* error) {
  std::string why;
  double number = 0;
  if (args.Has("--latency")) {
    if (!sim::host::ParseInRange(args.Value("--latency"), {0, ASIO_MAX_LATENCY_INDEX, "", true, 0}, &number, &why)) {
      *error = "--latency " + why + "; it indexes the driver's latency table";
      return false;
    }
    parsed->latencyIndex = static_cast<long>(number);
  }
  if (args.Has("--seconds")) {
    if (!sim::host::ParseInRange(args.Value("--seconds"), {0.01, 600, "s", false, -1}, &number, &why)) {
      *error = "--seconds " + why;
      return false;
    }
    parsed->seconds = number;
  }
  if (args.Has("--rate")) {
    if (!sim::host::ParseInRange(args.Value("--rate"), {1000, 768000, "Hz", true, 0}, &number, &why)) {
      *error = "--rate " + why;
      return false;
    }
    parsed->rate = static_cast<ULONG>(number);
  }
  if (args.Has("--type")) {
    const std::string value = args.Value("--type");
    parsed->sampleType = AsioSampleTypeCode(value);
    if (!parsed->sampleType || parsed->sampleType == ASIO_DSD_SAMPLE_TYPE) {
      *error = "--type takes a PCM sample type: 16|int16, 17|int24, 18|int32, 24|int32-16, 25|int32-18, "
               "26|int32-20, 27|int32-24, not '" + value + "'";
      return false;
    }
  }
  parsed->out = args.Value("--out", parsed->out);
  return true;
}

AsioReport RunAsio(sim::host::RunningDriver& driver, const AsioArguments& arguments, bool realtime) {
  AsioReport report;
  auto fail = [&](const std::string& why) {
    report.error = why;
    return report;
  };
  const uint8_t out = DataEndpoint(driver.Device(), false), in = DataEndpoint(driver.Device(), true);
  if (out && in) driver.Device().LoopBack(out, in);

  sim::host::AsioHost host;
  NTSTATUS status = host.Open(driver.Port().Pdo());
  if (status == STATUS_OBJECT_NAME_NOT_FOUND)
    return fail("the device has no ASIO-capable stream engine: the driver offers no ASIO interface for it");
  if (!NT_SUCCESS(status)) return fail("the ASIO interface does not open: " + StatusText(status));

  // What the device offers.
  std::string name;
  AsioChannelsRecord channels{};
  ULONG selected = 0, rate = 0;
  std::vector<ULONG> types;
  AsioLatencyTableRecord table{};
  if (!NT_SUCCESS(status = host.DriverName(&name)) || !NT_SUCCESS(status = host.Channels(&channels)) ||
      !NT_SUCCESS(status = host.SampleTypes(&selected, &types)) || !NT_SUCCESS(status = host.SampleRate(&rate)) ||
      !NT_SUCCESS(status = host.LatencyTable(&table)))
    return fail("the driver does not answer the ASIO queries: " + StatusText(status));
  std::vector<ULONG> rates;
  for (ULONG r : kProbedRates)
    if (NT_SUCCESS(host.CanSampleRate(r))) rates.push_back(r);
  AsioChannelInfoRecord first{};
  host.ChannelInfo(0, channels.OutputChannels == 0, &first);
  const ULONG active = first.SampleType;

  std::string& t = report.text;
  t += "ASIO driver \"" + name + "\"\n";
  t += Printf("channels: %u out, %u in, on %u engines\n", static_cast<unsigned>(channels.OutputChannels),
              static_cast<unsigned>(channels.InputChannels), static_cast<unsigned>(channels.Engines));
  for (int input = 0; input < 2; ++input)
    for (ULONG c = 0; c < (input ? channels.InputChannels : channels.OutputChannels); ++c) {
      AsioChannelInfoRecord info{};
      if (NT_SUCCESS(host.ChannelInfo(c, input, &info)))
        t += Printf("  %s %u: %s\n", input ? "in " : "out", static_cast<unsigned>(c), info.Name);
    }
  t += "sample types: " + Join(types, TypeText) + "; active " + TypeText(active) + "\n";
  t += "rates: " + Join(rates, [](ULONG r) { return std::to_string(r); }) + " Hz; now " + std::to_string(rate) +
       "\n";
  t += "latencies:";
  for (ULONG i = 0; i < table.Count && i < ASIO_LATENCY_COUNT; ++i)
    t += Printf(" %u:%u ms", static_cast<unsigned>(i), static_cast<unsigned>(table.Milliseconds[i]));
  t += Printf("; index %u\n", static_cast<unsigned>(table.Index));

  // The chosen settings. A sample type becomes the active one when a
  // client closes without buffers, so the host opens again.
  if (arguments.rate && arguments.rate != rate) {
    if (std::find(rates.begin(), rates.end(), arguments.rate) == rates.end() &&
        !NT_SUCCESS(host.CanSampleRate(arguments.rate)))
      return fail("the device does not stream at " + std::to_string(arguments.rate) +
                  " Hz (accepted: " + Join(rates, [](ULONG r) { return std::to_string(r); }) + ")");
    if (!NT_SUCCESS(status = host.SetSampleRate(arguments.rate)))
      return fail("the rate is refused: " + StatusText(status));
  }
  if (arguments.sampleType && arguments.sampleType != active) {
    if (std::find(types.begin(), types.end(), arguments.sampleType) == types.end())
      return fail("every ASIO engine must carry the sample type; " + TypeText(arguments.sampleType) +
                  " is not among " + (types.empty() ? std::string("none") : Join(types, TypeText)));
    if (!NT_SUCCESS(status = host.SetSampleType(arguments.sampleType)))
      return fail("the sample type is refused: " + StatusText(status));
    host.Close();
    if (!NT_SUCCESS(status = host.Open(driver.Port().Pdo())))
      return fail("the ASIO interface does not open again: " + StatusText(status));
  }
  if (arguments.latencyIndex >= 0 && !NT_SUCCESS(status = host.SetLatencyIndex(static_cast<ULONG>(arguments.latencyIndex))))
    return fail("the latency index is refused: " + StatusText(status));

  sim::host::AsioStreamOptions stream;
  stream.seconds = arguments.seconds;
  stream.realtime = realtime;
  stream.onProgress = arguments.onProgress;
  report.stream = sim::host::RunAsioStream(host, stream);
  host.Close();
  const sim::host::AsioStreamReport& s = report.stream;
  if (!NT_SUCCESS(s.status))
    return fail("streaming failed at " + s.failedStep + ": " + StatusText(s.status));

  const double msPerFrame = s.rate ? 1000.0 / s.rate : 0;
  t += Printf("streamed %.2f s at %u Hz, type %s, buffers of %u frames (latency index %u, %u ms)\n", arguments.seconds,
              static_cast<unsigned>(s.rate), TypeText(s.sampleType).c_str(), static_cast<unsigned>(s.bufferFrames),
              static_cast<unsigned>(s.latencyIndex), static_cast<unsigned>(AsioLatencyTable[s.latencyIndex % 9]));
  t += Printf("buffer switches: %llu, missed: %llu\n", static_cast<unsigned long long>(s.switches),
              static_cast<unsigned long long>(s.missed));
  t += Printf("latencies the driver reports: input %u frames (%.2f ms), output %u frames (%.2f ms)\n",
              static_cast<unsigned>(s.latencies.Input), s.latencies.Input * msPerFrame,
              static_cast<unsigned>(s.latencies.Output), s.latencies.Output * msPerFrame);
  // Without an input there is nothing a round trip could come back on.
  const bool input = channels.InputChannels != 0;
  if (!input)
    t += "no ASIO input on this device: no round trip to measure, nothing recorded\n";
  else if (s.roundTripFrames >= 0)
    t += Printf("round trip through the device's loopback: %ld frames (%.2f ms)\n", s.roundTripFrames, s.RoundTripMs());
  else
    t += "round trip through the device's loopback: the tone never came back\n";
  const std::string roundTrip = input ? Printf("%ld", s.roundTripFrames) : "null";
  const std::string roundTripMs = input ? Printf("%.3f", s.RoundTripMs()) : "null";

  report.json = Printf(
      "{\"driver\": %s, \"outputs\": %u, \"inputs\": %u, \"engines\": %u, \"sampleTypes\": [%s], \"rates\": [%s], "
      "\"latencyTable\": [%s], \"stream\": {\"seconds\": %.3f, \"rate\": %u, \"sampleType\": %u, "
      "\"bufferFrames\": %u, \"latencyIndex\": %u, \"switches\": %llu, \"missed\": %llu, "
      "\"inputLatencyFrames\": %u, \"outputLatencyFrames\": %u, \"roundTripFrames\": %s, \"roundTripMs\": %s}",
      JsonString(name).c_str(), static_cast<unsigned>(channels.OutputChannels),
      static_cast<unsigned>(channels.InputChannels), static_cast<unsigned>(channels.Engines),
      Join(types, [](ULONG v) { return std::to_string(v); }).c_str(),
      Join(rates, [](ULONG v) { return std::to_string(v); }).c_str(),
      Join(std::vector<ULONG>(table.Milliseconds, table.Milliseconds + ASIO_LATENCY_COUNT),
           [](ULONG v) { return std::to_string(v); })
          .c_str(),
      arguments.seconds, static_cast<unsigned>(s.rate), static_cast<unsigned>(s.sampleType),
      static_cast<unsigned>(s.bufferFrames), static_cast<unsigned>(s.latencyIndex),
      static_cast<unsigned long long>(s.switches), static_cast<unsigned long long>(s.missed),
      static_cast<unsigned>(s.latencies.Input), static_cast<unsigned>(s.latencies.Output), roundTrip.c_str(),
      roundTripMs.c_str());
  report.ok = true;
  return report;
}

int Asio(const Options& options, const Args& args, const Reporter& reporter) {
  AsioArguments arguments;
  std::string error;
  if (!ParseAsioArguments(args, &arguments, &error)) return reporter.Fail(error);
  if (!PrepareOutputFile(arguments.out, &error)) return reporter.Fail(error);
  Session session(options);
  if (!session.Open(&error, reporter.ErrStream())) return reporter.Fail(error);
  AsioReport report;
  {
    sim::host::RunningDriver driver(session.Descriptors(), session.Profile(), CreateMiniportWaveCyclic,
                                    session.Speed(), session.Factory(), session.Port());
    if (!driver.Started())
      return reporter.Fail("the driver did not start on the device: " + StatusText(driver.startStatus));
    ProgressLine progress(reporter.ErrStream(), "streaming through ASIO", arguments.seconds);
    arguments.onProgress = [&](double done) { progress.Update(done); };
    report = RunAsio(driver, arguments, options.realtime);
  }
  if (const std::string note = session.KeepAdditions(); !note.empty()) reporter.Note(note);
  if (!report.ok) return reporter.Fail(report.error);
  const sim::host::WavData& recording = report.stream.recording;
  // A device without ASIO input leaves no recording, not an empty file.
  const bool recorded = report.stream.channels.InputChannels != 0;
  if (recorded && !sim::host::WriteWav(arguments.out, recording, &error)) return reporter.Fail(error);
  if (reporter.Json()) {
    reporter.Out(report.json + ", \"recording\": " + (recorded ? JsonString(arguments.out) : "null") + "}\n");
  } else {
    reporter.Out(report.text + (recorded ? Printf("recording of the input: %s (%u ch, %u Hz, %u bit, %u frames)\n",
                                                  arguments.out.c_str(), static_cast<unsigned>(recording.channels),
                                                  static_cast<unsigned>(recording.sampleRate),
                                                  static_cast<unsigned>(recording.bitsPerSample),
                                                  static_cast<unsigned>(recording.Frames()))
                                           : ""));
  }
  return kExitOk;
}

}  // namespace tools
