// A spin lock held for a scope: raised to DISPATCH_LEVEL on entry, back to
// the caller's level on every exit.
#pragma once

#include "kernel/nt.h"

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
