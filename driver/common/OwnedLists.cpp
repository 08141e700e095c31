#include "driver/common/OwnedLists.h"

CPointerList* NewPointerList(POOL_TYPE poolType, ULONG tag) {
  auto* list = static_cast<CPointerList*>(ExAllocatePoolWithTag(poolType, sizeof(CPointerList), tag));
  return list ? list->Init() : nullptr;
}

void FreePointerList(CPointerList*& list) {
  if (!list) return;
  PVOID item = nullptr;
  while (list->RemoveHead(&item)) {
  }
  ExFreePool(list);
  list = nullptr;
}

void FreeItemsAndList(CPointerList*& list) {
  if (!list) return;
  PVOID item = nullptr;
  while (list->RemoveHead(&item))
    if (item) ExFreePool(item);
  FreePointerList(list);
}
