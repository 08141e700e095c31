// Scoped holders of the driver's locks: each takes its lock when built and
// gives it back on every path out of the scope.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "kernel/nt.h"

// A CKernelMutex (PASSIVE_LEVEL).
class CKernelMutexGuard {
 public:
  explicit CKernelMutexGuard(CKernelMutex& mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
  ~CKernelMutexGuard() { m_Mutex.Unlock(); }
  CKernelMutexGuard(const CKernelMutexGuard&) = delete;
  CKernelMutexGuard& operator=(const CKernelMutexGuard&) = delete;

 private:
  CKernelMutex& m_Mutex;
};

// A spin lock, raising to DISPATCH_LEVEL and back.
class CSpinLockGuard {
 public:
  explicit CSpinLockGuard(KSPIN_LOCK& lock) : m_Lock(lock) { KeAcquireSpinLock(&m_Lock, &m_OldIrql); }
  ~CSpinLockGuard() { KeReleaseSpinLock(&m_Lock, m_OldIrql); }
  CSpinLockGuard(const CSpinLockGuard&) = delete;
  CSpinLockGuard& operator=(const CSpinLockGuard&) = delete;

 private:
  KSPIN_LOCK& m_Lock;
  KIRQL m_OldIrql;
};

// A spin lock taken as an in-stack queued lock, with the at-DPC-level
// variant when the caller already runs at DISPATCH_LEVEL.
class CQueuedSpinLockGuard {
 public:
  explicit CQueuedSpinLockGuard(KSPIN_LOCK& lock) : m_AtDpcLevel(KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    if (m_AtDpcLevel)
      KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &m_Handle);
    else
      KeAcquireInStackQueuedSpinLock(&lock, &m_Handle);
  }
  ~CQueuedSpinLockGuard() {
    if (m_AtDpcLevel)
      KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
    else
      KeReleaseInStackQueuedSpinLock(&m_Handle);
  }
  CQueuedSpinLockGuard(const CQueuedSpinLockGuard&) = delete;
  CQueuedSpinLockGuard& operator=(const CQueuedSpinLockGuard&) = delete;

 private:
  const bool m_AtDpcLevel;
  KLOCK_QUEUE_HANDLE m_Handle;
};
