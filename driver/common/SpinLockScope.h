// Spin locks held for a scope, given back on every path out of it.
#pragma once

#include "kernel/nt.h"

// Raises to DISPATCH_LEVEL on entry and back to the caller's level on exit.
class CSpinLockScope {
 public:
  explicit CSpinLockScope(KSPIN_LOCK& lock) : m_Lock(lock) { KeAcquireSpinLock(&m_Lock, &m_OldIrql); }
  ~CSpinLockScope() { KeReleaseSpinLock(&m_Lock, m_OldIrql); }
  CSpinLockScope(const CSpinLockScope&) = delete;
  CSpinLockScope& operator=(const CSpinLockScope&) = delete;

 private:
  KSPIN_LOCK& m_Lock;
  KIRQL m_OldIrql = 0;
};

// Taken as an in-stack queued lock, with the at-DPC-level variant when the
// caller already runs at DISPATCH_LEVEL.
class CQueuedSpinLockScope {
 public:
  explicit CQueuedSpinLockScope(KSPIN_LOCK& lock) : m_AtDpcLevel(KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    if (m_AtDpcLevel)
      KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &m_Handle);
    else
      KeAcquireInStackQueuedSpinLock(&lock, &m_Handle);
  }
  ~CQueuedSpinLockScope() {
    if (m_AtDpcLevel)
      KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
    else
      KeReleaseInStackQueuedSpinLock(&m_Handle);
  }
  CQueuedSpinLockScope(const CQueuedSpinLockScope&) = delete;
  CQueuedSpinLockScope& operator=(const CQueuedSpinLockScope&) = delete;

 private:
  const bool m_AtDpcLevel;
  KLOCK_QUEUE_HANDLE m_Handle;
};
