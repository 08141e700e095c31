#include "topology/TopologyItems.h"

#include "driver/common/UnalignedAccess.h"
#include "driver/common/ValidatePropertyParams.h"
#include "topology/PrivatePropertySets.h"

namespace {

constexpr PropertyBufferNeeds kUlongValue{0, sizeof(ULONG)};

// The major target is the miniport's IMiniportTopology, which is where the
// handlers live.
CTopologyItems* MiniportOf(IUnknown* majorTarget) {
  return majorTarget ? static_cast<CTopologyItems*>(static_cast<IMiniportTopology*>(majorTarget)) : nullptr;
}

// Every item routine ends here: a failed request answers no bytes, except
// the size it reports for a size query or a too-small basic support.
NTSTATUS Finish(PPCPROPERTY_REQUEST request, NTSTATUS status) {
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
    request->ValueSize = 0;
  return status;
}

// The common entry checks of every item routine.
bool Usable(PPCPROPERTY_REQUEST request) {
  return request && request->MajorTarget && request->PropertyItem && request->PropertyItem->Set;
}

}  // namespace

bool CTopologyItems::IsSet(PPCPROPERTY_REQUEST request, const GUID& set) {
  return request->PropertyItem->Set && IsEqualGUIDAligned(*request->PropertyItem->Set, set);
}

// ---- Item routines -------------------------------------------------------------------------------

NTSTATUS CTopologyItems::ItemSwitch(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  const ULONG id = request->PropertyItem->Id;
  if (id != KSPROPERTY_AUDIO_MUTE && id != KSPROPERTY_AUDIO_AGC && id != KSPROPERTY_AUDIO_LOUDNESS)
    return Finish(request, STATUS_INVALID_PARAMETER);
  return Finish(request, MiniportOf(request->MajorTarget)->HandleSwitchProperty(request));
}

NTSTATUS CTopologyItems::ItemLevel(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  const ULONG id = request->PropertyItem->Id;
  const bool audio = IsSet(request, KSPROPSETID_Audio) &&
                     (id == KSPROPERTY_AUDIO_VOLUMELEVEL || (id >= KSPROPERTY_AUDIO_BASS && id <= KSPROPERTY_AUDIO_TREBLE));
  const bool levelWithEvent = IsSet(request, PROPSETID_DevicePrivate) && id == DEVICEPRIVATE_LEVEL_WITH_EVENT;
  if (!audio && !levelWithEvent) return Finish(request, STATUS_INVALID_PARAMETER);
  return Finish(request, MiniportOf(request->MajorTarget)->HandleLevelProperty(request));
}

NTSTATUS CTopologyItems::ItemMuxSource(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (request->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE) return Finish(request, STATUS_INVALID_PARAMETER);
  return Finish(request, MiniportOf(request->MajorTarget)->HandleMuxSourceProperty(request));
}

NTSTATUS CTopologyItems::ItemDevSpecific(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  return Finish(request, MiniportOf(request->MajorTarget)->HandleDevSpecificProperty(request));
}

NTSTATUS CTopologyItems::ItemNodeKind(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (request->PropertyItem->Id != NODEKIND_KIND) return Finish(request, STATUS_INVALID_PARAMETER);
  return Finish(request, MiniportOf(request->MajorTarget)->HandleNodeKindProperty(request));
}

NTSTATUS CTopologyItems::ItemDevicePrivateConstant(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (!IsSet(request, PROPSETID_DevicePrivate) || request->PropertyItem->Id != DEVICEPRIVATE_CONSTANT)
    return Finish(request, STATUS_INVALID_DEVICE_REQUEST);
  // The verb is not looked at: the item is GET only.
  NTSTATUS status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return Finish(request, status);
  WriteUlong(request->Value, DEVICEPRIVATE_CONSTANT_VALUE);
  request->ValueSize = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS CTopologyItems::ItemDevicePrivateJack(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (!IsSet(request, PROPSETID_DevicePrivate) || request->PropertyItem->Id != DEVICEPRIVATE_JACK_DESCRIPTION)
    return Finish(request, STATUS_INVALID_DEVICE_REQUEST);
  return Finish(request, MiniportOf(request->MajorTarget)->HandleJackDescription(request));
}

NTSTATUS CTopologyItems::ItemJack(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (!IsSet(request, KSPROPSETID_Jack)) return Finish(request, STATUS_INVALID_DEVICE_REQUEST);
  CTopologyItems* miniport = MiniportOf(request->MajorTarget);
  switch (request->PropertyItem->Id) {
    case KSPROPERTY_JACK_DESCRIPTION:
      return Finish(request, miniport->HandleJackDescription(request));
    case KSPROPERTY_JACK_DESCRIPTION2:
      return Finish(request, miniport->HandleJackDescription2(request));
    default:
      return Finish(request, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS CTopologyItems::ItemPinCaps(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!Usable(request)) return STATUS_INVALID_PARAMETER;
  if (!IsSet(request, PROPSETID_PinCaps) || request->PropertyItem->Id != PINCAPS_DEVICE_CAPS)
    return Finish(request, STATUS_INVALID_DEVICE_REQUEST);
  return Finish(request, MiniportOf(request->MajorTarget)->HandlePinCapsProperty(request));
}

// ---- Events ----------------------------------------------------------------------------------------

NTSTATUS CTopologyItems::EventHandler(PPCEVENT_REQUEST request) {
  if (!request || !request->MajorTarget) return STATUS_INVALID_PARAMETER;
  return MiniportOf(request->MajorTarget)->HandleEvent(request);
}
