// Every allocation of a device start, and of a stream's open, run and stop,
// failing in turn: each attempt either succeeds or fails with a status,
// leaves nothing behind, and the next attempt succeeds.
#include <gtest/gtest.h>

#include "tests/sim/host/support/HostBench.h"

namespace {

class AllocationSweepTest : public hosttest::HostTest {};

// Runs `attempt` with allocation n failing, for n = 1, 2, ... until an
// attempt makes fewer than n allocations, and `after` with the pool whole
// again; returns how many attempts failed.
template <typename Before, typename Attempt, typename After>
size_t Sweep(Before before, Attempt attempt, After after) {
  size_t failures = 0;
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    before();
    const size_t first = platform::pool::AllocationCount();
    platform::pool::FailNthAllocation(n);
    const NTSTATUS status = attempt();
    const bool hit = platform::pool::AllocationCount() - first >= n;
    platform::pool::ClearFailures();
    after(status);
    failures += !NT_SUCCESS(status);
    if (!hit || testing::Test::HasFailure()) return failures;
  }
}

TEST_F(AllocationSweepTest, EveryAllocationOfTheDeviceStartFailsCleanly) {
  hosttest::HostBench bench;
  ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
  const size_t baseline = platform::pool::OutstandingCount();
  const size_t failures = Sweep(
      [&] {
        bench.Plug();
        EXPECT_EQ(bench.HostSide().AddDevice(bench.Port().Pdo()), STATUS_SUCCESS);
      },
      [&] { return bench.HostSide().Start(); },
      [&](NTSTATUS status) {
        // A start that met its failure and still succeeded has every filter
        // it should have.
        if (NT_SUCCESS(status)) {
          EXPECT_EQ(bench.HostSide().Filters().size(), 3u);
        }
        EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
        EXPECT_EQ(platform::pool::OutstandingCount(), baseline)
            << platform::pool::Describe(platform::pool::Outstanding());
      });
  EXPECT_GT(failures, 0u);
  // The next attempt succeeds and streams.
  bench.Plug();
  ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Stream(true, 0.05), STATUS_SUCCESS);
  EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
}

TEST_F(AllocationSweepTest, EveryAllocationOfAStreamFailsCleanlyAndTheNextStreamPlays) {
  hosttest::HostBench bench;
  ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
  bench.Plug();
  ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
  // What the started device keeps (its status thread's transfer, what the
  // first streams make once) is in place before the sweep counts.
  ASSERT_EQ(bench.Stream(true, 0.02), STATUS_SUCCESS);
  ASSERT_EQ(bench.Stream(false, 0.02), STATUS_SUCCESS);
  for (bool render : {true, false}) {
    SCOPED_TRACE(render ? "render" : "capture");
    const size_t baseline = platform::pool::OutstandingCount();
    const size_t failures = Sweep([] {}, [&] { return bench.Stream(render, 0.05); }, [&](NTSTATUS) {
      EXPECT_EQ(platform::pool::OutstandingCount(), baseline) << platform::pool::Describe(platform::pool::Outstanding());
      // Whatever the failure did, the next stream plays.
      EXPECT_EQ(bench.Stream(render, 0.02), STATUS_SUCCESS);
    });
    EXPECT_GT(failures, 0u);
  }
  EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
}

}  // namespace
