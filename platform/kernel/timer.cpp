#include "kernel/timer.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using platform::clock::LockDispatcher;
using platform::clock::UnlockDispatcher;

// The DPC queue; guarded by the dispatcher lock.
struct DpcQueue {
  std::deque<PKDPC> queue;
  ULONGLONG lastTicket = 0;
  ULONGLONG runningTicket = 0;  // the DPC running now, 0 when none
  bool threadStarted = false;
};

DpcQueue& Q() {
  static DpcQueue* q = new DpcQueue;
  return *q;
}

void DpcThreadMain() {
  DpcQueue& q = Q();
  const std::function<bool()> queued = [&q] { return !q.queue.empty(); };
  for (;;) {
    platform::clock::WaitUntil(-1, queued);
    LockDispatcher();
    if (q.queue.empty()) {
      UnlockDispatcher();
      continue;
    }
    PKDPC dpc = q.queue.front();
    q.queue.pop_front();
    dpc->Inserted = FALSE;
    q.runningTicket = dpc->Ticket;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
    UnlockDispatcher();

    platform::SetCurrentIrql(DISPATCH_LEVEL);
    routine(dpc, context, arg1, arg2);
    KERNEL_RULE(KeGetCurrentIrql() == DISPATCH_LEVEL, "a DPC routine returned at a different IRQL");
    platform::SetCurrentIrql(PASSIVE_LEVEL);

    LockDispatcher();
    q.runningTicket = 0;
    platform::clock::Signal();  // KeFlushQueuedDpcs waiters
    platform::clock::EndActivity();
    UnlockDispatcher();
  }
}

void Expire(PKTIMER timer, ULONG generation);

void ScheduleExpiry(PKTIMER timer, LONGLONG deadline) {
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(deadline);
  ULONG generation = timer->Generation;
  timer->ClockEvent = platform::clock::ScheduleAt(deadline, [timer, generation] { Expire(timer, generation); });
}

// Runs on the clock thread at DISPATCH_LEVEL. Signalling, re-arming and
// queueing the DPC happen in one step under the dispatcher lock, so that a
// KeCancelTimer either comes before all of it or finds the DPC queued.
void Expire(PKTIMER timer, ULONG generation) {
  LockDispatcher();
  if (timer->Generation != generation || timer->ClockEvent == 0) {
    UnlockDispatcher();
    return;
  }
  timer->Header.SignalState = 1;
  platform::clock::Signal();
  if (timer->Period > 0) {
    const LONGLONG period = static_cast<LONGLONG>(timer->Period) * 10000;
    LONGLONG next = static_cast<LONGLONG>(timer->DueTime.QuadPart) + period;
    const LONGLONG now = platform::clock::Now();
    while (next <= now) next += period;  // periods missed in real time are skipped, not bunched
    ScheduleExpiry(timer, next);
  } else {
    timer->ClockEvent = 0;
  }
  if (timer->Dpc) {
    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.LowPart)),
                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime.u.HighPart))));
  }
  UnlockDispatcher();
}

struct Resolution {
  std::mutex lock;
  bool requested = false;
  ULONG current = platform::timer::kDefaultResolution;
};

Resolution& R() {
  static Resolution* r = new Resolution;
  return *r;
}

}  // namespace

// ---- DPCs ----------------------------------------------------------------------
void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferredContext) {
  dpc->Type = 0x13;  // DpcObject
  dpc->Importance = 1;
  dpc->Number = 0;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = deferredContext;
  dpc->SystemArgument1 = nullptr;
  dpc->SystemArgument2 = nullptr;
  dpc->Inserted = FALSE;
  dpc->Ticket = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  KERNEL_RULE(dpc->DeferredRoutine != nullptr, "KeInsertQueueDpc of a DPC without a routine");
  DpcQueue& q = Q();
  LockDispatcher();
  if (dpc->Inserted) {
    UnlockDispatcher();
    return FALSE;
  }
  if (!q.threadStarted) {
    q.threadStarted = true;
    std::thread(DpcThreadMain).detach();
  }
  dpc->SystemArgument1 = systemArgument1;
  dpc->SystemArgument2 = systemArgument2;
  dpc->Inserted = TRUE;
  dpc->Ticket = ++q.lastTicket;
  q.queue.push_back(dpc);
  platform::clock::BeginActivity();
  platform::clock::Signal();
  UnlockDispatcher();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  DpcQueue& q = Q();
  LockDispatcher();
  BOOLEAN removed = FALSE;
  if (dpc->Inserted) {
    q.queue.erase(std::find(q.queue.begin(), q.queue.end(), dpc));
    dpc->Inserted = FALSE;
    removed = TRUE;
    platform::clock::EndActivity();
    platform::clock::Signal();
  }
  UnlockDispatcher();
  return removed;
}

void KeFlushQueuedDpcs() {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "KeFlushQueuedDpcs above PASSIVE_LEVEL");
  DpcQueue& q = Q();
  LockDispatcher();
  const ULONGLONG last = q.lastTicket;
  UnlockDispatcher();
  // FIFO on one thread: everything up to `last` has run once the queue's head
  // and the running DPC are both later (or absent).
  platform::clock::WaitUntil(-1, [&q, last] {
    return (q.queue.empty() || q.queue.front()->Ticket > last) && (q.runningTicket == 0 || q.runningTicket > last);
  });
}

// ---- Timers ----------------------------------------------------------------------
void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  timer->Header.Type = type == SynchronizationTimer ? DispatcherTimerSynchronization : DispatcherTimerNotification;
  timer->Header.Initialized = 1;
  timer->Header.SignalState = 0;
  timer->DueTime.QuadPart = 0;
  timer->Period = 0;
  timer->Dpc = nullptr;
  timer->ClockEvent = 0;
  timer->Generation = 0;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeSetTimerEx above DISPATCH_LEVEL");
  const bool isTimer = timer->Header.Initialized == 1 && (timer->Header.Type == DispatcherTimerNotification ||
                                                          timer->Header.Type == DispatcherTimerSynchronization);
  KERNEL_RULE(isTimer, "KeSetTimerEx on an object that is not an initialized timer");
  if (!isTimer) return FALSE;
  KERNEL_RULE(periodMs >= 0, "KeSetTimerEx with a negative period");
  LockDispatcher();
  const BOOLEAN wasSet = timer->ClockEvent != 0;
  if (wasSet) platform::clock::Cancel(timer->ClockEvent);
  ++timer->Generation;
  timer->Header.SignalState = 0;
  timer->Period = std::max<LONG>(periodMs, 0);
  timer->Dpc = dpc;
  ScheduleExpiry(timer, platform::clock::DeadlineFromDueTime(dueTime.QuadPart));
  UnlockDispatcher();
  return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeCancelTimer above DISPATCH_LEVEL");
  LockDispatcher();
  const platform::clock::EventId pending = timer->ClockEvent;
  timer->ClockEvent = 0;
  ++timer->Generation;
  UnlockDispatcher();
  // An expiry already under way on the clock thread finds itself stale; it
  // is waited for here (outside the lock it needs) because the caller may
  // free the timer as soon as this returns.
  if (pending) platform::clock::Cancel(pending);
  return pending != 0;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  LockDispatcher();
  BOOLEAN state = timer->Header.SignalState > 0;
  UnlockDispatcher();
  return state;
}

// ---- Time ------------------------------------------------------------------------
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency) {
  if (performanceFrequency) performanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = platform::clock::Now();
  return now;
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(platform::clock::Now()); }

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  currentTime->QuadPart = platform::clock::kSystemTimeAtBoot + platform::clock::Now();
}

void KeQueryTickCount(PLARGE_INTEGER tickCount) {
  tickCount->QuadPart = platform::clock::Now() / platform::timer::kDefaultResolution;
}

ULONG KeQueryTimeIncrement() { return platform::timer::kDefaultResolution; }

ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution) {
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "ExSetTimerResolution at DISPATCH_LEVEL");
  Resolution& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  if (setResolution) {
    // Only ever finer: a coarser request leaves the setting as it is; one
    // finer than the hardware gets the finest it has.
    ULONG wanted = std::max(desiredTime, platform::timer::kMinimumResolution);
    r.requested = true;
    r.current = std::min(r.current, wanted);
  } else if (r.requested) {
    r.requested = false;
    r.current = platform::timer::kDefaultResolution;
  }
  return r.current;
}

namespace platform::timer {

bool ResolutionRequested() {
  Resolution& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.requested;
}

ULONG CurrentResolution() {
  Resolution& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.current;
}

void ClearResolutionForTest() {
  Resolution& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  r.requested = false;
  r.current = kDefaultResolution;
}

size_t QueuedDpcCount() {
  LockDispatcher();
  size_t n = Q().queue.size() + (Q().runningTicket ? 1 : 0);
  UnlockDispatcher();
  return n;
}

}  // namespace platform::timer
