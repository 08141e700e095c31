#include "kernel/object.h"

#include <mutex>
#include <unordered_map>

#include "kernel/bugcheck.h"
#include "kernel/irql.h"

namespace {

OBJECT_TYPE g_threadType{"Thread"};
OBJECT_TYPE g_eventType{"Event"};
OBJECT_TYPE g_callbackType{"Callback"};
OBJECT_TYPE g_fileType{"File"};
OBJECT_TYPE g_deviceType{"Device"};
OBJECT_TYPE g_driverType{"Driver"};
OBJECT_TYPE g_keyType{"Key"};
OBJECT_TYPE g_processType{"Process"};
POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE g_callbackTypePtr = &g_callbackType;
POBJECT_TYPE g_fileTypePtr = &g_fileType;
POBJECT_TYPE g_deviceTypePtr = &g_deviceType;
POBJECT_TYPE g_driverTypePtr = &g_driverType;
POBJECT_TYPE g_keyTypePtr = &g_keyType;
POBJECT_TYPE g_processTypePtr = &g_processType;

struct Entry {
  POBJECT_TYPE type;
  platform::ob::DeleteRoutine deleteRoutine;
  LONG references;
  bool permanent;
};

struct HandleEntry {
  void* object;
  bool kernel;
};

struct Table {
  std::mutex lock;
  std::unordered_map<void*, Entry> objects;
  std::unordered_map<HANDLE, HandleEntry> handles;
  ULONG_PTR nextHandle = 1;
};

Table& T() {
  static Table* t = new Table;
  return *t;
}

// Kernel handles carry the high bit, as in the kernel's handle table, so that
// a kernel handle and a user handle never look alike.
constexpr ULONG_PTR kKernelHandleBase = ~ULONG_PTR(0) << 31;

// Drops one reference under the lock; returns the delete routine to run once
// the lock is released, or null.
platform::ob::DeleteRoutine DropLocked(Table& t, void* object, LONG_PTR* remaining) {
  auto it = t.objects.find(object);
  KERNEL_RULE(it != t.objects.end(), "ObDereferenceObject of an object the object manager does not know");
  if (it == t.objects.end()) return nullptr;
  KERNEL_RULE(it->second.references > 0, "ObDereferenceObject of an object whose reference count is zero");
  if (it->second.references <= 0) return nullptr;
  *remaining = --it->second.references;
  if (it->second.references > 0 || it->second.permanent) return nullptr;
  platform::ob::DeleteRoutine routine = it->second.deleteRoutine;
  t.objects.erase(it);
  return routine;
}

void RunDelete(platform::ob::DeleteRoutine routine, void* object) {
  if (routine) routine(object);
}

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* ExCallbackObjectType = &g_callbackTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &g_deviceTypePtr;
POBJECT_TYPE* IoDriverObjectType = &g_driverTypePtr;
POBJECT_TYPE* CmKeyObjectType = &g_keyTypePtr;
POBJECT_TYPE* PsProcessType = &g_processTypePtr;

LONG_PTR ObReferenceObject(PVOID object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  KERNEL_RULE(it != t.objects.end(), "ObReferenceObject of an object the object manager does not know");
  if (it == t.objects.end()) return 0;
  return ++it->second.references;
}

LONG_PTR ObDereferenceObject(PVOID object) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ObDereferenceObject above DISPATCH_LEVEL");
  Table& t = T();
  LONG_PTR remaining = 0;
  platform::ob::DeleteRoutine routine;
  {
    std::lock_guard<std::mutex> guard(t.lock);
    routine = DropLocked(t, object, &remaining);
  }
  RunDelete(routine, object);
  return remaining;
}

void ObMakeTemporaryObject(PVOID object) {
  Table& t = T();
  platform::ob::DeleteRoutine routine = nullptr;
  {
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(object);
    KERNEL_RULE(it != t.objects.end(), "ObMakeTemporaryObject of an object the object manager does not know");
    if (it == t.objects.end()) return;
    it->second.permanent = false;
    if (it->second.references == 0) {
      routine = it->second.deleteRoutine;
      t.objects.erase(it);
    }
  }
  RunDelete(routine, object);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type, CCHAR accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation) {
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "ObReferenceObjectByHandle at DISPATCH_LEVEL");
  KERNEL_RULE(object != nullptr, "ObReferenceObjectByHandle without an object pointer");
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto h = t.handles.find(handle);
  if (h == t.handles.end()) return STATUS_INVALID_HANDLE;
  if (h->second.kernel && accessMode != 0 /* KernelMode */) return STATUS_INVALID_HANDLE;
  auto it = t.objects.find(h->second.object);
  if (it == t.objects.end()) return STATUS_INVALID_HANDLE;
  if (type && it->second.type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  ++it->second.references;
  *object = h->second.object;
  if (handleInformation) {
    handleInformation->HandleAttributes = h->second.kernel ? OBJ_KERNEL_HANDLE : 0;
    handleInformation->GrantedAccess = GENERIC_ALL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "ZwClose above PASSIVE_LEVEL");
  Table& t = T();
  void* object;
  LONG_PTR remaining = 0;
  platform::ob::DeleteRoutine routine;
  {
    std::lock_guard<std::mutex> guard(t.lock);
    auto h = t.handles.find(handle);
    if (h == t.handles.end()) return STATUS_INVALID_HANDLE;
    object = h->second.object;
    t.handles.erase(h);
    routine = DropLocked(t, object, &remaining);
  }
  RunDelete(routine, object);
  return STATUS_SUCCESS;
}

namespace platform::ob {

void Register(void* object, POBJECT_TYPE type, DeleteRoutine deleteRoutine) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  bool fresh = t.objects.emplace(object, Entry{type, deleteRoutine, 1, false}).second;
  KERNEL_RULE(fresh, "an object registered twice with the object manager");
}

void MakePermanent(void* object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  KERNEL_RULE(it != t.objects.end(), "MakePermanent of an object the object manager does not know");
  if (it != t.objects.end()) it->second.permanent = true;
}

bool TryReference(void* object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  if (it == t.objects.end()) return false;
  ++it->second.references;
  return true;
}

HANDLE CreateHandle(void* object, bool kernelHandle) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  KERNEL_RULE(it != t.objects.end(), "a handle to an object the object manager does not know");
  if (it == t.objects.end()) return nullptr;
  ++it->second.references;
  ULONG_PTR value = 4 * t.nextHandle++;
  if (kernelHandle) value |= kKernelHandleBase;
  HANDLE handle = reinterpret_cast<HANDLE>(value);
  t.handles.emplace(handle, HandleEntry{object, kernelHandle});
  return handle;
}

bool IsRegistered(void* object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.objects.count(object) != 0;
}

LONG ReferenceCount(void* object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  return it == t.objects.end() ? 0 : it->second.references;
}

POBJECT_TYPE TypeOf(void* object) {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(object);
  return it == t.objects.end() ? nullptr : it->second.type;
}

size_t HandleCount() {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.handles.size();
}

size_t ObjectCount() {
  Table& t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.objects.size();
}

}  // namespace platform::ob
