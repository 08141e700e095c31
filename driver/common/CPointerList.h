// A doubly linked list of untyped pointers that allocates its own nodes.
// Every owner list of the driver is one. The list takes no lock: the owner
// serialises changes and walks with its own lock; only the count is updated
// atomically, so that an owner may read it without taking that lock. The
// list never owns, references or frees the items it stores.
#pragma once

#include "kernel/nt.h"

struct PointerListNode {
  PointerListNode* next;
  PointerListNode* prev;
  PVOID item;
};
static_assert(sizeof(PointerListNode) == 24);

// Pool tag of the nodes: the bytes 'L', 'i', 's', 0.
constexpr ULONG POINTER_LIST_TAG = MakeTag("Lis");
static_assert(POINTER_LIST_TAG == 0x0073694C);

// A plain record without a virtual table; every operation may run at
// DISPATCH_LEVEL and none blocks.
class CPointerList {
 public:
  using POSITION = PointerListNode*;

  CPointerList* Init();

  // The adding operations return the new node, or null when no node could
  // be allocated (the list is then unchanged).
  PointerListNode* AddHead(PVOID item);
  PointerListNode* AddTail(PVOID item);
  // A null node, or the first node, makes this AddHead.
  PointerListNode* InsertBefore(PointerListNode* node, PVOID item);

  // Unlinks and frees the node; its item is left alone.
  void RemoveNode(PointerListNode* node);

  // A node had ahead of the change that links it, so that the change itself
  // cannot fail half-way: AddTailNode links it, FreeNode drops it unused.
  static PointerListNode* NewNode(PVOID item);
  static void FreeNode(PointerListNode* node);
  void AddTailNode(PointerListNode* node);
  // Unlinks a node of `from` and appends it here, allocating nothing.
  void MoveTail(CPointerList* from, PointerListNode* node);
  BOOLEAN RemoveHead(PVOID* item);

  BOOLEAN GetAt(ULONG index, PVOID* item) const;
  LONG GetCount() const { return m_Count; }
  BOOLEAN IsEmpty() const { return m_Count == 0; }

  POSITION GetHeadPosition() const { return m_First; }
  // Returns the item at `position` and moves it to the next node; FALSE once
  // the position is null.
  BOOLEAN GetNext(POSITION* position, PVOID* item) const;

  BOOLEAN PeekHead(PVOID* item) const;
  BOOLEAN PeekTail(PVOID* item) const;

  PointerListNode* First() const { return m_First; }
  PointerListNode* Last() const { return m_Last; }

 private:
  void Unlink(PointerListNode* node);

  PointerListNode* m_First;
  PointerListNode* m_Last;
  volatile LONG m_Count;
};
