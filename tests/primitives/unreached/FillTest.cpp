#include <algorithm>
#include <cstring>
#include <vector>

#include "primitives/CpuId.h"
#include "primitives/unreached/Fill.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace unreached_test;
using primitives_test::GuardedBuffer;

class CacheAwareFill : public LevelKernelTest {
 protected:
  leveltest::ScriptedCpuid m_Cpu;
};

template <typename T, typename Fn>
void CheckEveryCountAndOffset(const char* name, const T& value, Fn fill) {
  SCOPED_TRACE(name);
  for (uint32_t count = 1; count <= 40; ++count) {
    for (size_t offset = 0; offset < 16; ++offset) {
      GuardedBuffer buffer(sizeof(T) * count, offset);
      T* dst = static_cast<T*>(buffer.data());
      ASSERT_EQ(fill(&value, dst, count), dst);
      for (uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(std::memcmp(static_cast<char*>(buffer.data()) + sizeof(T) * i, &value, sizeof(T)), 0)
            << "count " << count << " offset " << offset << " element " << i;
      ASSERT_TRUE(buffer.GuardsIntact()) << "count " << count << " offset " << offset;
    }
  }
}

TEST_F(CacheAwareFill, EveryCountAndOffsetGetsTheValueAndNothingAround) {
  CheckEveryCountAndOffset<uint16_t>("16-bit", 0xA1B2, FillCacheAwareU16);
  CheckEveryCountAndOffset<uint64_t>("64-bit", 0x0102030405060708ull, FillCacheAwareU64);
  CheckEveryCountAndOffset<Element128>("128-bit", Element128{0x1112131415161718ull, 0x2122232425262728ull},
                                       FillCacheAwareU128);
  EXPECT_EQ(m_Cpu.probes, 0) << "small fills never ask for the cache size";
}

TEST_F(CacheAwareFill, CacheSizeIsTheLargestListedDescriptor) {
  struct Row {
    const char* name;
    bool reference;
    struct CpuidQuery leaf2;
    uint64_t size;
  };
  const Row rows[] = {
      {"4 MiB descriptor 0x46", true, {0x00004601u, 0, 0, 0}, 4u << 20},
      {"0x7D (2 MiB) and 0x46: the larger", true, {0x00007D01u, 0, 0x46u, 0}, 4u << 20},
      {"12 MiB in EDX", true, {0x00000001u, 0, 0, 0x4C000000u}, 12u << 20},
      {"low byte of EAX is the round count, not a descriptor", true, {0x00000046u, 0, 0, 0}, 0},
      {"two rounds of leaf 2", true, {0x00004602u, 0, 0, 0}, 0},
      {"register with bit 31 carries nothing", true, {0x00000001u, 0x80000046u, 0, 0}, 0},
      {"unlisted descriptors only", true, {0x00002C01u, 0x30u, 0, 0}, 0},
      {"another vendor", false, {0x00004601u, 0, 0, 0}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_Cpu.ReferenceProcessor(row.leaf2);
    if (!row.reference) m_Cpu.Set(0, {4, 0x68747541u, 0x444D4163u, 0x69746E65u});
    EXPECT_EQ(QueryCacheSize(), row.size);
  }
}

// Above 1 MiB a fill asks for the cache size; whatever the answer, every
// element gets the value.
TEST_F(CacheAwareFill, LargeFillsAskForTheCacheAndFillAllTheSame) {
  m_Cpu.ReferenceProcessor({0x00004601u, 0, 0, 0});  // 4 MiB
  std::vector<uint16_t> v(2097153 + 8);
  const uint16_t value = 0x5A3C;
  uint16_t* aligned = reinterpret_cast<uint16_t*>((reinterpret_cast<uintptr_t>(v.data()) + 15) & ~uintptr_t{15});
  FillCacheAwareU16(&value, aligned, 524288);
  EXPECT_EQ(m_Cpu.probes, 0) << "exactly 1 MiB";
  FillCacheAwareU16(&value, aligned, 524289);
  EXPECT_EQ(m_Cpu.probes, 1);
  // 4 MiB fits the cache; one element more streams around it.
  for (uint32_t count : {2097152u, 2097153u}) {
    std::fill(v.begin(), v.end(), uint16_t{0});
    EXPECT_EQ(FillCacheAwareU16(&value, aligned, count), aligned);
    EXPECT_EQ(std::count(aligned, aligned + count, value), static_cast<long>(count));
    EXPECT_EQ(aligned[count], 0);
  }
  const uint64_t big = 0x8877665544332211ull;
  std::vector<uint64_t> w(131072 + 4);
  uint64_t* at4 = reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(w.data()) + 4);
  const int before = m_Cpu.probes;
  FillCacheAwareU64(&big, at4, 131073);
  EXPECT_EQ(m_Cpu.probes, before) << "4 modulo 8: the aligned continuation holds 131072 elements";
  EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(at4) + 8 * 131072, &big, 8), 0);
  FillCacheAwareU64(&big, w.data(), 131073);
  EXPECT_EQ(m_Cpu.probes, before + 1);
}

}  // namespace
