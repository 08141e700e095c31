// The named kernel callback objects through which the hardware model and
// the stream engines announce changes: each owner creates one named after
// its own address, so names are unique per object, and clients open it by
// that name to register their functions.
#pragma once

#include "kernel/nt.h"

// Formats "\Callback\<prefix><address>" into `name` (`nameChars` wide
// characters) and creates the object (or opens it when it exists), case
// insensitive, permanent, with several registrations allowed. The caller
// holds one reference.
NTSTATUS CreateNamedCallbackObject(PCWSTR prefix, PVOID address, PWSTR name, size_t nameChars,
                                   PCALLBACK_OBJECT* callbackObject);

// The owner's last word on its object: a permanent object would outlive the
// device in the namespace, so it becomes temporary and goes with its last
// reference (registrations still hold theirs). Null is allowed; the pointer
// is cleared.
void DropNamedCallbackObject(PCALLBACK_OBJECT& callbackObject);
