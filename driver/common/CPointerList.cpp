#include "driver/common/CPointerList.h"

CPointerList* CPointerList::Init() {
  m_First = nullptr;
  m_Last = nullptr;
  m_Count = 0;
  return this;
}

PointerListNode* CPointerList::NewNode(PVOID item) {
  auto* node =
      static_cast<PointerListNode*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PointerListNode), POINTER_LIST_TAG));
  if (!node) return nullptr;
  std::memset(node, 0, sizeof(*node));
  node->item = item;
  return node;
}

PointerListNode* CPointerList::AddHead(PVOID item) {
  PointerListNode* node = NewNode(item);
  if (!node) return nullptr;
  node->next = m_First;
  node->prev = nullptr;
  if (m_First)
    m_First->prev = node;
  else
    m_Last = node;
  m_First = node;
  InterlockedIncrement(&m_Count);
  return node;
}

void CPointerList::FreeNode(PointerListNode* node) {
  if (node) ExFreePool(node);
}

void CPointerList::AddTailNode(PointerListNode* node) {
  node->prev = m_Last;
  node->next = nullptr;
  if (m_Last)
    m_Last->next = node;
  else
    m_First = node;
  m_Last = node;
  InterlockedIncrement(&m_Count);
}

PointerListNode* CPointerList::AddTail(PVOID item) {
  PointerListNode* node = NewNode(item);
  if (node) AddTailNode(node);
  return node;
}

void CPointerList::MoveTail(CPointerList* from, PointerListNode* node) {
  from->Unlink(node);
  AddTailNode(node);
}

PointerListNode* CPointerList::InsertBefore(PointerListNode* node, PVOID item) {
  if (!node || node == m_First || !node->prev) return AddHead(item);
  PointerListNode* created = NewNode(item);
  if (!created) return nullptr;
  created->prev = node->prev;
  created->next = node;
  node->prev->next = created;
  node->prev = created;
  InterlockedIncrement(&m_Count);
  return created;
}

void CPointerList::Unlink(PointerListNode* node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    m_First = node->next;
  if (node->next)
    node->next->prev = node->prev;
  else
    m_Last = node->prev;
  InterlockedDecrement(&m_Count);
}

void CPointerList::RemoveNode(PointerListNode* node) {
  if (!node) return;
  Unlink(node);
  ExFreePool(node);
}

BOOLEAN CPointerList::RemoveHead(PVOID* item) {
  if (!item || !m_First) return FALSE;
  *item = m_First->item;
  RemoveNode(m_First);
  return TRUE;
}

BOOLEAN CPointerList::GetAt(ULONG index, PVOID* item) const {
  if (!item || !m_First || index >= static_cast<ULONG>(m_Count)) return FALSE;
  PointerListNode* node = m_First;
  for (ULONG i = 0; i < index && node; ++i) node = node->next;
  if (!node) return FALSE;
  *item = node->item;
  return TRUE;
}

BOOLEAN CPointerList::GetNext(POSITION* position, PVOID* item) const {
  if (!position || !*position) return FALSE;
  if (item) *item = (*position)->item;
  *position = (*position)->next;
  return TRUE;
}

BOOLEAN CPointerList::PeekHead(PVOID* item) const {
  if (!item) return FALSE;
  *item = m_First ? m_First->item : nullptr;
  return m_First != nullptr;
}

BOOLEAN CPointerList::PeekTail(PVOID* item) const {
  if (!item) return FALSE;
  *item = m_Last ? m_Last->item : nullptr;
  return m_Last != nullptr;
}
