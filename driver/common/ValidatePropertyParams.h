// One place where a property handler checks the caller's buffers before it
// touches them, and builds the answers whose size the caller may not know:
// size queries and the graded basic-support description.
//
// Handlers check every buffer once, at the top, for the verb at hand, and
// afterwards use only what was checked: the validated sizes, never a count
// or channel the caller could have set past them.
#pragma once

#include "driver/common/UnalignedAccess.h"
#include "portcls/portcls.h"

// What a request needs of the caller's buffers: bytes of Instance read and
// bytes of Value read or written.
struct PropertyBufferNeeds {
  ULONG instance;
  ULONG value;
};

// The needs of one property item per verb (basic support is answered by
// size, see BeginBasicSupport).
struct PropertyItemNeeds {
  PropertyBufferNeeds get;
  PropertyBufferNeeds set;
};

// Both buffers of `request` against `needs`: a buffer shorter than needed,
// or a null pointer where bytes are needed, fails with `shortStatus` and
// clears ValueSize.
NTSTATUS ValidatePropertyParams(PPCPROPERTY_REQUEST request, const PropertyBufferNeeds& needs,
                                NTSTATUS shortStatus);
// The same for the request's verb (GET or SET); other verbs pass.
NTSTATUS ValidatePropertyParams(PPCPROPERTY_REQUEST request, const PropertyItemNeeds& needs, NTSTATUS shortStatus);

// An answer of `needed` bytes whose size the caller may ask for: ValueSize 0
// gets ValueSize = needed and STATUS_BUFFER_OVERFLOW, a smaller ValueSize
// STATUS_BUFFER_TOO_SMALL (ValueSize cleared), a null Value `nullStatus`.
NTSTATUS ValidateSizedAnswer(PPCPROPERTY_REQUEST request, ULONG needed, NTSTATUS nullStatus);

// The shape of a basic-support answer: the 40-byte KSPROPERTY_DESCRIPTION,
// then (when `fullSize` is larger) one KSPROPERTY_MEMBERSHEADER and its
// members, which the caller writes.
struct BasicSupportShape {
  ULONG accessFlags;
  const GUID* propTypeSet;
  ULONG propTypeId;
  ULONG fullSize;
  // MembersListCount of a 40-byte answer given in place of a larger one.
  ULONG headerOnlyMembersListCount;
  // ValueSize reported with STATUS_BUFFER_TOO_SMALL below 4 bytes.
  ULONG tooSmallValueSize;
};

// The graded answer: below 4 bytes STATUS_BUFFER_TOO_SMALL; 4 to 39 the
// access flags alone (ValueSize 4); 40 up to one less than the full size the
// description alone (ValueSize 40); else the description with
// MembersListCount 1 (0 when there are no members), ValueSize the full size,
// and `*members` pointing where the members header goes. `*members` is null
// whenever the caller has nothing more to write.
NTSTATUS BeginBasicSupport(PPCPROPERTY_REQUEST request, const BasicSupportShape& shape, PUCHAR* members);
