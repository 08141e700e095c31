#include "tools/commands.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "kernel/nt.h"
#include "sim/DescriptorDump.h"
#include "sim/host/Host.h"
#include "sim/standin/StandinDriver.h"
#include "sim/standin/StandinMiniports.h"
#include "tools/driverinfo.h"
#include "tools/session.h"

namespace tools {
namespace {

// The driver's own entry has not landed yet: until it does, the commands
// that need it say so.
constexpr const char* kStreamingMissing = "the driver's streaming path and wave miniport have not landed yet";
constexpr const char* kControlsMissing = "the topology filter's controls are not wired into headset-host yet";

int NotYet(const Options& options, const char* what, const char* reason) {
  if (options.json)
    std::printf("{\"command\": %s, \"available\": false, \"reason\": %s}\n", JsonString(what).c_str(),
                JsonString(reason).c_str());
  else
    std::printf("%s: not available yet (%s)\n", what, reason);
  return 0;
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

int Info(const Options& options, const std::vector<std::string>&) {
  Session session(options);
  std::string error;
  if (!session.Open(&error)) return Fail(error);
  const sim::DescriptorSet& d = session.Descriptors();
  std::string tree = sim::DumpDescriptors(d);
  DriverReport driver = RunDriver(d, options.descriptors.empty());
  if (!session.Save(&error)) return Fail(error);
  if (options.json) {
    std::printf("{\"vendor\": \"%s\", \"product\": \"%s\", \"descriptors\": %s, \"driver\": %s}\n",
                Hex4(d.VendorId()).c_str(), Hex4(d.ProductId()).c_str(), JsonString(tree).c_str(),
                DriverJson(driver).c_str());
  } else {
    std::printf("Device %s:%s\n%s", Hex4(d.VendorId()).c_str(), Hex4(d.ProductId()).c_str(), tree.c_str());
    std::printf("%s", DescribeDriver(driver).c_str());
  }
  return NT_SUCCESS(driver.addDevice) ? 0 : 1;
}

int Play(const Options& options, const std::vector<std::string>&) {
  return NotYet(options, "play", kStreamingMissing);
}
int Record(const Options& options, const std::vector<std::string>&) {
  return NotYet(options, "record", kStreamingMissing);
}
int Get(const Options& options, const std::vector<std::string>&) { return NotYet(options, "get", kControlsMissing); }
int Set(const Options& options, const std::vector<std::string>&) { return NotYet(options, "set", kControlsMissing); }
int Events(const Options& options, const std::vector<std::string>&) {
  return NotYet(options, "events", kControlsMissing);
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
  DriverReport driver = RunDriver(session.Descriptors(), options.descriptors.empty());
  std::ofstream(outDir + "/driver.txt") << DescribeDriver(driver);
  std::printf("  driver start: %s (%s/driver.txt: adapter, interfaces, filters, hardware model)\n",
              StatusText(driver.start).c_str(), outDir.c_str());
  if (!NT_SUCCESS(driver.start)) rc = 1;
  for (const char* what : {"play", "record"}) std::printf("  %s: not available yet (%s)\n", what, kStreamingMissing);
  for (const char* what : {"get/set", "events"}) std::printf("  %s: not available yet (%s)\n", what, kControlsMissing);
  if (!session.Save(&error)) return Fail(error);
  return rc;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "show the device's descriptors and the driver's filters", Info},
      {"get", "read a control (node name or number)", Get},
      {"set", "change a control (volume in dB, mute, tone, selector, output type)", Set},
      {"play", "render a WAV file through the driver into the device", Play},
      {"record", "capture SECONDS from the device's microphone into a WAV file", Record},
      {"events", "watch control changes raised by device-side changes", Events},
      {"demo", "all of it on the embedded default headset, results into out/", Demo},
  };
  return commands;
}

}  // namespace tools
