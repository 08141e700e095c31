// Bit reversal of 4-, 8- and 16-byte elements through the swap list and the
// index table, at levels 1 to 3.
#include <cstring>
#include <string>
#include <vector>

#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/unreached/fft_kernels/FftKernels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/unreached/FftTestSupport.h"

namespace {

using fft_test::Log2;
using fft_test::ReverseBits;
using InPlaceFn = void (*)(void*, int64_t, const int32_t*);
using CopyFn = void (*)(const void*, void*, int64_t, const int32_t*);

enum class Table { kSwapList, kIndexTable };

// One contract and its three builds.
struct Member {
  const char* name;
  int bytes;
  Table table;
  InPlaceFn inPlace[3];
  CopyFn copy[3];
};

const Member kMembers[] = {
    {"SwapPairs32",
     4,
     Table::kSwapList,
     {FftBitReverseSwapPairs32L1, FftBitReverseSwapPairs32L2, FftBitReverseSwapPairs32L3},
     {}},
    {"SwapPairs32Alt",
     4,
     Table::kSwapList,
     {FftBitReverseSwapPairs32AltL1, FftBitReverseSwapPairs32AltL2, FftBitReverseSwapPairs32AltL3},
     {}},
    {"SwapPairs64",
     8,
     Table::kSwapList,
     {FftBitReverseSwapPairs64L1, FftBitReverseSwapPairs64L2, FftBitReverseSwapPairs64L3},
     {}},
    {"SwapPairs64Wide",
     8,
     Table::kSwapList,
     {FftBitReverseSwapPairs64WideL1, FftBitReverseSwapPairs64WideL2, FftBitReverseSwapPairs64WideL3},
     {}},
    {"SwapPairs128",
     16,
     Table::kSwapList,
     {FftBitReverseSwapPairs128L1, FftBitReverseSwapPairs128L2, FftBitReverseSwapPairs128L3},
     {}},
    {"SwapCopy32",
     4,
     Table::kSwapList,
     {},
     {FftBitReverseSwapCopy32L1, FftBitReverseSwapCopy32L2, FftBitReverseSwapCopy32L3}},
    {"SwapCopy64",
     8,
     Table::kSwapList,
     {},
     {FftBitReverseSwapCopy64L1, FftBitReverseSwapCopy64L2, FftBitReverseSwapCopy64L3}},
    {"InPlace32",
     4,
     Table::kIndexTable,
     {FftBitReverseInPlace32L1, FftBitReverseInPlace32L2, FftBitReverseInPlace32L3},
     {}},
    {"InPlace64",
     8,
     Table::kIndexTable,
     {FftBitReverseInPlace64L1, FftBitReverseInPlace64L2, FftBitReverseInPlace64L3},
     {}},
    {"InPlace128",
     16,
     Table::kIndexTable,
     {FftBitReverseInPlace128L1, FftBitReverseInPlace128L2, FftBitReverseInPlace128L3},
     {}},
    {"Copy32", 4, Table::kIndexTable, {}, {FftBitReverseCopy32L1, FftBitReverseCopy32L2, FftBitReverseCopy32L3}},
    {"Copy64", 8, Table::kIndexTable, {}, {FftBitReverseCopy64L1, FftBitReverseCopy64L2, FftBitReverseCopy64L3}},
    {"Copy128", 16, Table::kIndexTable, {}, {FftBitReverseCopy128L1, FftBitReverseCopy128L2, FftBitReverseCopy128L3}},
};

// The table of order log2 count in the member's format.
std::vector<int32_t> PermutationTable(Table table, int64_t count) {
  const int order = Log2(static_cast<uint64_t>(count));
  std::vector<int32_t> t(static_cast<size_t>(count / 4 + 8), -1);
  if (table == Table::kSwapList)
    BuildBitReverseSwapList(order, t.data());
  else
    BuildBitReverseIndexTableL2L3(order, t.data());
  return t;
}

// Element e of `count` holds the bytes of its index, so that every moved
// byte is recognisable.
void FillIndexed(unsigned char* p, int bytes, int64_t count) {
  for (int64_t e = 0; e < count; ++e)
    for (int b = 0; b < bytes; ++b) p[e * bytes + b] = static_cast<unsigned char>((e >> (8 * (b % 4))) ^ (b * 37));
}

// True when element e of `data` is source element rev(e).
::testing::AssertionResult IsBitReversed(const unsigned char* data, int bytes, int64_t count) {
  std::vector<unsigned char> source(static_cast<size_t>(bytes * count));
  FillIndexed(source.data(), bytes, count);
  const int order = Log2(static_cast<uint64_t>(count));
  for (int64_t e = 0; e < count; ++e) {
    const int64_t from = static_cast<int64_t>(ReverseBits(static_cast<uint64_t>(e), order));
    if (std::memcmp(data + e * bytes, source.data() + from * bytes, bytes) != 0)
      return ::testing::AssertionFailure() << "element " << e << " of " << count << " is not element " << from;
  }
  return ::testing::AssertionSuccess();
}

class FftBitReverseKernels : public fft_test::LevelTest {
 protected:
  int index() const { return GetParam() - 1; }

  // Applies the member at this level, in guarded memory: nothing outside
  // the array (in place) or the destination (copy) may change.
  ::testing::AssertionResult Permute(const Member& m, int64_t count, size_t offset) {
    const size_t bytes = static_cast<size_t>(m.bytes * count);
    const std::vector<int32_t> table = PermutationTable(m.table, count);
    primitives_test::GuardedBuffer data(bytes, offset);
    unsigned char* p = static_cast<unsigned char*>(data.data());
    FillIndexed(p, m.bytes, count);
    if (m.inPlace[0] != nullptr) {
      m.inPlace[index()](p, count, table.data());
      if (!data.GuardsIntact()) return ::testing::AssertionFailure() << "wrote outside the array";
      return IsBitReversed(p, m.bytes, count);
    }
    primitives_test::GuardedBuffer dst(bytes, offset);
    const std::vector<unsigned char> before(p, p + bytes);
    m.copy[index()](p, dst.data(), count, table.data());
    if (std::memcmp(p, before.data(), bytes) != 0 || !data.GuardsIntact())
      return ::testing::AssertionFailure() << "source changed";
    if (!dst.GuardsIntact()) return ::testing::AssertionFailure() << "wrote outside the destination";
    return IsBitReversed(static_cast<unsigned char*>(dst.data()), m.bytes, count);
  }
};
INSTANTIATE_TEST_SUITE_P(Levels, FftBitReverseKernels, ::testing::Values(1, 2, 3), ::fft_test::LevelName);

// Every member, every count it serves up to 1024, at offsets 0, 4 and 8
// bytes from a 16-byte boundary.
TEST_P(FftBitReverseKernels, EveryMemberReversesEveryCountAtAnyAlignment) {
  for (const Member& m : kMembers) {
    const int64_t smallest = m.table == Table::kSwapList ? 1 : 8;
    for (int64_t count = smallest; count <= 1024; count *= 2) {
      if (m.table == Table::kIndexTable && count == 4) continue;  // 8 or at least 16
      for (size_t offset : {size_t{0}, size_t{4}, size_t{8}})
        EXPECT_TRUE(Permute(m, count, offset)) << m.name << " count " << count << " offset " << offset;
    }
  }
}

// Applied twice in place, every member restores the array; a copy member
// followed by the in-place member of its size and table restores the source.
TEST_P(FftBitReverseKernels, PermutationIsItsOwnInverse) {
  const int64_t count = 256;
  for (const Member& m : kMembers) {
    std::vector<unsigned char> source(static_cast<size_t>(m.bytes * count));
    FillIndexed(source.data(), m.bytes, count);
    const std::vector<int32_t> table = PermutationTable(m.table, count);
    std::vector<unsigned char> data = source;
    if (m.inPlace[0] != nullptr) {
      m.inPlace[index()](data.data(), count, table.data());
      m.inPlace[index()](data.data(), count, table.data());
    } else {
      std::vector<unsigned char> copy(data.size());
      m.copy[index()](source.data(), copy.data(), count, table.data());
      // The in-place member of the same size and table kind.
      for (const Member& partner : kMembers)
        if (partner.bytes == m.bytes && partner.table == m.table && partner.inPlace[0] != nullptr) {
          data = copy;
          partner.inPlace[index()](data.data(), count, table.data());
          break;
        }
    }
    EXPECT_EQ(data, source) << m.name;
  }
}

// Small counts of the swap-list members: nothing to do below 4 in place,
// 1 <-> 2 at 4; the copies copy.
TEST_P(FftBitReverseKernels, SwapListSmallCounts) {
  const int32_t list[2] = {0, 0};  // the swap list of 4 elements
  for (const Member& m : kMembers) {
    if (m.table != Table::kSwapList) continue;
    for (int64_t count : {1, 2, 4}) {
      std::vector<unsigned char> data(static_cast<size_t>(m.bytes * count));
      FillIndexed(data.data(), m.bytes, count);
      std::vector<unsigned char> out(data.size(), 0xEE);
      if (m.inPlace[0] != nullptr) {
        m.inPlace[index()](data.data(), count, list);
        out = data;
      } else {
        m.copy[index()](data.data(), out.data(), count, list);
      }
      EXPECT_TRUE(IsBitReversed(out.data(), m.bytes, count)) << m.name << " count " << count;
    }
  }
}

// The copies change their walk above 131072 4-byte or 65536 8- and 16-byte
// elements; both walks give the same permutation. Megabytes of data: one
// level is enough for the walk, which is the same code at every level.
TEST_P(FftBitReverseKernels, CopiesGiveThePermutationOnBothSidesOfTheirSwitch) {
  if (GetParam() != 1) GTEST_SKIP() << "the same code as level 1";
  struct Row {
    const char* name;
    int64_t switchCount;
  };
  for (const Row& row : {Row{"Copy32", 131072}, Row{"Copy64", 65536}, Row{"Copy128", 65536}}) {
    const Member* m = nullptr;
    for (const Member& candidate : kMembers)
      if (std::string(candidate.name) == row.name) m = &candidate;
    ASSERT_NE(m, nullptr);
    for (int64_t count : {row.switchCount, 2 * row.switchCount})
      EXPECT_TRUE(Permute(*m, count, 4)) << row.name << " count " << count;
  }
}

}  // namespace
