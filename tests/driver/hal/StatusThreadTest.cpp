#include "sim/device/DefaultHeadset.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"

namespace {

using haltest::ModelBench;

class StatusThreadTest : public testsupport::KernelTest {};

TEST_F(StatusThreadTest, Smoke) {
  ModelBench bench(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  bench.WatchNotifications();
  EXPECT_EQ(bench.Hal()->Start(), STATUS_SUCCESS);
  bench.AdvanceUntil([] { return false; }, 5);
  printf("thread %p pipe %u notifications %zu\n", (void*)bench.Model()->GetStatusThread(),
         bench.Model()->GetStatusPipeIndex(), bench.Notifications().size());
  for (ULONG n : bench.Notifications()) printf(" %u", n);
  printf("\n");
  bench.Device().QueueStatusWord(0, 5);
  bench.ClearNotifications();
  bench.AdvanceUntil([] { return false; }, 5);
  for (ULONG n : bench.Notifications()) printf(" %u", n);
  printf("\n");
}

}  // namespace
