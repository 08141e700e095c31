// Every malformed kind of the device simulator's catalogue, through the
// whole start: refused with a status, or accepted with the model the
// descriptors give. Nothing hangs, crashes or leaks (the fixture checks the
// pool and the named objects, the sanitizers the rest).
#include <map>

#include "driver/hal/CK784AudioHal.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"

namespace {

struct Expectation {
  NTSTATUS status;
  // Refused: the step that refused (the model's parse, or the device
  // object's own before it); accepted: the engines made.
  const char* step;
  ULONG engines;
};

const std::map<std::string, Expectation>& Expected() {
  static const std::map<std::string, Expectation> expected = {
      // The bus driver already refuses the configuration the device object
      // selects.
      {"ZeroLengthDescriptor", {STATUS_INVALID_PARAMETER, "SelectConfiguration", 0}},
      // A descriptor longer than what is left of the configuration.
      {"DescriptorPastTotalLength", {STATUS_UNSUCCESSFUL, "UsbParseAudioStreamInterface", 0}},
      {"TotalLengthTooShort", {STATUS_UNSUCCESSFUL, "UsbParseAudioStreamInterface", 0}},
      // The feature and selector units refuse descriptors that run past bLength.
      {"ZeroControlSize", {STATUS_UNSUCCESSFUL, "UsbParseAudioControlInterface", 0}},
      {"ControlSizePastLength", {STATUS_UNSUCCESSFUL, "UsbParseAudioControlInterface", 0}},
      {"InputPinsPastLength", {STATUS_UNSUCCESSFUL, "UsbParseAudioControlInterface", 0}},
      // Loops and an unknown source leave the stream's terminal unreachable.
      {"UnitLoop", {STATUS_INVALID_PARAMETER, "UsbParseAudioStreamInterface", 0}},
      {"UnitNamingItself", {STATUS_INVALID_PARAMETER, "UsbParseAudioStreamInterface", 0}},
      {"DanglingSourceId", {STATUS_INVALID_PARAMETER, "UsbParseAudioStreamInterface", 0}},
      {"RatesPastLength", {STATUS_UNSUCCESSFUL, "UsbParseAudioStreamInterface", 0}},
      // Paths that meet are walked once each: sixty layers start at once.
      {"LayeredMixerGraph", {STATUS_SUCCESS, nullptr, 1}},
      // An alternate setting whose endpoint cannot stream its format is
      // skipped: the device starts, its engine offers no format.
      {"ZeroMaxPacketSize", {STATUS_SUCCESS, nullptr, 1}},
      {"MaxPacketSizeBelowOneFrame", {STATUS_SUCCESS, nullptr, 1}},
      {"BulkStreamingEndpoint", {STATUS_SUCCESS, nullptr, 1}},
      {"StreamingWithoutIsoEndpoint", {STATUS_SUCCESS, nullptr, 1}},
  };
  return expected;
}

class MalformedDescriptorTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }
};

TEST_F(MalformedDescriptorTest, EveryKindIsRefusedWithAStatusOrAcceptedWhole) {
  for (const auto& c : sim::malformed::Catalogue()) {
    SCOPED_TRACE(c.name);
    auto expected = Expected().find(c.name);
    ASSERT_NE(expected, Expected().end()) << "a new catalogue entry needs its expectation";
    platform::registry::Reset();
    Plug(c.build(), haltest::PlainProfile());
    EXPECT_EQ(Start(), expected->second.status);
    if (NT_SUCCESS(expected->second.status)) {
      ASSERT_NE(DeviceObject(), nullptr);
      EXPECT_EQ(DeviceObject()->GetStreamEngineCount(), expected->second.engines);
    } else {
      EXPECT_EQ(DeviceObject(), nullptr);
      const ModelRefusal refusal = Extension()->StartRefusal;
      if (expected->second.step) {
        EXPECT_STREQ(refusal.step, expected->second.step);
        EXPECT_EQ(refusal.status, expected->second.status);
        EXPECT_NE(refusal.reason, nullptr);
      } else {
        EXPECT_EQ(refusal.step, nullptr);
      }
    }
    Unplug();
  }
}

}  // namespace
