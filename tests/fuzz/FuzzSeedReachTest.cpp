// Every fuzz harness, built with the ordinary compiler, fed the seeds of its
// corpus: each seed reaches every point the harness names. A harness keeps
// its driver session for the life of its process, as it does under the
// fuzzer, so each runs in a process of its own.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz/Reach.h"

namespace {

std::string SourceDir() {
  const char* source = std::getenv("HSD_SOURCE_DIR");
  return source ? source : ".";
}

std::string CorpusOf(const std::string& name) { return SourceDir() + "/fuzz/corpus/" + name; }

std::vector<std::string> HarnessNames() {
  std::vector<std::string> names;
  for (const fuzz::Harness& h : fuzz::Harnesses()) names.push_back(h.name);
  return names;
}

class FuzzSeedReachTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzSeedReachTest, EverySeedReachesWhatTheHarnessNames) {
  const fuzz::Harness* harness = nullptr;
  for (const fuzz::Harness& h : fuzz::Harnesses())
    if (h.name == GetParam()) harness = &h;
  ASSERT_NE(harness, nullptr);
  ASSERT_FALSE(harness->points.empty()) << "the harness names nothing it reaches";
  const std::vector<std::string> seeds = fuzz::SeedFiles(CorpusOf(harness->name));
  ASSERT_FALSE(seeds.empty()) << "no seed-* file in " << CorpusOf(harness->name);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string missed = fuzz::CheckSeeds(*harness, seeds);
        std::fputs(missed.c_str(), stderr);
        std::fflush(stderr);
        // Its session stays up, as under the fuzzer: no teardown to run.
        std::_Exit(missed.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzSeedReachTest, ::testing::ValuesIn(HarnessNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A target added without naming what it reaches would escape the check.
TEST(FuzzHarnessesTest, EveryTargetInTheTreeIsChecked) {
  std::set<std::string> built;
  for (const fuzz::Harness& h : fuzz::Harnesses()) built.insert(h.name);
  DIR* dir = ::opendir((SourceDir() + "/fuzz").c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.rfind("fuzz_", 0) != 0 || file.size() < 4 || file.substr(file.size() - 4) != ".cpp") continue;
    EXPECT_TRUE(built.count(file.substr(0, file.size() - 4))) << file << " names no points its seeds reach";
  }
  ::closedir(dir);
}

}  // namespace
