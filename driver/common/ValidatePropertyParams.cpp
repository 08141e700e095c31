#include "driver/common/ValidatePropertyParams.h"

NTSTATUS ValidatePropertyParams(PPCPROPERTY_REQUEST request, const PropertyBufferNeeds& needs,
                                NTSTATUS shortStatus) {
  if (!request) return STATUS_INVALID_PARAMETER;
  const bool instanceOk = needs.instance == 0 || (request->Instance && request->InstanceSize >= needs.instance);
  const bool valueOk = needs.value == 0 || (request->Value && request->ValueSize >= needs.value);
  if (instanceOk && valueOk) return STATUS_SUCCESS;
  request->ValueSize = 0;
  return shortStatus;
}

NTSTATUS ValidatePropertyParams(PPCPROPERTY_REQUEST request, const PropertyItemNeeds& needs, NTSTATUS shortStatus) {
  if (!request) return STATUS_INVALID_PARAMETER;
  if (request->Verb == KSPROPERTY_TYPE_GET) return ValidatePropertyParams(request, needs.get, shortStatus);
  if (request->Verb == KSPROPERTY_TYPE_SET) return ValidatePropertyParams(request, needs.set, shortStatus);
  return STATUS_SUCCESS;
}

NTSTATUS ValidateSizedAnswer(PPCPROPERTY_REQUEST request, ULONG needed, NTSTATUS nullStatus) {
  if (!request) return STATUS_INVALID_PARAMETER;
  if (request->ValueSize == 0) {
    request->ValueSize = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (request->ValueSize < needed) {
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (!request->Value) {
    request->ValueSize = 0;
    return nullStatus;
  }
  return STATUS_SUCCESS;
}

NTSTATUS BeginBasicSupport(PPCPROPERTY_REQUEST request, const BasicSupportShape& shape, PUCHAR* members) {
  if (members) *members = nullptr;
  if (!request) return STATUS_INVALID_PARAMETER;
  const ULONG size = request->ValueSize;
  if (size < sizeof(ULONG)) {
    request->ValueSize = shape.tooSmallValueSize;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (!request->Value) {
    request->ValueSize = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (size < sizeof(KSPROPERTY_DESCRIPTION)) {
    WriteUlong(request->Value, shape.accessFlags);
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  const bool whole = size >= shape.fullSize;
  const bool hasMembers = shape.fullSize > sizeof(KSPROPERTY_DESCRIPTION);
  KSPROPERTY_DESCRIPTION description{};
  description.AccessFlags = shape.accessFlags;
  description.DescriptionSize = shape.fullSize;
  description.PropTypeSet.Set = shape.propTypeSet ? *shape.propTypeSet : GUID_NULL;
  description.PropTypeSet.Id = shape.propTypeId;
  description.PropTypeSet.Flags = 0;
  description.MembersListCount = whole ? (hasMembers ? 1 : 0) : shape.headerOnlyMembersListCount;
  description.Reserved = 0;
  RtlCopyMemory(request->Value, &description, sizeof description);
  if (!whole) {
    request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  request->ValueSize = shape.fullSize;
  if (hasMembers && members) *members = static_cast<PUCHAR>(request->Value) + sizeof(KSPROPERTY_DESCRIPTION);
  return STATUS_SUCCESS;
}
