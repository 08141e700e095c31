#include "kernel/callback.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <thread>

#include "kernel/irql.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"

namespace {

struct Registration {
  CALLBACK_OBJECT* object;
  PCALLBACK_FUNCTION function;
  PVOID context;
  ULONGLONG sequence;                      // registration order
  std::vector<std::thread::id> runningOn;  // notifications calling it now
  bool registered = true;
  bool freeOnReturn = false;  // unregistered from inside its own function
};

std::atomic<ULONGLONG> g_nextSequence{1};
std::atomic<size_t> g_objectCount{0};

}  // namespace

struct CALLBACK_OBJECT {
  std::u16string name;  // empty for an unnamed object
  bool allowMultiple;
  std::mutex lock;
  std::condition_variable idle;  // a registration's function returned
  std::list<Registration*> registrations;
};

namespace {

// The \Callback directory. Lock order: the namespace, then the object
// manager.
struct Namespace {
  std::mutex lock;
  std::list<CALLBACK_OBJECT*> objects;
};

Namespace& N() {
  static Namespace* n = new Namespace;
  return *n;
}

bool SameName(const std::u16string& a, const UNICODE_STRING& b, bool caseInsensitive) {
  size_t length = b.Length / sizeof(WCHAR);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    WCHAR x = a[i], y = b.Buffer[i];
    if (caseInsensitive ? RtlUpcaseUnicodeChar(x) != RtlUpcaseUnicodeChar(y) : x != y) return false;
  }
  return true;
}

void DeleteCallbackObject(void* p) {
  auto* object = static_cast<CALLBACK_OBJECT*>(p);
  {
    Namespace& n = N();
    std::lock_guard<std::mutex> guard(n.lock);
    n.objects.remove(object);
  }
  object->~CALLBACK_OBJECT();
  ExFreePoolWithTag(object, platform::callback::kObjectTag);
  --g_objectCount;
}

}  // namespace

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                          BOOLEAN allowMultipleCallbacks) {
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "ExCreateCallback at DISPATCH_LEVEL");
  KERNEL_RULE(callbackObject != nullptr && objectAttributes != nullptr,
              "ExCreateCallback without out pointer or attributes");
  if (!callbackObject || !objectAttributes) return STATUS_INVALID_PARAMETER;
  const PUNICODE_STRING name = objectAttributes->ObjectName;
  const bool named = name && name->Length > 0;
  const bool caseInsensitive = (objectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;

  Namespace& n = N();
  std::lock_guard<std::mutex> guard(n.lock);
  if (named) {
    for (CALLBACK_OBJECT* existing : n.objects) {
      if (SameName(existing->name, *name, caseInsensitive) && platform::ob::TryReference(existing)) {
        *callbackObject = existing;
        return STATUS_SUCCESS;
      }
    }
  }
  if (!create) return named ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_INVALID_PARAMETER;

  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CALLBACK_OBJECT), platform::callback::kObjectTag);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  auto* object = new (memory) CALLBACK_OBJECT();
  ++g_objectCount;
  if (named) object->name.assign(name->Buffer, name->Length / sizeof(WCHAR));
  object->allowMultiple = allowMultipleCallbacks != FALSE;
  platform::ob::Register(object, *ExCallbackObjectType, DeleteCallbackObject);
  if (objectAttributes->Attributes & OBJ_PERMANENT) platform::ob::MakePermanent(object);
  if (named) n.objects.push_back(object);
  *callbackObject = object;
  return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExRegisterCallback above DISPATCH_LEVEL");
  KERNEL_RULE(object != nullptr && function != nullptr, "ExRegisterCallback without object or function");
  if (!object || !function) return nullptr;
  std::lock_guard<std::mutex> guard(object->lock);
  if (!object->allowMultiple && !object->registrations.empty()) return nullptr;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(Registration), platform::callback::kRegistrationTag);
  if (!memory) return nullptr;
  auto* registration = new (memory) Registration{object, function, context, g_nextSequence++, {}};
  ObReferenceObject(object);
  object->registrations.push_back(registration);
  return registration;
}

void ExUnregisterCallback(PVOID callbackRegistration) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExUnregisterCallback above DISPATCH_LEVEL");
  auto* registration = static_cast<Registration*>(callbackRegistration);
  KERNEL_RULE(registration != nullptr && registration->registered,
              "ExUnregisterCallback of a registration that is not registered");
  if (!registration || !registration->registered) return;
  CALLBACK_OBJECT* object = registration->object;
  {
    std::unique_lock<std::mutex> lock(object->lock);
    object->registrations.remove(registration);
    registration->registered = false;
    // A notification calling the function on another thread finishes first.
    // One on this very thread (the function unregistering itself) cannot be
    // waited for: that notification frees the registration when it returns.
    const auto self = std::this_thread::get_id();
    object->idle.wait(lock, [&] {
      return std::all_of(registration->runningOn.begin(), registration->runningOn.end(),
                         [&](std::thread::id id) { return id == self; });
    });
    if (!registration->runningOn.empty()) {
      registration->freeOnReturn = true;
      return;
    }
  }
  registration->~Registration();
  ExFreePoolWithTag(registration, platform::callback::kRegistrationTag);
  ObDereferenceObject(object);
}

void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2) {
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "ExNotifyCallback above DISPATCH_LEVEL");
  auto* object = static_cast<CALLBACK_OBJECT*>(callbackObject);
  KERNEL_RULE(object != nullptr, "ExNotifyCallback on a null object");
  if (!object) return;
  const auto self = std::this_thread::get_id();
  int selfUnregistered = 0;
  std::unique_lock<std::mutex> lock(object->lock);
  // Each function is called without the object's lock, so it may notify,
  // register or unregister; the walk resumes after the last one called by
  // registration number, whatever happened to the list meanwhile.
  ULONGLONG last = 0;
  for (;;) {
    auto it = std::find_if(object->registrations.begin(), object->registrations.end(),
                           [last](const Registration* r) { return r->sequence > last; });
    if (it == object->registrations.end()) break;
    Registration* r = *it;
    last = r->sequence;
    r->runningOn.push_back(self);
    lock.unlock();
    r->function(r->context, argument1, argument2);
    lock.lock();
    r->runningOn.erase(std::find(r->runningOn.begin(), r->runningOn.end(), self));
    if (r->freeOnReturn && r->runningOn.empty()) {
      // It unregistered itself from inside its own function; the
      // unregistration left the freeing to this call.
      r->~Registration();
      ExFreePoolWithTag(r, platform::callback::kRegistrationTag);
      ++selfUnregistered;
    }
    object->idle.notify_all();
  }
  lock.unlock();
  while (selfUnregistered-- > 0) ObDereferenceObject(object);
}

namespace platform::callback {

std::vector<std::u16string> Names() {
  Namespace& n = N();
  std::lock_guard<std::mutex> guard(n.lock);
  std::vector<std::u16string> names;
  for (CALLBACK_OBJECT* o : n.objects) names.push_back(o->name);
  return names;
}

size_t ObjectCount() { return g_objectCount.load(); }

}  // namespace platform::callback
