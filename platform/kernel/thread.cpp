#include "kernel/thread.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <system_error>
#include <thread>

#include "kernel/clock.h"
#include "kernel/pool.h"

namespace {

using platform::thread::kThreadTag;

struct HostedThread : KTHREAD {
  PKSTART_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  std::thread host;
  std::vector<KPRIORITY> priorities;  // guarded by the dispatcher lock
};

// Unwinds a system thread's stack from PsTerminateSystemThread back to the
// thread's base.
struct TerminateThread {};

thread_local HostedThread* t_current = nullptr;
// Threads the stand-in did not create (a test's own threads, the DPC and
// worker threads) still answer KeGetCurrentThread, so mutex ownership works
// for them; their object never signals.
thread_local KTHREAD t_foreign{{DispatcherThread, 1, 0}, SYSTEM_THREAD_DEFAULT_PRIORITY, 0, FALSE};

std::atomic<size_t> g_live{0};

HostedThread* AsSystemThread(PKTHREAD thread) {
  return thread && thread->SystemThread ? static_cast<HostedThread*>(thread) : nullptr;
}

// Runs at the last reference, which may be the ending thread's own: then the
// host thread is left to finish by itself, otherwise it is joined (it has
// ended or is about to).
void DeleteThread(void* object) {
  HostedThread* t = static_cast<HostedThread*>(static_cast<KTHREAD*>(object));
  if (t->host.get_id() == std::this_thread::get_id())
    t->host.detach();
  else if (t->host.joinable())
    t->host.join();
  t->~HostedThread();
  ExFreePoolWithTag(t, kThreadTag);
}

void EndThread(HostedThread* self) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "a system thread ended at raised IRQL");
  KERNEL_RULE(self->OwnedMutexes == 0, "a system thread ended while holding a kernel mutex");
  platform::SetCurrentIrql(PASSIVE_LEVEL);
  // One step under the dispatcher lock: a waiter on the thread object cannot
  // run before the thread has given up its activity and its own reference,
  // so a test that waits for the thread sees it fully gone.
  platform::clock::LockDispatcher();
  --g_live;
  self->Header.SignalState = 1;
  platform::clock::Signal();
  platform::clock::EndAdoptedActivity();
  t_current = nullptr;
  ObDereferenceObject(static_cast<KTHREAD*>(self));  // may delete the thread object
  platform::clock::UnlockDispatcher();
}

void ThreadMain(HostedThread* self) {
  t_current = self;
  platform::SetCurrentIrql(PASSIVE_LEVEL);
  platform::clock::AdoptActivity();
  try {
    self->routine(self->context);
  } catch (const TerminateThread&) {
  }
  EndThread(self);
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES objectAttributes, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "PsCreateSystemThread above PASSIVE_LEVEL");
  KERNEL_RULE(threadHandle != nullptr && startRoutine != nullptr, "PsCreateSystemThread without handle or routine");
  if (!threadHandle || !startRoutine) return STATUS_INVALID_PARAMETER;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(HostedThread), kThreadTag);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  auto* t = new (memory) HostedThread();
  t->Header = DISPATCHER_HEADER{DispatcherThread, 1, 0};
  t->Priority = SYSTEM_THREAD_DEFAULT_PRIORITY;
  t->OwnedMutexes = 0;
  t->SystemThread = TRUE;
  t->routine = startRoutine;
  t->context = startContext;

  // The running thread holds the first reference; the handle the second.
  platform::ob::Register(static_cast<KTHREAD*>(t), *PsThreadType, DeleteThread);
  bool kernelHandle = objectAttributes && (objectAttributes->Attributes & OBJ_KERNEL_HANDLE);
  HANDLE handle = platform::ob::CreateHandle(static_cast<KTHREAD*>(t), kernelHandle);

  // Counted busy from now, so that a clock Advance right after creation
  // waits for the thread's first run.
  ++g_live;
  platform::clock::BeginActivity();
  try {
    t->host = std::thread(ThreadMain, t);
  } catch (const std::system_error&) {
    --g_live;
    platform::clock::EndActivity();
    ZwClose(handle);
    ObDereferenceObject(static_cast<KTHREAD*>(t));
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (clientId) {
    clientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the system process
    clientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<KTHREAD*>(t));
  }
  *threadHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "PsTerminateSystemThread above PASSIVE_LEVEL");
  if (!t_current) {
    platform::BugCheck("PsTerminateSystemThread on a thread that is not a system thread", __FILE__, __LINE__);
    std::abort();
  }
  throw TerminateThread{};
}

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeSetPriorityThread above DISPATCH_LEVEL");
  KERNEL_RULE(priority > LOW_PRIORITY && priority <= HIGH_PRIORITY, "KeSetPriorityThread with a priority out of range");
  platform::clock::LockDispatcher();
  KPRIORITY old = thread->Priority;
  thread->Priority = priority;
  if (HostedThread* t = AsSystemThread(thread)) t->priorities.push_back(priority);
  platform::clock::UnlockDispatcher();
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) {
  platform::clock::LockDispatcher();
  KPRIORITY priority = thread->Priority;
  platform::clock::UnlockDispatcher();
  return priority;
}

PKTHREAD KeGetCurrentThread() { return t_current ? static_cast<KTHREAD*>(t_current) : &t_foreign; }

PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }

HANDLE PsGetCurrentThreadId() { return reinterpret_cast<HANDLE>(KeGetCurrentThread()); }

namespace platform::thread {

size_t LiveCount() { return g_live.load(); }

std::vector<KPRIORITY> PriorityHistory(PKTHREAD thread) {
  std::vector<KPRIORITY> history;
  platform::clock::LockDispatcher();
  if (HostedThread* t = AsSystemThread(thread)) history = t->priorities;
  platform::clock::UnlockDispatcher();
  return history;
}

}  // namespace platform::thread
