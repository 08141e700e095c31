#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel/nt.h"
#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/Vector.h"
#include "primitives/levels/ProcessorLevel.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace {

using primtest::Bits;
using primtest::FromBits;

// ---------------------------------------------------------------------------
// Dispatch

struct FakeCall {
  int level = -1;
  const float* src = nullptr;
  float val = 0;
  int32_t len = 0;
};
FakeCall g_LastCall;

template <int kLevel>
DspStatus FakeBuild(const float* src, float val, int32_t len) {
  g_LastCall = {kLevel, src, val, len};
  return 100 + kLevel;
}

DspStatus FakePrimitive(const float* src, float val, int32_t len);
DSP_DISPATCH_TABLE(FakePrimitive, FakeBuild<0>, FakeBuild<1>, FakeBuild<2>, FakeBuild<3>);
DspStatus FakePrimitive(const float* src, float val, int32_t len) {
  return DspDispatch(FakePrimitiveTable, src, val, len);
}

class DispatchTest : public testsupport::KernelTest {};

TEST_F(DispatchTest, StubForwardsArgumentsAndStatusOfTheSelectedLevel) {
  EXPECT_EQ(testsupport::DispatchLevelAtLoad(), 0) << "the index is 0 at load";
  const int32_t ambient = CpuDispatchIndex;  // 0, or the level HSD_DISPATCH_LEVEL forces
  const float buffer[2] = {};
  const float payloadNaN = FromBits(0x7FA12345);  // a signalling NaN must pass untouched
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    testsupport::ScopedDispatchLevel scope(level);
    g_LastCall = {};
    EXPECT_EQ(FakePrimitive(buffer + 1, payloadNaN, -7), 100 + level);
    EXPECT_EQ(g_LastCall.level, level);
    EXPECT_EQ(g_LastCall.src, buffer + 1);
    EXPECT_EQ(Bits(g_LastCall.val), 0x7FA12345u);
    EXPECT_EQ(g_LastCall.len, -7);
  }
  EXPECT_EQ(CpuDispatchIndex, ambient) << "the scope restores the index";
}

TEST_F(DispatchTest, PublicPrimitivesRunAtEveryLevel) {
  // Every level's build gives the baseline's result and status.
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (!ProcessorRunsLevel(level)) continue;
    testsupport::ScopedDispatchLevel scope(level);
    float v[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(VecMulConstF32InPlace(2.0f, v, 5), DSP_STATUS_OK);
    EXPECT_EQ(v[4], 10.0f);
    EXPECT_EQ(VecZeroF32(nullptr, 0), DSP_STATUS_NULL_POINTER);
  }
}

// ---------------------------------------------------------------------------
// Memory hooks

// A hook set over one static arena: allocate hands out arena + offset, so the
// alignment arithmetic can be checked for every raw address mod 32.
struct FakeHooks {
  static inline int allocations = 0;
  static inline int frees = 0;
  static inline uint32_t lastBytes = 0;
  static inline void* lastFreed = nullptr;
  static inline size_t offset = 0;
  static inline bool fail = false;
  alignas(64) static inline unsigned char arena[4096];

  static void Reset(size_t rawOffset = 0) {
    allocations = frees = 0;
    lastBytes = 0;
    lastFreed = nullptr;
    offset = rawOffset;
    fail = false;
  }
  static void* Allocate(uint32_t bytes) {
    ++allocations;
    lastBytes = bytes;
    if (fail || bytes > sizeof(arena) - offset) return nullptr;
    return arena + offset;
  }
  static void* AllocateArray(uint32_t, uint32_t) { return nullptr; }
  static uintptr_t Reserved(uintptr_t) { return 0; }
  static void Free(void* raw) {
    ++frees;
    lastFreed = raw;
  }
  static constexpr DspAllocHookTable kTable = {Allocate, AllocateArray, Reserved, Free};
};

class DspMemoryTest : public testsupport::KernelTest {
 protected:
  primitives_test::ScopedDspAllocHooks m_Hooks{FakeHooks::kTable};
  void SetUp() override {
    KernelTest::SetUp();
    FakeHooks::Reset();
  }
};

TEST_F(DspMemoryTest, NonPositiveSizesAndNullFreesNeverReachTheHooks) {
  EXPECT_EQ(DspMalloc(0), nullptr);
  EXPECT_EQ(DspMalloc(-1), nullptr);
  EXPECT_EQ(DspMalloc(INT32_MIN), nullptr);
  EXPECT_EQ(VecAllocF32(0), nullptr);
  EXPECT_EQ(VecAllocF32(-1), nullptr);
  DspFree(nullptr);
  EXPECT_EQ(FakeHooks::allocations, 0);
  EXPECT_EQ(FakeHooks::frees, 0);
}

TEST_F(DspMemoryTest, BlockIsAlignedInsideTheRawAllocationForEveryRawOffset) {
  for (size_t rawOffset = 0; rawOffset < 32; ++rawOffset) {
    SCOPED_TRACE(rawOffset);
    FakeHooks::Reset(rawOffset);
    const int32_t size = 100;
    unsigned char* block = static_cast<unsigned char*>(DspMalloc(size));
    unsigned char* raw = FakeHooks::arena + rawOffset;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(FakeHooks::lastBytes, static_cast<uint32_t>(size + 40));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u);
    EXPECT_GE(block - raw, 8);
    EXPECT_LE(block - raw, 39);
    EXPECT_LE(block + size, raw + size + 40);
    void* stored;
    std::memcpy(&stored, block - 8, sizeof(stored));
    EXPECT_EQ(stored, raw);
    DspFree(block);
    EXPECT_EQ(FakeHooks::frees, 1);
    EXPECT_EQ(FakeHooks::lastFreed, raw);
  }
}

TEST_F(DspMemoryTest, VecAllocF32SizesInSixtyFourBitsAndRefusesWhatTheHookCannotTake) {
  struct Row {
    const char* name;
    int32_t len;
    bool reachesHook;
    uint32_t bytes;
  };
  const Row rows[] = {
      {"one float", 1, true, 44},
      {"2^29 floats would wrap in 32 bits", 1 << 29, true, 2147483688u},
      {"largest length the hook can take", 1073741813, true, 4294967292u},
      {"one more", 1073741814, false, 0},
      {"INT32_MAX", INT32_MAX, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHooks::Reset();
    FakeHooks::fail = row.len != 1;  // the big ones need not succeed, only be asked correctly
    float* p = VecAllocF32(row.len);
    EXPECT_EQ(FakeHooks::allocations, row.reachesHook ? 1 : 0);
    if (row.reachesHook) {
      EXPECT_EQ(FakeHooks::lastBytes, row.bytes);
    }
    if (row.len == 1) {
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
      DspFree(p);
    } else {
      EXPECT_EQ(p, nullptr);
    }
  }
  FakeHooks::Reset();
  FakeHooks::fail = true;
  EXPECT_EQ(DspMalloc(INT32_MAX), nullptr);
  EXPECT_EQ(FakeHooks::lastBytes, static_cast<uint32_t>(INT32_MAX) + 40u) << "the 40 bytes are added without wrapping";
}

class DspPoolHooksTest : public testsupport::KernelTest {};

TEST_F(DspPoolHooksTest, DefaultHooksUseTaggedNonPagedPool) {
  const ULONG tag = MakeTag("PRIM");
  auto blocksWithTag = [tag] {
    for (const auto& u : platform::pool::Outstanding())
      if (u.tag == tag) return u.allocations;
    return size_t{0};
  };
  void* block = DspMalloc(64);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(blocksWithTag(), 1u);
  std::memset(block, 0xA5, 64);  // the whole block is usable
  DspFree(block);
  EXPECT_EQ(blocksWithTag(), 0u);

  platform::pool::FailAllocationsWithTag(tag);
  EXPECT_EQ(DspMalloc(64), nullptr);
  EXPECT_EQ(VecAllocF32(16), nullptr);
  platform::pool::ClearFailures();

  EXPECT_EQ(DspAllocHooks.reserved(12345), 0u);
  EXPECT_EQ(DspAllocHooks.allocateArray(0x10000, 0x10000), nullptr) << "count x size beyond 32 bits";
  void* array = DspAllocHooks.allocateArray(4, 8);
  ASSERT_NE(array, nullptr);
  DspAllocHooks.free(array);
}

}  // namespace
