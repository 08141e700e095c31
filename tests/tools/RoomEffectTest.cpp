// The room effect on the embedded headset as headset-host drives it: a
// switch during play leaves its prompt and its crossfade in what the
// device's endpoint receives, and the setting is there again at the next
// start.
#include <gtest/gtest.h>

#include "sim/device/DefaultHeadset.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/roomeffect.h"
#include "tools/streams.h"
#include "topology/CMiniportWaveCyclic.h"

namespace {

using sim::host::RunningDriver;

class RoomEffectTest : public toolstest::ToolsTest {
 protected:
  // The room control's reading on a freshly started driver.
  static std::string RoomReading() {
    RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile(), CreateMiniportWaveCyclic);
    const auto view = sim::host::ViewTopology(driver.Topology()->Name(), driver.Topology()->Descriptor());
    std::string out, error;
    EXPECT_TRUE(tools::GetControls(driver.Topology(), view, {"room"}, false, &out, &error)) << error;
    return out;
  }
};

TEST_F(RoomEffectTest, ASwitchDuringPlayIsHeardAsItsPromptAndACrossfade) {
  EXPECT_EQ(RoomReading(), "room (node 4): off\n");
  for (const char* value : {"on", "off"}) {
    SCOPED_TRACE(value);
    {
      RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile(), CreateMiniportWaveCyclic);
      ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
      const tools::PlayReport r = tools::Play(driver, tools::RoomProgram(1.0), false, tools::PlayOptions{.sets = {{"room", value, 0.3}}});
      ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
      ASSERT_EQ(r.sets.size(), 1u);
      ASSERT_TRUE(r.sets[0].ok) << r.sets[0].text;
      const double at = r.sets[0].playedSeconds;
      EXPECT_NEAR(at, 0.3, 0.02);

      const bool on = std::string(value) == "on";
      const tools::RoomSwitchHeard heard = tools::HearRoomSwitch(r.device, at);
      const tools::PromptHeard& prompt = heard.prompt;
      ASSERT_TRUE(prompt.found) << prompt.text;
      EXPECT_EQ(prompt.rising, on);
      EXPECT_NEAR(prompt.firstHz, on ? 415 : 1568, 2);
      EXPECT_NEAR(prompt.secondHz, on ? 1568 : 415, 2);
      // The bursts are 140 ms apart, as the prompt has them at 48 kHz.
      EXPECT_NEAR(prompt.secondAt - prompt.firstAt, 0.13, 0.011);

      // 2 x 2 ms at 48 kHz, before the prompt's first burst.
      const tools::CrossfadeHeard& crossfade = heard.crossfade;
      ASSERT_TRUE(crossfade.found) << crossfade.text;
      EXPECT_NEAR(crossfade.samples, 192.0, 24.0);
      EXPECT_LT(crossfade.endAt, prompt.firstAt);
      EXPECT_GT(crossfade.startAt, at - 0.001);
    }
    // Stored by the driver, restored at the next start.
    EXPECT_EQ(RoomReading(), "room (node 4): " + std::string(value) + "\n");
  }
}

// A switch made before the play starts its prompt first: the wave stream
// then joins an engine that already runs for the prompt, with the engine's
// completions calling back into the stream while it registers.
TEST_F(RoomEffectTest, APlayStartedDuringThePromptJoinsTheRunningEngine) {
  RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile(), CreateMiniportWaveCyclic);
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  for (const char* value : {"on", "off"}) {
    SCOPED_TRACE(value);
    const tools::PlayReport r =
        tools::Play(driver, tools::RoomProgram(0.5), false, tools::PlayOptions{.sets = {{"room", value, -1.0}}});
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.text;
    ASSERT_EQ(r.sets.size(), 1u);
    EXPECT_TRUE(r.sets[0].ok) << r.sets[0].text;
    EXPECT_EQ(tools::PlayFault(r), "");
  }
}

TEST_F(RoomEffectTest, TimedSetsAreParsedWithTheirTime) {
  const struct {
    const char* text;
    bool ok;
    const char* control;
    const char* value;
    double at;
  } cases[] = {
      {"room=on", true, "room", "on", 0.25},
      {"room=off@1.5", true, "room", "off", 1.5},
      {"volume#2=-6dB@0", true, "volume#2", "-6dB", 0},
      {"room", false, "", "", 0},
      {"=on", false, "", "", 0},
      {"room=", false, "", "", 0},
      {"room=on@", false, "", "", 0},
      {"room=on@-1", false, "", "", 0},
      {"room=on@soon", false, "", "", 0},
      {"room@1=on", false, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    tools::TimedSet set;
    std::string error;
    ASSERT_EQ(tools::ParseTimedSet(c.text, 0.25, &set, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(set.control, c.control);
    EXPECT_EQ(set.value, c.value);
    EXPECT_EQ(set.atSeconds, c.at);
  }
}

TEST_F(RoomEffectTest, ChangesThePlayCannotMakeAreRefusedBeforeItStarts) {
  RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile(), CreateMiniportWaveCyclic);
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  for (const tools::TimedSet& set : {tools::TimedSet{"nothing", "1", 0}, tools::TimedSet{"room", "maybe", 0},
                                     tools::TimedSet{"volume#2", "loud", 0}}) {
    SCOPED_TRACE(set.control + "=" + set.value);
    const tools::PlayReport r = tools::Play(driver, tools::RoomProgram(0.1), false, tools::PlayOptions{.sets = {set}});
    EXPECT_TRUE(r.refused);
    EXPECT_FALSE(NT_SUCCESS(r.status));
    EXPECT_TRUE(r.device.samples.empty());
    EXPECT_NE(r.text.find(set.control), std::string::npos) << r.text;
  }
}

}  // namespace
