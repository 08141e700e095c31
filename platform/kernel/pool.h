// Pool memory. Every allocation is counted by tag so that a test can prove
// that teardown returned everything, and allocations can be made to fail on
// purpose to reach the failure paths.
#pragma once

#include <string>
#include <vector>

#include "kernel/irql.h"
#include "kernel/ntdef.h"

enum POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

// Memory pages. As in the kernel, an allocation of a page or more starts on
// a page boundary.
constexpr SIZE_T PAGE_SIZE = 4096;
constexpr SIZE_T ROUND_TO_PAGES(SIZE_T size) { return (size + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1); }

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
void ExFreePool(PVOID p);
void ExFreePoolWithTag(PVOID p, ULONG tag);

// Nonpaged lookaside lists. The stand-in keeps no free blocks of its own, so
// every entry stays visible to the leak check under the list's tag.
using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE, SIZE_T, ULONG);
using PFREE_FUNCTION = void (*)(PVOID);
struct NPAGED_LOOKASIDE_LIST {
  PALLOCATE_FUNCTION Allocate;
  PFREE_FUNCTION Free;
  ULONG Flags;
  SIZE_T Size;
  ULONG Tag;
  USHORT Depth;
  LONG Outstanding;
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
using PAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST;
using PPAGED_LOOKASIDE_LIST = PAGED_LOOKASIDE_LIST*;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry);

namespace platform::pool {

struct TagUsage {
  ULONG tag;
  size_t allocations;  // outstanding blocks
  size_t bytes;        // outstanding bytes
};

// Outstanding allocations, by tag, sorted by tag.
std::vector<TagUsage> Outstanding();
size_t OutstandingCount();
// Human-readable list of outstanding allocations ("'Lis ' 2 blocks 48 bytes").
std::string Describe(const std::vector<TagUsage>& usage);
std::string TagToString(ULONG tag);

// Failure injection. A failed allocation returns NULL as the kernel does.
void FailNthAllocation(size_t n);        // the n-th allocation from now (1-based) fails
void FailAllocationsWithTag(ULONG tag);  // every allocation with this tag fails until cleared
void FailNthAllocationWithTag(ULONG tag, size_t n);
void ClearFailures();
size_t AllocationCount();  // allocations attempted so far, for scanning failure points

// The size that was asked for when the outstanding block starting at `p` was
// allocated. Lets bus-side helpers bound a walk by the buffer's real length.
bool QueryBlockSize(const void* p, size_t* size);

}  // namespace platform::pool
