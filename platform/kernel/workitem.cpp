#include "kernel/workitem.h"

#include <deque>
#include <functional>
#include <new>
#include <thread>

#include "kernel/clock.h"
#include "kernel/irql.h"
#include "kernel/pool.h"

struct IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  bool Queued;
};

namespace {

using platform::clock::LockDispatcher;
using platform::clock::UnlockDispatcher;

constexpr int kQueueCount = 3;

// The work queues; guarded by the dispatcher lock.
struct WorkQueues {
  std::deque<PIO_WORKITEM> queue[kQueueCount];
  bool threadStarted[kQueueCount] = {};
  size_t pending = 0;  // queued plus running
};

WorkQueues& W() {
  static WorkQueues* w = new WorkQueues;
  return *w;
}

void WorkerMain(int index) {
  WorkQueues& w = W();
  const std::function<bool()> queued = [&w, index] { return !w.queue[index].empty(); };
  for (;;) {
    platform::clock::WaitUntil(-1, queued);
    LockDispatcher();
    if (w.queue[index].empty()) {
      UnlockDispatcher();
      continue;
    }
    PIO_WORKITEM item = w.queue[index].front();
    w.queue[index].pop_front();
    item->Queued = false;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PDEVICE_OBJECT device = item->DeviceObject;
    PVOID context = item->Context;
    UnlockDispatcher();

    // The queued item's activity becomes this thread's, so that a routine
    // that waits lets the clock move on. The routine may free its item:
    // nothing below touches it.
    platform::clock::AdoptActivity();
    routine(device, context);
    KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "a work item routine returned at raised IRQL");
    platform::SetCurrentIrql(PASSIVE_LEVEL);

    LockDispatcher();
    --w.pending;
    platform::clock::EndAdoptedActivity();
    platform::clock::Signal();
    UnlockDispatcher();
  }
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoAllocateWorkItem above DISPATCH_LEVEL");
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), platform::workitem::kWorkItemTag);
  if (!memory) return nullptr;
  return new (memory) IO_WORKITEM{deviceObject, nullptr, nullptr, false};
}

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoQueueWorkItem above DISPATCH_LEVEL");
  KERNEL_RULE(routine != nullptr, "IoQueueWorkItem without a routine");
  int index = static_cast<int>(queueType);
  KERNEL_RULE(index >= 0 && index < kQueueCount, "IoQueueWorkItem on an unknown queue");
  if (index < 0 || index >= kQueueCount || !routine) return;
  WorkQueues& w = W();
  LockDispatcher();
  if (item->Queued) {
    UnlockDispatcher();
    platform::BugCheck("IoQueueWorkItem of a work item that is already queued", __FILE__, __LINE__);
    return;
  }
  if (!w.threadStarted[index]) {
    w.threadStarted[index] = true;
    std::thread(WorkerMain, index).detach();
  }
  item->Routine = routine;
  item->Context = context;
  item->Queued = true;
  w.queue[index].push_back(item);
  ++w.pending;
  platform::clock::BeginActivity();
  platform::clock::Signal();
  UnlockDispatcher();
}

void IoFreeWorkItem(PIO_WORKITEM item) {
  LockDispatcher();
  bool queued = item->Queued;
  UnlockDispatcher();
  KERNEL_RULE(!queued, "IoFreeWorkItem of a work item that is still queued");
  if (queued) return;
  item->~IO_WORKITEM();
  ExFreePoolWithTag(item, platform::workitem::kWorkItemTag);
}

namespace platform::workitem {

void Drain() {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "work item Drain above PASSIVE_LEVEL");
  WorkQueues& w = W();
  platform::clock::WaitUntil(-1, [&w] { return w.pending == 0; });
}

size_t Pending() {
  LockDispatcher();
  size_t n = W().pending;
  UnlockDispatcher();
  return n;
}

}  // namespace platform::workitem
