// The small Audio Class 2.0 units: a mixer unit, and unchanged an extension
// unit, become one sum node over their inputs; a selector unit becomes a
// selector node whose input is read and set on the device. The parser
// connects the nodes' inputs once every unit exists.
#pragma once

#include "variants/uac2/Uac2Entity.h"

class CUac2MixerUnit : public CUac2Entity {
 public:
  // `extension`: the unit stands for an EXTENSION_UNIT descriptor.
  CUac2MixerUnit(PUNKNOWN outerUnknown, ULONG provisionalId, bool extension = false)
      : CUac2Entity(outerUnknown, provisionalId, extension ? UAC2_SUBTYPE_EXTENSION_UNIT : UAC_SUBTYPE_MIXER_UNIT) {}

  // The entity Init for a MIXER_UNIT (Init) or an EXTENSION_UNIT descriptor.
  NTSTATUS InitExtension(PVOID descriptor, IAudioHal* owner, IAudioHal* model) { return Init(descriptor, owner, model); }

 protected:
  bool IsExtension() const { return m_Subtype == UAC2_SUBTYPE_EXTENSION_UNIT; }
  // The input count and the sources: at 4 and from 5 for a mixer, at 6 and
  // from 7 for an extension unit.
  ULONG CountOffset() const { return IsExtension() ? 6 : 4; }
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override {
    return length > CountOffset() && length >= CountOffset() + 1 + descriptor[CountOffset()];
  }
  NTSTATUS BuildNodes(IAudioHal* model) override;
};

class CUac2SelectorUnit : public CUac2Entity, public ISelector {
 public:
  CUac2SelectorUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CUac2Entity(outerUnknown, provisionalId, UAC_SUBTYPE_SELECTOR_UNIT) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISelector
  NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) override;
  // 1 to bNrInPins; anything else is refused before a request goes out.
  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE GetInputCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE AddInputNode(ISelectorInputNode*) override { return STATUS_NOT_IMPLEMENTED; }

 protected:
  bool IsSelector() const { return m_Descriptor && m_Descriptor[2] == UAC_SUBTYPE_SELECTOR_UNIT; }
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override {
    return length >= 5 && length >= 5U + descriptor[4];
  }
  NTSTATUS BuildNodes(IAudioHal* model) override;
};
