// The 7753's terminals and recording selector.
//
// Output terminal 3 is the chip's analogue and digital output. It offers
// speaker, then headphone and S/PDIF when the switches allow them; the type
// is selected by writing codec registers, not by a vendor request, and each
// type has a fixed set of jacks. The type persists under "UACUnit<id>"; a
// stored type the list does not hold counts as the speaker (an unlisted
// type would reach pin naming with no table entry and no output-type node).
//
// Input terminals ask the device for no jack information, as those of the
// other chips.
//
// The recording selector's device value is a code of its own per source
// (unit 8: 1, 15: 2, 16: 3, 2: 4), not the input's position. The chip's
// selector has at most seven inputs; a descriptor with more is refused.
#pragma once

#include "topology/CUac1OutputTerminal.h"
#include "topology/CUac1SelectorUnit.h"
#include "variants/7753/C7753DescriptorRewrite.h"
#include "variants/CChipTerminals.h"

class IC7753CodecWriter;

constexpr ULONG C7753_OUTPUT_TYPES = 4;
constexpr ULONG C7753_SELECTOR_INPUTS = 7;
constexpr WCHAR C7753_JACKS_CONNECTED[] = u"SetJackConnect";

// The codec writes that select an output type (no write for another type).
void WriteC7753OutputType(IC7753CodecWriter* codec, PinCategory type);

class C7753OutputTerminal : public CUac1OutputTerminal {
 public:
  C7753OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec, UCHAR supportSpdifOut,
                      UCHAR supportHpOut);

  // The unit's output pins re-read their jacks; the last of them stands
  // for the unit.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // ---- ITerminal (category and type list as the base keeps them)
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  // Every jack of the current type is connected, and every jack of any type
  // when "SetJackConnect" is non-zero.
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) override;

 protected:
  // The pins and the output-type node; then the current type's registers,
  // whether or not the nodes could all be built.
  NTSTATUS BuildNodes(IAudioHal* owner) override;
  NTSTATUS BuildTypeNodes(IAudioHal* owner);
  bool Lists(PinCategory type) const;

  IC7753CodecWriter* const m_Codec;  // no reference: the model owns this unit
  PinCategory m_Types[C7753_OUTPUT_TYPES] = {};
  ULONG m_TypeListCount = 0;
};

class C7753InputTerminal : public CChipInputTerminal {
 public:
  C7753InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CChipInputTerminal(outerUnknown, provisionalId, C7753_TAG) {}
};

class C7753SelectorUnit : public CUac1SelectorUnit {
 public:
  C7753SelectorUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CUac1SelectorUnit(outerUnknown, provisionalId) {}

  // The input whose code the device reports; an unknown code makes it
  // input 1, and the code of input 1 is sent again.
  NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) override;
  // Sends the input's code.
  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;

  UCHAR CodeOf(ULONG input) const { return input >= 1 && input <= C7753_SELECTOR_INPUTS ? m_Codes[input] : 0; }

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;

  UCHAR m_Codes[C7753_SELECTOR_INPUTS + 1] = {};  // by input number, 1 to 7
};
