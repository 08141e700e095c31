// Dispatcher objects and locks: events, mutexes, spin locks, waits and
// interlocked operations. Objects live in caller memory as in the kernel and
// need no teardown; their state is guarded by the stand-in's dispatcher lock.
#pragma once

#include <atomic>

#include "kernel/irql.h"
#include "kernel/ntdef.h"

struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum KPROCESSOR_MODE_VALUES { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = CCHAR;
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
constexpr ULONG THREAD_WAIT_OBJECTS = 3;  // waits on more objects need a wait block array
constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;
struct KWAIT_BLOCK {
  PVOID Reserved[6];
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;

enum DISPATCHER_OBJECT_TYPE : UCHAR {
  DispatcherEventNotification = 0,
  DispatcherEventSynchronization = 1,
  DispatcherMutex = 2,
  DispatcherTimerNotification = 8,
  DispatcherTimerSynchronization = 9,
  DispatcherThread = 6,
};

// Initialized is 1 once a KeInitializeXxx routine has run, so that a wait on
// zeroed or stale memory is caught rather than obeyed.
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Initialized;
  LONG SignalState;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KMUTEX {
  DISPATCHER_HEADER Header;  // SignalState 1 when free, <= 0 when owned
  PKTHREAD OwnerThread;
  ULONG RecursionCount;
};
using PKMUTEX = KMUTEX*;
using PRKMUTEX = KMUTEX*;
using KMUTANT = KMUTEX;

// A spin lock raises to DISPATCH_LEVEL; acquiring one that this thread
// already holds is a deadlock in the kernel and a rule violation here.
struct KSPIN_LOCK {
  std::atomic<ULONG_PTR> Owner{0};  // owning thread id + 1, 0 when free
  KSPIN_LOCK() = default;
  KSPIN_LOCK(const KSPIN_LOCK&) = delete;
  KSPIN_LOCK& operator=(const KSPIN_LOCK&) = delete;
};
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KLOCK_QUEUE_HANDLE {
  PKSPIN_LOCK Lock;
  KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
void KeClearEvent(PRKEVENT event);
LONG KeResetEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
LONG KeReadStateMutex(PRKMUTEX mutex);

// Timeout: NULL waits forever; a negative value is relative (100 ns units),
// a positive one absolute clock time; zero polls. A non-zero timeout at
// DISPATCH_LEVEL is a rule violation.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout);
// WaitAny answers STATUS_WAIT_0 + index of the signalled object; WaitAll
// STATUS_SUCCESS. Up to 64 objects.
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON reason,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout, PVOID waitBlocks);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle);
void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle);

LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value);
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);
LONG InterlockedOr(LONG volatile* destination, LONG value);
LONG InterlockedAnd(LONG volatile* destination, LONG value);
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand);
LONG64 InterlockedIncrement64(LONG64 volatile* addend);
LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value);
// Single reads and writes of a value other threads change or read at the
// same time: atomic, but with no ordering beyond their own.
LONG ReadNoFence(LONG const volatile* source);
void WriteNoFence(LONG volatile* destination, LONG value);
UCHAR ReadUCharNoFence(UCHAR const volatile* source);
void WriteUCharNoFence(UCHAR volatile* destination, UCHAR value);

PKTHREAD KeGetCurrentThread();
