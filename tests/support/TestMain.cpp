// The main of every test binary: Google Test's, plus HSD_DISPATCH_LEVEL (see
// tests/support/DispatchLevel.h), so that the whole suite can run at any
// dispatch level this processor has.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "primitives/levels/ProcessorLevel.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace testsupport {
namespace {

int32_t g_LevelAtLoad = -1;
int32_t g_SuiteLevel = 0;

// A test that changes the level gives it back, or the tests after it would
// run at a level nobody chose; the kernel fixture reports it and puts the
// suite's level back.
std::string DispatchLevelLeft() {
  if (CpuDispatchIndex == g_SuiteLevel) return {};
  const std::string left = "the dispatch level was left at " + std::to_string(CpuDispatchIndex) +
                           " (the suite runs at " + std::to_string(g_SuiteLevel) + ")\n";
  SelectDispatchLevel(g_SuiteLevel);
  return left;
}

// 0 when the variable is absent or names a level this processor runs (then
// applied), a message on stderr and non-zero otherwise.
int ApplyForcedDispatchLevel() {
  const char* value = std::getenv("HSD_DISPATCH_LEVEL");
  if (value == nullptr || *value == '\0') return 0;
  const bool digit = std::strlen(value) == 1 && value[0] >= '0' && value[0] < '0' + CPU_LEVEL_COUNT;
  if (!digit) {
    std::fprintf(stderr, "HSD_DISPATCH_LEVEL=%s: expected a dispatch level, 0, 1, 2 or 3\n", value);
    return 2;
  }
  const int32_t level = value[0] - '0';
  if (!ProcessorRunsLevel(level)) {
    std::fprintf(stderr, "HSD_DISPATCH_LEVEL=%d: this processor lacks the instructions of that level\n", level);
    return 2;
  }
  SelectDispatchLevel(level);
  g_SuiteLevel = level;
  return 0;
}

}  // namespace

int32_t DispatchLevelAtLoad() { return g_LevelAtLoad; }

}  // namespace testsupport

int main(int argc, char** argv) {
  testsupport::g_LevelAtLoad = CpuDispatchIndex;
  ::testing::InitGoogleTest(&argc, argv);
  testsupport::g_SuiteLevel = CpuDispatchIndex;
  if (const int failed = testsupport::ApplyForcedDispatchLevel(); failed != 0) return failed;
  testsupport::RegisterLeakCheck(testsupport::DispatchLevelLeft);
  return RUN_ALL_TESTS();
}
