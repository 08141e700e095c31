// Choosing the dispatch level from tests and benchmarks. The product sets its
// level only through its initialisers, so this goes through the same door:
// InitDispatchForCpu with a processor code that maps to the wanted level.
//
// HSD_DISPATCH_LEVEL=<0..3> in the environment of a test binary runs every
// test at that level (the test-support main applies it before the first
// test), e.g.
//   for l in 0 1 2 3; do HSD_DISPATCH_LEVEL=$l ctest --preset debug -j4; done
// Tests that pick their own level (the level fixtures) still do, and return
// to the forced one afterwards.
#pragma once

#include <cstdint>

#include "primitives/CpuId.h"
#include "primitives/Dispatch.h"

namespace testsupport {

// A processor code that InitDispatchForCpu maps to `level` (0..3).
inline int32_t CpuCodeForLevel(int32_t level) {
  constexpr int32_t kCodes[CPU_LEVEL_COUNT] = {0x00, 0x20, 0x21, 0x23};
  return kCodes[level];
}

// Sets the dispatch level through the product's initialiser; false (and the
// level unchanged) for anything but 0..3.
inline bool SelectDispatchLevel(int32_t level) {
  if (level < 0 || level >= CPU_LEVEL_COUNT) return false;
  return InitDispatchForCpu(CpuCodeForLevel(level)) == DSP_STATUS_OK && CpuDispatchIndex == level;
}

// Runs a scope at one level and puts the previous one back.
class ScopedDispatchLevel {
 public:
  explicit ScopedDispatchLevel(int32_t level) : m_Previous(CpuDispatchIndex) { SelectDispatchLevel(level); }
  ~ScopedDispatchLevel() { SelectDispatchLevel(m_Previous); }
  ScopedDispatchLevel(const ScopedDispatchLevel&) = delete;
  ScopedDispatchLevel& operator=(const ScopedDispatchLevel&) = delete;

 private:
  int32_t m_Previous;
};

// The level the binary found at load, before HSD_DISPATCH_LEVEL was applied.
int32_t DispatchLevelAtLoad();

}  // namespace testsupport
