// One state folder shared by several headset-host processes, and state
// folders the program may not write: every value a `set` reports is kept,
// whatever else runs at the same time, and a command that only reads never
// fails for the folder, nor writes through what stands in it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/support/ProgramTest.h"
#include "tools/session.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using toolstest::Outcome;

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class StateFolderTest : public toolstest::ProgramTest {
 protected:
  fs::path State() const { return Path("state"); }
  fs::path Registry() const { return State() / "registry.reg"; }

  // The program as a process of its own, as a user's second shell runs it;
  // its output goes to files in the scratch folder.
  pid_t Start(std::vector<std::string> args) {
    args.insert(args.begin(), {HSD_HEADSET_HOST, "--state", State().string()});
    const std::string log = Path("process-" + std::to_string(m_Started++));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (log + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (log + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  static int Finish(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The readings of `get CONTROL` in the state as it is.
  std::string Get(const std::string& control) {
    const Outcome r = Program({"get", control});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

 private:
  int m_Started = 0;
};

// Each `set` merges its own value into the file under the folder's lock, so
// two at once both stay; a whole-file write of what each loaded would lose
// one of the two.
TEST_F(StateFolderTest, TwoProcessesSettingAtOnceKeepBothValues) {
  ASSERT_EQ(Program({"set", "volume", "-10dB"}).status, 0);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string volume = std::to_string(-20 - round) + "dB", bass = std::to_string(round + 1) + "dB";
    const pid_t first = Start({"set", "volume", volume});
    const pid_t second = Start({"set", "bass", bass});
    ASSERT_EQ(Finish(first), 0);
    ASSERT_EQ(Finish(second), 0);
    EXPECT_NE(Get("volume").find(std::to_string(-20 - round) + ".00 dB, "), std::string::npos);
    EXPECT_NE(Get("bass").find(std::to_string(round + 1) + ".00 dB"), std::string::npos);
  }
}

// A play stores nothing it did not create, so the value a user set while
// it ran is still there after it.
TEST_F(StateFolderTest, ASetMadeWhileARealtimePlayRunsOutlivesThePlay) {
  ASSERT_EQ(Program({"set", "volume", "-10dB"}).status, 0);
  const pid_t play = Start({"--realtime", "play", "--seconds", "3", "--device-out", Path("played.wav")});
  // Well after the play loaded the state, well before it ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const Outcome set = Program({"set", "volume", "-30dB"});
  EXPECT_EQ(set.status, 0) << set.err;
  // Whether a loaded machine kept the real-time stream whole is not this
  // test's matter; the play stores at its end either way.
  ASSERT_NE(Finish(play), -1);
  EXPECT_NE(Get("volume").find("-30.00 dB, -30.00 dB"), std::string::npos);
}

// The state's temporary file is made new under a fresh name: whatever
// stands at the name an older writer used is never written through.
TEST_F(StateFolderTest, WhatStandsAtTheOldTemporaryNameIsLeftAlone) {
  ASSERT_EQ(Program({"set", "volume", "-10dB"}).status, 0);
  std::ofstream(Path("victim")) << "not the registry";
  const fs::path temporary = State() / "registry.reg.tmp";
  fs::create_symlink(Path("victim"), temporary);
  Outcome r = Program({"set", "volume", "-20dB"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Contents(Path("victim")), "not the registry");
  EXPECT_TRUE(fs::is_symlink(temporary));

  fs::remove(temporary);
  fs::create_directory(temporary);
  r = Program({"set", "volume", "-24dB"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Get("volume").find("-24.00 dB"), std::string::npos);
}

// A read-only registry file, or a read-only folder, is the user's word that
// the state stays: a set is refused with the reason before it shows a
// value, and the file is left as it was; reading commands go on.
TEST_F(StateFolderTest, AReadOnlyStateRefusesSetsAndServesReads) {
  ASSERT_EQ(Program({"set", "volume", "-10dB"}).status, 0);
  const std::string before = Contents(Registry());
  const struct {
    const char* name;
    fs::path path;
    fs::perms perms;
  } cases[] = {
      {"read-only file", Registry(), fs::perms::owner_read | fs::perms::group_read},
      {"read-only folder", State(), fs::perms::owner_read | fs::perms::owner_exec},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::perms saved = fs::status(c.path).permissions();
    fs::permissions(c.path, c.perms);
    const Outcome set = Program({"set", "volume", "-20dB"});
    EXPECT_EQ(set.status, 1);
    EXPECT_EQ(set.out, "");
    EXPECT_NE(set.err.find(Registry().string()), std::string::npos) << set.err;
    EXPECT_NE(set.err.find("Permission denied"), std::string::npos) << set.err;
    for (const std::vector<std::string>& reading :
         {std::vector<std::string>{"get", "volume"}, {"info"}, {"events"}, {"record", "0.1", "{}/rec.wav"}}) {
      const Outcome r = Program(reading);
      EXPECT_EQ(r.status, 0) << reading[0] << ": " << r.err;
      EXPECT_EQ(r.err, "") << reading[0];
    }
    EXPECT_NE(Get("volume").find("-10.00 dB"), std::string::npos);
    EXPECT_EQ(fs::status(c.path).permissions(), c.perms);
    EXPECT_EQ(Contents(Registry()), before);
    // A device met for the first time is still served; that its keys
    // could not be kept is a note, not a failure.
    const Outcome other = Program({"--device", "tq4187", "get", "volume"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.out.find("volume"), std::string::npos);
    EXPECT_EQ(other.err.rfind("headset-host: note: the keys this run created were not stored: ", 0), 0u) << other.err;
    fs::permissions(c.path, saved);
  }
}

// A process that holds the folder too long makes a set fail in one line,
// with nothing shown and nothing stored.
TEST_F(StateFolderTest, ASetThatCannotLockTheFolderStoresNothing) {
  ASSERT_EQ(Program({"set", "volume", "-10dB"}).status, 0);
  const std::string before = Contents(Registry());
  const int folder = open(State().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  tools::Session::SetLockWait(std::chrono::milliseconds(200));
  const Outcome r = Program({"set", "volume", "-20dB"});
  tools::Session::SetLockWait(std::chrono::milliseconds(5000));
  close(folder);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "headset-host: another process kept the state folder " + State().string() +
                " locked for 0.2 s; nothing was stored\n");
  EXPECT_EQ(Contents(Registry()), before);
}

}  // namespace
