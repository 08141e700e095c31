// Audio Class 2.0 devices for the model's tests: the embedded headset on a
// model bench, and small devices built from single descriptors, so that a
// test can put one malformed or unusual descriptor among sound ones.
#pragma once

#include <memory>
#include <vector>

#include "sim/device/DescriptorBuilder.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "sim/device/Uac2Device.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace uac2test {

using sim::Bytes;

// The one descriptor `add` appends to a configuration builder.
template <typename Add>
Bytes Descriptor(Add add) {
  sim::ConfigBuilder c;
  add(c);
  const Bytes all = c.Build();
  const auto at = static_cast<std::ptrdiff_t>(all[0]);
  return Bytes(all.begin() + at, all.begin() + at + all[static_cast<size_t>(at)]);
}

// One class-specific descriptor as the builder writes it.
Bytes ClockSource(uint8_t id, uint8_t controls = 0x07);
Bytes InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clock, uint8_t channels = 2, uint16_t controls = 0);
Bytes OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t source, uint8_t clock, uint16_t controls = 0);
// `controls`: the master's bmaControls, then one per channel.
Bytes FeatureUnit(uint8_t id, uint8_t source, const std::vector<uint32_t>& controls);
Bytes MixerUnit(uint8_t id, const std::vector<uint8_t>& sources);
Bytes SelectorUnit(uint8_t id, const std::vector<uint8_t>& sources);
Bytes ExtensionUnit(uint8_t id, const std::vector<uint8_t>& sources);
Bytes AsGeneral(uint8_t terminalLink, uint32_t formats = 0x1, uint8_t formatType = 1, uint8_t channels = 2);
Bytes FormatType(uint8_t formatType = 1, uint8_t subslot = 2, uint8_t bits = 16);
// The first `length` bytes of `d`, with bLength saying so.
Bytes Cut(Bytes d, size_t length);

// Control selector `cs` readable and writable in a 32-bit controls word.
constexpr uint32_t ReadWrite(uint8_t cs) { return 3u << (2 * cs - 2); }

// A device whose AudioControl interface (protocol 0x20) holds `units` after
// its header, with an interrupt endpoint of `statusBytes` packets (0: none),
// and whose interface 1 streams in alternate setting 1 with `streaming`
// (AS_GENERAL, FORMAT_TYPE ...) and an asynchronous OUT endpoint plus, with
// `feedback`, its feedback endpoint (or an IN endpoint for capture).
struct SmallDevice {
  std::vector<Bytes> units;
  uint16_t statusBytes = 6;
  bool bulk = false;
  std::vector<Bytes> streaming;
  bool feedback = true;
  bool capture = false;  // the stream's endpoint is IN (and has no feedback)
  uint16_t maxPacket = 200;
  // Alternate setting 2 as setting 1 but with the data endpoint alone.
  bool settingWithoutFeedback = false;
  // Descriptors right after each setting's data endpoint (a companion,
  // vendor data).
  std::vector<Bytes> endpointExtras;
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x2002;
};
sim::DescriptorSet Build(const SmallDevice& device);

// CS 9 -> IT 1 USB streaming -> FU 2 (master mute and volume) -> OT 3
// speaker, rendering stereo 16-bit PCM from IT 1.
SmallDevice Speaker();
// CS 9 -> IT 1 microphone -> FU 2 (master mute and volume) -> OT 3 USB
// streaming, capturing mono 16-bit PCM for OT 3.
SmallDevice Microphone();

// A model bench for the device, with the Audio Class 2.0 model.
std::unique_ptr<haltest::ModelBench> Bench(const sim::DescriptorSet& set,
                                           const sim::DeviceProfile& profile = sim::DefaultProfile(),
                                           platform::usb::Speed speed = platform::usb::Speed::High,
                                           AudioHalFactory factory = CUac2AudioHal::Create);
// The embedded headset's bench.
std::unique_ptr<haltest::ModelBench> HeadsetBench(platform::usb::Speed speed = platform::usb::Speed::High);

inline CUac2AudioHal* Model(haltest::ModelBench& bench) { return bench.ModelAs<CUac2AudioHal>(); }
inline sim::Uac2Device& Device(haltest::ModelBench& bench) { return static_cast<sim::Uac2Device&>(bench.Device()); }

// The interrupt data message for (entity, selector, channel) of interface 0.
Bytes StatusMessage(uint8_t entity, uint8_t cs, uint8_t channel = 0);

}  // namespace uac2test
