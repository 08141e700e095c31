// The base fixture of every test that touches the kernel stand-in: it puts
// the clock in manual mode, and at teardown proves that the test returned
// every pool block, named object and timer-resolution request it took.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "kernel/nt.h"

namespace testsupport {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Tests that deliberately keep something (a permanent object) say so here.
  void ExpectOutstandingAtTeardown(ULONG tag, size_t blocks);
  // System threads alive when the test began; teardown expects no more.
  static size_t ThreadsAtSetUp();

 private:
  std::vector<platform::pool::TagUsage> m_Baseline;
  std::vector<std::pair<ULONG, size_t>> m_Expected;
};

// Registered checks that the fixture runs at teardown (named-object
// namespace, timer resolution, ...). Each returns an empty string when clean
// and a description of what is left otherwise.
using LeakCheck = std::string (*)();
void RegisterLeakCheck(LeakCheck check);

}  // namespace testsupport
