// Named callback objects: a publisher creates (or opens) an object by name,
// subscribers register functions on it, and a notification calls every
// registered function synchronously on the notifier's thread, in the order
// they registered.
#pragma once

#include <string>
#include <vector>

#include "kernel/object.h"

struct CALLBACK_OBJECT;
using PCALLBACK_OBJECT = CALLBACK_OBJECT*;

using CALLBACK_FUNCTION = void(PVOID callbackContext, PVOID argument1, PVOID argument2);
using PCALLBACK_FUNCTION = CALLBACK_FUNCTION*;

// Opens the object named in `objectAttributes` (case-insensitively with
// OBJ_CASE_INSENSITIVE), or creates it when `create` is TRUE. The caller gets
// one reference, dropped with ObDereferenceObject; a temporary object goes
// away with its last reference, an OBJ_PERMANENT one stays in the namespace
// until ObMakeTemporaryObject. STATUS_OBJECT_NAME_NOT_FOUND when the name is
// not there and `create` is FALSE. Objects come from nonpaged pool (tag
// "Cbob"), so failure injection on that tag fails creation.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                          BOOLEAN allowMultipleCallbacks);
// Returns the registration handle, or NULL when the object allows a single
// registration and has one, or when allocation (tag "Cbrg") fails. A
// registration holds a reference on the object.
PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction, PVOID callbackContext);
// Waits until the registration's function is not running on another thread.
void ExUnregisterCallback(PVOID callbackRegistration);
void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);

namespace platform::callback {
constexpr ULONG kObjectTag = MakeTag("Cbob");
constexpr ULONG kRegistrationTag = MakeTag("Cbrg");

// Names of the named callback objects that exist now (for the leak check).
std::vector<std::u16string> Names();
size_t ObjectCount();  // named and unnamed
}  // namespace platform::callback
