// headset-host's `--factory chip`: the device object runs the chip-
// identifying factory instead of the product's own, and `info` names the
// model it chose or says in one line why the device was refused.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/device/ChipDevices.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/EmbeddedDevices.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/tools/ToolsTest.h"
#include "tools/driverinfo.h"
#include "driver/hal/ChipString.h"

namespace {

class FactoryChoiceTest : public toolstest::ToolsTest {
 protected:
  static tools::DriverReport RunChip(const sim::DescriptorSet& set) {
    return tools::RunDriver(set, haltest::PlainProfile(), platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying);
  }
  static size_t Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }
};

// Every held set of a real device's layout, with a chip string no marker
// matches: the generic model takes it, and starts it unless its own parse
// refuses it.
TEST_F(FactoryChoiceTest, HeldSetsReachTheGenericModel) {
  struct Held {
    const char* name;
    sim::DescriptorSet set;
    bool starts;
  };
  sim::DescriptorSet sample;
  std::string error;
  const char* source = std::getenv("HSD_SOURCE_DIR");
  ASSERT_TRUE(sim::LoadDescriptorFiles(std::string(source ? source : ".") + "/tests/data/tools/sample-headset.descriptors",
                                       "", &sample, &error))
      << error;
  const Held held[] = {
      {"sample headset file", sample, true},
      {"stereo headset", haltest::StereoHeadset(), true},
      {"webcam microphone", haltest::WebcamMicrophone(), true},
      {"sound card", haltest::SoundCard(), true},
      {"continuous-rate microphone", haltest::ContinuousRateMicrophone(), true},
      {"bare speakers", haltest::BareSpeakers(), true},
      {"processing unit", haltest::ProcessingUnitDevice(), false},
  };
  for (const Held& h : held) {
    SCOPED_TRACE(h.name);
    sim::DescriptorSet set = h.set;
    set.strings[UAC1_PROBE_STRING_PRIMARY] = u"USB Audio";
    const tools::DriverReport report = RunChip(set);
    EXPECT_EQ(NT_SUCCESS(report.start), h.starts) << report.model;
    if (h.starts) {
      EXPECT_EQ(report.model.rfind("hardware model: CUac1AudioHal for ", 0), 0u) << report.model;
    } else {
      EXPECT_EQ(report.model.rfind("refused: ", 0), 0u) << report.model;
      EXPECT_EQ(Lines(report.model), 1u) << report.model;
    }
  }
}

// Without a chip string the generic model refuses every device but the two
// it knows by their IDs.
TEST_F(FactoryChoiceTest, DevicesWithoutChipStringAreRefusedButTwo) {
  struct Case {
    uint16_t vendor, product;
    bool starts;
  };
  for (const Case& c : {Case{0x0D8C, 0x0014, false}, Case{0x1B1C, 0x0A04, false}, Case{0x5E1F, 0xB9E5, true}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
    const tools::DriverReport report = RunChip(haltest::StereoHeadset({}, c.vendor, c.product));
    EXPECT_EQ(NT_SUCCESS(report.start), c.starts) << report.model;
    if (!c.starts) {
      EXPECT_EQ(Lines(report.model), 1u) << report.model;
      EXPECT_NE(report.model.find("refused: "), std::string::npos) << report.model;
    }
  }
  // The product's own headset is no exception.
  const tools::DriverReport report = tools::RunDriver(sim::headset::Descriptors(), sim::headset::Profile(),
                                                      platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying);
  EXPECT_EQ(report.start, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(report.model,
            "refused: ConfigureDevice failed with status 0xC0000001: the chip's vendor string (string descriptor "
            "0x50, else 0x32) cannot be read\n");
}

TEST_F(FactoryChoiceTest, EveryEmbeddedDeviceGetsItsChipsModel) {
  const std::pair<const char*, const char*> expected[] = {
      {"7746", "C7746AudioHal"},        {"7762", "C7762AudioHal"},   {"tq4187", "CTQ4187AudioHal"},
      {"tq4187-v2", "CTQ4187AudioHal"}, {"uac2", "CUac2AudioHal"},   {"uac2-fs", "CUac2AudioHal"},
      {"7753", "C7753AudioHal"},        {"7753-poll", "C7753AudioHal"}};
  for (const auto& [name, model] : expected) {
    SCOPED_TRACE(name);
    const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(name);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->factory, AudioHalChoice::ChipIdentifying);
    const tools::DriverReport report =
        tools::RunDriver(device->descriptors(), device->profile(), device->speed, AudioHalChoice::ChipIdentifying);
    ASSERT_EQ(report.start, STATUS_SUCCESS) << report.model;
    EXPECT_EQ(report.model.rfind(std::string("hardware model: ") + model + " for ", 0), 0u) << report.model;
  }
}

TEST_F(FactoryChoiceTest, AudioClass2DevicesReachTheirModel) {
  // The embedded 2.0 headset starts; a device that only claims the protocol
  // (its descriptors are of the 1.0 layout) is refused by the model's parse.
  const sim::EmbeddedDevice* uac2 = sim::FindEmbeddedDevice("uac2");
  ASSERT_NE(uac2, nullptr);
  tools::DriverReport report =
      tools::RunDriver(uac2->descriptors(), uac2->profile(), uac2->speed, AudioHalChoice::ChipIdentifying);
  EXPECT_EQ(report.start, STATUS_SUCCESS);
  EXPECT_EQ(report.model.rfind("hardware model: CUac2AudioHal for 0b05:17b1, AudioControl interface 0, status thread "
                               "running\n",
                               0),
            0u)
      << report.model;
  report = RunChip(haltest::ProtocolTwoDevice());
  EXPECT_FALSE(NT_SUCCESS(report.start));
  EXPECT_EQ(report.model.rfind("refused: ", 0), 0u) << report.model;
  EXPECT_EQ(Lines(report.model), 1u) << report.model;
}

}  // namespace
