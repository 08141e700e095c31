// System threads. Each runs on its own host thread, starts at PASSIVE_LEVEL,
// and is a dispatcher object that becomes signalled when it ends. The thread
// object lives until it has ended and its handle and every reference are
// gone.
#pragma once

#include <vector>

#include "kernel/object.h"
#include "kernel/sync.h"

constexpr ACCESS_MASK THREAD_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
constexpr KPRIORITY LOW_PRIORITY = 0;
constexpr KPRIORITY LOW_REALTIME_PRIORITY = 16;
constexpr KPRIORITY HIGH_PRIORITY = 31;
constexpr KPRIORITY MAXIMUM_PRIORITY = 32;
// The priority a system thread starts with.
constexpr KPRIORITY SYSTEM_THREAD_DEFAULT_PRIORITY = 8;

struct KTHREAD {
  DISPATCHER_HEADER Header;  // SignalState 1 once the thread has ended
  KPRIORITY Priority;
  LONG OwnedMutexes;     // kernel mutexes held; a thread may not end holding one
  BOOLEAN SystemThread;  // created by PsCreateSystemThread
};

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

using KSTART_ROUTINE = void(PVOID startContext);
using PKSTART_ROUTINE = KSTART_ROUTINE*;

// Thread objects come from nonpaged pool (tag "Thre"), so pool failure
// injection on that tag makes creation fail with
// STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
// Ends the calling system thread; only a system thread may call it.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD thread);
PETHREAD PsGetCurrentThread();
HANDLE PsGetCurrentThreadId();

namespace platform::thread {
constexpr ULONG kThreadTag = MakeTag("Thre");

// System threads whose start routine has not yet returned.
size_t LiveCount();
// Every priority set on a thread, in order (the thread object must still be
// referenced).
std::vector<KPRIORITY> PriorityHistory(PKTHREAD thread);
}  // namespace platform::thread
