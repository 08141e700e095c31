// headset-host on the embedded 7753 boards: the driver starts on both and
// plays and records; `info`'s report shows the configuration the model
// rewrote, the switches in force and the codec registers; switch values in
// the persisted registry change what the device shows at the next start;
// `events` drives the polled board's status and shows the poll's states.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/device/Device7753.h"
#include "tests/tools/ToolsTest.h"
#include "tools/controls.h"
#include "tools/driverinfo.h"
#include "tools/pollstatus.h"
#include "tools/session.h"
#include "tools/streams.h"
#include "topology/CMiniportWaveCyclic.h"

namespace {

class Chip7753Test : public toolstest::ToolsTest {
 protected:
  void SetUp() override {
    ToolsTest::SetUp();
    m_State = std::filesystem::path(::testing::TempDir()) /
              ("chip7753-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(m_State);
  }
  void TearDown() override {
    std::filesystem::remove_all(m_State);
    ToolsTest::TearDown();
  }
  tools::Options Options(const char* device) const {
    tools::Options options;
    options.device = device;
    options.stateDir = m_State.string();
    return options;
  }
  // What `info` reports on `device`.
  tools::DriverReport Info(const char* device) const {
    tools::Session session(Options(device));
    std::string error;
    EXPECT_TRUE(session.Open(&error)) << error;
    return tools::RunDriver(session.Descriptors(), session.Profile(), session.Speed(), session.Factory());
  }
  std::filesystem::path m_State;
};

TEST_F(Chip7753Test, BothBoardsStartPlayAndRecord) {
  for (const char* device : {"7753-poll", "7753"}) {
    SCOPED_TRACE(device);
    tools::Session session(Options(device));
    std::string error;
    ASSERT_TRUE(session.Open(&error)) << error;
    sim::host::RunningDriver driver(session.Descriptors(), session.Profile(), CreateMiniportWaveCyclic, session.Speed(),
                                    session.Factory());
    ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
    const tools::PlayReport played = tools::Play(driver, sim::host::SineWav(48000, 2, 440.0, 0.2, 0.25), false);
    ASSERT_EQ(played.status, STATUS_SUCCESS) << played.text;
    EXPECT_EQ(played.filter, "SPKOut00Wave");
    EXPECT_GE(played.device.Frames(), 9600u);
    const sim::IsoSink::Stats stats = driver.Device().Sink(played.endpoint).GetStats();
    EXPECT_EQ(stats.gaps + stats.overruns + stats.partialFrames + stats.strayPackets, 0u);
    const tools::RecordReport recorded = tools::Record(driver, 0.2, 1000.0, false);
    ASSERT_EQ(recorded.status, STATUS_SUCCESS) << recorded.text;
    EXPECT_EQ(recorded.recorded.Frames(), 9600u);
  }
}

// The board's one-rate setting runs at 96 kHz once the driver sets its
// codec so: a headphone play at 96 kHz reaches it whole. A board that took
// those packets for 48 kHz ones would flag every one stray, and the play
// says so and fails.
TEST_F(Chip7753Test, NinetySixKilohertzReachesTheBoardOrThePlayFails) {
  sim::DeviceProfile profile = sim::chip7753::EvaluationBoardProfile();
  for (const bool codecSetsTheRate : {true, false}) {
    SCOPED_TRACE(codecSetsTheRate);
    if (!codecSetsTheRate) profile.alternateRates.clear();
    platform::registry::Reset();
    sim::host::RunningDriver driver(sim::chip7753::EvaluationBoardDescriptors(), profile, CreateMiniportWaveCyclic,
                                    platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying);
    ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
    std::string out, error;
    ASSERT_TRUE(tools::SetControl(driver.Topology(), tools::ViewDriverTopology(driver), "output type", "HP", -1, false,
                                  &out, &error))
        << error;
    const tools::PlayReport played = tools::Play(driver, sim::host::SineWav(96000, 2, 1000.0, 0.2, 0.25), false);
    ASSERT_EQ(played.status, STATUS_SUCCESS) << played.text;
    EXPECT_EQ(played.filter, "HPOut00Wave");
    EXPECT_EQ(played.format, "2 ch 96000 Hz 16 bit, as the file has it");
    if (codecSetsTheRate) {
      EXPECT_EQ(tools::PlayFault(played), "");
      EXPECT_EQ(played.strayPackets, 0u);
      EXPECT_EQ(played.device.sampleRate, 96000u);
      EXPECT_GE(played.device.Frames(), 19200u);
    } else {
      EXPECT_EQ(played.strayPackets, played.devicePackets);
      EXPECT_NE(tools::PlayFault(played).find("packets it received stray"), std::string::npos) << played.text;
    }
  }
}

TEST_F(Chip7753Test, InfoShowsTheRewrittenConfigurationSwitchesAndCodec) {
  const tools::DriverReport report = Info("7753");
  ASSERT_EQ(report.start, STATUS_SUCCESS);
  // The default switches: 485 of the device's 534 bytes.
  ASSERT_EQ(report.configurationInUse.size(), 485u);
  EXPECT_EQ(report.configurationInUse[2] | report.configurationInUse[3] << 8, 485);
  EXPECT_NE(report.model.find("hardware model: C7753AudioHal for 1209:7753"), std::string::npos) << report.model;
  EXPECT_NE(report.model.find("DisableStereoMixRecUnit 1\n    SupportHPOut 1, SupportSpdifOut 1"), std::string::npos);
  EXPECT_NE(report.model.find("codec registers (the model's shadow): 0=0x2004 1=0x3002 2=0xE000"), std::string::npos);
  EXPECT_NE(report.model.find("codec registers (as the board received them): 0=0x2004 1=0x3002 2=0xE000"),
            std::string::npos);
  const std::string text = tools::DescribeDriver(report);
  EXPECT_NE(text.find("filters: GlobalTopo SPKOut00Wave MicIn00Wave"), std::string::npos) << text;
}

TEST_F(Chip7753Test, SwitchesInThePersistedRegistryChangeTheNextStart) {
  std::filesystem::create_directories(m_State);
  std::ofstream(m_State / "registry.reg") << "Windows Registry Editor Version 5.00\r\n\r\n"
                                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                             "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000\\Settings]\r\n"
                                             "\"Disable8ChOutSupported\"=dword:00000001\r\n"
                                             "\"DisableMicInTerminal\"=hex:01\r\n";
  const tools::DriverReport report = Info("7753");
  ASSERT_EQ(report.start, STATUS_SUCCESS);
  // Six channels, no microphone: the 8-channel setting, the microphone's
  // terminal and units and the stereo mix are gone.
  EXPECT_EQ(report.configurationInUse.size(), 397u);
  EXPECT_NE(report.model.find("DisableMicInTerminal 1"), std::string::npos) << report.model;
  EXPECT_NE(report.model.find("Disable8ChOutSupported 1"), std::string::npos);
  EXPECT_EQ(report.model.find("input terminal (type 0x0201)"), std::string::npos);
  EXPECT_EQ(report.model.find("mask 0x63F"), std::string::npos);
}

TEST_F(Chip7753Test, EventsDriveThePolledBoardsStatus) {
  tools::Session session(Options("7753-poll"));
  std::string error;
  ASSERT_TRUE(session.Open(&error)) << error;
  sim::host::RunningDriver driver(session.Descriptors(), session.Profile(), CreateMiniportWaveCyclic, session.Speed(),
                                  session.Factory());
  ASSERT_EQ(driver.startStatus, STATUS_SUCCESS);
  ASSERT_TRUE(tools::HasStatusPoll(driver));
  std::vector<tools::StatusStep> script;
  for (const char* text : {"status=00*30", "status=100000*30"}) {
    tools::StatusStep step;
    ASSERT_TRUE(tools::ParseStatusStep(text, &step, &error)) << error;
    script.push_back(step);
  }
  std::string out;
  ASSERT_TRUE(tools::WatchStatus(driver, script, true, &out, &error)) << error;
  EXPECT_EQ(out,
            "{\"periodMs\": 50, \"start\": {\"state\": 0, \"deviceMute\": 1, \"gainMode\": 0}, \"steps\": ["
            "{\"status\": \"00 00 00\", \"polls\": 30, \"changes\": ["
            "{\"poll\": 1, \"timeMs\": 51, \"state\": 1, \"deviceMute\": 0, \"gainMode\": 1}, "
            "{\"poll\": 30, \"timeMs\": 1501, \"state\": 2, \"deviceMute\": 0, \"gainMode\": 2}]}, "
            "{\"status\": \"10 00 00\", \"polls\": 30, \"changes\": ["
            "{\"poll\": 60, \"timeMs\": 3001, \"state\": 0, \"deviceMute\": 1, \"gainMode\": 0}]}]}\n");

  // Hex digits only, two a byte: a sign or a blank is no digit.
  for (const char* bad : {"status=", "status=1", "status=10203040", "status=zz", "status=10*0", "status=10*", "10",
                          "status=-1", "status=+1", "status= 1", "status=0x-1", "status=10*+5", "status=10* 5"}) {
    SCOPED_TRACE(bad);
    tools::StatusStep step;
    error.clear();
    EXPECT_FALSE(tools::ParseStatusStep(bad, &step, &error));
    EXPECT_NE(error.find("status=HEX[*POLLS]"), std::string::npos);
    EXPECT_NE(error.find("two hex digits a byte"), std::string::npos) << error;
  }
}

}  // namespace
