#include "kernel/nt.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::pool::Outstanding;

class PoolTest : public testsupport::KernelTest {};

size_t BlocksWithTag(ULONG tag) {
  for (const auto& u : Outstanding())
    if (u.tag == tag) return u.allocations;
  return 0;
}

TEST_F(PoolTest, CountsByTagAndFailsOnRequest) {
  const ULONG tag = MakeTag("Tst1");
  void* a = ExAllocatePoolWithTag(NonPagedPool, 24, tag);
  void* b = ExAllocatePoolWithTag(PagedPool, 100, tag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BlocksWithTag(tag), 2u);

  platform::pool::FailNthAllocation(2);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 8, tag);  // the failure fires once
  EXPECT_NE(d, nullptr);

  platform::pool::FailAllocationsWithTag(tag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, MakeTag("Othr"));
  EXPECT_NE(other, nullptr);
  platform::pool::ClearFailures();

  for (void* p : {a, b, c, d, other}) ExFreePool(p);
  EXPECT_EQ(BlocksWithTag(tag), 0u);
}

TEST_F(PoolTest, PagedAllocationAtDispatchLevelBreaksTheRule) {
  std::string broken;
  auto previous = platform::SetBugCheckHandler([&](const std::string& m) { broken = m; });
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void* p = ExAllocatePoolWithTag(PagedPool, 16, MakeTag("Tst2"));
  KeLowerIrql(old);
  platform::SetBugCheckHandler(previous);
  EXPECT_NE(broken.find("paged pool"), std::string::npos) << broken;
  if (p) ExFreePool(p);
}

}  // namespace
