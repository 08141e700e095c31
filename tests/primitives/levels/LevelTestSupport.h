// Support for the tests of the processor-level builds: a fixture that runs
// each test at levels 1, 2 and 3 through the dispatch stubs (skipped where
// the processor lacks the level's instructions), byte arenas for alignment
// sweeps with guard checks, and a scriptable cpuid for the cache probe.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "primitives/CpuId.h"
#include "primitives/Dispatch.h"
#include "primitives/levels/ProcessorLevel.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace leveltest {

using ::ProcessorRunsLevel;

// Runs its test once per level with CpuDispatchIndex set to that level, so
// that the public names reach the level's builds.
class LevelTest : public testsupport::KernelTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (!ProcessorRunsLevel(level())) GTEST_SKIP() << "this processor lacks the instructions of level " << level();
    m_Index.emplace(level());
  }
  void TearDown() override {
    m_Index.reset();
    KernelTest::TearDown();
  }
  int level() const { return GetParam(); }

 private:
  std::optional<testsupport::ScopedDispatchLevel> m_Index;
};

inline std::string LevelName(const ::testing::TestParamInfo<int>& info) { return "L" + std::to_string(info.param); }

#define INSTANTIATE_LEVELS(fixture) \
  INSTANTIATE_TEST_SUITE_P(Levels, fixture, ::testing::Values(1, 2, 3), ::leveltest::LevelName)

// Bytes with a known fill around every region handed out, for sweeps over
// the misalignment of sources and destinations.
class Arena {
 public:
  static constexpr unsigned char kFill = 0xC3;

  // At least `bytes` from At(0), with 64 guard bytes before and after.
  explicit Arena(size_t bytes) : m_Storage(bytes + 192) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(m_Storage.data());
    m_Base = reinterpret_cast<unsigned char*>((base + 63) & ~uintptr_t{63}) + 64;
    Reset();
  }

  void Reset() { std::memset(m_Storage.data(), kFill, m_Storage.size()); }

  // offset bytes past a 64-byte boundary (a 16-byte boundary as well).
  unsigned char* At(size_t offset) { return m_Base + offset; }
  template <typename T>
  T* As(size_t offset) {
    return reinterpret_cast<T*>(At(offset));
  }

  // True when every byte outside [begin, begin + bytes) still holds the fill.
  bool UntouchedOutside(const void* begin, size_t bytes) const {
    const unsigned char* b = static_cast<const unsigned char*>(begin);
    for (const unsigned char* p = m_Storage.data(); p < m_Storage.data() + m_Storage.size(); ++p) {
      if (p >= b && p < b + bytes) continue;
      if (*p != kFill) return false;
    }
    return true;
  }

 private:
  std::vector<unsigned char> m_Storage;
  unsigned char* m_Base;
};

// Fills bytes with a sequence that differs from the arena fill and repeats
// only after 251 bytes, so that a shifted or reordered copy shows.
inline void FillSequence(void* p, size_t bytes, unsigned seed) {
  unsigned char* b = static_cast<unsigned char*>(p);
  for (size_t i = 0; i < bytes; ++i) b[i] = static_cast<unsigned char>((i * 7 + seed) % 251);
}

// A cpuid that answers from a table, counts the leaf-2 queries (one per run
// of the cache probe), and is installed for the life of the object.
class ScriptedCpuid : public ICpuidSource {
 public:
  static constexpr uint32_t kVendorEbx = 0x756E6547, kVendorEdx = 0x49656E69, kVendorEcx = 0x6C65746E;

  ScriptedCpuid() : m_Previous(SetCpuidSource(this)) {}
  ~ScriptedCpuid() { SetCpuidSource(m_Previous); }
  ScriptedCpuid(const ScriptedCpuid&) = delete;
  ScriptedCpuid& operator=(const ScriptedCpuid&) = delete;

  void Set(uint32_t leaf, struct CpuidQuery regs) { m_Leaves[leaf] = regs; }
  // The reference vendor, 4 standard leaves, `cores` per package and the
  // given leaf-2 registers.
  void ReferenceProcessor(struct CpuidQuery leaf2, uint32_t cores = 1) {
    Set(0, {4, kVendorEbx, kVendorEcx, kVendorEdx});
    Set(4, {(cores - 1) << 26, 0, 0, 0});
    Set(2, leaf2);
  }
  // A reference processor whose largest listed cache is the 512 KiB one
  // (descriptor 0x43).
  void SmallCacheProcessor(uint32_t cores = 1) { ReferenceProcessor({0x00004301, 0, 0, 0}, cores); }

  void Query(uint32_t leaf, uint32_t, struct CpuidQuery* out) override {
    if (leaf == 2) ++probes;
    auto it = m_Leaves.find(leaf);
    const struct CpuidQuery none {};
    *out = it == m_Leaves.end() ? none : it->second;
  }

  int probes = 0;

 private:
  ICpuidSource* m_Previous;
  std::map<uint32_t, struct CpuidQuery> m_Leaves;
};

}  // namespace leveltest
