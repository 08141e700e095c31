// The fixture of headset-host's tests: a fresh registry (the program's
// persisted settings) and port-class state for every driver they start.
#pragma once

#include "portcls/framework.h"
#include "tests/support/KernelTest.h"

namespace toolstest {

class ToolsTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    platform::portcls::ResetForTest();
  }
  void TearDown() override {
    platform::portcls::ResetForTest();
    KernelTest::TearDown();
  }
};

}  // namespace toolstest
