// The routines the topology filter's automation tables name. Each checks
// that its item is what it serves, then hands the request to the miniport
// that is its major target through the handlers below, so that the tables
// (and these routines) need not know the miniport's class: the miniport
// stands on its tables, not the other way round.
#pragma once

#include "driver/common/PrivateInterfaces.h"

class CTopologyItems : public IMiniportTopology {
 public:
  static NTSTATUS ItemSwitch(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemLevel(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemMuxSource(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemDevSpecific(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemNodeKind(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemDevicePrivateConstant(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemDevicePrivateJack(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemJack(PPCPROPERTY_REQUEST request);
  static NTSTATUS ItemPinCaps(PPCPROPERTY_REQUEST request);
  static NTSTATUS EventHandler(PPCEVENT_REQUEST request);

 protected:
  // Whether the request's item belongs to `set`.
  static bool IsSet(PPCPROPERTY_REQUEST request, const GUID& set);

  // ---- What the miniport answers, once the item routine let it through
  virtual NTSTATUS HandleSwitchProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleLevelProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleMuxSourceProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleDevSpecificProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleNodeKindProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleJackDescription(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleJackDescription2(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandlePinCapsProperty(PPCPROPERTY_REQUEST request) = 0;
  virtual NTSTATUS HandleEvent(PPCEVENT_REQUEST request) = 0;
};
