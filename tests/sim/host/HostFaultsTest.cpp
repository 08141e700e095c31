// The host side of a play or record when the system runs short: a close
// that cannot get memory still closes the filter, and a pin whose state
// changes cannot get a thread fails cleanly instead of being closed while it
// runs, with the next attempt streaming.
#include <gtest/gtest.h>

#include "sim/device/DefaultHeadset.h"
#include "sim/host/RunningDriver.h"
#include "tests/sim/host/support/HostBench.h"

namespace {

class HostFaultsTest : public hosttest::HostTest {};

TEST_F(HostFaultsTest, CloseWithoutMemoryForItsRequestStillClosesTheFilter) {
  const size_t before = platform::pool::OutstandingCount();
  {
    sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
    ASSERT_TRUE(driver.Started());
    sim::host::FilterHandle* filter = nullptr;
    ASSERT_EQ(driver.HostSide().OpenFilter(u"HeadSetOut00Wave", &filter), STATUS_SUCCESS);
    platform::pool::FailAllocationsWithTag(MakeTag("Irp "));
    delete filter;
    platform::pool::ClearFailures();
  }
  // The filter held its port; a close that never reached the driver would
  // keep both after the device is gone.
  EXPECT_EQ(platform::pool::OutstandingCount(), before) << platform::pool::Describe(platform::pool::Outstanding());
}

TEST_F(HostFaultsTest, PinWithoutAThreadForItsStatesFailsCleanlyAndTheNextPlayStreams) {
  sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_TRUE(driver.Started());
  sim::host::FilterHandle* filter = nullptr;
  ASSERT_EQ(driver.HostSide().OpenFilter(u"HeadSetOut00Wave", &filter), STATUS_SUCCESS);
  const sim::host::WavData tone = sim::host::SineWav(48000, 2, 440.0, 0.1, 0.25);
  // Each thread a play makes, in turn, cannot be had; every play either
  // streams or fails with the shortage, and none is left running.
  bool failed = false;
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    platform::pool::FailNthAllocationWithTag(platform::thread::kThreadTag, n);
    const NTSTATUS status = driver.HostSide().Render(filter, tone, false);
    platform::pool::ClearFailures();
    if (status == STATUS_SUCCESS) break;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    failed = true;
    ASSERT_LT(n, 20u);
  }
  EXPECT_TRUE(failed);
  // And with no threads at all.
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  EXPECT_EQ(driver.HostSide().Render(filter, tone, false), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  EXPECT_EQ(driver.HostSide().Render(filter, tone, false), STATUS_SUCCESS);
  delete filter;
}

// Work beside the stream that itself waits for time (a start inside a
// control panel's thread) runs where it is: only the waiting thread moves
// the clock.
TEST_F(HostFaultsTest, TimePassingWorkNestsInsideWorkBesideTheStream) {
  const LONGLONG before = platform::clock::Now();
  NTSTATUS inner = STATUS_UNSUCCESSFUL;
  const NTSTATUS outer = sim::host::WhileTimePasses([&] {
    inner = sim::host::WhileTimePasses([] {
      LARGE_INTEGER wait;
      wait.QuadPart = -20 * 10000;  // 20 ms
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      return STATUS_SUCCESS;
    });
    return STATUS_ALERTED;
  });
  EXPECT_EQ(outer, STATUS_ALERTED);
  EXPECT_EQ(inner, STATUS_SUCCESS);
  EXPECT_GE(platform::clock::Now() - before, 20 * 10000);
}

}  // namespace
