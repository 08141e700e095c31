#include "tests/support/SystemThreads.h"

#include <gtest/gtest.h>

namespace testsupport {
namespace {

struct ThreadWork {
  std::function<void()> work;
};

void ThreadMain(PVOID context) {
  auto* work = static_cast<ThreadWork*>(context);
  work->work();
  delete work;
}

}  // namespace

PKTHREAD RunOnSystemThread(std::function<void()> work) {
  auto* context = new ThreadWork{std::move(work)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadMain, context);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (!NT_SUCCESS(status)) {
    delete context;
    return nullptr;
  }
  PVOID thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return static_cast<PKTHREAD>(thread);
}

void Join(PKTHREAD thread) {
  if (!thread) return;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

}  // namespace testsupport
