#include <thread>

#include "driver/common/CKernelMutex.h"
#include "tests/support/KernelTest.h"

namespace {

class CKernelMutexTest : public testsupport::KernelTest {};

BOOLEAN TryLockOnAnotherThread(CKernelMutex& mutex) {
  BOOLEAN acquired = FALSE;
  std::thread other([&] {
    acquired = mutex.TryLock();
    if (acquired) mutex.UnlockNonPaged();
  });
  other.join();
  return acquired;
}

TEST_F(CKernelMutexTest, IsRecursiveForItsHolderAndTriedByOthersWithoutWaiting) {
  CKernelMutex mutex;
  EXPECT_TRUE(mutex.Lock());
  EXPECT_TRUE(mutex.Lock());  // recursive for its holder
  EXPECT_TRUE(mutex.TryLock());
  EXPECT_FALSE(TryLockOnAnotherThread(mutex));  // returns at once, not acquired
  EXPECT_TRUE(mutex.UnlockNonPaged());
  EXPECT_TRUE(mutex.Unlock());
  EXPECT_FALSE(TryLockOnAnotherThread(mutex));  // still held once
  EXPECT_TRUE(mutex.Unlock());
  EXPECT_TRUE(TryLockOnAnotherThread(mutex));
}

TEST_F(CKernelMutexTest, SharedSlotsAnswerFalseAndLeaveTheMutexAlone) {
  CKernelMutex mutex;
  EXPECT_FALSE(mutex.LockShared());
  EXPECT_TRUE(TryLockOnAnotherThread(mutex));  // LockShared took nothing
  EXPECT_TRUE(mutex.Lock());
  EXPECT_FALSE(mutex.UnlockShared());
  EXPECT_FALSE(TryLockOnAnotherThread(mutex));  // UnlockShared released nothing
  EXPECT_TRUE(mutex.Unlock());
}

}  // namespace
