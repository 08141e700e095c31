// Waits, mutexes and spin locks of the kernel stand-in, on the manual clock.
#include <atomic>
#include <thread>

#include "kernel/nt.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::clock::AdvanceMs;
using platform::clock::Now;
using testsupport::JoinSystemThread;
using testsupport::RelativeMs;
using testsupport::RuleRecorder;
using testsupport::StartSystemThread;

class SyncTest : public testsupport::KernelTest {};

struct TimedWaits {
  KEVENT event;
  std::atomic<int> done{0};
  NTSTATUS status[2] = {};
  LONGLONG endedAt[2] = {};
};

// A 10 ms wait times out when the clock reaches 10 ms, not a tick before; a
// second wait is ended by an event set from another thread with no time
// passing at all.
TEST_F(SyncTest, TimedWaitEndsAtItsDeadlineOrWhenSignalled) {
  TimedWaits w;
  KeInitializeEvent(&w.event, SynchronizationEvent, FALSE);
  PKTHREAD thread = StartSystemThread(
      [](PVOID context) {
        auto* w = static_cast<TimedWaits*>(context);
        for (int i = 0; i < 2; ++i) {
          LARGE_INTEGER timeout = RelativeMs(10);
          w->status[i] = KeWaitForSingleObject(&w->event, Executive, KernelMode, FALSE, &timeout);
          w->endedAt[i] = Now();
          w->done = i + 1;
        }
      },
      &w);

  AdvanceMs(9);
  EXPECT_EQ(w.done, 0);
  AdvanceMs(1);
  ASSERT_EQ(w.done, 1);
  EXPECT_EQ(w.status[0], STATUS_TIMEOUT);
  EXPECT_EQ(w.endedAt[0], 10 * 10000);

  std::thread setter([&] { KeSetEvent(&w.event, 0, FALSE); });
  setter.join();
  AdvanceMs(0);  // lets the woken thread run; time stays
  ASSERT_EQ(w.done, 2);
  EXPECT_EQ(w.status[1], STATUS_WAIT_0);
  EXPECT_EQ(w.endedAt[1], 10 * 10000);
  EXPECT_EQ(KeReadStateEvent(&w.event), 0) << "the satisfied wait resets a synchronization event";
  JoinSystemThread(thread);
}

TEST_F(SyncTest, WaitAnyAnswersTheSignalledIndexAndConsumesOnlyAutoResetObjects) {
  KEVENT notification, synchronization;
  KMUTEX mutex;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
  KeInitializeMutex(&mutex, 0);
  PVOID objects[] = {&notification, &synchronization};
  LARGE_INTEGER poll{};

  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_TIMEOUT);
  KeSetEvent(&synchronization, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_WAIT_1);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_TIMEOUT);
  KeSetEvent(&notification, 0, FALSE);
  KeSetEvent(&synchronization, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_WAIT_0)
      << "the lowest signalled index wins";
  EXPECT_EQ(KeReadStateEvent(&notification), 1);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 1);

  // WaitAll takes everything at once or nothing.
  PVOID all[] = {&synchronization, &mutex, &notification};
  KeClearEvent(&notification);
  EXPECT_EQ(KeWaitForMultipleObjects(3, all, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1) << "a failed WaitAll took the mutex";
  KeSetEvent(&notification, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, all, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
}

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerAndRefusesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

  auto tryFromAnotherThread = [&] {
    NTSTATUS status = STATUS_PENDING;
    std::thread other([&] {
      LARGE_INTEGER poll{};
      status = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
      if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
    });
    other.join();
    return status;
  };
  EXPECT_EQ(tryFromAnotherThread(), STATUS_TIMEOUT);

  {
    RuleRecorder rules;
    std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
    EXPECT_TRUE(rules.Take("does not own the mutex"));
  }
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  EXPECT_EQ(tryFromAnotherThread(), STATUS_TIMEOUT) << "one release of two left the mutex free";
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
  EXPECT_EQ(tryFromAnotherThread(), STATUS_SUCCESS);

  RuleRecorder rules;
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_TRUE(rules.Take("does not own the mutex")) << "a release more than acquired";
}

TEST_F(SyncTest, SpinLocksRaiseIrqlAndCatchMisuse) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = HIGH_LEVEL;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&lock, &handle);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseInStackQueuedSpinLock(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  RuleRecorder rules;
  KeAcquireSpinLock(&lock, &old);
  KIRQL again;
  KeAcquireSpinLock(&lock, &again);  // would deadlock in the kernel
  EXPECT_TRUE(rules.Take("already holds it"));
  KeLowerIrql(DISPATCH_LEVEL);
  std::thread([&] {
    KIRQL irql = KeRaiseIrqlToDpcLevel();
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(irql);
  }).join();
  EXPECT_TRUE(rules.Take("does not hold it"));
  KeReleaseSpinLock(&lock, old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_TRUE(rules.Take("below DISPATCH_LEVEL"));
}

// Blocking waits need IRQL <= APC_LEVEL; a poll may run at DISPATCH_LEVEL.
// The objects are signalled (and the absolute delay lies in the past) so
// that each call returns once the broken rule has been recorded.
TEST_F(SyncTest, WaitsCheckTheIrql) {
  KEVENT set;
  KeInitializeEvent(&set, NotificationEvent, TRUE);
  LARGE_INTEGER poll{}, shortWait = RelativeMs(1), past;
  past.QuadPart = 1;
  struct Case {
    const char* name;
    std::function<NTSTATUS()> call;
    bool breaksRule;
  };
  const Case cases[] = {
      {"poll", [&] { return KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &poll); }, false},
      {"timed wait", [&] { return KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &shortWait); }, true},
      {"wait without timeout", [&] { return KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr); },
       true},
      {"delay", [&] { return KeDelayExecutionThread(KernelMode, FALSE, &past); }, true},
  };
  RuleRecorder rules;
  for (const Case& c : cases) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(c.call(), STATUS_SUCCESS) << c.name;
    KeLowerIrql(old);
    EXPECT_EQ(rules.Take("DISPATCH_LEVEL"), c.breaksRule) << c.name << " at DISPATCH_LEVEL";
  }
}

}  // namespace
