// A file is replaced whole or not at all: a refused or failed write leaves
// the old contents and no temporary behind.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/replace_file.h"
#include "tests/support/ScratchDirectory.h"

namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t Entries(const fs::path& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++n;
  return n;
}

class ReplaceFileTest : public ::testing::Test {
 protected:
  testsupport::ScratchDirectory m_Scratch;
  fs::path Target() const { return m_Scratch.Path() / "state.reg"; }
};

TEST_F(ReplaceFileTest, ReplacesContentsAndKeepsTheMode) {
  std::ofstream(Target()) << "old";
  fs::permissions(Target(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::string error;
  ASSERT_EQ(ReplaceFileContents(Target().string(), "new contents", &error), 0) << error;
  EXPECT_EQ(Contents(Target()), "new contents");
  EXPECT_EQ(fs::status(Target()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Entries(m_Scratch.Path()), 1u);
}

TEST_F(ReplaceFileTest, RefusesReadOnlyTargetsAndFolders) {
  std::ofstream(Target()) << "kept";
  fs::permissions(Target(), fs::perms::owner_read);
  std::string error;
  EXPECT_EQ(ReplaceFileContents(Target().string(), "lost", &error), EACCES);
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
  EXPECT_EQ(Contents(Target()), "kept");

  fs::create_directory(m_Scratch.Path() / "folder");
  EXPECT_EQ(ReplaceFileContents((m_Scratch.Path() / "folder").string(), "x", &error), EISDIR);
  EXPECT_EQ(Entries(m_Scratch.Path()), 2u);

  // Refused for a superuser too, whom the folder's mode would not stop.
  fs::permissions(m_Scratch.Path() / "folder", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(ReplaceFileContents((m_Scratch.Path() / "folder" / "new.wav").string(), "x", &error), EACCES);
  EXPECT_TRUE(fs::is_empty(m_Scratch.Path() / "folder"));
  fs::permissions(m_Scratch.Path() / "folder", fs::perms::owner_all);
}

TEST_F(ReplaceFileTest, NeverFollowsALinkPlantedBesideTheTarget) {
  // A writer that used one fixed temporary name would write through this.
  std::ofstream(m_Scratch.Path() / "victim") << "victim";
  for (const char* name : {"state.reg.tmp", "state.reg.XXXXXX"})
    fs::create_symlink(m_Scratch.Path() / "victim", m_Scratch.Path() / name);
  ASSERT_EQ(ReplaceFileContents(Target().string(), "new"), 0);
  EXPECT_EQ(Contents(m_Scratch.Path() / "victim"), "victim");
  EXPECT_EQ(Contents(Target()), "new");
}

TEST_F(ReplaceFileTest, AFailedWriteLeavesTheOldFileWhole) {
  std::ofstream(Target()) << "old recording";
  // A file-size limit makes write() fail the way a full disk does.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string error;
  const int result = ReplaceFileContents(Target().string(), std::string(64 * 1024, 'x'), &error);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(result, EFBIG) << error;
  EXPECT_NE(error.find(Target().string()), std::string::npos) << error;
  EXPECT_EQ(Contents(Target()), "old recording");
  EXPECT_EQ(Entries(m_Scratch.Path()), 1u);
}

}  // namespace
