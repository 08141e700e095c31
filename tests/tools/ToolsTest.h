// The fixture of headset-host's tests: a fresh registry (the program's
// persisted settings) and port-class state for every driver they start.
#pragma once

#include <cstring>
#include <vector>

#include "portcls/framework.h"
#include "sim/host/Wav.h"
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

// One channel of 16-bit samples.
inline std::vector<int16_t> Channel(const sim::host::WavData& wav, uint16_t channel) {
  std::vector<int16_t> out;
  for (uint32_t f = 0; f < wav.Frames(); ++f) {
    int16_t v;
    std::memcpy(&v, &wav.samples[(static_cast<size_t>(f) * wav.channels + channel) * 2], 2);
    out.push_back(v);
  }
  return out;
}

}  // namespace toolstest
