// Buffers for the benchmarks that run a size well outside the caches: 4 M
// elements (16 MB a float vector). Runs at that size go round four regions
// of every buffer, so that no run finds the previous one's data in the
// last-level cache; the sizes that stay in cache use region 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

namespace bench {

constexpr int kOutOfCache = 4 << 20;
constexpr int kRegions = 4;
// Elements of a buffer: the regions, room for 2 x n interleaved floats from
// the last one, and a little slack for offset pointers.
constexpr size_t kRegionSpan = size_t{kRegions + 1} * kOutOfCache + 16;

// A heap block on a 64-byte boundary, touched once so that no run pays for
// the first fault of a page.
template <typename T>
T* Block(size_t count) {
  void* p = std::aligned_alloc(64, (count * sizeof(T) + 63) & ~size_t{63});
  std::memset(p, 0, count * sizeof(T));
  return static_cast<T*>(p);
}

// The element offset of run `run` at size n.
inline size_t RegionOffset(int n, int64_t run) {
  return n >= kOutOfCache ? static_cast<size_t>(run % kRegions) * kOutOfCache : 0;
}

// The buffers one run works on.
struct View {
  float* a;
  float* b;
  float* out;
  float* tens;
  float* exponents;
  int16_t* s16;
  int32_t* s32;
  uint8_t* s24;
};

// Random samples in [-1, 1) and random integers, the same in every binary;
// tens and exponents give 10^(x/20) for levels in [-60, 0] dB.
class SignalBuffers {
 public:
  SignalBuffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (size_t i = 0; i < kRegionSpan; ++i) {
      m_Base.a[i] = sample(rng);
      m_Base.b[i] = sample(rng);
      m_Base.out[i] = sample(rng);
      m_Base.s16[i] = static_cast<int16_t>(rng());
      m_Base.s32[i] = static_cast<int32_t>(rng());
      m_Base.tens[i] = 10.0f;
      m_Base.exponents[i] = -3.0f * static_cast<float>(i % 1000) / 1000.0f;
    }
    for (size_t i = 0; i < 3 * kRegionSpan; ++i) m_Base.s24[i] = static_cast<uint8_t>(rng());
  }
  // The buffers of run `run` at size n.
  View At(int n, int64_t run) const {
    const size_t o = RegionOffset(n, run);
    const View& b = m_Base;
    return {b.a + o, b.b + o, b.out + o, b.tens + o, b.exponents + o, b.s16 + o, b.s32 + o, b.s24 + 3 * o};
  }

 private:
  View m_Base{Block<float>(kRegionSpan),   Block<float>(kRegionSpan),   Block<float>(kRegionSpan),
              Block<float>(kRegionSpan),   Block<float>(kRegionSpan),   Block<int16_t>(kRegionSpan),
              Block<int32_t>(kRegionSpan), Block<uint8_t>(3 * kRegionSpan)};
};

// One set per binary, made on first use.
inline const SignalBuffers& Signals() {
  static SignalBuffers buffers;
  return buffers;
}

}  // namespace bench
