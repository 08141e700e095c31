#include "kernel/sync.h"

#include <functional>
#include <thread>

#include "kernel/clock.h"
#include "kernel/thread.h"

namespace {

using platform::clock::LockDispatcher;
using platform::clock::UnlockDispatcher;

constexpr UCHAR kInitialized = 1;

bool IsDispatcherObject(const DISPATCHER_HEADER* h) {
  if (!h || h->Initialized != kInitialized) return false;
  switch (h->Type) {
    case DispatcherEventNotification:
    case DispatcherEventSynchronization:
    case DispatcherMutex:
    case DispatcherTimerNotification:
    case DispatcherTimerSynchronization:
    case DispatcherThread:
      return true;
    default:
      return false;
  }
}

bool IsEvent(const DISPATCHER_HEADER* h) {
  return h && h->Initialized == kInitialized &&
         (h->Type == DispatcherEventNotification || h->Type == DispatcherEventSynchronization);
}

// Both run under the dispatcher lock, on whichever thread evaluates the wait.
bool IsSignalledFor(const DISPATCHER_HEADER* h, PKTHREAD thread) {
  if (h->Type == DispatcherMutex) {
    auto* m = reinterpret_cast<const KMUTEX*>(h);
    return h->SignalState > 0 || m->OwnerThread == thread;
  }
  return h->SignalState > 0;
}

// A satisfied wait takes what it waited for: an auto-reset object resets,
// a mutex becomes (or stays) the waiter's.
void Satisfy(DISPATCHER_HEADER* h, PKTHREAD thread) {
  switch (h->Type) {
    case DispatcherEventSynchronization:
    case DispatcherTimerSynchronization:
      h->SignalState = 0;
      break;
    case DispatcherMutex: {
      auto* m = reinterpret_cast<KMUTEX*>(h);
      if (m->OwnerThread != thread) {
        m->OwnerThread = thread;
        m->RecursionCount = 0;
        ++thread->OwnedMutexes;
      }
      ++m->RecursionCount;
      h->SignalState = 1 - static_cast<LONG>(m->RecursionCount);
      break;
    }
    default:
      break;
  }
}

LONGLONG DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
  return timeout ? platform::clock::DeadlineFromDueTime(timeout->QuadPart) : -1;
}

// Waits that may block need IRQL <= APC_LEVEL; a poll (zero timeout) may run
// at DISPATCH_LEVEL.
void CheckWaitIrql(const LARGE_INTEGER* timeout) {
  KIRQL irql = KeGetCurrentIrql();
  KERNEL_RULE(irql <= DISPATCH_LEVEL, "a wait above DISPATCH_LEVEL");
  bool poll = timeout && timeout->QuadPart == 0;
  KERNEL_RULE(poll || irql <= APC_LEVEL, "a wait with a non-zero timeout at DISPATCH_LEVEL");
}

ULONG_PTR CurrentSpinOwner() {
  // Any address unique to the running thread will do.
  static thread_local char marker;
  return reinterpret_cast<ULONG_PTR>(&marker);
}

void AcquireSpin(PKSPIN_LOCK lock) {
  const ULONG_PTR me = CurrentSpinOwner();
  if (lock->Owner.load(std::memory_order_relaxed) == me) {
    platform::BugCheck("a spin lock acquired by the thread that already holds it", __FILE__, __LINE__);
    return;
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (lock->Owner.compare_exchange_weak(expected, me, std::memory_order_acquire)) return;
    std::this_thread::yield();
  }
}

void ReleaseSpin(PKSPIN_LOCK lock) {
  const ULONG_PTR me = CurrentSpinOwner();
  if (lock->Owner.load(std::memory_order_relaxed) != me) {
    platform::BugCheck("a spin lock released by a thread that does not hold it", __FILE__, __LINE__);
    return;
  }
  lock->Owner.store(0, std::memory_order_release);
}

void CheckAtDpcLevel() {
  KERNEL_RULE(KeGetCurrentIrql() >= DISPATCH_LEVEL, "an AtDpcLevel spin lock routine below DISPATCH_LEVEL");
}

}  // namespace

// ---- Events ------------------------------------------------------------------
void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Header.Type = type == SynchronizationEvent ? DispatcherEventSynchronization : DispatcherEventNotification;
  event->Header.Initialized = kInitialized;
  event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeSetEvent above DISPATCH_LEVEL");
  KERNEL_RULE(IsEvent(&event->Header), "KeSetEvent on an object that is not an initialized event");
  LockDispatcher();
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  platform::clock::Signal();
  UnlockDispatcher();
  return previous;
}

LONG KeResetEvent(PRKEVENT event) {
  KERNEL_RULE(IsEvent(&event->Header), "KeResetEvent on an object that is not an initialized event");
  LockDispatcher();
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  UnlockDispatcher();
  return previous;
}

void KeClearEvent(PRKEVENT event) { KeResetEvent(event); }

LONG KeReadStateEvent(PRKEVENT event) {
  LockDispatcher();
  LONG state = event->Header.SignalState;
  UnlockDispatcher();
  return state;
}

// ---- Mutexes -----------------------------------------------------------------
void KeInitializeMutex(PRKMUTEX mutex, ULONG) {
  mutex->Header.Type = DispatcherMutex;
  mutex->Header.Initialized = kInitialized;
  mutex->Header.SignalState = 1;
  mutex->OwnerThread = nullptr;
  mutex->RecursionCount = 0;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeReleaseMutex above DISPATCH_LEVEL");
  KERNEL_RULE(mutex->Header.Initialized == kInitialized && mutex->Header.Type == DispatcherMutex,
              "KeReleaseMutex on an object that is not an initialized mutex");
  PKTHREAD self = KeGetCurrentThread();
  LockDispatcher();
  LONG previous = mutex->Header.SignalState;
  if (mutex->OwnerThread != self || mutex->RecursionCount == 0) {
    UnlockDispatcher();
    platform::BugCheck("KeReleaseMutex by a thread that does not own the mutex", __FILE__, __LINE__);
    return previous;
  }
  if (--mutex->RecursionCount == 0) {
    mutex->OwnerThread = nullptr;
    --self->OwnedMutexes;
    mutex->Header.SignalState = 1;
    platform::clock::Signal();
  } else {
    mutex->Header.SignalState = 1 - static_cast<LONG>(mutex->RecursionCount);
  }
  UnlockDispatcher();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  LockDispatcher();
  LONG state = mutex->Header.SignalState;
  UnlockDispatcher();
  return state;
}

// ---- Waits ---------------------------------------------------------------------
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER timeout, PVOID waitBlocks) {
  CheckWaitIrql(timeout);
  KERNEL_RULE(count >= 1 && count <= MAXIMUM_WAIT_OBJECTS, "KeWaitForMultipleObjects with a bad object count");
  KERNEL_RULE(count <= THREAD_WAIT_OBJECTS || waitBlocks != nullptr,
              "KeWaitForMultipleObjects on more than THREAD_WAIT_OBJECTS objects without a wait block array");
  if (count < 1 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) {
    KERNEL_RULE(IsDispatcherObject(static_cast<DISPATCHER_HEADER*>(objects[i])),
                "a wait on an object that is not an initialized dispatcher object");
    if (!IsDispatcherObject(static_cast<DISPATCHER_HEADER*>(objects[i]))) return STATUS_INVALID_PARAMETER;
  }

  PKTHREAD self = KeGetCurrentThread();
  NTSTATUS result = STATUS_TIMEOUT;
  std::function<bool()> wake = [&]() -> bool {
    if (waitType == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (IsSignalledFor(h, self)) {
          Satisfy(h, self);
          result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
          return true;
        }
      }
      return false;
    }
    for (ULONG i = 0; i < count; ++i)
      if (!IsSignalledFor(static_cast<DISPATCHER_HEADER*>(objects[i]), self)) return false;
    for (ULONG i = 0; i < count; ++i) Satisfy(static_cast<DISPATCHER_HEADER*>(objects[i]), self);
    result = STATUS_SUCCESS;
    return true;
  };
  return platform::clock::WaitUntil(DeadlineFromTimeout(timeout), wake) ? result : STATUS_TIMEOUT;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
  PVOID objects[1] = {object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, reason, mode, alertable, timeout, nullptr);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "KeDelayExecutionThread at DISPATCH_LEVEL");
  KERNEL_RULE(interval != nullptr, "KeDelayExecutionThread without an interval");
  if (!interval) return STATUS_INVALID_PARAMETER;
  platform::clock::WaitUntil(DeadlineFromTimeout(interval), std::function<bool()>());
  return STATUS_SUCCESS;
}

// ---- Spin locks ------------------------------------------------------------------
void KeInitializeSpinLock(PKSPIN_LOCK lock) { lock->Owner.store(0, std::memory_order_relaxed); }

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeAcquireSpinLock above DISPATCH_LEVEL");
  KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
  AcquireSpin(lock);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  ReleaseSpin(lock);
  KeLowerIrql(newIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  CheckAtDpcLevel();
  AcquireSpin(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  CheckAtDpcLevel();
  ReleaseSpin(lock);
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeAcquireInStackQueuedSpinLock above DISPATCH_LEVEL");
  handle->Lock = lock;
  KeRaiseIrql(DISPATCH_LEVEL, &handle->OldIrql);
  AcquireSpin(lock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle) {
  ReleaseSpin(handle->Lock);
  KeLowerIrql(handle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle) {
  CheckAtDpcLevel();
  handle->Lock = lock;
  handle->OldIrql = DISPATCH_LEVEL;
  AcquireSpin(lock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle) {
  CheckAtDpcLevel();
  ReleaseSpin(handle->Lock);
}

// ---- Interlocked operations ---------------------------------------------------------
LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
LONG InterlockedOr(LONG volatile* destination, LONG value) {
  return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedAnd(LONG volatile* destination, LONG value) {
  return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
LONG64 InterlockedIncrement64(LONG64 volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG ReadNoFence(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
void WriteNoFence(LONG volatile* destination, LONG value) { __atomic_store_n(destination, value, __ATOMIC_RELAXED); }
UCHAR ReadUCharNoFence(UCHAR const volatile* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
void WriteUCharNoFence(UCHAR volatile* destination, UCHAR value) {
  __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
