// The one clock behind every timed service: waits with time-outs, timers and
// their DPCs, delays, USB frames and the performance counter. In real-time
// mode it follows the host's monotonic clock; in manual mode time stands
// still until a test (or the main job's fast mode) advances it, so that
// timed behaviour is deterministic and tests stay fast.
#pragma once

#include <cstdint>
#include <functional>

#include "kernel/ntdef.h"

namespace platform::clock {

enum class Mode { RealTime, Manual };

// Switches mode. Switching to manual mode keeps the current time; nothing
// fires until Advance. Must be called while no timed service is pending.
void SetMode(Mode mode);
Mode GetMode();

// Time since boot in 100-ns units (the kernel's interrupt-time scale).
LONGLONG Now();

// Manual mode: moves time forward by `ticks` (100 ns each), stopping at each
// scheduled event in deadline order: at each stop the clock time equals the
// event's deadline, the event's callback runs, and then everything it caused
// to run (DPCs it queued, waiters it woke) is given the chance to run before
// time moves on. Returns once time has reached Now()+ticks and the system is
// quiet. Not allowed in real-time mode.
void Advance(LONGLONG ticks);
inline void AdvanceMs(LONGLONG ms) { Advance(ms * 10000); }

// Scheduled events: the callback runs on the clock's own thread (the timer
// "interrupt"), at DISPATCH_LEVEL, when the clock passes `deadline`.
// Cancelling returns true when the event had not yet started to run; once
// Cancel returns false the callback has finished. A caller that holds the
// dispatcher lock cannot wait for a running callback: for it Cancel returns
// false at once, and the callback must find out for itself that it is stale
// (timers keep a generation number for that).
using EventId = uint64_t;
EventId ScheduleAt(LONGLONG deadline, std::function<void()> callback);
bool Cancel(EventId id);

// Waits on the calling thread until `deadline` (absolute, clock time) has
// passed or `wake` returns true. `wake` is evaluated under the stand-in's
// dispatcher lock whenever some dispatcher object was signalled, and when
// time moves. Returns true when woken by `wake`, false on the deadline.
// A negative deadline waits without limit.
// Registers the waiter so that Advance knows the system is not quiet until
// the waiter has had its chance to run.
bool WaitUntil(LONGLONG deadline, const std::function<bool()>& wake);

// The dispatcher lock guards every dispatcher object's state (events,
// mutexes, timers, threads). Signal() wakes all waiters to re-check.
void LockDispatcher();
void UnlockDispatcher();
void Signal();

// Counts activity the clock must wait for before manual time moves on: the
// DPC thread, the work queues and the USB bus mark themselves busy while they
// have queued work. System threads (PsCreateSystemThread) count as busy
// except while they wait in WaitUntil, so "quiet" means every kernel thread
// is blocked and every queue is empty.
void BeginActivity();
void EndActivity();

// The calling thread takes over one unit of activity that was begun for it
// (a system thread's start, a dequeued DPC or work item). While the thread
// waits in WaitUntil its adopted units count as quiet; they count again from
// the moment a signal or the deadline ends the wait, so Advance cannot slip
// past a thread that has been woken but not yet run. EndAdoptedActivity ends
// one such unit.
void AdoptActivity();
void EndAdoptedActivity();
// Whether this thread holds adopted activity: a thread the clock waits for,
// which must never move it.
bool CurrentThreadIsWaitedFor();

// Kernel times. A negative due time is relative (100 ns units from now), a
// positive one an absolute system time (100 ns units since 1601, as
// KeQuerySystemTime answers), zero is now. The system time at boot is fixed
// so that runs are repeatable.
constexpr LONGLONG kSystemTimeAtBoot = 134116992000000000LL;  // 2026-01-01 00:00 UTC
LONGLONG DeadlineFromDueTime(LONGLONG dueTime);

// Resets the clock for the next test: manual mode at time zero. Fails (kernel
// rule) when events are still scheduled.
void ResetForTest();

// For the tests' leak check: events still scheduled, and dropping them (their
// callbacks usually point into a finished test's memory) so the next test
// starts clean. Returns how many were dropped.
size_t ScheduledCount();
size_t DiscardScheduledForTest();

}  // namespace platform::clock
