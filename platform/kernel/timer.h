// Timers, DPCs and the kernel's time queries, all on the one clock. Timer
// expiries run on the clock's thread; DPCs run in FIFO order on one DPC
// thread at DISPATCH_LEVEL.
#pragma once

#include "kernel/clock.h"
#include "kernel/sync.h"

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;

using KDEFERRED_ROUTINE = void(PKDPC dpc, PVOID deferredContext, PVOID systemArgument1, PVOID systemArgument2);
using PKDEFERRED_ROUTINE = KDEFERRED_ROUTINE*;

struct KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  BOOLEAN Inserted;  // in the DPC queue
  ULONGLONG Ticket;  // queue order, for KeFlushQueuedDpcs
};

enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };

struct KTIMER {
  DISPATCHER_HEADER Header;  // SignalState 1 once expired, until set again
  ULARGE_INTEGER DueTime;    // clock time of the next expiry
  LONG Period;               // milliseconds; 0 for a one-shot timer
  PKDPC Dpc;
  ULONGLONG ClockEvent;  // the pending expiry, 0 when the timer is not set
  ULONG Generation;      // tells a stale expiry from the current one
};
using PKTIMER = KTIMER*;

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// Returns once every DPC queued before the call has run (PASSIVE_LEVEL).
void KeFlushQueuedDpcs();

void KeInitializeTimer(PKTIMER timer);
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
// Due time: negative relative (100 ns units), positive absolute system time.
// Returns TRUE when the timer was already set (the earlier setting is
// replaced).
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
// TRUE when the timer was set. A DPC the timer already queued stays queued.
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer);

// The clock in the kernel's units: the performance counter runs at 10 MHz,
// interrupt time counts 100 ns since boot, system time 100 ns since 1601.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
ULONGLONG KeQueryInterruptTime();
void KeQuerySystemTime(PLARGE_INTEGER currentTime);
void KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG KeQueryTimeIncrement();

// One outstanding request per caller (the stand-in has one caller, the
// driver): TRUE sets the request, FALSE withdraws it, FALSE without a request
// changes nothing. Returns the resolution in effect, in 100 ns units.
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);

namespace platform::timer {
constexpr ULONG kDefaultResolution = 156250;  // 15.625 ms
constexpr ULONG kMinimumResolution = 10000;   // 1 ms

bool ResolutionRequested();
ULONG CurrentResolution();
// For the leak check: withdraws a request left at the end of a test.
void ClearResolutionForTest();
// DPCs queued and not yet run.
size_t QueuedDpcCount();
}  // namespace platform::timer
