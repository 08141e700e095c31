#include "kernel/pool.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

struct Block {
  size_t size;
  ULONG tag;
};

struct PoolState {
  std::mutex lock;
  std::unordered_map<void*, Block> blocks;
  size_t attempts = 0;
  size_t failNth = 0;  // absolute attempt number that fails, 0 = none
  ULONG failTag = 0;
  bool failTagAll = false;
  size_t failTagNth = 0;  // counts down per tagged attempt
};

PoolState& State() {
  static PoolState* s = new PoolState;  // outlives static destructors of tests
  return *s;
}

constexpr unsigned char kFreedPattern = 0xDD;
constexpr unsigned char kFreshPattern = 0xCD;

bool IsPaged(POOL_TYPE t) { return t == PagedPool || t == PagedPoolCacheAligned; }

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  KERNEL_RULE(!IsPaged(poolType) || KeGetCurrentIrql() <= APC_LEVEL, "paged pool allocation at DISPATCH_LEVEL");
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "pool allocation above DISPATCH_LEVEL");
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  ++s.attempts;
  if (s.failNth != 0 && s.attempts == s.failNth) {
    s.failNth = 0;
    return nullptr;
  }
  if (s.failTag == tag && s.failTag != 0) {
    if (s.failTagAll) return nullptr;
    if (s.failTagNth != 0 && --s.failTagNth == 0) {
      s.failTag = 0;
      return nullptr;
    }
  }
  size_t alignment = (poolType == NonPagedPoolCacheAligned || poolType == PagedPoolCacheAligned) ? 64 : 16;
  if (numberOfBytes >= PAGE_SIZE) alignment = PAGE_SIZE;
  size_t rounded = ((numberOfBytes == 0 ? 1 : numberOfBytes) + alignment - 1) / alignment * alignment;
  void* p = std::aligned_alloc(alignment, rounded);
  if (!p) return nullptr;
  // Fresh pool is not zeroed in a real kernel; a fill pattern makes reliance on
  // zeroed memory visible.
  std::memset(p, kFreshPattern, rounded);
  s.blocks.emplace(p, Block{numberOfBytes, tag});
  return p;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
  return ExAllocatePoolWithTag(poolType, numberOfBytes, MakeTag("None"));
}

static void FreeBlock(PVOID p, const ULONG* expectedTag) {
  KERNEL_RULE(p != nullptr, "ExFreePool(NULL)");
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExFreePool above DISPATCH_LEVEL");
  PoolState& s = State();
  size_t size = 0;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.blocks.find(p);
    KERNEL_RULE(it != s.blocks.end(), "ExFreePool of memory that is not an outstanding pool block");
    if (it == s.blocks.end()) return;
    KERNEL_RULE(expectedTag == nullptr || *expectedTag == it->second.tag, "ExFreePoolWithTag with the wrong tag");
    size = it->second.size;
    s.blocks.erase(it);
  }
  std::memset(p, kFreedPattern, size);
  std::free(p);
}

void ExFreePool(PVOID p) { FreeBlock(p, nullptr); }
void ExFreePoolWithTag(PVOID p, ULONG tag) { FreeBlock(p, &tag); }

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
  list->Allocate = allocate;
  list->Free = free;
  list->Flags = flags;
  list->Size = size;
  list->Tag = tag;
  list->Depth = depth;
  list->Outstanding = 0;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
  KERNEL_RULE(list->Outstanding == 0, "ExDeleteNPagedLookasideList with entries still allocated");
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) {
  PVOID p = list->Allocate ? list->Allocate(NonPagedPool, list->Size, list->Tag)
                           : ExAllocatePoolWithTag(NonPagedPool, list->Size, list->Tag);
  if (p) __atomic_add_fetch(&list->Outstanding, 1, __ATOMIC_SEQ_CST);
  return p;
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry) {
  __atomic_sub_fetch(&list->Outstanding, 1, __ATOMIC_SEQ_CST);
  if (list->Free)
    list->Free(entry);
  else
    ExFreePool(entry);
}

namespace platform::pool {

std::vector<TagUsage> Outstanding() {
  PoolState& s = State();
  std::map<ULONG, TagUsage> byTag;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto& [p, b] : s.blocks) {
      TagUsage& u = byTag[b.tag];
      u.tag = b.tag;
      u.allocations++;
      u.bytes += b.size;
    }
  }
  std::vector<TagUsage> out;
  for (auto& [tag, u] : byTag) out.push_back(u);
  return out;
}

size_t OutstandingCount() {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.blocks.size();
}

std::string TagToString(ULONG tag) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    out += (c >= 0x20 && c < 0x7F) ? c : ' ';
  }
  return out;
}

std::string Describe(const std::vector<TagUsage>& usage) {
  std::string out;
  for (const TagUsage& u : usage) {
    out += '\'';
    out += TagToString(u.tag);
    out += "' " + std::to_string(u.allocations) + " blocks " + std::to_string(u.bytes) + " bytes\n";
  }
  return out;
}

void FailNthAllocation(size_t n) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failNth = n == 0 ? 0 : s.attempts + n;
}

void FailAllocationsWithTag(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failTag = tag;
  s.failTagAll = true;
}

void FailNthAllocationWithTag(ULONG tag, size_t n) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failTag = tag;
  s.failTagAll = false;
  s.failTagNth = n;
}

void ClearFailures() {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failNth = 0;
  s.failTag = 0;
  s.failTagAll = false;
  s.failTagNth = 0;
}

bool QueryBlockSize(const void* p, size_t* size) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.blocks.find(const_cast<void*>(p));
  if (it == s.blocks.end()) return false;
  if (size) *size = it->second.size;
  return true;
}

size_t AllocationCount() {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.attempts;
}

}  // namespace platform::pool
