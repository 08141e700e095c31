// Test helpers for primitives: the baseline fixture, test signals, caller
// memory with guards, and scoped and counting allocation hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "primitives/Memory.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace primitives_test {

// Installs a set of the library's memory hooks for one scope.
class ScopedDspAllocHooks {
 public:
  explicit ScopedDspAllocHooks(const DspAllocHookTable& hooks) : m_Previous(DspAllocHooks) { DspAllocHooks = hooks; }
  ~ScopedDspAllocHooks() { DspAllocHooks = m_Previous; }
  ScopedDspAllocHooks(const ScopedDspAllocHooks&) = delete;
  ScopedDspAllocHooks& operator=(const ScopedDspAllocHooks&) = delete;

 private:
  DspAllocHookTable m_Previous;
};

// The tests of the baseline builds reach them through the public names, so
// they run at level 0 whatever level the suite runs at (HSD_DISPATCH_LEVEL);
// the level builds, whose sizes, layouts and rounding differ where the
// baseline's contract lets them, have their own tests.
class BaselineTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Level.emplace(0);
  }
  void TearDown() override {
    m_Level.reset();
    KernelTest::TearDown();
  }

 private:
  std::optional<testsupport::ScopedDispatchLevel> m_Level;
};

// Uniform samples in [-1, 1), the same for the same seed.
inline std::vector<float> RandomSignal(size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = value(generator);
  return x;
}

// Samples in [-1, 1) from a fixed integer recurrence, so that the same seed
// gives the same bits with any standard library (whose distributions may
// differ); for tests that pin results bit for bit.
inline std::vector<float> PinnedSignal(size_t n, uint32_t seed) {
  std::vector<float> x(n);
  uint32_t state = seed;
  for (float& v : x) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(static_cast<int32_t>(state) >> 8) * 0x1p-23f;
  }
  return x;
}

// FNV-1a over the bit patterns of n floats: one number that moves when any
// bit of any element does.
inline uint64_t BitsHash(const float* p, size_t n) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, p + i, 4);
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (bits >> (8 * byte)) & 0xFF;
      hash *= 1099511628211ull;
    }
  }
  return hash;
}

// Exactly `bytes` of caller memory starting `misalign` bytes past a 64-byte
// boundary, surrounded by guard bytes, so that a record laid out beyond the
// size it reported shows up as a damaged guard.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 256;
  static constexpr unsigned char kPattern = 0xA5;

  GuardedBuffer(size_t bytes, size_t misalign) : m_Bytes(bytes), m_Storage(bytes + 2 * kGuard + 64 + misalign) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(m_Storage.data()) + kGuard;
    m_Data = reinterpret_cast<unsigned char*>(((base + 63) & ~uintptr_t{63}) + misalign);
    std::memset(m_Storage.data(), kPattern, m_Storage.size());
  }

  void* data() { return m_Data; }
  size_t size() const { return m_Bytes; }

  // True when no byte outside [data, data + size) changed.
  bool GuardsIntact() const {
    for (const unsigned char* p = m_Storage.data(); p < m_Data; ++p)
      if (*p != kPattern) return false;
    for (const unsigned char* p = m_Data + m_Bytes; p < m_Storage.data() + m_Storage.size(); ++p)
      if (*p != kPattern) return false;
    return true;
  }

 private:
  size_t m_Bytes;
  std::vector<unsigned char> m_Storage;
  unsigned char* m_Data;
};

// Allocation hooks that count calls and fail on request, installed for one
// scope.
class CountingAllocHooks {
 public:
  CountingAllocHooks() : m_Scope(Table()) { Current() = this; }
  ~CountingAllocHooks() { Current() = nullptr; }

  // The n-th allocation from now fails (1-based); 0 fails none.
  void FailNth(int n) { m_FailAt = m_Allocations + n; }

  int allocations() const { return m_Allocations; }
  int frees() const { return m_Frees; }

 private:
  static CountingAllocHooks*& Current() {
    static CountingAllocHooks* current = nullptr;
    return current;
  }
  static void* Allocate(uint32_t bytes) {
    CountingAllocHooks* self = Current();
    ++self->m_Allocations;
    if (self->m_Allocations == self->m_FailAt) return nullptr;
    return DspPoolAlloc(bytes);
  }
  static void Free(void* raw) {
    ++Current()->m_Frees;
    DspPoolFree(raw);
  }
  static const DspAllocHookTable& Table() {
    static const DspAllocHookTable table = {Allocate, DspPoolAllocArray, DspPoolReserved, Free};
    return table;
  }

  ScopedDspAllocHooks m_Scope;
  int m_Allocations = 0;
  int m_Frees = 0;
  int m_FailAt = 0;
};

}  // namespace primitives_test
