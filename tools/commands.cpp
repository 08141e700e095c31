#include "tools/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "host/replace_file.h"
#include "kernel/nt.h"
#include "sim/DescriptorDump.h"
#include "sim/ModelReport.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/host/Host.h"
#include "sim/host/Values.h"
#include "sim/standin/StandinDriver.h"
#include "sim/standin/StandinMiniports.h"
#include "sim/device/Uac2Device.h"
#include "tools/asio.h"
#include "tools/controls.h"
#include "tools/driverinfo.h"
#include "tools/json.h"
#include "tools/pollstatus.h"
#include "tools/progress.h"
#include "tools/roomeffect.h"
#include "tools/session.h"
#include "tools/streams.h"
#include "tools/uac2events.h"

#ifndef HSD_VERSION
#define HSD_VERSION "0.0.0"
#endif

namespace tools {

const char* const kVersion = HSD_VERSION;

namespace {

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v);
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  return ReplaceFileContents(path, text, error) == 0;
}

// The driver started on the session's device, its topology filter open
// and described, for the commands that work with its controls.
class LiveDriver {
 public:
  explicit LiveDriver(const Session& session)
      : m_Driver(session.Descriptors(), session.Profile(), session.Speed(), session.Factory(), session.Port()) {}

  bool Open(std::string* error) {
    NTSTATUS status = STATUS_SUCCESS;
    m_Topology = m_Driver.Topology(&status);
    if (!m_Topology) {
      *error = "the driver's topology filter is not available: " + StatusText(status);
      return false;
    }
    m_View = ViewDriverTopology(m_Driver);
    return true;
  }
  sim::host::RunningDriver& Driver() { return m_Driver; }
  sim::host::FilterHandle* Topology() { return m_Topology; }
  const sim::host::TopologyView& View() const { return m_View; }

 private:
  sim::host::RunningDriver m_Driver;
  sim::host::FilterHandle* m_Topology = nullptr;
  sim::host::TopologyView m_View;
};

// Runs `work` on the started driver and reports what it returns: its
// output on success; on failure its output (in text mode) and the error.
// A command that `stores` keeps the values the driver stored while it ran
// for the next run, or fails before it shows one; any other only reads.
int WithControls(const Options& options, const Reporter& report,
                 const std::function<bool(LiveDriver&, std::string* out, std::string* error)>& work,
                 bool stores = false) {
  Session session(options);
  std::string error, out;
  if (!session.Open(&error, report.ErrStream())) return report.Fail(error);
  bool ok = false;
  {
    LiveDriver live(session);
    ok = live.Open(&error) && work(live, &out, &error);
  }
  std::string saveError;
  if (stores && !session.Save(platform::registry::ChangeKinds::All, &saveError)) return report.Fail(saveError);
  if (ok || !report.Json()) report.Out(out);
  if (const std::string note = stores ? "" : session.KeepAdditions(); !note.empty()) report.Note(note);
  return ok ? kExitOk : report.Fail(error);
}

// ---- info -------------------------------------------------------------------------------------

// The configuration part of a descriptor tree (from its configuration
// descriptor on).
std::string ConfigurationPart(const std::string& tree) {
  const size_t at = tree.find("Configuration Descriptor:");
  if (at == std::string::npos) return tree;
  const size_t line = tree.rfind('\n', at);
  return tree.substr(line == std::string::npos ? 0 : line + 1);
}

int Info(const Options& options, const Args& args, const Reporter& report) {
  const std::string dotFile = args.Value("--dot");
  // "-": the graph alone on stdout, for a pipe into Graphviz.
  const bool dotOut = dotFile == "-";
  std::string error;
  if (args.Has("--dot") && !dotOut && !PrepareOutputFile(dotFile, &error)) return report.Fail(error);
  Session session(options);
  if (!session.Open(&error, report.ErrStream())) return report.Fail(error);
  const sim::DescriptorSet& d = session.Descriptors();
  const std::string tree = sim::DumpDescriptors(d);
  const DriverReport driver = RunDriver(d, session.Profile(), session.Speed(), session.Factory(), session.Port());
  if (const std::string note = session.KeepAdditions(); !note.empty()) report.Note(note);
  if (!dotFile.empty()) {
    if (driver.dot.empty())
      return report.Fail("no topology filter to draw: the start ended with " + StatusText(driver.start));
    if (dotOut && !report.Json()) {
      report.Out(driver.dot);
      return kExitOk;
    }
    if (!dotOut && !WriteText(dotFile, driver.dot, &error)) return report.Fail(error);
  }
  // A model that rewrites the configuration shows what it made of it.
  std::string rewritten;
  if (!driver.configurationInUse.empty()) {
    sim::DescriptorSet inUse = d;
    inUse.configurations = {driver.configurationInUse};
    rewritten = ConfigurationPart(sim::DumpDescriptors(inUse));
  }
  const std::string speed = session.Speed() == platform::usb::Speed::High ? "high" : "full";
  if (report.Json()) {
    JsonWriter j;
    j.Object()
        .Field("vendor", Hex4(d.VendorId()))
        .Field("product", Hex4(d.ProductId()))
        .Field("speed", speed)
        .Field("speedReason", session.SpeedReason())
        .Field("descriptors", tree);
    if (rewritten.empty()) j.Key("rewrittenConfiguration").Raw("null");
    else j.Field("rewrittenConfiguration", rewritten);
    j.Key("driver")
        .Raw(DriverJson(driver));
    if (dotOut) j.Field("graph", driver.dot);
    else if (!dotFile.empty()) j.Field("dot", dotFile);
    report.Out(j.End().Text() + "\n");
  } else {
    if (!rewritten.empty())
      rewritten = "Configuration as the driver's model rewrote it (" + std::to_string(driver.configurationInUse.size()) +
                  " of the device's " + std::to_string(d.Configuration().size()) + " bytes):\n" + rewritten;
    report.Out("Device " + Hex4(d.VendorId()) + ":" + Hex4(d.ProductId()) + " at " + speed + " speed (" +
               session.SpeedReason() + ")\n" + tree + rewritten + DescribeDriver(driver) +
               (dotFile.empty() ? "" : "topology graph: " + dotFile + "\n"));
  }
  // A script tells a refused device by the status alone.
  const std::string failure = StartFailure(driver);
  return failure.empty() ? kExitOk : report.Fail(failure);
}

// ---- get, set, events ---------------------------------------------------------------------------

int Get(const Options& options, const Args& args, const Reporter& report) {
  return WithControls(options, report, [&](LiveDriver& live, std::string* out, std::string* error) {
    return GetControls(live.Topology(), live.View(), args.Positionals(), options.json, out, error,
                       args.Has("--capture"));
  });
}

int Set(const Options& options, const Args& args, const Reporter& report) {
  LONG channel = -1;
  if (args.Has("--channel")) {
    double number = 0;
    std::string why;
    if (!sim::host::ParseInRange(args.Value("--channel"), {1, 255, "", true, 0}, &number, &why))
      return report.Fail("--channel " + why + "; channels count from 1");
    channel = static_cast<LONG>(number) - 1;
  }
  const std::vector<std::string>& a = args.Positionals();
  return WithControls(options, report, [&](LiveDriver& live, std::string* out, std::string* why) {
    return SetControl(live.Topology(), live.View(), a[0], a[1], channel, options.json, out, why,
                      args.Has("--capture"));
  }, true);
}

// What `events` does on the started driver: the changes named (or what a
// user and the device itself would do) made on the device, and what the
// driver made of them. *answered: whether every change got an answer. With
// `skipped`, a device whose changes cannot reach the driver at all (its
// model runs no status thread) is not run, and *skipped says why.
bool DeviceEvents(LiveDriver& live, const std::vector<std::string>& texts, bool json, std::string* out,
                  std::string* error, bool* answered, std::string* skipped = nullptr) {
  *answered = true;
  // An Audio Class 2.0 device's entities are numbered only.
  if (auto* uac2 = dynamic_cast<sim::Uac2Device*>(&live.Driver().Device())) {
    std::vector<DeviceChange> changes;
    for (const std::string& a : texts) {
      DeviceChange c;
      if (!ParseUac2Change(a, *uac2, &c, error)) return false;
      changes.push_back(c);
    }
    if (texts.empty()) changes = DefaultUac2Changes(*uac2);
    *answered = WatchUac2Events(live.Driver(), live.View(), changes, json, out);
    return true;
  }
  // A board whose status the driver polls: its status changes over time.
  if (HasStatusPoll(live.Driver())) {
    std::vector<StatusStep> script;
    for (const std::string& a : texts) {
      StatusStep step;
      if (!ParseStatusStep(a, &step, error)) return false;
      script.push_back(step);
    }
    return WatchStatus(live.Driver(), script.empty() ? DefaultStatusScript() : script, json, out, error);
  }
  std::vector<DeviceChange> changes;
  for (const std::string& a : texts) {
    if (a.compare(0, 7, "status=") == 0) {
      *error = "'" + a + "': the driver polls no status on this device (a board with a status poll: --device 7753-poll)";
      return false;
    }
    DeviceChange c;
    if (!ParseDeviceChange(a, live.Driver().Device(), &c, error)) return false;
    changes.push_back(c);
  }
  if (texts.empty()) changes = DefaultDeviceChanges(live.Driver().Device());
  if (skipped && !sim::RunsStatusThread(live.Driver().HostSide().AdapterDevice())) {
    *skipped = "the driver runs no status thread on this device, so a change made on the device never reaches it";
    return true;
  }
  if (changes.empty()) {
    if (skipped) {
      *skipped = "the device has no mute or volume control to change";
      return true;
    }
    *error = "the device has no mute or volume control to change; name one as UNIT:CONTROL[:CHANNEL]=VALUE";
    return false;
  }
  *answered = WatchEvents(live.Driver(), live.View(), changes, json, out);
  return true;
}

int Events(const Options& options, const Args& args, const Reporter& report) {
  return WithControls(options, report, [&](LiveDriver& live, std::string* out, std::string* error) {
    // A change the driver does not announce (a single-input selector has no
    // event) is reported as such, not as a failure.
    bool answered = true;
    return DeviceEvents(live, args.Positionals(), options.json, out, error, &answered);
  });
}

// ---- play, record -----------------------------------------------------------------------------

// What the switches of the room effect during a play left in the device's
// audio: the prompt each played, and the crossfade.
std::string DescribeRoomSwitches(const PlayReport& r) {
  std::string out;
  for (const TimedSetDone& d : r.sets) {
    if (!d.ok || d.set.control != "room") continue;
    if (r.device.samples.empty()) {
      out += "room " + d.set.value + ": not listened for (the device's audio is held only for plays up to " +
             Seconds(kKeepDeviceAudioSeconds) + ")\n";
      continue;
    }
    const RoomSwitchHeard heard = HearRoomSwitch(r.device, d.playedSeconds);
    out += "room " + d.set.value + ": " + heard.prompt.text + "; " + heard.crossfade.text + "\n";
  }
  return out;
}

int Play(const Options& options, const Args& args, const Reporter& report) {
  const std::string deviceFile = args.Value("--device-out", "out/played-at-device.wav");
  std::vector<std::string> setTexts = args.Values("--set");
  std::string error;
  // The room effect switches a quarter second in, unless told when, so that
  // its prompt and crossfade fall into what is played.
  if (args.Has("--room")) {
    const std::string room = args.Value("--room");
    const std::string value = room.substr(0, room.find('@'));
    if (value != "on" && value != "off") return report.Fail("--room takes on or off[@SECONDS], not '" + room + "'");
    setTexts.insert(setTexts.begin(), "room=" + room + (room.find('@') == std::string::npos ? "@0.25" : ""));
  }
  PlayOptions playOptions;
  std::vector<TimedSet>& sets = playOptions.sets;
  for (const std::string& text : setTexts) {
    TimedSet set;
    // Without a time a set is made before the audio starts.
    if (!ParseTimedSet(text, -1.0, &set, &error)) return report.Fail(error);
    sets.push_back(set);
  }
  double toneSeconds = 0;
  if (args.Has("--seconds")) {
    if (!args.Positionals().empty()) return report.Fail("play takes a WAV file or --seconds, not both");
    if (!sim::host::ParseInRange(args.Value("--seconds"), {0.01, kMaxStreamSeconds, "s", false, -1}, &toneSeconds,
                                 &error))
      return report.Fail("--seconds " + error);
  }
  if (args.Has("--clock-ppm")) {
    // "A" or "A:B": a clock offset in ppm, constant or drifting from A to B.
    const std::string text = args.Value("--clock-ppm");
    const size_t colon = text.find(':');
    const sim::host::ValueRange ppm{-10000, 10000, "ppm", false, -1};
    std::pair<double, double> drift;
    if (!sim::host::ParseInRange(text.substr(0, colon), ppm, &drift.first, &error) ||
        !sim::host::ParseInRange(colon == std::string::npos ? text : text.substr(colon + 1), ppm, &drift.second,
                                 &error))
      return report.Fail("--clock-ppm takes A or START:END in ppm: " + error);
    playOptions.clockPpm = drift;
  }
  sim::host::WavData wav;
  if (!args.Positionals().empty()) {
    const std::string& file = args.Positionals()[0];
    if (!sim::host::ReadWav(file, &wav, &error)) return report.Fail(error);
    if (wav.Frames() == 0) return report.Fail(file + " holds no audio (its data chunk is empty)");
    if (wav.Seconds() > kMaxStreamSeconds)
      return report.Fail(file + " is " + Seconds(wav.Seconds()) + " long; play takes at most " +
                         Seconds(kMaxStreamSeconds));
  } else if (toneSeconds > 0 || sets.empty()) {
    wav = sim::host::SineWav(48000, 2, 440.0, toneSeconds > 0 ? toneSeconds : 1.0, 0.25);
  } else {
    // A tone above the prompt's band, long enough for a few changes, so
    // that what they leave in the device's audio can be told apart.
    wav = RoomProgram(1.5);
  }
  for (const TimedSet& set : sets) {
    if (set.atSeconds > wav.Seconds())
      return report.Fail(set.control + "=" + set.value + " is set at " + Seconds(set.atSeconds) +
                         ", past the end of the " + Seconds(wav.Seconds()) + " played");
  }
  if (!PrepareOutputFile(deviceFile, &error)) return report.Fail(error);
  // What the device receives goes to its file as it arrives, and replaces
  // the file only when the play succeeded.
  sim::host::WavWriter deviceOut;
  if (!deviceOut.Open(deviceFile, &error)) return report.Fail(error);
  playOptions.deviceFile = &deviceOut;
  return WithControls(options, report, [&](LiveDriver& live, std::string* out, std::string* why) {
    ProgressLine progress(report.ErrStream(), "playing", wav.Seconds());
    const PlayReport r =
        tools::Play(live.Driver(), wav, options.realtime, playOptions, [&](double done) { progress.Update(done); });
    const std::string& text = r.text;
    // Without a wave filter nothing played: the failure alone says so.
    if (!r.refused && !r.filter.empty() && !options.json) *out += text;
    *why = PlayFault(r);
    if (!why->empty()) return false;
    const std::string rooms = DescribeRoomSwitches(r);
    std::string written;
    if (deviceOut.Frames() > 0) {
      if (!deviceOut.Finish(why)) return false;
      written = deviceFile;
    }
    if (options.json) {
      JsonWriter j;
      j.Object()
          .Field("status", StatusText(r.status))
          .Field("filter", r.filter)
          .Field("format", r.format)
          .Field("seconds", r.seconds)
          .Key("sets")
          .Array();
      for (const TimedSetDone& d : r.sets)
        j.Object()
            .Field("control", d.set.control)
            .Field("value", d.set.value)
            .Key("at")
            .Value(d.playedSeconds < 0 ? 0.0 : d.playedSeconds)
            .Field("ok", d.ok)
            .Field("text", d.text)
            .End();
      j.End().Key("device").Object().Field("endpoint", unsigned(r.endpoint)).Field("seconds", r.deviceSeconds);
      if (!written.empty()) j.Field("file", written);
      j.End();
      if (r.feedback) j.Key("feedback").Raw(FeedbackJson(*r.feedback));
      j.Field("report", text + rooms);
      *out += j.End().Text() + "\n";
    } else {
      *out += rooms + (written.empty() ? "" : "what the device received: " + written + "\n");
    }
    return true;
  });
}

int Record(const Options& options, const Args& args, const Reporter& report) {
  const std::vector<std::string>& a = args.Positionals();
  double seconds = 1.0;
  std::string error;
  if (!a.empty() && !sim::host::ParseInRange(a[0], {0.01, kMaxStreamSeconds, "s", false, -1}, &seconds, &error))
    return report.Fail("record SECONDS: " + error);
  const std::string file = a.size() > 1 ? a[1] : "out/recorded.wav";
  if (!PrepareOutputFile(file, &error)) return report.Fail(error);
  // The recording goes to its file as it arrives, and replaces the file
  // only when it is whole.
  sim::host::WavWriter recording;
  if (!recording.Open(file, &error)) return report.Fail(error);
  return WithControls(options, report, [&](LiveDriver& live, std::string* out, std::string* why) {
    ProgressLine progress(report.ErrStream(), "recording", seconds);
    const RecordReport r = tools::Record(
        live.Driver(), seconds, 1000.0, options.realtime, [&](double done) { progress.Update(done); }, &recording);
    if (!r.filter.empty() && !options.json) *out += r.text;
    *why = RecordFault(r);
    if (!why->empty()) return false;
    if (!recording.Finish(why)) return false;
    if (options.json)
      *out += JsonWriter()
                  .Object()
                  .Field("status", StatusText(r.status))
                  .Field("filter", r.filter)
                  .Field("format", sim::host::FormatText(r.recorded))
                  .Field("seconds", r.recordedSeconds)
                  .Field("frames", r.frames)
                  .Field("file", file)
                  .End()
                  .Text() +
              "\n";
    else
      *out += "written to " + file + "\n";
    return true;
  });
}

// ---- demo -------------------------------------------------------------------------------------

// One step of the demo: what it found, and the files it wrote (only those
// written whole).
struct DemoStep {
  std::string name;
  bool ok = true;
  std::string summary;  // on success
  std::string error;    // on failure
  std::string skipped;  // why the device has nothing for this step; empty when it ran
  std::vector<std::string> files;
};

class DemoFiles {
 public:
  explicit DemoFiles(std::string dir) : m_Dir(std::move(dir)) {}
  bool Text(DemoStep* step, const std::string& name, const std::string& text) {
    std::string error;
    return Done(step, name, WriteText(Path(name), text, &error), error);
  }
  bool Wav(DemoStep* step, const std::string& name, const sim::host::WavData& wav) {
    std::string error;
    return Done(step, name, sim::host::WriteWav(Path(name), wav, &error), error);
  }

 private:
  std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
  bool Done(DemoStep* step, const std::string& name, bool written, const std::string& error) {
    if (written) {
      step->files.push_back(Path(name));
    } else {
      step->ok = false;
      if (step->error.empty()) step->error = error;
    }
    return written;
  }
  std::string m_Dir;
};

void Failed(DemoStep* step, const std::string& error) {
  step->ok = false;
  if (step->error.empty()) step->error = error;
}

// The framework with its stand-in miniport pair, end to end: plug and play,
// the filters, a property round trip, a control-change event and a tone
// played through the wave pin. Shows that everything below the driver works.
DemoStep FrameworkCheck(const Options& options, DemoFiles& files) {
  DemoStep step{"port-class stand-in check"};
  std::string report;
  platform::io::PhysicalDeviceConfig config;
  config.hardwareIds = {u"USB\\VID_1209&PID_0002"};
  config.deviceDescription = u"stand-in headset";
  PDEVICE_OBJECT pdo = platform::io::CreatePhysicalDevice(config);
  sim::host::Host host;
  NTSTATUS status = host.LoadDriver(sim::standin::StandinDriverEntry, u"standin");
  if (NT_SUCCESS(status)) status = host.AddDevice(pdo);
  if (NT_SUCCESS(status)) status = host.Start();
  report += "stand-in adapter start: " + StatusText(status) + "\n";
  sim::host::WavData played;
  if (NT_SUCCESS(status)) {
    report += sim::host::DescribeFilters(host.AdapterDevice());
    sim::host::FilterHandle* topology = nullptr;
    sim::host::FilterHandle* wave = nullptr;
    char line[160];
    status = host.OpenFilter(u"GlobalTopo", &topology);
    if (NT_SUCCESS(status)) {
      LONG level = 0;
      topology->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, sim::standin::kVolumeNode, 0,
                                -6 * 65536);
      topology->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, sim::standin::kVolumeNode, 0, &level);
      std::snprintf(line, sizeof line, "volume set to -6 dB, read back %.2f dB\n", level / 65536.0);
      report += line;
      KEVENT changed;
      KeInitializeEvent(&changed, NotificationEvent, FALSE);
      KSEVENTDATA data;
      topology->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, sim::standin::kVolumeNode,
                            &data, &changed);
      sim::standin::StandinDeviceVolumeChange(sim::standin::StandinTopologyMiniport(host.AdapterDevice()), 0,
                                              -10 * 65536);
      report += KeReadStateEvent(&changed) ? "device-side volume change raised KSEVENT_CONTROL_CHANGE\n"
                                           : "device-side volume change raised no event\n";
      topology->DisableEvent(&data);
    }
    if (NT_SUCCESS(status)) status = host.OpenFilter(sim::standin::kEngineName + std::u16string(u"Wave"), &wave);
    if (NT_SUCCESS(status)) {
      const sim::host::WavData tone = sim::host::SineWav(48000, 2, 440.0, 0.5, 0.25);
      status = host.Render(wave, tone, options.realtime);
      played = tone;
      played.samples = sim::standin::StandinRenderedBytes(sim::standin::StandinWaveMiniport(host.AdapterDevice()));
      std::snprintf(line, sizeof line, "played 0.5 s of 440 Hz through the stand-in wave pin: %s, %zu bytes\n",
                    StatusText(status).c_str(), played.samples.size());
      report += line;
    }
    delete wave;
    delete topology;
  }
  host.Unload();
  platform::io::DeletePhysicalDevice(pdo);
  files.Text(&step, "framework.txt", report);
  if (!played.samples.empty()) files.Wav(&step, "standin-rendered.wav", played);
  if (!NT_SUCCESS(status)) Failed(&step, StatusText(status));
  return step;
}

void Skipped(DemoStep* step, const std::string& why) {
  if (step->ok) step->skipped = why;
}

// The topology filter and its controls on the started driver: the
// description and its graph, every control, and a volume change from the
// host.
DemoStep DemoControls(const Session& session, DemoFiles& files) {
  DemoStep step{"get/set"};
  LiveDriver live(session);
  std::string error, report;
  if (!live.Open(&error)) {
    Failed(&step, error);
    return step;
  }
  files.Text(&step, "topology.txt", sim::host::TopologyText(live.View()));
  files.Text(&step, "topology.dot", sim::host::TopologyDot(live.View()));
  report += "controls:\n";
  bool ok = GetControls(live.Topology(), live.View(), {}, false, &report, &error);
  ULONG node = 0;
  const bool volume = sim::host::FindControl(live.View(), "volume", &node);
  if (ok && volume) {
    report += "\nset volume -10dB:\n";
    ok = SetControl(live.Topology(), live.View(), "volume", "-10dB", -1, false, &report, &error);
  }
  files.Text(&step, "controls.txt", report);
  if (!ok) Failed(&step, error);
  step.summary = std::to_string(live.View().pins.size()) + " pins, " + std::to_string(live.View().nodes.size()) +
                 " nodes, " + std::to_string(live.View().links.size()) + " connections" +
                 (volume ? "" : "; no volume control to set");
  return step;
}

// Changes made on the device itself, as its buttons (or a 2.0 device's
// clock and jacks, or a polled board's status) would, and the events the
// driver raised for them.
DemoStep DemoEvents(const Session& session, DemoFiles& files) {
  DemoStep step{"events"};
  LiveDriver live(session);
  std::string error, report, skipped;
  bool answered = true;
  if (!live.Open(&error) || !DeviceEvents(live, {}, false, &report, &error, &answered, &skipped)) {
    Failed(&step, error);
    return step;
  }
  if (!skipped.empty()) {
    Skipped(&step, skipped);
    return step;
  }
  files.Text(&step, "events.txt", report);
  if (!answered) Failed(&step, "a change on the device got no answer from the driver (events.txt)");
  step.summary = "every change made on the device got its answer";
  return step;
}

// A second of 440 Hz through the render wave filter into the device, and a
// second of the microphone's 1 kHz through the capture wave filter, where
// the device has them.
std::vector<DemoStep> DemoStreams(const Session& session, const Options& options, DemoFiles& files) {
  DemoStep play{"play"}, record{"record"};
  LiveDriver live(session);
  std::string error;
  if (!live.Open(&error)) {
    Failed(&play, error);
    Failed(&record, error);
    return {play, record};
  }
  // A device without a stream of a direction has nothing to play or
  // record: the stream's own reason says why.
  std::string text;
  const PlayReport played =
      tools::Play(live.Driver(), sim::host::SineWav(48000, 2, 440.0, 1.0, 0.25), options.realtime);
  if (played.filter.empty()) {
    Skipped(&play, PlayFault(played));
  } else {
    if (!PlayFault(played).empty()) Failed(&play, PlayFault(played));
    else if (played.device.samples.empty()) Failed(&play, "the device received nothing");
    else files.Wav(&play, "played-at-device.wav", played.device);
    play.summary = "played as " + played.format;
    text += played.text;
  }
  const RecordReport recorded = tools::Record(live.Driver(), 1.0, 1000.0, options.realtime);
  if (recorded.filter.empty()) {
    Skipped(&record, RecordFault(recorded));
  } else {
    if (!RecordFault(recorded).empty()) Failed(&record, RecordFault(recorded));
    else files.Wav(&record, "recorded.wav", recorded.recorded);
    record.summary =
        "recorded " + Seconds(recorded.recordedSeconds) + " as " + sim::host::FormatText(recorded.recorded);
    text += recorded.text;
  }
  if (!text.empty()) files.Text(record.skipped.empty() ? &record : &play, "streams.txt", text);
  return {play, record};
}

// The room effect switched on and off while a tone plays: the prompt the
// device heard each time (where its room effect plays one) and where the
// crossfade ran, found in what its endpoint received.
DemoStep DemoRoomEffect(const Session& session, const Options& options, DemoFiles& files) {
  DemoStep step{"room effect"};
  LiveDriver live(session);
  std::string error;
  ULONG node = 0;
  if (!live.Open(&error)) {
    Failed(&step, error);
    return step;
  }
  if (!sim::host::FindControl(live.View(), "room", &node)) {
    Skipped(&step, "the device has no room effect");
    return step;
  }
  const bool prompts = sim::RoomEffectPlaysPrompt(live.Driver().HostSide().AdapterDevice());
  sim::host::ControlReading now;
  if (!NT_SUCCESS(sim::host::ReadControl(live.Topology(), live.View(), node, &now)) || now.values.empty()) {
    Failed(&step, "the room effect cannot be read");
    return step;
  }
  // Each switch a real change, whatever the stored setting was.
  const std::string first = now.values[0] ? "off" : "on", second = now.values[0] ? "on" : "off";
  const PlayReport played = tools::Play(live.Driver(), RoomProgram(2.0), options.realtime,
                                        PlayOptions{.sets = {{"room", first, 0.5}, {"room", second, 1.3}}});
  if (!NT_SUCCESS(played.status) || played.sets.size() != 2 || !played.sets[0].ok || !played.sets[1].ok) {
    Failed(&step, played.text.substr(0, played.text.find('\n')));
    return step;
  }
  std::string report = played.text;
  for (const TimedSetDone& d : played.sets) {
    const RoomSwitchHeard heard = HearRoomSwitch(played.device, d.playedSeconds);
    const PromptHeard& prompt = heard.prompt;
    char line[320];
    std::snprintf(line, sizeof line, "room %s at %.2f s: %s; %s\n", d.set.value.c_str(), d.playedSeconds,
                  prompt.text.c_str(), heard.crossfade.text.c_str());
    report += line;
    if (prompts)
      std::snprintf(line, sizeof line, "%s%s: %s prompt (%.0f Hz, %.0f Hz), crossfade at %.3f s",
                    step.summary.empty() ? "" : "; ", d.set.value.c_str(),
                    prompt.found ? (prompt.rising ? "rising" : "falling") : "no", prompt.firstHz, prompt.secondHz,
                    heard.crossfade.startAt);
    else
      std::snprintf(line, sizeof line, "%s%s: crossfade at %.3f s", step.summary.empty() ? "" : "; ",
                    d.set.value.c_str(), heard.crossfade.startAt);
    step.summary += line;
    // A room effect without a prompt leaves the crossfade alone, and must
    // not be heard prompting.
    const bool promptRight = prompts ? prompt.found && prompt.rising == (d.set.value == "on") : !prompt.found;
    if (!heard.crossfade.found || !promptRight)
      Failed(&step, "the device's audio does not show what the switch should leave: " + step.summary);
  }
  if (!prompts) step.summary += " (this device's room effect plays no prompt)";
  files.Text(&step, "room-effect.txt", report);
  files.Wav(&step, "room-effect-at-device.wav", played.device);
  return step;
}

// A state folder of its own for the demo, removed when it ends.
class FreshState {
 public:
  FreshState() {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "headset-host-demo-XXXXXX").string();
    if (ec) pattern = "/tmp/headset-host-demo-XXXXXX";
    if (mkdtemp(pattern.data())) m_Dir = pattern;
  }
  ~FreshState() {
    std::error_code ec;
    if (!m_Dir.empty()) std::filesystem::remove_all(m_Dir, ec);
  }
  const std::string& Dir() const { return m_Dir; }

 private:
  std::string m_Dir;
};

int Demo(const Options& options, const Args& args, const Reporter& report) {
  const std::string outDir = args.Value("--out", "out");
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  if (ec || !std::filesystem::is_directory(outDir, ec))
    return report.Fail("cannot use " + outDir + " for the demo's files: " + (ec ? ec.message() : "not a directory"));
  // Each run starts from the device's own settings unless told to use a
  // state, so that what one run changes never shows in the next.
  std::unique_ptr<FreshState> fresh;
  Options demoOptions = options;
  if (!options.stateGiven) {
    fresh = std::make_unique<FreshState>();
    if (fresh->Dir().empty()) return report.Fail("cannot make a temporary state folder for the demo");
    demoOptions.stateDir = fresh->Dir();
  }
  Session session(demoOptions);
  std::string error;
  if (!session.Open(&error, report.ErrStream())) return report.Fail(error);

  DemoFiles files(outDir);
  std::vector<DemoStep> steps;
  DemoStep descriptors{"descriptors"};
  files.Text(&descriptors, "descriptors.txt", sim::DumpDescriptors(session.Descriptors()));
  steps.push_back(descriptors);
  steps.push_back(FrameworkCheck(demoOptions, files));
  const DriverReport driver =
      RunDriver(session.Descriptors(), session.Profile(), session.Speed(), session.Factory(), session.Port());
  DemoStep start{"driver start"};
  start.summary = StatusText(driver.start);
  const std::string refused = StartFailure(driver);
  if (!refused.empty()) Failed(&start, refused);
  files.Text(&start, "driver.txt", DescribeDriver(driver));
  steps.push_back(start);
  if (start.ok) {
    for (const DemoStep& s : DemoStreams(session, demoOptions, files)) steps.push_back(s);
    steps.push_back(DemoRoomEffect(session, demoOptions, files));
    steps.push_back(DemoControls(session, files));
    steps.push_back(DemoEvents(session, files));
  }
  if (!session.Save(platform::registry::ChangeKinds::All, &error)) {
    DemoStep save{"state"};
    Failed(&save, error);
    steps.push_back(save);
  }

  const bool ok = std::all_of(steps.begin(), steps.end(), [](const DemoStep& s) { return s.ok; });
  const std::string device = options.descriptors.empty() ? options.device : options.descriptors;
  const std::string ids = Hex4(session.Descriptors().VendorId()) + ":" + Hex4(session.Descriptors().ProductId());
  if (report.Json()) {
    JsonWriter j;
    j.Object().Field("device", device).Field("ids", ids).Field("state", fresh ? "fresh" : options.stateDir);
    j.Field("ok", ok).Key("steps").Array();
    for (const DemoStep& s : steps) {
      j.Object().Field("step", s.name).Field("ok", s.ok);
      if (!s.ok) j.Field("error", s.error);
      else if (!s.skipped.empty()) j.Field("skipped", s.skipped);
      else j.Field("summary", s.summary);
      j.Field("files", s.files).End();
    }
    report.Out(j.End().End().Text() + "\n");
  } else {
    std::string text = "headset-host demo on " + device + " (" + ids + "), " +
                       (fresh ? std::string("a fresh state") : "the state in " + options.stateDir) + "\n";
    for (const DemoStep& s : steps) {
      std::string files;
      for (const std::string& f : s.files) files += (files.empty() ? "" : ", ") + f;
      text += "  " + s.name + ": " +
              (!s.ok                ? "failed: " + s.error
               : !s.skipped.empty() ? "skipped: " + s.skipped
               : s.summary.empty()  ? std::string("ok")
                                    : s.summary) +
              (files.empty() ? "" : " (" + files + ")") + "\n";
    }
    report.Out(text);
  }
  if (ok) return kExitOk;
  // The report above has every step; the failure line names the first that
  // failed, for whoever reads only stderr.
  std::string failed;
  size_t count = 0;
  for (const DemoStep& s : steps)
    if (!s.ok && count++ == 0) failed = s.name + ": " + s.error;
  return report.Fail("the demo failed at " + failed +
                     (count > 1 ? " (and " + std::to_string(count - 1) + " more step" + (count > 2 ? "s" : "") + ")"
                                : ""));
}

// ---- the program ------------------------------------------------------------------------------

int ListDevices(const Reporter& report) {
  const auto& devices = sim::EmbeddedDevices();
  if (report.Json()) {
    JsonWriter j;
    j.Array();
    for (const sim::EmbeddedDevice& d : devices) j.Object().Field("name", d.name).Field("summary", d.summary).End();
    report.Out(j.End().Text() + "\n");
  } else {
    std::string text;
    for (const sim::EmbeddedDevice& d : devices) {
      char line[256];
      std::snprintf(line, sizeof line, "%-10s %s\n", d.name, d.summary);
      text += line;
    }
    report.Out(text);
  }
  return kExitOk;
}

// The command a command line names: the first argument that is neither an
// option nor a program option's value; -1 when there is none.
int FindCommand(const std::vector<std::string>& tokens) {
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (t == "--") return i + 1 < tokens.size() ? static_cast<int>(i + 1) : -1;
    if (t.compare(0, 2, "--") != 0) return static_cast<int>(i);
    if (t.find('=') != std::string::npos) continue;
    for (const OptionSpec& s : ProgramOptions())
      if (s.name == t && !s.value.empty() && i + 1 < tokens.size() && tokens[i + 1].compare(0, 2, "--") != 0) ++i;
  }
  return -1;
}

}  // namespace

const std::vector<OptionSpec>& ProgramOptions() {
  static const std::vector<OptionSpec> options = {
      {"--device", "NAME", "an embedded device (default headset); --device list lists them"},
      {"--descriptors", "FILE", "device descriptors in the sysfs 'descriptors' layout"},
      {"--factory", "KIND",
       "whose hardware-model factory starts the device: product or chip; default: the device's own"},
      {"--speed", "full|high",
       "the bus speed of a --descriptors device; default: the sysfs 'speed' file beside it, else what its "
       "endpoints need"},
      {"--state", "DIR", "the persisted registry and \\SystemRoot\\ folder (default out/state)"},
      {"--realtime", "", "run the device clock in real time (default: as fast as possible)"},
      {"--json", "", "machine-readable output, and errors as JSON on stderr"},
      {"--verbose", "", "show the driver's debug output"},
      {"--help", "", "this text, or a command's with the command"},
      {"--version", "", "the program's version"},
  };
  return options;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "", "the descriptors, the driver's filters and its topology", {{"--dot", "FILE", "also write the topology as a Graphviz graph"}}, 0, 0, Info},
      {"get", "[CONTROL...]", "read controls: all, or by node number or kind (volume, mute#2, headphone.room)",
       {{"--capture", "", "kinds count along the capture path"}}, 0, 64, Get},
      {"set", "CONTROL VALUE", "change a control: -6dB, on/off, an input number, HP/SPK",
       {{"--channel", "N", "one channel, counted from 1 (default: every channel)"},
        {"--capture", "", "kinds count along the capture path"}},
       2, 2, Set},
      {"play", "[FILE.wav]", "render into the device (any PCM or float WAV; the audio engine converts it)",
       {{"--device-out", "FILE.wav", "what the device received (default out/played-at-device.wav)"},
        {"--room", "on|off[@S]", "switch the room effect S seconds in (default 0.25)"},
        {"--set", "CONTROL=VALUE[@S]", "change a control S seconds in, or before playing", true},
        {"--seconds", "S", "without a FILE: play S seconds of a 440 Hz tone (default 1)"},
        {"--clock-ppm", "A[:B]",
         "an Audio Class 2.0 device's clock offset in ppm, drifting from A to B over the play"}},
       0, 1, Play},
      {"record", "[SECONDS] [FILE.wav]", "capture SECONDS (default 1, at most 600) from the device's microphone", {}, 0,
       2, Record},
      {"events", "[UNIT:CONTROL[:CHANNEL]=VALUE... | status=HEX[*POLLS]...]",
       "change controls on the device (values as set takes them, channels from 1; on an Audio Class 2.0 device "
       "UNIT:CS[:CH]=VALUE by number, also a clock's validity CS 2, a terminal's connector CS 2 or type CS 8) or "
       "a polled board's status, and show what the driver made of it",
       {}, 0, 64, Events},
      {"asio", "", "stream a tone out and record the input through the driver's ASIO interface; report switches, "
                   "latencies and the round trip", AsioOptions(), 0, 0, Asio},
      {"demo", "", "all of it on a fresh state, results into out/",
       {{"--out", "DIR", "where the demo's files go (default out)"}}, 0, 0, Demo},
  };
  return commands;
}

std::string Usage() {
  std::string text = "usage: headset-host [options] <command> [arguments]\ncommands:\n";
  for (const Command& c : Commands()) {
    std::string head = c.name;
    if (*c.arguments) {
      head += ' ';
      head += c.arguments;
    }
    char line[512];
    std::snprintf(line, sizeof line, "  %-42s %s\n", head.c_str(), c.summary);
    text += line;
  }
  text += "options:\n" + OptionsHelp(ProgramOptions());
  text += "'headset-host COMMAND --help' shows a command's own options.\n";
  return text;
}

std::string CommandUsage(const Command& c) {
  std::string text = "usage: headset-host [options] " + std::string(c.name);
  for (const OptionSpec& o : c.options) text += " [" + o.name + (o.value.empty() ? "" : " " + o.value) + "]";
  if (*c.arguments) text += " " + std::string(c.arguments);
  text += "\n  " + std::string(c.summary) + "\n";
  if (!c.options.empty()) text += "options:\n" + OptionsHelp(c.options);
  text += "program options: see headset-host --help\n";
  return text;
}

int RunHeadsetHost(const std::vector<std::string>& arguments, FILE* out, FILE* err) {
  std::vector<std::string> tokens = arguments;
  std::replace(tokens.begin(), tokens.end(), std::string("-h"), std::string("--help"));
  const bool json = std::find(tokens.begin(), tokens.end(), "--json") != tokens.end();
  const Reporter early(json, out, err);
  const int at = FindCommand(tokens);
  const Command* command = nullptr;
  if (at >= 0) {
    for (const Command& c : Commands())
      if (tokens[at] == c.name) command = &c;
    if (!command) {
      std::string names;
      for (const Command& c : Commands()) names += (names.empty() ? "" : ", ") + std::string(c.name);
      return early.UsageError("unknown command '" + tokens[at] + "' (commands: " + names + ")", Usage());
    }
    tokens.erase(tokens.begin() + at);
  }
  std::vector<OptionSpec> specs = ProgramOptions();
  if (command) specs.insert(specs.end(), command->options.begin(), command->options.end());
  Args args;
  std::string error;
  const std::string usage = command ? CommandUsage(*command) : Usage();
  if (!ParseArgs(tokens, specs, &args, &error)) return early.UsageError(error, usage);
  const Reporter report(args.Has("--json"), out, err);
  if (args.Has("--version")) {
    report.Out(report.Json() ? JsonWriter().Object().Field("version", kVersion).End().Text() + "\n"
                             : "headset-host " + std::string(kVersion) + "\n");
    return kExitOk;
  }
  if (args.Has("--help")) {
    report.Out(report.Json() ? JsonWriter().Object().Field("usage", usage).End().Text() + "\n" : usage);
    return kExitOk;
  }
  Options options;
  options.descriptors = args.Value("--descriptors");
  options.device = args.Value("--device", options.device);
  options.factory = args.Value("--factory");
  options.speed = args.Value("--speed");
  options.stateGiven = args.Has("--state");
  options.stateDir = args.Value("--state", options.stateDir);
  options.realtime = args.Has("--realtime");
  options.json = report.Json();
  options.verbose = args.Has("--verbose");
  if (args.Has("--device") && args.Has("--descriptors"))
    return report.UsageError("--device and --descriptors both name the device; give one", usage);
  if (options.device == "list") {
    if (command) return report.UsageError("--device list lists the devices; it takes no command", usage);
    return ListDevices(report);
  }
  if (!command) {
    // "--state info": the command was taken for the option's value.
    for (const OptionSpec& s : ProgramOptions()) {
      if (s.value.empty() || !args.Has(s.name)) continue;
      for (const Command& c : Commands())
        if (args.Value(s.name) == c.name)
          return report.UsageError(s.name + " needs a value (" + s.name + " " + s.value + "); '" + c.name +
                                       "' was taken for it and no command is left",
                                   Usage());
    }
    return report.UsageError("no command given", Usage());
  }
  const size_t count = args.Positionals().size();
  if (count < command->minArguments || count > command->maxArguments) {
    const std::string wanted = command->minArguments == command->maxArguments
                                   ? std::to_string(command->minArguments)
                                   : std::to_string(command->minArguments) + " to " +
                                         std::to_string(command->maxArguments);
    return report.UsageError(std::string(command->name) + " takes " + wanted + " argument" +
                                 (command->maxArguments == 1 ? "" : "s") +
                                 (*command->arguments ? " (" + std::string(command->arguments) + ")" : "") + ", not " +
                                 std::to_string(count) + (count ? ": '" + args.Positionals().back() + "'" : ""),
                             usage);
  }
  return command->run(options, args, report);
}

}  // namespace tools
