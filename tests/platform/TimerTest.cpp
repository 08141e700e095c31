// Timers, DPCs, work items and the time services on the manual clock.
#include <atomic>
#include <thread>
#include <vector>

#include "kernel/nt.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::clock::AdvanceMs;
using platform::clock::Now;
using testsupport::RelativeMs;
using testsupport::RuleRecorder;

class TimerTest : public testsupport::KernelTest {};

struct DpcLog {
  std::vector<LONGLONG> times;  // written by the DPC thread, read after a flush
  std::vector<int> order;
  bool allAtDispatch = true;
};

void LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* log = static_cast<DpcLog*>(context);
  log->times.push_back(Now());
  log->allAtDispatch = log->allAtDispatch && KeGetCurrentIrql() == DISPATCH_LEVEL;
}

TEST_F(TimerTest, PeriodicTimerRunsItsDpcOncePerPeriodUntilCancelled) {
  DpcLog log;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, LogDpc, &log);
  KeInitializeTimerEx(&timer, NotificationTimer);
  EXPECT_FALSE(KeSetTimerEx(&timer, RelativeMs(5), 5, &dpc));

  AdvanceMs(4);
  EXPECT_TRUE(log.times.empty());
  EXPECT_FALSE(KeReadStateTimer(&timer));
  AdvanceMs(1);
  EXPECT_EQ(log.times.size(), 1u) << "Advance returns only after the DPC it caused has run";
  EXPECT_TRUE(KeReadStateTimer(&timer));
  AdvanceMs(20);
  EXPECT_EQ(log.times, (std::vector<LONGLONG>{50000, 100000, 150000, 200000, 250000}));
  EXPECT_TRUE(log.allAtDispatch);

  // Setting a set timer replaces the setting and says so.
  EXPECT_TRUE(KeSetTimerEx(&timer, RelativeMs(10), 10, &dpc));
  AdvanceMs(9);
  EXPECT_EQ(log.times.size(), 5u) << "the old period must not fire any more";
  AdvanceMs(21);
  EXPECT_EQ(log.times.size(), 8u);

  EXPECT_TRUE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  AdvanceMs(100);
  EXPECT_EQ(log.times.size(), 8u);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(TimerTest, SynchronizationTimerReleasesOneWaitPerExpiry) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LARGE_INTEGER due = RelativeMs(3), poll{};
  KeSetTimer(&timer, due, nullptr);
  AdvanceMs(3);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "a one-shot timer is no longer set once expired";

  // An absolute due time is a system time.
  LARGE_INTEGER systemTime;
  KeQuerySystemTime(&systemTime);
  due.QuadPart = systemTime.QuadPart + 20000;
  KeSetTimer(&timer, due, nullptr);
  AdvanceMs(1);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  AdvanceMs(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(TimerTest, DpcsRunInOrderAtDispatchLevelAndFlushWaitsForThem) {
  struct Ordered {
    KDPC dpc;
    int index;
    std::vector<int>* order;
  } items[3];
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) {
    items[i].index = i;
    items[i].order = &order;
    KeInitializeDpc(
        &items[i].dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
          auto* item = static_cast<Ordered*>(context);
          item->order->push_back(item->index);
        },
        &items[i]);
  }
  // A first DPC holds the DPC thread until the queue is made up, so what is
  // queued and removed below is decided before anything runs.
  std::atomic<bool> open{false};
  KDPC gate;
  KeInitializeDpc(
      &gate,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        while (!static_cast<std::atomic<bool>*>(context)->load()) std::this_thread::yield();
      },
      &open);
  KeInsertQueueDpc(&gate, nullptr, nullptr);
  for (auto& item : items) EXPECT_TRUE(KeInsertQueueDpc(&item.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&items[0].dpc, nullptr, nullptr)) << "already queued";
  EXPECT_TRUE(KeRemoveQueueDpc(&items[1].dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&items[1].dpc));
  open = true;
  KeFlushQueuedDpcs();
  EXPECT_EQ(order, (std::vector<int>{0, 2}));

  // Pageable code reached from a DPC is caught.
  RuleRecorder rules;
  KDPC paged;
  KeInitializeDpc(
      &paged, [](PKDPC, PVOID, PVOID, PVOID) { PAGED_CODE(); }, nullptr);
  KeInsertQueueDpc(&paged, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(rules.Take("PAGED_CODE"));
}

// The selective-suspend shape: a timer's DPC queues a work item; one Advance
// covers the whole chain, so the routine has run when it returns.
TEST_F(TimerTest, AdvanceWaitsForWorkQueuedByATimerDpc) {
  struct Chain {
    KTIMER timer;
    KDPC dpc;
    PIO_WORKITEM item;
    std::atomic<int> runs{0};
    std::atomic<bool> atPassive{false};
  } chain;
  chain.item = IoAllocateWorkItem(nullptr);
  ASSERT_NE(chain.item, nullptr);
  KeInitializeTimer(&chain.timer);
  KeInitializeDpc(
      &chain.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* c = static_cast<Chain*>(context);
        IoQueueWorkItem(
            c->item,
            [](PDEVICE_OBJECT, PVOID ctx) {
              auto* c = static_cast<Chain*>(ctx);
              c->atPassive = KeGetCurrentIrql() == PASSIVE_LEVEL;
              LARGE_INTEGER pause = RelativeMs(2);  // a routine that waits lets time move on
              KeDelayExecutionThread(KernelMode, FALSE, &pause);
              ++c->runs;
            },
            DelayedWorkQueue, c);
      },
      &chain);
  KeSetTimer(&chain.timer, RelativeMs(5), &chain.dpc);
  AdvanceMs(6);
  EXPECT_EQ(chain.runs, 0) << "the routine's own delay ends at 7 ms";
  AdvanceMs(1);
  EXPECT_EQ(chain.runs, 1);
  EXPECT_TRUE(chain.atPassive);

  // Queueing an item that is still queued (here behind a routine that
  // blocks the critical queue) breaks the rule.
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  PIO_WORKITEM blocker = IoAllocateWorkItem(nullptr);
  IoQueueWorkItem(
      blocker, [](PDEVICE_OBJECT, PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); },
      CriticalWorkQueue, &release);
  RuleRecorder rules;
  IoQueueWorkItem(
      chain.item, [](PDEVICE_OBJECT, PVOID) {}, CriticalWorkQueue, nullptr);
  IoQueueWorkItem(
      chain.item, [](PDEVICE_OBJECT, PVOID) {}, CriticalWorkQueue, nullptr);
  EXPECT_TRUE(rules.Take("already queued"));
  KeSetEvent(&release, 0, FALSE);
  platform::workitem::Drain();
  IoFreeWorkItem(blocker);
  IoFreeWorkItem(chain.item);
}

TEST_F(TimerTest, TimeServicesFollowTheClock) {
  LARGE_INTEGER frequency;
  LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
  EXPECT_EQ(frequency.QuadPart, 10000000);
  AdvanceMs(32);
  EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - start, 320000);
  EXPECT_EQ(KeQueryInterruptTime(), 320000u);
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 2) << "two whole 15.625 ms ticks";
}

// One request per caller: TRUE sets it (only ever finer), FALSE withdraws
// it, a FALSE without a request changes nothing.
TEST_F(TimerTest, TimerResolutionKeepsOneRequest) {
  struct Step {
    ULONG desired;
    BOOLEAN set;
    ULONG answer;
    bool requested;
  };
  const Step steps[] = {
      {0, FALSE, 156250, false}, {10000, TRUE, 10000, true}, {50000, TRUE, 10000, true}, {0, FALSE, 156250, false},
      {0, FALSE, 156250, false}, {2000, TRUE, 10000, true},  {0, FALSE, 156250, false},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(ExSetTimerResolution(s.desired, s.set), s.answer) << s.desired << (s.set ? " set" : " clear");
    EXPECT_EQ(platform::timer::ResolutionRequested(), s.requested);
  }
}

}  // namespace
