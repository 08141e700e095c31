#include "driver/common/CKernelMutex.h"

CKernelMutex::CKernelMutex() { KeInitializeMutex(&m_Mutex, 0); }

BOOLEAN CKernelMutex::Lock() {
  PAGED_CODE();
  KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
  return TRUE;
}

BOOLEAN CKernelMutex::LockShared() { return FALSE; }

BOOLEAN CKernelMutex::Unlock() {
  PAGED_CODE();
  KeReleaseMutex(&m_Mutex, FALSE);
  return TRUE;
}

BOOLEAN CKernelMutex::UnlockShared() { return FALSE; }

BOOLEAN CKernelMutex::TryLock() {
  LARGE_INTEGER noWait;
  noWait.QuadPart = 0;
  return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS ? TRUE : FALSE;
}

BOOLEAN CKernelMutex::UnlockNonPaged() {
  KeReleaseMutex(&m_Mutex, FALSE);
  return TRUE;
}
