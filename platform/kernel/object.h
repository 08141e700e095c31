// A small object manager: reference counts on the kernel objects that other
// parts of the stand-in register (threads, device and file objects, callback
// objects, registry keys, events opened by handle, user processes), a handle table, and the
// object attributes that name an object when it is created or opened.
#pragma once

#include "kernel/ntdef.h"

// ---- Object attributes -----------------------------------------------------
constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_PERMANENT = 0x00000010;
constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_OPENLINK = 0x00000100;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes, HANDLE root,
                                       PVOID securityDescriptor) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = root;
  p->Attributes = attributes;
  p->ObjectName = name;
  p->SecurityDescriptor = securityDescriptor;
  p->SecurityQualityOfService = nullptr;
}

// ---- Access masks ------------------------------------------------------------
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK EVENT_QUERY_STATE = 0x0001;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;

// ---- Object types --------------------------------------------------------------
struct OBJECT_TYPE {
  const char* Name;
};
using POBJECT_TYPE = OBJECT_TYPE*;

// As the kernel exports them: pointers to the type pointers, used as
// ObReferenceObjectByHandle(h, access, *PsThreadType, ...).
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExCallbackObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* CmKeyObjectType;
extern POBJECT_TYPE* PsProcessType;

struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// Reference counting. Dereferencing an object the manager does not know, or
// one whose count is already zero, breaks a kernel rule. An object goes away
// (its delete routine runs) at its last reference unless it is permanent.
LONG_PTR ObReferenceObject(PVOID object);
LONG_PTR ObDereferenceObject(PVOID object);
void ObMakeTemporaryObject(PVOID object);

// Resolves a handle. STATUS_INVALID_HANDLE for an unknown handle (or a kernel
// handle presented by a user-mode request), STATUS_OBJECT_TYPE_MISMATCH when
// `type` is given and differs. On success the object carries one more
// reference, which the caller drops with ObDereferenceObject.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type, CCHAR accessMode,
                                   PVOID* object, POBJECT_HANDLE_INFORMATION handleInformation);
NTSTATUS ZwClose(HANDLE handle);

namespace platform::ob {

using DeleteRoutine = void (*)(void* object);

// Registers an object with one reference, the caller's. `deleteRoutine` runs
// (outside the manager's lock) when the last reference goes.
void Register(void* object, POBJECT_TYPE type, DeleteRoutine deleteRoutine);
// A permanent object survives its last reference until ObMakeTemporaryObject.
void MakePermanent(void* object);
// References a registered object that is not already on its way out;
// false otherwise. For name lookups that race with the last dereference.
bool TryReference(void* object);

// Opens a handle; the handle holds its own reference until ZwClose. Kernel
// handles (OBJ_KERNEL_HANDLE) cannot be used by user-mode requests.
HANDLE CreateHandle(void* object, bool kernelHandle = true);

bool IsRegistered(void* object);
LONG ReferenceCount(void* object);  // 0 when not registered
POBJECT_TYPE TypeOf(void* object);
size_t HandleCount();
size_t ObjectCount();

}  // namespace platform::ob
