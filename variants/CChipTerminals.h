// The terminals of the 7746 and 7762 chips. The chips answer none of the
// vendor requests by which other devices describe their jacks and
// selectable terminal types: an input terminal has no jacks, and an output
// terminal offers exactly its own terminal type, without jacks.
#pragma once

#include "topology/CUac1InputTerminal.h"
#include "topology/CUac1OutputTerminal.h"

// The pin category under which an output terminal of these chips asks for
// its stream capabilities.
PinCategory OutputTerminalCapsCategory(USHORT terminalType);

class CChipInputTerminal : public CUac1InputTerminal {
 public:
  CChipInputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId, ULONG nodeTag)
      : CUac1InputTerminal(outerUnknown, provisionalId), m_NodeTag(nodeTag) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;

 private:
  const ULONG m_NodeTag;
};

class CChipOutputTerminal : public CUac1OutputTerminal {
 public:
  CChipOutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId, ULONG nodeTag)
      : CUac1OutputTerminal(outerUnknown, provisionalId), m_NodeTag(nodeTag) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;

 private:
  const ULONG m_NodeTag;
};

class C7746InputTerminal : public CChipInputTerminal {
 public:
  C7746InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);
};
class C7762InputTerminal : public CChipInputTerminal {
 public:
  C7762InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);
};
class C7746OutputTerminal : public CChipOutputTerminal {
 public:
  C7746OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);
};
class C7762OutputTerminal : public CChipOutputTerminal {
 public:
  C7762OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);
};
