// The ITerminal answers of an input terminal of either Audio Class: one
// category, from its terminal type, which is also its only selectable type,
// and the jacks the device described for it, with their presence read when
// asked for. TTerminal is the class's terminal base, which supplies
// CopyJacksWithPresence; the class says which category its type gives and
// whether its jacks count.
#pragma once

#include "topology/CUacUnit.h"

template <typename TTerminal>
class CSingleTypeTerminal : public TTerminal {
 public:
  using TTerminal::TTerminal;
  ~CSingleTypeTerminal() override {
    if (m_Jacks) ExFreePool(m_Jacks);
  }

  // ---- ITerminal
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override {
    if (!category || !this->m_Descriptor) return STATUS_INVALID_PARAMETER;
    *category = Category();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override {
    if (!count) return STATUS_INVALID_PARAMETER;
    *count = 1;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override { return GetCategory(categories); }
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override {
    PinCategory current = 0;
    NTSTATUS status = GetCategory(&current);
    if (!NT_SUCCESS(status)) return status;
    return category == current ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG) override {
    if (!count || !this->m_Descriptor) return STATUS_INVALID_PARAMETER;
    *count = TypeHasJacks() ? m_JackCount : 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG) override {
    PAGED_CODE();
    if (!jacks || bufferBytes == 0 || !this->m_Descriptor || !DescribesJacks() || !m_Jacks || !m_JackCount ||
        bufferBytes < m_JackCount * sizeof(JackRecord))
      return STATUS_INVALID_PARAMETER;
    return this->CopyJacksWithPresence(m_Jacks, m_JackCount, jacks);
  }

 protected:
  // Each reads the descriptor, which the caller has checked is there.
  virtual PinCategory Category() const = 0;
  // Whether the terminal type has jacks to count.
  virtual bool TypeHasJacks() const = 0;
  // Whether the terminal describes its jacks at all (a streaming terminal
  // does not).
  virtual bool DescribesJacks() const = 0;

  ULONG m_JackCount = 0;
  JackRecord* m_Jacks = nullptr;
};
