// What the Settings store holds when the driver starts, for every embedded
// device (the first byte picks it): anything may have written it. Output
// terminal categories ("UACUnitNN"), stored node values per channel and per
// node, the pause between removing and re-registering a filter
// ("UpdateMiniportDelay"), the output-type and jack switches, the 7753's
// switches and mute-LED values, the ASIO host's choices and the pin names,
// each with any type, length and bytes. The device starts or refuses with a
// status, a device with an output-type node changes its type (the filters
// are registered again after the stored pause), and the removal leaves the
// pool as it was.
#include <map>

#include "fuzz/DriverFuzz.h"
#include "sim/device/Uac2Device.h"
#include "sim/host/TopologyView.h"
#include "variants/7753/C7753DescriptorRewrite.h"
#include "variants/7753/C7753FeatureUnits.h"

namespace {

using driverfuzz::Require;

const char16_t* const kSwitches[] = {u"INITOTTYPEBYSEL", u"SetJackConnect", u"UpdateMiniportDelay",
                                     u"NeedMuteLED",     u"ReverseMuteLED", u"ASIOMLDataBitDepth",
                                     u"ASIOMLDataLatency", u"ASIOMLSampleRate", u"LineInName",
                                     u"SpdifOutName",    u"SpdifInName",    u"ModuleName"};

std::u16string Number(unsigned value, int width, char16_t pad = u'0') {
  std::u16string text = sim::host::Widen(std::to_string(value));
  while (text.size() < static_cast<size_t>(width)) text.insert(text.begin(), pad);
  return text;
}

// One value's name, read from the input: the names the driver forms at run
// time from node ids, channels and output types, or one of its fixed names.
std::u16string Name(driverfuzz::Reader& in) {
  const uint8_t kind = in.Byte();
  const unsigned node = in.Byte() % 40;
  switch (kind % 4) {
    case 0:
      return u"UACUnit" + Number(node, 2);
    case 1:  // a channel's value under an output type: "Unit02_ 0_1"
      return u"Unit" + Number(node, 2) + u"_" + Number(in.Byte() % 24, 2, u' ') + u"_" +
             Number(in.Byte() % 10, 1);
    case 2:
      return u"Unit" + Number(node, 2) + u"_";
    default: {
      const size_t count = sizeof kSwitches / sizeof kSwitches[0] + C7753_SWITCH_COUNT;
      const size_t at = node % count;
      return at < C7753_SWITCH_COUNT ? std::u16string(C7753SwitchNames[at])
                                     : std::u16string(kSwitches[at - C7753_SWITCH_COUNT]);
    }
  }
}

// The Settings values of the input, in place of whatever was there.
void StoreSettings(driverfuzz::Reader& in, const std::u16string& settings) {
  platform::registry::DeleteKeyTree(settings);
  platform::registry::CreateKey(settings);
  for (int values = 0; values < 24 && in.More(); ++values) {
    const std::u16string name = Name(in);
    const uint8_t how = in.Byte();
    if (how & 0x80) {
      // Any bytes, as binary or as a string the reader may not expect.
      const std::vector<uint8_t> bytes = in.Bytes(how % 24);
      platform::registry::SetValue(settings, name, how & 0x40 ? REG_SZ : REG_BINARY, bytes.data(), bytes.size());
    } else {
      const ULONG value = in.Long();
      platform::registry::SetValue(settings, name, how & 0x40 ? REG_DWORD : REG_BINARY, &value, sizeof value);
    }
  }
}

// Every control value the device holds: the feature units' controls per
// channel, the selectors' inputs and the output terminals' types.
std::vector<sim::Bytes> ControlValues(sim::SimDevice& device) {
  std::vector<sim::Bytes> values;
  // A 2.0 device keeps its entities' controls apart.
  if (auto* uac2 = dynamic_cast<sim::Uac2Device*>(&device)) {
    for (uint8_t entity = 1; entity < 32; ++entity) {
      for (uint8_t cs = 1; cs <= 10; ++cs)
        for (uint8_t channel = 0; channel < 3; ++channel) values.push_back(uac2->EntityControl(entity, cs, channel));
      const uint16_t type = uac2->TerminalType(entity);
      values.push_back({static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8)});
    }
    return values;
  }
  for (const auto& [id, unit] : device.Model().units)
    for (uint8_t cs = 0; cs <= 10; ++cs)
      for (uint8_t channel = 0; channel < std::max<size_t>(unit.bitmaps.size(), 1); ++channel)
        values.push_back(device.ControlValue(id, cs, channel));
  return values;
}

// What a device's controls hold after a start from a Settings store without
// values, for each device once.
const std::vector<sim::Bytes>& PlainValues(uint8_t device) {
  static auto& values = *new std::map<uint8_t, std::vector<sim::Bytes>>();
  auto found = values.find(device);
  if (found != values.end()) return found->second;
  driverfuzz::Session* plain = driverfuzz::StartedSession(device);
  Require(plain != nullptr, "an embedded device did not start");
  return values[device] = ControlValues(*plain->device);
}

// Changes the output type, when the device has a node for it, to another
// one it offers: the model removes and registers the wave filters again.
void ChangeOutputType(driverfuzz::Session& session, uint8_t pick) {
  sim::host::FilterHandle* topology = session.Open(u"GlobalTopo");
  if (!topology) return;
  const sim::host::TopologyView view = sim::host::ViewTopology(topology);
  ULONG node = 0;
  sim::host::ControlReading reading;
  if (sim::host::FindControl(view, "output type", &node) &&
      NT_SUCCESS(sim::host::ReadControl(topology, view, node, &reading)) && reading.choices.size() > 1) {
    const ULONG choice = reading.choices[pick % reading.choices.size()];
    std::string error;
    if (NT_SUCCESS(sim::host::WhileTimePasses([&] {
          return sim::host::WriteControl(topology, view, node, std::to_string(choice), -1, &error);
        })) &&
        !reading.values.empty() && choice != static_cast<ULONG>(reading.values[0]))
      fuzz::Reached("the output type changed");
  }
  delete topology;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::Reader in(data, size);
  const uint8_t device = in.Byte() % driverfuzz::kDeviceNames.size();
  const std::vector<sim::Bytes>& plain = PlainValues(device);
  const sim::EmbeddedDevice& embedded = driverfuzz::DeviceAt(device);
  driverfuzz::WithPoolCheck(device, [&] {
    driverfuzz::Session session(driverfuzz::MakeDevice(embedded), nullptr, embedded.factory,
                                1 + device + driverfuzz::kDeviceNames.size());
    WCHAR driverKey[128] = {};
    ULONG length = 0;
    Require(NT_SUCCESS(IoGetDeviceProperty(session.port->Pdo(), DevicePropertyDriverKeyName, sizeof driverKey,
                                           driverKey, &length)),
            "the device has no driver key");
    const uint8_t pick = in.Byte();
    StoreSettings(in, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                          std::u16string(driverKey) + u"\\Settings");
    if (!NT_SUCCESS(session.Start())) return;
    fuzz::Reached("the device started on the stored values");
    if (ControlValues(*session.device) != plain) fuzz::Reached("a stored value reached the device");
    ChangeOutputType(session, pick);
  });
  return 0;
}

FUZZ_REACHES("the device started on the stored values", "a stored value reached the device")
