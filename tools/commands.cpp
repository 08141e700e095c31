#include "tools/commands.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>

#include "kernel/nt.h"
#include "sim/DescriptorDump.h"
#include "sim/host/Host.h"
#include "sim/standin/StandinDriver.h"
#include "sim/standin/StandinMiniports.h"
#include "tools/asio.h"
#include "tools/controls.h"
#include "tools/pollstatus.h"
#include "tools/roomeffect.h"
#include "tools/streams.h"
#include "tools/uac2events.h"
#include "tools/driverinfo.h"
#include "tools/session.h"

namespace tools {
namespace {


// The configuration part of a descriptor tree (from its configuration
// descriptor on).
std::string ConfigurationPart(const std::string& tree) {
  const size_t at = tree.find("Configuration Descriptor:");
  if (at == std::string::npos) return tree;
  const size_t line = tree.rfind('\n', at);
  return tree.substr(line == std::string::npos ? 0 : line + 1);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "headset-host: %s\n", message.c_str());
  return 1;
}

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x", v);
  return text;
}

// The driver started on the session's device, its topology filter open
// and described, for the commands that work with its controls.
class LiveDriver {
 public:
  explicit LiveDriver(const Session& session)
      : m_Driver(session.Descriptors(), session.Profile(), session.Speed(), session.Factory()) {}

  bool Open(std::string* error) {
    NTSTATUS status = STATUS_SUCCESS;
    m_Topology = m_Driver.Topology(&status);
    if (!m_Topology) {
      *error = "the driver's topology filter is not available: " + StatusText(status);
      return false;
    }
    m_View = sim::host::ViewTopology(m_Topology);
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

// Pulls "--name VALUE" out of a command's arguments.
bool TakeOption(std::vector<std::string>* args, const std::string& name, std::string* value, std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 == args->size()) {
      *error = name + " needs a value";
      return false;
    }
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  if (!file.flush()) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

int Info(const Options& options, const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  std::string dotFile, error;
  if (!TakeOption(&args, "--dot", &dotFile, &error)) return Fail(error);
  if (!args.empty()) return Fail("info takes no argument but --dot FILE, not '" + args[0] + "'");
  Session session(options);
  if (!session.Open(&error)) return Fail(error);
  const sim::DescriptorSet& d = session.Descriptors();
  std::string tree = sim::DumpDescriptors(d);
  DriverReport driver = RunDriver(d, session.Profile(), session.Speed(), session.Factory());
  if (!session.Save(&error)) return Fail(error);
  if (!dotFile.empty()) {
    if (driver.dot.empty()) return Fail("no topology filter to draw: the start ended with " + StatusText(driver.start));
    if (!WriteText(dotFile, driver.dot, &error)) return Fail(error);
  }
  // A model that rewrites the configuration shows what it made of it.
  std::string rewritten;
  if (!driver.configurationInUse.empty()) {
    sim::DescriptorSet inUse = d;
    inUse.configurations = {driver.configurationInUse};
    rewritten = ConfigurationPart(sim::DumpDescriptors(inUse));
  }
  if (options.json) {
    std::printf("{\"vendor\": \"%s\", \"product\": \"%s\", \"descriptors\": %s, \"rewrittenConfiguration\": %s, "
                "\"driver\": %s}\n",
                Hex4(d.VendorId()).c_str(), Hex4(d.ProductId()).c_str(), JsonString(tree).c_str(),
                rewritten.empty() ? "null" : JsonString(rewritten).c_str(), DriverJson(driver).c_str());
  } else {
    std::printf("Device %s:%s\n%s", Hex4(d.VendorId()).c_str(), Hex4(d.ProductId()).c_str(), tree.c_str());
    if (!rewritten.empty())
      std::printf("Configuration as the driver's model rewrote it (%zu of the device's %zu bytes):\n%s",
                  driver.configurationInUse.size(), d.Configuration().size(), rewritten.c_str());
    std::printf("%s", DescribeDriver(driver).c_str());
    if (!dotFile.empty()) std::printf("topology graph: %s\n", dotFile.c_str());
  }
  return NT_SUCCESS(driver.addDevice) ? 0 : 1;
}

// Runs `work` on the started driver and prints what it reports.
int WithControls(const Options& options,
                 const std::function<bool(LiveDriver&, std::string* out, std::string* error)>& work) {
  Session session(options);
  std::string error, out;
  if (!session.Open(&error)) return Fail(error);
  bool ok = false;
  {
    LiveDriver live(session);
    ok = live.Open(&error) && work(live, &out, &error);
  }
  std::printf("%s", out.c_str());
  // Values the driver stored while running persist for the next run.
  std::string saveError;
  if (!session.Save(&saveError)) return Fail(saveError);
  return ok ? 0 : Fail(error);
}

// Pulls every "--name VALUE" out of a command's arguments.
bool TakeRepeatedOption(std::vector<std::string>* args, const std::string& name, std::vector<std::string>* values,
                        std::string* error) {
  for (;;) {
    std::string value;
    const size_t before = args->size();
    if (!TakeOption(args, name, &value, error)) return false;
    if (args->size() == before) return true;
    values->push_back(value);
  }
}

// What the switches of the room effect during a play left in the device's
// audio: the prompt each played, and the crossfade.
std::string DescribeRoomSwitches(const PlayReport& r) {
  std::string out;
  for (const TimedSetDone& d : r.sets) {
    if (!d.ok || d.set.control != "room") continue;
    const RoomSwitchHeard heard = HearRoomSwitch(r.device, d.playedSeconds);
    out += "room " + d.set.value + ": " + heard.prompt.text + "; " + heard.crossfade.text + "\n";
  }
  return out;
}

// "A" or "A:B": a clock offset in ppm, constant or drifting from A to B.
bool ParseClockPpm(const std::string& text, std::pair<double, double>* ppm) {
  char* end = nullptr;
  ppm->first = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  ppm->second = ppm->first;
  if (*end == ':') {
    const char* second = end + 1;
    ppm->second = std::strtod(second, &end);
    if (end == second) return false;
  }
  const auto sane = [](double v) { return v >= -10000 && v <= 10000; };
  return *end == 0 && sane(ppm->first) && sane(ppm->second);
}

int Play(const Options& options, const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  std::string deviceFile = "out/played-at-device.wav", room, secondsText, clockText, error;
  std::vector<std::string> setTexts;
  if (!TakeOption(&args, "--device-out", &deviceFile, &error) || !TakeOption(&args, "--room", &room, &error) ||
      !TakeRepeatedOption(&args, "--set", &setTexts, &error) || !TakeOption(&args, "--seconds", &secondsText, &error) ||
      !TakeOption(&args, "--clock-ppm", &clockText, &error))
    return Fail(error);
  if (args.size() > 1)
    return Fail("usage: play [FILE.wav | --seconds S] [--clock-ppm A[:B]] [--device-out FILE.wav] "
                "[--room on|off[@SECONDS]] [--set CONTROL=VALUE[@SECONDS]]...");
  double toneSeconds = 0;
  if (!secondsText.empty()) {
    char* end = nullptr;
    toneSeconds = std::strtod(secondsText.c_str(), &end);
    if (*end || !(toneSeconds > 0) || toneSeconds > 3600) return Fail("--seconds takes a duration from 0 to 3600 seconds");
    if (!args.empty()) return Fail("play takes a WAV file or --seconds, not both");
  }
  PlayOptions playOptions;
  if (!clockText.empty()) {
    std::pair<double, double> ppm;
    if (!ParseClockPpm(clockText, &ppm))
      return Fail("--clock-ppm takes an offset in ppm, or START:END drifting over the play (-10000 to 10000)");
    playOptions.clockPpm = ppm;
  }
  // The room effect switches a quarter second in, unless told when, so that
  // its prompt and crossfade fall into what is played.
  if (!room.empty()) setTexts.insert(setTexts.begin(), "room=" + room + (room.find('@') == std::string::npos ? "@0.25" : ""));
  for (const std::string& text : setTexts) {
    TimedSet set;
    // Without a time a set is made before the audio starts.
    if (!ParseTimedSet(text, -1.0, &set, &error)) return Fail(error);
    if (set.control == "room" && set.value != "on" && set.value != "off")
      return Fail("--room takes on or off, not '" + set.value + "'");
    playOptions.sets.push_back(set);
  }
  sim::host::WavData wav;
  if (!args.empty()) {
    if (!sim::host::ReadWav(args[0], &wav, &error)) return Fail(error);
  } else if (toneSeconds > 0 || playOptions.sets.empty()) {
    wav = sim::host::SineWav(48000, 2, 440.0, toneSeconds > 0 ? toneSeconds : 1.0, 0.25);
  } else {
    // A tone above the prompt's band, long enough for a few changes, so
    // that what they leave in the device's audio can be told apart.
    wav = RoomProgram(1.5);
  }
  const double seconds = wav.sampleRate ? static_cast<double>(wav.Frames()) / wav.sampleRate : 0.0;
  for (const TimedSet& set : playOptions.sets) {
    if (set.atSeconds > seconds) {
      char text[160];
      std::snprintf(text, sizeof text, "%s=%s is set at %.3f s, past the end of the %.3f s played", set.control.c_str(),
                    set.value.c_str(), set.atSeconds, seconds);
      return Fail(text);
    }
  }
  return WithControls(options, [&](LiveDriver& live, std::string* out, std::string* why) {
    const PlayReport r = tools::Play(live.Driver(), wav, options.realtime, playOptions);
    std::string text = r.text;
    if (!NT_SUCCESS(r.status)) {
      // A change the play cannot make is refused before anything plays.
      if (r.refused) {
        *why = text.substr(0, text.find('\n'));
        return false;
      }
      *out += text;
      *why = "playing failed: " + (r.failure.empty() ? text.substr(0, text.find('\n')) : r.failure);
      return false;
    }
    text += DescribeRoomSwitches(r);
    if (!r.device.samples.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(std::filesystem::path(deviceFile).parent_path(), ec);
      if (!sim::host::WriteWav(deviceFile, r.device, why)) return false;
      text += "what the device received: " + deviceFile + "\n";
    }
    if (options.json) {
      char head[160];
      std::snprintf(head, sizeof head, "{\"status\": \"0x%08X\", \"filter\": %s, \"endpoint\": %u",
                    static_cast<unsigned>(r.status), JsonString(r.filter).c_str(), r.endpoint);
      *out += head;
      if (r.feedback) *out += ", \"feedback\": " + FeedbackJson(*r.feedback);
      *out += ", \"text\": " + JsonString(text) + "}\n";
    } else {
      *out += text;
    }
    for (const TimedSetDone& d : r.sets) {
      if (d.ok) continue;
      *why = "set " + d.set.control + " " + d.set.value + " during play: " + d.text;
      return false;
    }
    return true;
  });
}

int Record(const Options& options, const std::vector<std::string>& args) {
  if (args.size() > 2) return Fail("usage: record [SECONDS] [FILE.wav]");
  double seconds = 1.0;
  if (!args.empty()) {
    char* end = nullptr;
    seconds = std::strtod(args[0].c_str(), &end);
    if (*end || !(seconds > 0) || seconds > 600) return Fail("record takes a duration from 0 to 600 seconds");
  }
  const std::string file = args.size() > 1 ? args[1] : "out/recorded.wav";
  return WithControls(options, [&](LiveDriver& live, std::string* out, std::string* why) {
    const RecordReport r = tools::Record(live.Driver(), seconds, 1000.0, options.realtime);
    *out += r.text;
    if (!NT_SUCCESS(r.status)) {
      *why = "recording failed: " + r.failure;
      return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    if (!sim::host::WriteWav(file, r.recorded, why)) return false;
    *out += "written to " + file + "\n";
    return true;
  });
}

int Get(const Options& options, const std::vector<std::string>& args) {
  return WithControls(options, [&](LiveDriver& live, std::string* out, std::string* error) {
    return GetControls(live.Topology(), live.View(), args, options.json, out, error);
  });
}

int Set(const Options& options, const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  std::string channelText, error;
  if (!TakeOption(&args, "--channel", &channelText, &error)) return Fail(error);
  LONG channel = -1;
  if (!channelText.empty()) {
    char* end = nullptr;
    const long parsed = std::strtol(channelText.c_str(), &end, 10);
    if (*end || parsed < 0 || parsed > 255) return Fail("--channel takes a channel number from 0 to 255");
    channel = static_cast<LONG>(parsed);
  }
  if (args.size() != 2) return Fail("usage: set CONTROL VALUE [--channel N]");
  return WithControls(options, [&](LiveDriver& live, std::string* out, std::string* why) {
    return SetControl(live.Topology(), live.View(), args[0], args[1], channel, options.json, out, why);
  });
}

int Events(const Options& options, const std::vector<std::string>& args) {
  return WithControls(options, [&](LiveDriver& live, std::string* out, std::string* error) {
    if (auto* uac2 = dynamic_cast<sim::Uac2Device*>(&live.Driver().Device())) {
      std::vector<DeviceChange> changes;
      for (const std::string& a : args) {
        DeviceChange c;
        if (!ParseUac2Change(a, *uac2, &c, error)) return false;
        changes.push_back(c);
      }
      if (args.empty()) changes = DefaultUac2Changes(*uac2);
      WatchUac2Events(live.Driver(), live.View(), changes, options.json, out);
      return true;
    }
    // A board whose status the driver polls: its status changes over time.
    if (HasStatusPoll(live.Driver())) {
      std::vector<StatusStep> script;
      for (const std::string& a : args) {
        StatusStep step;
        if (!ParseStatusStep(a, &step, error)) return false;
        script.push_back(step);
      }
      return WatchStatus(live.Driver(), script.empty() ? DefaultStatusScript() : script, options.json, out, error);
    }
    std::vector<DeviceChange> changes;
    for (const std::string& a : args) {
      if (a.compare(0, 7, "status=") == 0) {
        *error = "'" + a + "': the driver polls no status on this device (a board with a status poll: --device 7753-poll)";
        return false;
      }
      DeviceChange c;
      if (!ParseDeviceChange(a, live.Driver().Device(), &c, error)) return false;
      changes.push_back(c);
    }
    if (args.empty()) changes = DefaultDeviceChanges(live.Driver().Device());
    if (changes.empty()) {
      *error = "the device has no mute or volume control to change; name one as UNIT:CS[:CH]=VALUE";
      return false;
    }
    // A change the driver does not announce (a single-input selector has no
    // event) is reported as such, not as a failure.
    WatchEvents(live.Driver(), live.View(), changes, options.json, out);
    return true;
  });
}

// The framework with its stand-in miniport pair, end to end: plug and play,
// the filters, a property round trip, a control-change event and a tone
// played through the wave pin. Shows that everything below the driver works.
int FrameworkCheck(const Options& options, const std::string& outDir, std::string* report) {
  platform::io::PhysicalDeviceConfig config;
  config.hardwareIds = {u"USB\\VID_1209&PID_0002"};
  config.deviceDescription = u"stand-in headset";
  PDEVICE_OBJECT pdo = platform::io::CreatePhysicalDevice(config);
  sim::host::Host host;
  NTSTATUS status = host.LoadDriver(sim::standin::StandinDriverEntry, u"standin");
  if (NT_SUCCESS(status)) status = host.AddDevice(pdo);
  if (NT_SUCCESS(status)) status = host.Start();
  char line[160];
  std::snprintf(line, sizeof(line), "stand-in adapter start: 0x%08X\n", static_cast<unsigned>(status));
  *report += line;
  if (NT_SUCCESS(status)) {
    *report += sim::host::DescribeFilters(host.AdapterDevice());
    sim::host::FilterHandle* topology = nullptr;
    sim::host::FilterHandle* wave = nullptr;
    status = host.OpenFilter(u"GlobalTopo", &topology);
    if (NT_SUCCESS(status)) {
      LONG level = 0;
      topology->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, sim::standin::kVolumeNode, 0,
                                -6 * 65536);
      topology->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, sim::standin::kVolumeNode, 0, &level);
      std::snprintf(line, sizeof(line), "volume set to -6 dB, read back %.2f dB\n", level / 65536.0);
      *report += line;
      KEVENT changed;
      KeInitializeEvent(&changed, NotificationEvent, FALSE);
      KSEVENTDATA data;
      topology->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, sim::standin::kVolumeNode,
                            &data, &changed);
      sim::standin::StandinDeviceVolumeChange(sim::standin::StandinTopologyMiniport(host.AdapterDevice()), 0,
                                              -10 * 65536);
      *report += KeReadStateEvent(&changed) ? "device-side volume change raised KSEVENT_CONTROL_CHANGE\n"
                                            : "device-side volume change raised no event\n";
      topology->DisableEvent(&data);
    }
    if (NT_SUCCESS(status)) status = host.OpenFilter(sim::standin::kEngineName + std::u16string(u"Wave"), &wave);
    if (NT_SUCCESS(status)) {
      sim::host::WavData tone = sim::host::SineWav(48000, 2, 440.0, 0.5, 0.25);
      status = host.Render(wave, tone, options.realtime);
      sim::host::WavData played = tone;
      played.samples = sim::standin::StandinRenderedBytes(sim::standin::StandinWaveMiniport(host.AdapterDevice()));
      std::string error;
      sim::host::WriteWav(outDir + "/standin-rendered.wav", played, &error);
      std::snprintf(line, sizeof(line), "played 0.5 s of 440 Hz through the stand-in wave pin: 0x%08X, %zu bytes\n",
                    static_cast<unsigned>(status), played.samples.size());
      *report += line;
    }
    delete wave;
    delete topology;
  }
  host.Unload();
  platform::io::DeletePhysicalDevice(pdo);
  return NT_SUCCESS(status) ? 0 : 1;
}

// The topology filter and its controls on the started driver: the
// description and its graph, every control, a volume change from the host
// and the events the device's own buttons raise.
int DemoControls(const Session& session, const std::string& outDir) {
  LiveDriver live(session);
  std::string error, report;
  bool ok = live.Open(&error);
  if (ok) {
    ok = WriteText(outDir + "/topology.txt", sim::host::TopologyText(live.View()), &error) &&
         WriteText(outDir + "/topology.dot", sim::host::TopologyDot(live.View()), &error);
    std::printf("  topology filter: %zu pins, %zu nodes, %zu connections (%s/topology.txt, %s/topology.dot)\n",
                live.View().pins.size(), live.View().nodes.size(), live.View().links.size(), outDir.c_str(),
                outDir.c_str());
  }
  if (ok) {
    report += "controls:\n";
    ok = GetControls(live.Topology(), live.View(), {}, false, &report, &error);
  }
  if (ok) {
    // On the headset the playback volume is the second; nodes are listed
    // capture side first.
    ULONG node = 0;
    const std::string volume = sim::host::FindControl(live.View(), "volume#2", &node) ? "volume#2" : "volume";
    if (sim::host::FindControl(live.View(), volume, &node)) {
      report += "\nset " + volume + " -10dB:\n";
      ok = SetControl(live.Topology(), live.View(), volume, "-10dB", -1, false, &report, &error);
    }
  }
  if (ok) {
    report += "\nchanges on the device:\n";
    ok = WatchEvents(live.Driver(), live.View(), DefaultDeviceChanges(live.Driver().Device()), false, &report);
    if (!ok) error = "a change on the device raised no control-change event";
  }
  if (!WriteText(outDir + "/controls.txt", report, &error)) ok = false;
  std::printf("  get/set/events: %s (%s/controls.txt)\n", ok ? "ok" : ("FAILED: " + error).c_str(), outDir.c_str());
  return ok ? 0 : 1;
}

// A second of 440 Hz through the render wave filter into the device, and a
// second of the microphone's 1 kHz through the capture wave filter.
int DemoStreams(const Session& session, const Options& options, const std::string& outDir) {
  LiveDriver live(session);
  std::string error;
  int rc = live.Open(&error) ? 0 : 1;
  if (rc == 0) {
    const PlayReport played = tools::Play(live.Driver(), sim::host::SineWav(48000, 2, 440.0, 1.0, 0.25), options.realtime);
    const bool ok = NT_SUCCESS(played.status) && !played.device.samples.empty() &&
                    sim::host::WriteWav(outDir + "/played-at-device.wav", played.device, &error);
    std::printf("  play: %s (%s/played-at-device.wav: what the device's endpoint received)\n",
                ok ? "ok" : ("FAILED: " + played.text).c_str(), outDir.c_str());
    if (!ok) rc = 1;
    const RecordReport recorded = tools::Record(live.Driver(), 1.0, 1000.0, options.realtime);
    const bool okRecord = NT_SUCCESS(recorded.status) && recorded.recorded.Frames() > 0 &&
                          sim::host::WriteWav(outDir + "/recorded.wav", recorded.recorded, &error);
    std::printf("  record: %s (%s/recorded.wav)\n", okRecord ? "ok" : ("FAILED: " + recorded.text).c_str(),
                outDir.c_str());
    if (!okRecord) rc = 1;
    WriteText(outDir + "/streams.txt", played.text + recorded.text, &error);
  } else {
    std::printf("  play/record: FAILED: %s\n", error.c_str());
  }
  return rc;
}

// The room effect switched on and off while a tone plays: which prompt the
// device heard each time and where the crossfade ran, found in what its
// endpoint received.
int DemoRoomEffect(const Session& session, const Options& options, const std::string& outDir) {
  LiveDriver live(session);
  std::string error, report;
  bool ok = live.Open(&error);
  ULONG node = 0;
  if (ok && !sim::host::FindControl(live.View(), "room", &node)) {
    std::printf("  room effect: not on this device\n");
    return 0;
  }
  sim::host::ControlReading now;
  if (ok) ok = NT_SUCCESS(sim::host::ReadControl(live.Topology(), live.View(), node, &now)) && !now.values.empty();
  PlayReport played;
  if (ok) {
    // Each switch a real change, whatever the stored setting was.
    const std::string first = now.values[0] ? "off" : "on", second = now.values[0] ? "on" : "off";
    played = tools::Play(live.Driver(), RoomProgram(2.0), options.realtime,
                         PlayOptions{.sets = {{"room", first, 0.5}, {"room", second, 1.3}}});
    ok = NT_SUCCESS(played.status) && played.sets.size() == 2 && played.sets[0].ok && played.sets[1].ok &&
         sim::host::WriteWav(outDir + "/room-effect-at-device.wav", played.device, &error);
    if (!ok && error.empty()) error = played.text;
  }
  std::string summary;
  if (ok) {
    report = played.text;
    for (const TimedSetDone& d : played.sets) {
      const RoomSwitchHeard heard = HearRoomSwitch(played.device, d.playedSeconds);
      const PromptHeard& prompt = heard.prompt;
      const CrossfadeHeard& crossfade = heard.crossfade;
      char line[320];
      std::snprintf(line, sizeof line, "room %s at %.2f s: %s; %s\n", d.set.value.c_str(), d.playedSeconds,
                    prompt.text.c_str(), crossfade.text.c_str());
      report += line;
      std::snprintf(line, sizeof line, "%s%s: %s prompt (%.0f Hz, %.0f Hz), crossfade at %.3f s", summary.empty() ? "" : "; ",
                    d.set.value.c_str(), prompt.found ? (prompt.rising ? "rising" : "falling") : "no",
                    prompt.firstHz, prompt.secondHz, crossfade.startAt);
      summary += line;
      if (!prompt.found || !crossfade.found || prompt.rising != (d.set.value == "on")) ok = false;
    }
    if (!ok) error = "the device's audio does not show what the switch should leave";
  }
  if (!WriteText(outDir + "/room-effect.txt", report, &error)) ok = false;
  std::printf("  room effect: %s (%s/room-effect.txt, %s/room-effect-at-device.wav)\n",
              ok ? summary.c_str() : ("FAILED: " + error).c_str(), outDir.c_str(), outDir.c_str());
  return ok ? 0 : 1;
}

int Demo(const Options& options, const std::vector<std::string>&) {
  const std::string outDir = "out";
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  Options demoOptions = options;
  Session session(demoOptions);
  std::string error;
  if (!session.Open(&error)) return Fail(error);

  std::string info = sim::DumpDescriptors(session.Descriptors());
  std::ofstream(outDir + "/descriptors.txt") << info;
  std::printf("headset-host demo: the embedded default headset (%04x:%04x)\n", session.Descriptors().VendorId(),
              session.Descriptors().ProductId());
  std::printf("  descriptors: %s/descriptors.txt\n", outDir.c_str());

  std::string report;
  int rc = FrameworkCheck(options, outDir, &report);
  std::ofstream(outDir + "/framework.txt") << report;
  std::printf("  port-class stand-in check: %s (%s/framework.txt, %s/standin-rendered.wav)\n", rc ? "FAILED" : "ok",
              outDir.c_str(), outDir.c_str());
  DriverReport driver = RunDriver(session.Descriptors(), session.Profile(), session.Speed(), session.Factory());
  std::ofstream(outDir + "/driver.txt") << DescribeDriver(driver);
  std::printf("  driver start: %s (%s/driver.txt: adapter, interfaces, filters, hardware model)\n",
              StatusText(driver.start).c_str(), outDir.c_str());
  if (!NT_SUCCESS(driver.start)) rc = 1;
  if (DemoStreams(session, options, outDir) != 0) rc = 1;
  if (DemoRoomEffect(session, options, outDir) != 0) rc = 1;
  if (DemoControls(session, outDir) != 0) rc = 1;
  if (!session.Save(&error)) return Fail(error);
  return rc;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "[--dot FILE]  the descriptors, the driver's filters and its topology (FILE: Graphviz)", Info},
      {"get", "[CONTROL...]  read controls: all, or by node number or kind (volume, volume#2, mute)", Get},
      {"set", "CONTROL VALUE [--channel N]  change a control: -6dB, on/off, an input number, HP/SPK", Set},
      {"play",
       "[FILE.wav | --seconds S] [--clock-ppm A[:B]] [--room on|off[@S]] [--set CONTROL=VALUE[@S]]  render into the\n"
       "                device, changing controls while it plays",
       Play},
      {"record", "capture SECONDS from the device's microphone into a WAV file", Record},
      {"events",
       "[UNIT:CS[:CH]=VALUE... | status=HEX[*POLLS]...]  change controls or a polled status on the device (on\n"
       "                an Audio Class 2.0 one also a clock's validity CS 2, a terminal's connector CS 2 or type\n"
       "                CS 8), show what the driver made of it",
       Events},
      {"asio", "[--latency INDEX] [--seconds S] [--rate R] [--type T] [--out FILE]  stream a tone out and record the "
               "input through the driver's ASIO interface; report switches, latencies and the round trip",
       Asio},
      {"demo", "all of it on the embedded default headset, results into out/", Demo},
  };
  return commands;
}

}  // namespace tools
