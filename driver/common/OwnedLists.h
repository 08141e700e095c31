// List heads owned by an object: made from pool, and emptied and freed
// again by their owner together with what the entries hold.
#pragma once

#include "driver/common/CPointerList.h"

// A new, empty list head; null when the pool is out.
CPointerList* NewPointerList(POOL_TYPE poolType, ULONG tag);

// Unlinks every entry (the items are left alone) and frees the head. Null
// is allowed; the pointer is cleared.
void FreePointerList(CPointerList*& list);

// Frees every item with ExFreePool, then the list.
void FreeItemsAndList(CPointerList*& list);

// Releases every item, an interface pointer of type T, then frees the list.
template <typename T>
void ReleaseItemsAndList(CPointerList*& list) {
  if (!list) return;
  PVOID item = nullptr;
  while (list->RemoveHead(&item))
    if (item) static_cast<T*>(item)->Release();
  FreePointerList(list);
}
