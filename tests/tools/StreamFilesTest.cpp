// headset-host's play and record, run as the program runs, for as long as
// they take: what arrives goes to its file as it arrives, and the file
// replaces an old one only when it is whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/host/Wav.h"
#include "tests/tools/support/ProgramTest.h"

namespace {

using toolstest::Joined;
using toolstest::Outcome;

class StreamFilesTest : public toolstest::ProgramTest {
 protected:
  std::vector<uint8_t> Bytes(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

// Past a minute the device's audio used to be dropped and the play failed
// for it; now every play length play takes passes and its file holds what
// the device received.
TEST_F(StreamFilesTest, APlayLongerThanAMinuteKeepsWhatTheDeviceReceived) {
  const Outcome r = Program({"play", "--seconds", "61", "--device-out", "{}/device.wav"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  sim::host::WavData device;
  std::string error;
  ASSERT_TRUE(sim::host::ReadWav(Path("device.wav"), &device, &error)) << error;
  EXPECT_GE(device.Seconds(), 61.0);
  EXPECT_NE(r.out.find(" frames (2 ch 48000 Hz 16 bit); gaps 0,"), std::string::npos) << r.out;
}

// A write that fails (a full disk; here a file-size limit, under which
// write() fails with EFBIG as a full disk fails it with ENOSPC) fails the
// command with the reason and leaves the old file as it was, with nothing
// beside it.
TEST_F(StreamFilesTest, AFailedWriteLeavesTheOldFileAsItWas) {
  const std::vector<uint8_t> old = sim::host::SerializeWav(sim::host::SineWav(8000, 1, 100.0, 0.5, 0.5));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"record", "2", "{}/files/rec.wav"}, {"play", "--seconds", "2", "--device-out", "{}/files/rec.wav"}}) {
    SCOPED_TRACE(Joined(args));
    Write("files/rec.wav", old);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Outcome r = Program(args);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("cannot write " + Path("files/rec.wav") + ": File too large"), std::string::npos) << r.err;
    EXPECT_EQ(Bytes("files/rec.wav"), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("files")), {}), 1);
  }
}

}  // namespace
