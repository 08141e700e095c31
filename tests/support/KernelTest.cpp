#include "tests/support/KernelTest.h"

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {
std::vector<LeakCheck>& Checks() {
  static std::vector<LeakCheck> checks;
  return checks;
}
}  // namespace

void RegisterLeakCheck(LeakCheck check) {
  auto& checks = Checks();
  if (std::find(checks.begin(), checks.end(), check) == checks.end()) checks.push_back(check);
}

void KernelTest::SetUp() {
  platform::pool::ClearFailures();
  platform::debug::Clear();
  m_Baseline = platform::pool::Outstanding();
}

void KernelTest::ExpectOutstandingAtTeardown(ULONG tag, size_t blocks) { m_Expected.emplace_back(tag, blocks); }

void KernelTest::TearDown() {
  platform::pool::ClearFailures();
  auto now = platform::pool::Outstanding();
  std::vector<platform::pool::TagUsage> leaked;
  for (const auto& u : now) {
    size_t before = 0;
    for (const auto& b : m_Baseline)
      if (b.tag == u.tag) before = b.allocations;
    for (const auto& [tag, n] : m_Expected)
      if (tag == u.tag) before += n;
    if (u.allocations > before) leaked.push_back({u.tag, u.allocations - before, u.bytes});
  }
  EXPECT_TRUE(leaked.empty()) << "pool leaked at teardown:\n" << platform::pool::Describe(leaked);
  for (LeakCheck check : Checks()) {
    std::string left = check();
    EXPECT_TRUE(left.empty()) << left;
  }
}

}  // namespace testsupport
