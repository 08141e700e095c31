// Helpers shared by the primitives tests: bit views of floats and a guard
// that runs a scope under a known MXCSR and proves it comes back.
#pragma once

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <bit>
#include <cstdint>

namespace primtest {

inline uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
inline float FromBits(uint32_t u) { return std::bit_cast<float>(u); }

// All exceptions masked, round to nearest, no flush-to-zero.
inline constexpr uint32_t kDefaultMxcsr = 0x1F80;
inline constexpr uint32_t kMxcsrFlagBits = 0x3F;

// Loads a known MXCSR for the scope and checks at the end that the code
// under test left the control bits as they were.
class MxcsrScope {
 public:
  explicit MxcsrScope(uint32_t csr = kDefaultMxcsr) : m_Saved(_mm_getcsr()), m_Loaded(csr) { _mm_setcsr(csr); }
  ~MxcsrScope() {
    EXPECT_EQ(_mm_getcsr() & ~kMxcsrFlagBits, m_Loaded & ~kMxcsrFlagBits) << "MXCSR control bits changed";
    _mm_setcsr(m_Saved);
  }
  MxcsrScope(const MxcsrScope&) = delete;
  MxcsrScope& operator=(const MxcsrScope&) = delete;

 private:
  uint32_t m_Saved;
  uint32_t m_Loaded;
};

}  // namespace primtest
