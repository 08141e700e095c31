// I/O work items: routines queued from any IRQL up to DISPATCH_LEVEL that run
// later at PASSIVE_LEVEL on a system worker thread, one thread per queue, in
// the order they were queued.
#pragma once

#include "kernel/ntdef.h"

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

using IO_WORKITEM_ROUTINE = void(PDEVICE_OBJECT deviceObject, PVOID context);
using PIO_WORKITEM_ROUTINE = IO_WORKITEM_ROUTINE*;

struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;

// From nonpaged pool (tag "IoWk"): a work item never freed shows in the pool
// leak check, and failure injection on the tag makes allocation fail.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject);
// Queueing an item that is still queued breaks a kernel rule; the routine
// may queue its own item again, or free it.
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context);
void IoFreeWorkItem(PIO_WORKITEM item);

namespace platform::workitem {
constexpr ULONG kWorkItemTag = MakeTag("IoWk");

// Waits (PASSIVE_LEVEL) until every queue is empty and no routine runs. A
// routine that waits for the manual clock keeps Drain waiting until another
// thread advances it.
void Drain();
// Items queued or running.
size_t Pending();
}  // namespace platform::workitem
