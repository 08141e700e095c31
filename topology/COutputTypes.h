// What an output terminal keeps per selectable terminal type (the Audio
// Class 1.0 terminal with its vendor type list, the 2.0 terminal with its
// connector): each type's category, type code and jacks, and the category in
// force. The terminals answer ITerminal's category questions from it.
#pragma once

#include "driver/common/PrivateInterfaces.h"
#include "kernel/nt.h"

class COutputTypes {
 protected:
  // `tag`: the pool tag the arrays are allocated with.
  explicit COutputTypes(ULONG tag) : m_TypeTag(tag) {}
  ~COutputTypes() { FreeTypeArrays(); }
  COutputTypes(const COutputTypes&) = delete;
  COutputTypes& operator=(const COutputTypes&) = delete;

  // Zeroed arrays for `count` types; without memory there are none and no
  // types (STATUS_INSUFFICIENT_RESOURCES).
  NTSTATUS AllocateTypeArrays(ULONG count);
  // Frees the arrays and each type's jack records; no types are left.
  void FreeTypeArrays();
  // One of the types has `category`.
  bool HasCategory(PinCategory category) const;

  NTSTATUS CopyCategory(PinCategory* category) const;
  NTSTATUS CopyTypeCount(PULONG count) const;
  NTSTATUS CopyTypeList(PULONG categories) const;

  WCHAR m_CategoryValueName[20] = {};  // "UACUnit<id>"
  PinCategory m_CurrentCategory = 0;
  ULONG m_TypeCount = 0;
  PinCategory* m_Categories = nullptr;
  PUSHORT m_TerminalTypes = nullptr;
  PULONG m_JackCounts = nullptr;
  JackRecord** m_JackRecords = nullptr;

 private:
  const ULONG m_TypeTag;
};
