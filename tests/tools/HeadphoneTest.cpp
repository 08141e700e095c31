// headset-host on the TQ4187 headset: the headphone effect as a control
// with its two settings, and what `play` delivers with the effect off, on,
// and switched while playing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/device/ChipDevices.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/streams.h"
#include "topology/CMiniportWaveCyclic.h"

namespace {

using sim::host::RunningDriver;
using toolstest::Channel;

class HeadphoneTest : public toolstest::ToolsTest {
 protected:
  struct Live {
    Live()
        : driver(sim::tq4187::FirstProfileDescriptors(), sim::tq4187::Profile(), CreateMiniportWaveCyclic,
                 platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying) {
      EXPECT_EQ(driver.startStatus, STATUS_SUCCESS);
      if (driver.Topology()) view = sim::host::ViewTopology(driver.Topology());
    }
    bool Set(const std::string& control, const std::string& value, std::string* out, std::string* error) {
      return tools::SetControl(driver.Topology(), view, control, value, -1, false, out, error);
    }
    RunningDriver driver;
    sim::host::TopologyView view;
  };

  static std::vector<int16_t> Play(const std::vector<tools::TimedSet>& controls) {
    Live live;
    const tools::PlayReport r = tools::Play(live.driver, Tone(), false, tools::PlayOptions{.sets = controls});
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.text;
    return Channel(r.device, 0);
  }
  static sim::host::WavData Tone() { return sim::host::SineWav(48000, 2, 500.0, 0.5, 0.25); }
};

TEST_F(HeadphoneTest, SetReachesTheEffectAndItsSettingsAndTheyPersist) {
  {
    Live live;
    std::string out, error;
    ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"headphone"}, false, &out, &error)) << error;
    EXPECT_EQ(out, "headphone (node 2): off, room 1, variant 0\n");
    out.clear();
    ASSERT_TRUE(live.Set("headphone", "on", &out, &error)) << error;
    ASSERT_TRUE(live.Set("headphone.room", "2", &out, &error)) << error;
    ASSERT_TRUE(live.Set("2.variant", "1", &out, &error)) << error;
    EXPECT_EQ(out,
              "headphone (node 2): on, room 1, variant 0\n"
              "headphone (node 2): on, room 2, variant 0\n"
              "headphone (node 2): on, room 2, variant 1\n");
    // The device holds the on/off byte.
    EXPECT_EQ(live.driver.Device().ControlValue(sim::tq4187::kRenderFeatureUnit, sim::tq4187::kHeadphoneControl, 0),
              sim::Bytes{1});
    for (const auto& [control, value] : {std::pair{"headphone.room", "3"}, std::pair{"headphone.room", "two"},
                                         std::pair{"headphone.angle", "1"}, std::pair{"headphone", "loud"}}) {
      SCOPED_TRACE(control);
      out.clear();
      error.clear();
      EXPECT_FALSE(live.Set(control, value, &out, &error));
      EXPECT_FALSE(error.empty());
    }
    out.clear();
    ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"headphone.room"}, true, &out, &error));
    EXPECT_EQ(out,
              "[{\"node\": 2, \"kind\": \"headphone\", \"path\": \"render\", \"values\": [1], "
              "\"settings\": {\"room\": 2, \"variant\": 1}, "
              "\"text\": \"headphone (node 2): on, room 2, variant 1\"}]\n");
  }
  Live again;
  std::string out, error;
  ASSERT_TRUE(tools::GetControls(again.driver.Topology(), again.view, {"headphone"}, false, &out, &error));
  EXPECT_EQ(out, "headphone (node 2): on, room 2, variant 1\n");
}

// The room effect is a control of its own beside the headphone effect: it
// reaches the device's control 139 and, switched on while playing, changes
// what the device receives from then on.
TEST_F(HeadphoneTest, RoomIsAControlOfItsOwnThatReachesTheStream) {
  {
    Live live;
    std::string out, error;
    ASSERT_TRUE(live.Set("room", "on", &out, &error)) << error;
    ASSERT_TRUE(tools::GetControls(live.driver.Topology(), live.view, {"room", "headphone"}, false, &out, &error))
        << error;
    EXPECT_EQ(out,
              "room (node 3): on\n"
              "room (node 3): on\n"
              "headphone (node 2): off, room 1, variant 0\n");
    EXPECT_EQ(live.driver.Device().ControlValue(sim::tq4187::kRenderFeatureUnit, sim::tq4187::kRoomControl, 0),
              sim::Bytes{1});
    EXPECT_EQ(live.driver.Device().ControlValue(sim::tq4187::kRenderFeatureUnit, sim::tq4187::kHeadphoneControl, 0),
              sim::Bytes{0});
  }
  const std::vector<int16_t> off = Play({{"room", "off", -1}});
  const std::vector<int16_t> switched = Play({{"room", "off", -1}, {"room", "on", 0.25}});
  ASSERT_EQ(off.size(), switched.size());
  size_t sameAsOff = 0;
  while (sameAsOff < off.size() && switched[sameAsOff] == off[sameAsOff]) ++sameAsOff;
  EXPECT_GT(sameAsOff, size_t(0.25 * 48000));
  EXPECT_LT(sameAsOff, size_t(0.3 * 48000));
}

// Off, the device gets the stereo fold through a limiter at unity: the
// tone itself, later. On, it gets the binaural rendering. Switched while
// playing, the one output runs into the other within one block.
TEST_F(HeadphoneTest, PlayGivesTheFoldOffTheBinauralOnAndOneCrossfadeBetween) {
  const std::vector<int16_t> off = Play({{"headphone", "off", -1}});
  const std::vector<int16_t> on = Play({{"headphone", "on", -1}});
  const std::vector<int16_t> switched = Play({{"headphone", "off", -1}, {"headphone", "on", 0.25}});
  ASSERT_EQ(off.size(), on.size());
  ASSERT_EQ(off.size(), switched.size());

  const std::vector<int16_t> tone = Channel(Tone(), 0);
  size_t first = 0;
  while (first < off.size() && off[first] == 0) ++first;
  ASSERT_GT(first, 512u);
  const size_t delay = first - 1;
  ASSERT_GE(off.size(), delay + tone.size());
  size_t wrong = 0;
  for (size_t i = 0; i < tone.size(); ++i) wrong += off[delay + i] != tone[i];
  EXPECT_EQ(wrong, 0u);

  // The binaural pair is not the tone.
  double difference = 0, energy = 0;
  for (size_t i = delay; i < delay + tone.size(); ++i) {
    difference += std::pow(on[i] - off[i], 2.0);
    energy += std::pow(off[i], 2.0);
  }
  EXPECT_GT(difference, 0.1 * energy);

  // The switched run is the off run, then the on run, with the frames that
  // are neither (the crossfade) inside one block.
  size_t sameAsOff = 0, firstOn = switched.size();
  while (sameAsOff < switched.size() && switched[sameAsOff] == off[sameAsOff]) ++sameAsOff;
  while (firstOn > 0 && switched[firstOn - 1] == on[firstOn - 1]) --firstOn;
  EXPECT_LE(sameAsOff, firstOn);
  EXPECT_LE(firstOn - sameAsOff, 512u);
  EXPECT_GT(firstOn - sameAsOff, 100u) << "a ramp, not a jump";
  EXPECT_NEAR(static_cast<double>(sameAsOff), delay + 0.25 * 48000, 2048.0);
}

}  // namespace
