// What every unit-bound node keeps of its binding: the unit that created it
// (no reference: the unit owns its nodes, so a counted reference back would
// keep both alive for ever), the control it stands for, and the device
// object that owns the Settings store where its values persist.
//
// Persisted value names: per-channel values are named "Unit<id>_<type>_"
// followed by the channel number (the id at least two digits, zero-padded;
// the output type blank-padded to two: node 7, output type 2, channel 1 is
// "Unit07_ 2_1"); a node's single value is named "Unit<id>_".
#pragma once

#include "driver/common/CKernelMutex.h"
#include "topology/TopologyInterfaces.h"

constexpr size_t NODE_VALUE_PREFIX_CHARS = 19;

NTSTATUS FormatChannelValuePrefix(PWSTR prefix, ULONG nodeId, ULONG outputType);
NTSTATUS FormatNodeValueName(PWSTR name, ULONG nodeId);

// One debugger line naming a stored value (`index` -1: the name alone, else
// appended to it) that is left unused because its control does not take it.
void ReportUnusableSetting(PCWSTR valueName, LONG index, LONGLONG value);

// Announces a change of a node's values on the hardware model's callback
// object, so that the topology filter raises a control-change event.
void NotifyNodeChange(PCALLBACK_OBJECT callbackObject, ULONG nodeId);

struct CUnitBinding {
  ITopoNode* unit = nullptr;
  // A host request and the status thread's refresh of the same node each
  // go device, cache, Settings in one piece: otherwise a refresh that read
  // the device just before a SET can store its older value after the SET's.
  CKernelMutex lock;
  ULONG controlSelector = 0;
  PDEVICE_OBJECT deviceObject = nullptr;
  WCHAR valueName[NODE_VALUE_PREFIX_CHARS] = {};

  // The unit's interface `iid`, with a reference.
  template <typename T>
  NTSTATUS Query(REFIID iid, T** out) const {
    *out = nullptr;
    if (!unit) return STATUS_UNSUCCESSFUL;
    return unit->QueryInterface(iid, reinterpret_cast<PVOID*>(out));
  }

  // Per-channel values (valueName is the prefix).
  NTSTATUS ReadChannel(ULONG channel, PVOID data, ULONG length) const;
  NTSTATUS WriteChannel(ULONG channel, PVOID data, ULONG length) const;
  // The node's single value (valueName is the whole name).
  NTSTATUS Read(PVOID data, ULONG length) const;
  NTSTATUS Write(PVOID data, ULONG length) const;

  // A stored value the node can use replaces *value: one that `usable`
  // refuses (outside the control's range, or no choice it offers) leaves
  // *value as it was and is named in one debugger line, so that a corrupt
  // Settings entry neither reaches the device nor passes unnoticed. True
  // when the stored value was taken.
  template <typename T, typename Usable>
  bool ReadChannelIfUsable(ULONG channel, T* value, Usable usable) const {
    T stored = *value;
    if (!NT_SUCCESS(ReadChannel(channel, &stored, sizeof stored))) return false;
    if (usable(stored)) {
      *value = stored;
      return true;
    }
    ReportUnusableSetting(valueName, static_cast<LONG>(channel), static_cast<LONGLONG>(stored));
    return false;
  }
  template <typename T, typename Usable>
  bool ReadIfUsable(T* value, Usable usable) const {
    T stored = *value;
    if (!NT_SUCCESS(Read(&stored, sizeof stored))) return false;
    if (usable(stored)) {
      *value = stored;
      return true;
    }
    ReportUnusableSetting(valueName, -1, static_cast<LONGLONG>(stored));
    return false;
  }
};

// Whether a stored byte is one an on/off control takes.
inline bool IsSwitchValue(UCHAR value) { return value <= 1; }

// Holds a binding's lock for a scope (PASSIVE_LEVEL; recursive for its holder).
class CBindingGuard : public CKernelMutexScope {
 public:
  explicit CBindingGuard(CUnitBinding& binding) : CKernelMutexScope(binding.lock) {}
};
