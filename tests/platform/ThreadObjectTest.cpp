// System threads, the handle table and reference counting.
#include <atomic>

#include "kernel/nt.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::clock::AdvanceMs;
using testsupport::JoinSystemThread;
using testsupport::RelativeMs;
using testsupport::RuleRecorder;
using testsupport::StartSystemThread;

class ThreadObjectTest : public testsupport::KernelTest {};

struct Worker {
  KEVENT stop;
  std::atomic<int> ticks{0};
  std::atomic<bool> afterTerminate{false};
};

// A thread that polls every 10 ms until told to stop, then ends itself with
// PsTerminateSystemThread.
void PollingThread(PVOID context) {
  auto* w = static_cast<Worker*>(context);
  for (;;) {
    LARGE_INTEGER period = RelativeMs(10);
    if (KeWaitForSingleObject(&w->stop, Executive, KernelMode, FALSE, &period) == STATUS_SUCCESS) break;
    ++w->ticks;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
  w->afterTerminate = true;
}

TEST_F(ThreadObjectTest, SystemThreadRunsOnTheClockAndSignalsItsObjectWhenItEnds) {
  Worker w;
  KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
  PKTHREAD thread = StartSystemThread(PollingThread, &w);
  EXPECT_EQ(KeQueryPriorityThread(thread), SYSTEM_THREAD_DEFAULT_PRIORITY);
  EXPECT_EQ(KeSetPriorityThread(thread, 31), SYSTEM_THREAD_DEFAULT_PRIORITY);
  EXPECT_EQ(KeSetPriorityThread(thread, 24), 31);
  EXPECT_EQ(platform::thread::PriorityHistory(thread), (std::vector<KPRIORITY>{31, 24}));

  AdvanceMs(35);
  EXPECT_EQ(w.ticks, 3);
  EXPECT_EQ(platform::thread::LiveCount(), 1u);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

  KeSetEvent(&w.stop, 0, FALSE);
  JoinSystemThread(thread);
  EXPECT_EQ(platform::thread::LiveCount(), 0u);
  EXPECT_FALSE(w.afterTerminate);
}

TEST_F(ThreadObjectTest, HandlesResolveByTypeAndCloseOnce) {
  Worker w;
  KeInitializeEvent(&w.stop, NotificationEvent, TRUE);  // ends at once
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, PollingThread, &w),
            STATUS_SUCCESS);

  PVOID object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, UserMode, &object, nullptr),
            STATUS_INVALID_HANDLE)
      << "a kernel handle is not valid for a user-mode request";
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  JoinSystemThread(static_cast<PKTHREAD>(thread));

  RuleRecorder rules;
  int notAnObject = 0;
  ObDereferenceObject(&notAnObject);
  EXPECT_TRUE(rules.Take("does not know"));
}

TEST_F(ThreadObjectTest, ThreadCreationFailsCleanlyWithoutMemory) {
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, PollingThread, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(platform::thread::LiveCount(), 0u);
}

TEST_F(ThreadObjectTest, SystemVersionIsConfigurable) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"RtlIsNtDdiVersionAvailable");
  struct Case {
    ULONG system;
    bool hasDdiQuery;
    ULONG major, minor, build;
  };
  const Case cases[] = {
      {NTDDI_WINXPSP3, false, 5, 1, 2600},
      {NTDDI_VISTA, true, 6, 0, 6000},
      {NTDDI_WIN7 | 0x0100, true, 6, 1, 7601},
  };
  for (const Case& c : cases) {
    platform::version::SetSystem(c.system);
    auto query = reinterpret_cast<decltype(&RtlIsNtDdiVersionAvailable)>(MmGetSystemRoutineAddress(&name));
    EXPECT_EQ(query != nullptr, c.hasDdiQuery) << std::hex << c.system;
    if (query) {
      EXPECT_TRUE(query(NTDDI_VISTA));
      EXPECT_FALSE(query(NTDDI_WIN8));
    }
    ULONG major = 0, minor = 0, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(minor, c.minor);
    EXPECT_EQ(build, c.build);
  }
}

}  // namespace
