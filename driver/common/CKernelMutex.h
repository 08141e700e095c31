// A kernel mutex behind the driver's six-slot lock interface. It is always
// embedded in its owner and has no destructor of its own. The mutex is
// recursive for its holder and may be held across waits and calls into the
// USB stack.
#pragma once

#include "kernel/nt.h"

class CKernelMutex {
 public:
  CKernelMutex();

  // Pageable: PASSIVE_LEVEL callers.
  virtual BOOLEAN Lock();
  // The mutex has no shared mode: both shared slots answer FALSE and do
  // nothing.
  virtual BOOLEAN LockShared();
  virtual BOOLEAN Unlock();
  virtual BOOLEAN UnlockShared();
  // Resident: tries without waiting, so code at DISPATCH_LEVEL may use it,
  // and releases again with UnlockNonPaged.
  virtual BOOLEAN TryLock();
  virtual BOOLEAN UnlockNonPaged();

 protected:
  KMUTEX m_Mutex;
};

// Holds a kernel mutex for a scope (PASSIVE_LEVEL; recursive for its holder).
class CKernelMutexScope {
 public:
  explicit CKernelMutexScope(CKernelMutex& mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
  ~CKernelMutexScope() { m_Mutex.Unlock(); }
  CKernelMutexScope(const CKernelMutexScope&) = delete;
  CKernelMutexScope& operator=(const CKernelMutexScope&) = delete;

 private:
  CKernelMutex& m_Mutex;
};
