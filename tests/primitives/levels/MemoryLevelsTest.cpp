// The level builds of zero, fill, copy and move: every misalignment of
// source and destination, short and long counts, overlap in both
// directions, the cache probe and the streaming paths it opens.
#include <algorithm>
#include <cstring>
#include <vector>

#include "primitives/Vector.h"
#include "primitives/levels/MemoryLevels.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using leveltest::Arena;
using leveltest::FillSequence;
using leveltest::ScriptedCpuid;

// The internal routines of one level, which run without a dispatch stub.
struct MemoryRoutines {
  void* (*zeroBytes)(void*, int64_t);
  uint32_t* (*fillU32)(uint32_t, uint32_t*, int64_t);
  void* (*copyBytes)(const void*, void*, int64_t);
  void (*moveKernel)(const void*, void*, int64_t);
  DspStatus (*copyBytesChecked)(const void*, void*, int32_t);
};

const MemoryRoutines kRoutines[4] = {
    {},
    {ZeroBytesL1, FillU32L1, CopyBytesL1, VecMoveF32L1Kernel, CopyBytesChecked},
    {ZeroBytesL2, FillU32L2, CopyBytesL2, VecMoveF32L2Kernel, CopyBytesCheckedL2},
    {ZeroBytesL3, FillU32L3, CopyBytesL3, VecMoveF32L3Kernel, CopyBytesCheckedL3},
};

class MemoryLevelsTest : public leveltest::LevelTest {
 protected:
  const MemoryRoutines& R() const { return kRoutines[level()]; }
};
INSTANTIATE_LEVELS(MemoryLevelsTest);

// Byte counts every sweep covers: all short ones, the edges of the 16- and
// 64-byte blocks, and a few long ones.
std::vector<int64_t> SweepCounts() {
  std::vector<int64_t> counts;
  for (int64_t n = 1; n <= 40; ++n) counts.push_back(n);
  for (int64_t n : {63, 64, 65, 79, 80, 81, 95, 96, 127, 128, 129, 160, 1000, 4099}) counts.push_back(n);
  return counts;
}

TEST_P(MemoryLevelsTest, ZeroAndFillWriteExactlyTheirBytesAtEveryAlignment) {
  for (int64_t n : SweepCounts()) {
    Arena arena(static_cast<size_t>(4 * n + 16));
    for (size_t offset = 0; offset < 16; ++offset) {
      SCOPED_TRACE(testing::Message() << "bytes/elements " << n << " offset " << offset);
      unsigned char* d = arena.At(offset);

      FillSequence(d, static_cast<size_t>(n), 1);
      EXPECT_EQ(R().zeroBytes(d, n), d);
      EXPECT_TRUE(std::all_of(d, d + n, [](unsigned char b) { return b == 0; }));
      EXPECT_TRUE(arena.UntouchedOutside(d, static_cast<size_t>(n)));
      arena.Reset();

      // The element pattern continues bytewise whatever the address.
      const uint32_t pattern = 0x8BADF00Du;
      EXPECT_EQ(R().fillU32(pattern, reinterpret_cast<uint32_t*>(d), n), reinterpret_cast<uint32_t*>(d));
      for (int64_t i = 0; i < n; ++i) ASSERT_EQ(0, std::memcmp(d + 4 * i, &pattern, 4)) << "element " << i;
      EXPECT_TRUE(arena.UntouchedOutside(d, static_cast<size_t>(4 * n)));
      arena.Reset();

      if (n > 1000) continue;
      // Through the public names: VecZeroF32 and VecSetF32 (bits, not
      // values: a NaN payload and -0.0 pass).
      float* f = arena.As<float>(offset);
      ASSERT_EQ(VecZeroF32(f, static_cast<int32_t>(n)), DSP_STATUS_OK);
      EXPECT_TRUE(std::all_of(d, d + 4 * n, [](unsigned char b) { return b == 0; }));
      EXPECT_TRUE(arena.UntouchedOutside(d, static_cast<size_t>(4 * n)));
      arena.Reset();
      for (uint32_t bits : {0xFFA12345u, 0x80000000u}) {
        float value;
        std::memcpy(&value, &bits, 4);
        ASSERT_EQ(VecSetF32(value, f, static_cast<int32_t>(n)), DSP_STATUS_OK);
        for (int64_t i = 0; i < n; ++i) ASSERT_EQ(0, std::memcmp(d + 4 * i, &bits, 4));
        EXPECT_TRUE(arena.UntouchedOutside(d, static_cast<size_t>(4 * n)));
        arena.Reset();
      }
    }
  }
}

TEST_P(MemoryLevelsTest, CopyMatchesItsSourceForEverySourceAndDestinationAlignment) {
  for (int64_t n : SweepCounts()) {
    std::vector<unsigned char> source(static_cast<size_t>(n) + 16);
    Arena from(static_cast<size_t>(n) + 16);
    Arena to(static_cast<size_t>(n) + 16);
    for (size_t srcOffset = 0; srcOffset < 16; ++srcOffset) {
      for (size_t dstOffset = 0; dstOffset < 16; ++dstOffset) {
        SCOPED_TRACE(testing::Message() << "bytes " << n << " src +" << srcOffset << " dst +" << dstOffset);
        unsigned char* s = from.At(srcOffset);
        unsigned char* d = to.At(dstOffset);
        FillSequence(s, static_cast<size_t>(n), static_cast<unsigned>(n + srcOffset));
        std::memcpy(source.data(), s, static_cast<size_t>(n));

        EXPECT_EQ(R().copyBytes(s, d, n), d);
        ASSERT_EQ(0, std::memcmp(d, source.data(), static_cast<size_t>(n)));
        EXPECT_TRUE(to.UntouchedOutside(d, static_cast<size_t>(n)));
        EXPECT_EQ(0, std::memcmp(s, source.data(), static_cast<size_t>(n))) << "the source was written";
        to.Reset();

        EXPECT_EQ(R().copyBytesChecked(s, d, static_cast<int32_t>(n)), DSP_STATUS_OK);
        ASSERT_EQ(0, std::memcmp(d, source.data(), static_cast<size_t>(n)));
        to.Reset();

        R().moveKernel(s, d, n);
        ASSERT_EQ(0, std::memcmp(d, source.data(), static_cast<size_t>(n)));
        EXPECT_TRUE(to.UntouchedOutside(d, static_cast<size_t>(n)));
        to.Reset();

        if (n % 4 != 0) continue;
        const int32_t len = static_cast<int32_t>(n / 4);
        ASSERT_EQ(VecCopyF32(reinterpret_cast<const float*>(s), reinterpret_cast<float*>(d), len), DSP_STATUS_OK);
        ASSERT_EQ(0, std::memcmp(d, source.data(), static_cast<size_t>(n)));
        EXPECT_TRUE(to.UntouchedOutside(d, static_cast<size_t>(n)));
        to.Reset();
        ASSERT_EQ(VecMoveF32(reinterpret_cast<const float*>(s), reinterpret_cast<float*>(d), len), DSP_STATUS_OK);
        ASSERT_EQ(0, std::memcmp(d, source.data(), static_cast<size_t>(n)));
        to.Reset();
      }
    }
  }
}

// Shifts within one buffer: every result equals a copy through a separate
// buffer, whichever way and however far the data moves.
TEST_P(MemoryLevelsTest, MoveGivesTheShiftedDataForEveryOverlap) {
  Arena arena(6000);
  for (int64_t n : {1, 3, 4, 7, 8, 15, 16, 31, 32, 33, 63, 64, 65, 100, 127, 200, 399, 1000, 4096}) {
    for (int64_t shift : {-40, -17, -16, -9, -8, -5, -4, -3, -1, 0, 1, 2, 4, 7, 8, 12, 16, 31, 33}) {
      for (size_t offset = 0; offset < 16; ++offset) {
        SCOPED_TRACE(testing::Message() << "bytes " << n << " shift " << shift << " src +" << offset);
        unsigned char* s = arena.At(64 + offset);
        unsigned char* d = s + shift;
        FillSequence(arena.At(0), 5000, static_cast<unsigned>(n + offset));
        std::vector<unsigned char> expected(arena.At(0), arena.At(5000));
        std::memmove(expected.data() + (d - arena.At(0)), expected.data() + (s - arena.At(0)), static_cast<size_t>(n));
        R().moveKernel(s, d, n);
        ASSERT_EQ(0, std::memcmp(arena.At(0), expected.data(), 5000));
      }
    }
  }
}

TEST_P(MemoryLevelsTest, MoveByOneElementEitherWayAtEveryAlignment) {
  Arena arena(512);
  for (int32_t len = 1; len <= 100; ++len) {
    for (size_t offset = 4; offset < 20; ++offset) {
      for (int direction : {-1, 1}) {
        float* src = arena.As<float>(offset + 4);
        float* dst = reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(src) + 4 * direction);
        FillSequence(arena.At(0), 480, static_cast<unsigned>(len));
        std::vector<unsigned char> expected(arena.At(0), arena.At(480));
        std::memmove(expected.data() + (reinterpret_cast<unsigned char*>(dst) - arena.At(0)),
                     expected.data() + (reinterpret_cast<unsigned char*>(src) - arena.At(0)), 4 * size_t(len));
        ASSERT_EQ(VecMoveF32(src, dst, len), DSP_STATUS_OK);
        ASSERT_EQ(0, std::memcmp(arena.At(0), expected.data(), 480)) << len << " " << offset << " " << direction;
      }
    }
  }
}

// The block paths of the copy may run in any order; a destination below an
// overlapping source still receives the moved data, as the baseline's
// front-to-back copy gives it.
TEST_P(MemoryLevelsTest, CopyOntoAnOverlappingLowerDestinationMovesTheData) {
  Arena arena(8192);
  for (int32_t len : {3, 17, 100, 1500}) {
    for (int32_t back : {1, 3, 8}) {
      float* src = arena.As<float>(64);
      float* dst = src - back;
      FillSequence(arena.At(0), 8000, static_cast<unsigned>(len + back));
      std::vector<unsigned char> expected(arena.At(0), arena.At(8000));
      std::memmove(expected.data() + 64 - 4 * back, expected.data() + 64, 4 * size_t(len));
      ASSERT_EQ(VecCopyF32(src, dst, len), DSP_STATUS_OK);
      EXPECT_EQ(0, std::memcmp(arena.At(0), expected.data(), 8000)) << len << " " << back;
    }
  }
  // A copy onto itself leaves the data as it was (VecMulConstF32 by 1.0 in
  // place relies on it).
  float* v = arena.As<float>(4);
  FillSequence(v, 400, 9);
  std::vector<unsigned char> before(arena.At(4), arena.At(404));
  ASSERT_EQ(VecCopyF32(v, v, 100), DSP_STATUS_OK);
  EXPECT_EQ(0, std::memcmp(arena.At(4), before.data(), 400));
}

// Aligned copies at levels 2 and 3 pick their direction by the distance of
// the two page offsets; both directions give the copy.
TEST_P(MemoryLevelsTest, AlignedCopyIsRightForEveryPageOffsetDistance) {
  // A page of slack for the page start, the largest distance and the
  // longest copy.
  Arena from(5 * 4096);
  Arena to(5 * 4096);
  const auto pageStart = [](Arena& arena) {
    return arena.At((4096 - reinterpret_cast<uintptr_t>(arena.At(0)) % 4096) % 4096);
  };
  for (int64_t delta : {-4096 + 16, -3936, -3920, -160, -16, 0, 16, 160, 176, 2048}) {
    for (int64_t n : {64, 65, 127, 255, 1000, 4000}) {
      // (src mod 4096) - (dst mod 4096) = delta.
      unsigned char* s = pageStart(from) + 2048;
      unsigned char* d = pageStart(to) + (2048 - delta);
      FillSequence(s, static_cast<size_t>(n), static_cast<unsigned>(delta + n));
      R().copyBytes(s, d, n);
      EXPECT_EQ(0, std::memcmp(d, s, static_cast<size_t>(n))) << "delta " << delta << " bytes " << n;
      EXPECT_TRUE(to.UntouchedOutside(d, static_cast<size_t>(n)));
      to.Reset();
    }
  }
}

TEST_P(MemoryLevelsTest, PublicBuildsCheckPointersThenLengthsAndWriteNothingOnFailure) {
  Arena arena(64);
  float* f = arena.As<float>(0);
  int32_t* s32 = arena.As<int32_t>(0);
  struct Row {
    const char* name;
    DspStatus status;
    DspStatus expected;
  };
  const DspStatus kNull = DSP_STATUS_NULL_POINTER, kLength = DSP_STATUS_BAD_LENGTH;
  DspStatus (*const setS32[4])(int32_t, int32_t*, int32_t) = {nullptr, VecSetS32L1, VecSetS32L2, VecSetS32L3};
  const Row rows[] = {
      {"VecZeroF32 null, len 0", VecZeroF32(nullptr, 0), kNull},
      {"VecZeroF32 len 0", VecZeroF32(f, 0), kLength},
      {"VecZeroF32 len -1", VecZeroF32(f, -1), kLength},
      {"VecSetF32 null", VecSetF32(1.0f, nullptr, -3), kNull},
      {"VecSetF32 len", VecSetF32(1.0f, f, 0), kLength},
      {"VecCopyF32 src", VecCopyF32(nullptr, f, 0), kNull},
      {"VecCopyF32 dst", VecCopyF32(f, nullptr, 4), kNull},
      {"VecCopyF32 len", VecCopyF32(f + 4, f, INT32_MIN), kLength},
      {"VecMoveF32 src", VecMoveF32(nullptr, f, -1), kNull},
      {"VecMoveF32 dst", VecMoveF32(f, nullptr, 4), kNull},
      {"VecMoveF32 len", VecMoveF32(f + 1, f, 0), kLength},
      {"CopyBytesChecked src", R().copyBytesChecked(nullptr, f, 0), kNull},
      {"CopyBytesChecked dst", R().copyBytesChecked(f, nullptr, 8), kNull},
      {"CopyBytesChecked bytes", R().copyBytesChecked(f + 2, f, 0), kLength},
      {"VecSetS32 null", setS32[level()](7, nullptr, 0), kNull},
      {"VecSetS32 len", setS32[level()](7, s32, 0), kLength},
  };
  for (const Row& row : rows) EXPECT_EQ(row.status, row.expected) << row.name;
  EXPECT_TRUE(arena.UntouchedOutside(nullptr, 0));
}

// ---------------------------------------------------------------------------
// The cache probe and the streaming paths.

class CacheSizeProbeTest : public testsupport::KernelTest {
 protected:
  ScriptedCpuid m_Cpu;
};

TEST_F(CacheSizeProbeTest, NamesTheLargestListedCacheOfTheReferenceVendor) {
  struct Row {
    const char* name;
    struct CpuidQuery leaf2;
    uint32_t cores;
    bool perCore;
    uint64_t expected;
  };
  constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
  const Row rows[] = {
      {"512 KiB (0x43)", {0x00004301, 0, 0, 0}, 1, false, 512 * KiB},
      {"0x43 and 0x49: the table's order wins over the registers'", {0x00434901, 0, 0, 0}, 1, false, 4 * MiB},
      {"0x49 listed after 0x43 in EDX", {0x00000001, 0, 0, 0x00004943}, 1, false, 4 * MiB},
      {"12 MiB code 0x34", {0x004C0001, 0, 0, 0}, 1, false, 12 * MiB},
      {"descriptor in the low byte of EBX", {0x00000001, 0x00000022, 0, 0}, 1, false, 512 * KiB},
      {"EAX carries none (bit 31), EBX does", {0x80004901, 0x0000007D, 0, 0}, 1, false, 2 * MiB},
      {"a register with bit 31 is skipped", {0x00000001, 0x8000004D, 0x00000043, 0}, 1, false, 512 * KiB},
      {"iteration count 2: no size", {0x00004902, 0, 0, 0}, 1, false, CACHE_SIZE_NONE},
      {"nothing listed", {0x00000001, 0x00010203, 0, 0}, 1, false, CACHE_SIZE_NONE},
      {"per core: 4 MiB over 4 cores", {0x00004901, 0, 0, 0}, 4, true, 1 * MiB},
      {"not per core: the cores do not count", {0x00004901, 0, 0, 0}, 4, false, 4 * MiB},
  };
  for (const Row& row : rows) {
    m_Cpu.ReferenceProcessor(row.leaf2, row.cores);
    EXPECT_EQ(CacheSizeProbe(row.perCore), row.expected) << row.name;
  }
  // Another vendor has no size whatever it lists.
  m_Cpu.Set(0, {4, 0x68747541, 0x444D4163, 0x69746E65});
  EXPECT_EQ(CacheSizeProbe(false), CACHE_SIZE_NONE);
}

class MemoryStreamingTest : public MemoryLevelsTest {
 protected:
  ScriptedCpuid m_Cpu;
};
INSTANTIATE_LEVELS(MemoryStreamingTest);

// cpuid runs only from the thresholds on, counted after the alignment
// prologue.
TEST_P(MemoryStreamingTest, ProbeRunsOnlyFromTheThresholds) {
  m_Cpu.SmallCacheProcessor();
  constexpr int64_t kZeroLimit = ZERO_BYTES_PROBE_ABOVE;
  Arena arena(static_cast<size_t>(4 * (FILL_PROBE_ABOVE + 1) + 64));
  const auto probesFor = [&](auto call) {
    m_Cpu.probes = 0;
    call();
    return m_Cpu.probes;
  };
  // Zero: 13 bytes of prologue from offset 3, then exactly the limit.
  EXPECT_EQ(probesFor([&] { R().zeroBytes(arena.At(3), kZeroLimit + 13); }), 0);
  EXPECT_EQ(probesFor([&] { R().zeroBytes(arena.At(3), kZeroLimit + 14); }), 1);
  EXPECT_EQ(probesFor([&] { R().fillU32(1, arena.As<uint32_t>(0), FILL_PROBE_ABOVE); }), 0);
  EXPECT_EQ(probesFor([&] { R().fillU32(1, arena.As<uint32_t>(0), FILL_PROBE_ABOVE + 1); }), 1);

  const int64_t copyFrom = level() == 1 ? COPY_BYTES_PROBE_FROM_L1 : COPY_BYTES_PROBE_FROM_L2L3;
  std::vector<unsigned char> source(static_cast<size_t>(copyFrom) + 64);
  Arena to(static_cast<size_t>(copyFrom) + 64);
  unsigned char* s = source.data() + (16 - reinterpret_cast<uintptr_t>(source.data()) % 16) % 16;
  EXPECT_EQ(probesFor([&] { R().copyBytes(s, to.At(0), copyFrom - 1); }), 0);
  EXPECT_EQ(probesFor([&] { R().copyBytes(s, to.At(0), copyFrom); }), 1);
  // A shared misalignment goes to the aligned copy after the prologue and
  // never asks, however large the block.
  EXPECT_EQ(probesFor([&] { R().copyBytes(s + 4, to.At(4), copyFrom + 32); }), 0);
}

// A 512 KiB cache makes these blocks stream; the data must be exact all the
// same, prologue, streamed body, fence and tail.
TEST_P(MemoryStreamingTest, StreamedBlocksHoldExactData) {
  m_Cpu.SmallCacheProcessor(level() == 1 ? 2 : 1);
  const size_t bytes = 4 * 262144 + 1000 + 37;  // past every level's copy threshold
  Arena arena(bytes + 64);
  std::vector<unsigned char> source(bytes + 64);
  FillSequence(source.data(), source.size(), 5);

  for (size_t dstOffset : {0u, 9u}) {
    for (size_t srcOffset : {0u, 5u}) {
      SCOPED_TRACE(testing::Message() << "dst +" << dstOffset << " src +" << srcOffset);
      const unsigned char* s = source.data() + srcOffset;
      unsigned char* d = arena.At(dstOffset);
      m_Cpu.probes = 0;
      R().copyBytes(s, d, static_cast<int64_t>(bytes));
      EXPECT_EQ(m_Cpu.probes, 1);
      EXPECT_EQ(0, std::memcmp(d, s, bytes));
      EXPECT_TRUE(arena.UntouchedOutside(d, bytes));
      arena.Reset();
    }
  }
  unsigned char* d = arena.At(3);
  m_Cpu.probes = 0;
  R().zeroBytes(d, static_cast<int64_t>(bytes));
  EXPECT_EQ(m_Cpu.probes, 1);
  EXPECT_TRUE(std::all_of(d, d + bytes, [](unsigned char b) { return b == 0; }));
  EXPECT_TRUE(arena.UntouchedOutside(d, bytes));
  arena.Reset();

  const int64_t elements = static_cast<int64_t>(bytes / 4) - 1;
  const uint32_t pattern = 0x01020304u;
  R().fillU32(pattern, reinterpret_cast<uint32_t*>(arena.At(6)), elements);
  for (int64_t i = 0; i < elements; ++i) ASSERT_EQ(0, std::memcmp(arena.At(6) + 4 * i, &pattern, 4)) << i;
  EXPECT_TRUE(arena.UntouchedOutside(arena.At(6), static_cast<size_t>(4 * elements)));
}

}  // namespace
