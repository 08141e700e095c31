#include "kernel/io.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "kernel/bugcheck.h"
#include "kernel/object.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/registry_tree.h"
#include "kernel/rtl.h"

namespace {

constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_FILE = 5;
constexpr CSHORT IO_TYPE_IRP = 6;
constexpr CSHORT IO_TYPE_DEVICE = 3;

constexpr ULONG kDeviceTag = MakeTag("Devi");
constexpr ULONG kDriverTag = MakeTag("Driv");
constexpr ULONG kIrpTag = MakeTag("Irp ");
constexpr ULONG kFileTag = MakeTag("File");
constexpr ULONG kSystemBufferTag = MakeTag("IoSb");
constexpr ULONG kMdlTag = MakeTag("Mdl ");
constexpr ULONG kLinkTag = MakeTag("IoDi");
constexpr ULONG kIdTag = MakeTag("PnId");

// How the I/O manager finishes an IRP once every completion routine has run.
enum IrpKind : UCHAR {
  kIrpAllocated = 0,  // IoAllocateIrp: its owner must take it back with STATUS_MORE_PROCESSING_REQUIRED
  kIrpBuilt = 1,      // IoBuildDeviceIoControlRequest
  kIrpRequest = 2,    // platform::io::SendRequest
};

// Where an IRP is: with its owner, down in a driver, or being completed.
enum IrpState : UCHAR { kIrpIdle = 0, kIrpInDriver = 1, kIrpCompleting = 2 };

const std::u16string kEnumRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::u16string kClassRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
const std::u16string kProfileRoot =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";

bool IsError(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// Interface links spell the class in lower case, as the plug-and-play
// manager writes it.
std::u16string LowerGuid(const GUID& g) {
  std::u16string s = platform::GuidToWide(g);
  for (auto& c : s)
    if (c >= u'A' && c <= u'F') c = static_cast<char16_t>(c + 32);
  return s;
}

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) & ~(a - 1); }

// Fills a UNICODE_STRING with pool memory that RtlFreeUnicodeString frees.
NTSTATUS AllocateString(const std::u16string& s, PUNICODE_STRING out, ULONG tag) {
  size_t bytes = s.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFE) return STATUS_NAME_TOO_LONG;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), tag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, s.data(), bytes);
  buffer[s.size()] = 0;
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

std::u16string FromUnicode(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::vector<UCHAR> MultiSz(const std::vector<std::u16string>& strings) {
  std::u16string joined;
  for (const auto& s : strings) {
    joined += s;
    joined += u'\0';
  }
  joined += u'\0';
  const auto* bytes = reinterpret_cast<const UCHAR*>(joined.data());
  return std::vector<UCHAR>(bytes, bytes + joined.size() * sizeof(WCHAR));
}

std::mutex& IoLock() {
  static std::mutex lock;
  return lock;
}

std::atomic<size_t> g_outstandingIrps{0};

// Requests from outside the driver (platform::io::SendRequest) that have not
// completed yet, so that the I/O manager can cancel those of a file whose
// process goes away. Recursive: a cancel routine may complete its request
// on the cancelling thread.
std::recursive_mutex& RequestLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}
std::vector<PIRP>& PendingRequests() {
  static auto* list = new std::vector<PIRP>;
  return *list;
}
KSPIN_LOCK g_cancelLock;
thread_local bool t_holdsCancelLock = false;

}  // namespace

namespace platform::io {

// The stand-in's own record of a device object.
class DeviceRecord {
 public:
  std::u16string name;
  bool deleted = false;
  bool physical = false;
  PhysicalDeviceConfig config;  // physical devices only
  ULONG pdoNumber = 0;
  std::map<UCHAR, DispatchHandler> handlers;
  std::function<void(PDEVICE_OBJECT)> releaseExtension;
};

}  // namespace platform::io

namespace {

using platform::io::DeviceRecord;

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
  return device && device->DeviceObjectExtension ? device->DeviceObjectExtension->Record : nullptr;
}

struct InterfaceEntry {
  PDEVICE_OBJECT pdo;
  GUID interfaceClass;
  std::u16string referenceString;
  std::u16string link;
  bool enabled;
};

struct Globals {
  std::vector<InterfaceEntry> interfaces;
  NTSTATUS failRegistration = STATUS_SUCCESS;
  NTSTATUS failStateChange = STATUS_SUCCESS;
  ULONG nextPdoNumber = 0;
};

Globals& G() {
  static Globals* g = new Globals;
  return *g;
}

void FreeDeviceMemory(void* object) {
  auto device = static_cast<PDEVICE_OBJECT>(object);
  if (DeviceRecord* record = RecordOf(device); record && record->releaseExtension) record->releaseExtension(device);
  platform::power::ForgetDevice(device);
  delete RecordOf(device);
  ExFreePool(device);
}

void FreeDriverMemory(void* object) {
  auto driver = static_cast<PDRIVER_OBJECT>(object);
  if (driver->DriverName.Buffer) ExFreePool(driver->DriverName.Buffer);
  ExFreePool(driver);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS PhysicalDeviceTrampoline(PDEVICE_OBJECT device, PIRP irp) {
  platform::io::DispatchHandler handler;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(device);
    auto it = record->handlers.find(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    if (it != record->handlers.end()) handler = it->second;
  }
  if (handler) return handler(device, irp);
  return platform::io::DefaultPhysicalDeviceDispatch(device, irp);
}

// The bus driver behind every simulated PDO: its dispatch is looked up per
// device, so it never goes away and is not counted as a leak.
PDRIVER_OBJECT BusDriver() {
  static DRIVER_OBJECT driver = [] {
    DRIVER_OBJECT d{};
    d.Type = IO_TYPE_DRIVER;
    d.Size = sizeof(DRIVER_OBJECT);
    for (auto& fn : d.MajorFunction) fn = PhysicalDeviceTrampoline;
    return d;
  }();
  return &driver;
}

// Per-request bookkeeping of platform::io::SendRequest.
struct RequestContext {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  bool pendingReturned;
};

// Copies a buffered request's output back to its caller and frees what the
// I/O manager allocated for it.
void FinishBuffers(PIRP irp) {
  if (irp->AssociatedIrp.SystemBuffer) {
    if (irp->UserOutputBuffer && !IsError(irp->IoStatus.Status)) {
      size_t n = std::min<size_t>(irp->IoStatus.Information, irp->UserOutputLength);
      if (n) std::memcpy(irp->UserOutputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    ExFreePool(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  while (PMDL mdl = irp->MdlAddress) {
    irp->MdlAddress = mdl->Next;
    IoFreeMdl(mdl);
  }
}

// Sets up the buffers of an I/O-control request the way the I/O manager does
// for the code's transfer method.
bool PrepareControlBuffers(PIRP irp, PIO_STACK_LOCATION next, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                           ULONG outputLength) {
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      ULONG size = std::max(inputLength, outputLength);
      if (size) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
        if (!buffer) return false;
        std::memset(buffer, 0, size);
        if (input && inputLength) std::memcpy(buffer, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
      }
      irp->UserOutputBuffer = output;
      irp->UserOutputLength = outputLength;
      return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inputLength) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPool, inputLength, kSystemBufferTag);
        if (!buffer) return false;
        if (input) std::memcpy(buffer, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
      }
      if (output && outputLength) {
        PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
        if (!mdl) return false;
        MmBuildMdlForNonPagedPool(mdl);
      }
      return true;
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = input;
      irp->UserBuffer = output;
      return true;
  }
}

}  // namespace

namespace {

using platform::io::PhysicalDeviceConfig;

std::u16string InstancePath(const DeviceRecord& record) {
  return record.config.deviceId + u"\\" + record.config.instanceId;
}

std::u16string InstanceKey(const DeviceRecord& record) { return kEnumRoot + InstancePath(record); }

std::u16string StringValue(const std::u16string& key, const char16_t* name) {
  ULONG type = 0;
  std::vector<UCHAR> data;
  if (!platform::registry::GetValue(key, name, &type, &data) || type != REG_SZ) return {};
  std::u16string text(data.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
  return text.substr(0, text.find(u'\0'));
}

// The driver key installation gives a device instance, as the PnP manager
// keeps it: the one the instance's key names from an earlier installation,
// else `wanted`; but a key another device instance names stays that
// device's, and this one gets the class's first free instance number.
// Settings one device stored never reach another.
std::u16string InstalledDriverKey(const std::u16string& instancePath, const std::u16string& wanted) {
  using platform::registry::SubkeyNames;
  std::vector<std::u16string> others;
  const std::u16string root = kEnumRoot.substr(0, kEnumRoot.size() - 1);
  for (const std::u16string& enumerator : SubkeyNames(root))
    for (const std::u16string& device : SubkeyNames(kEnumRoot + enumerator))
      for (const std::u16string& instance : SubkeyNames(kEnumRoot + enumerator + u"\\" + device)) {
        const std::u16string path = enumerator + u"\\" + device + u"\\" + instance;
        if (path != instancePath) others.push_back(StringValue(kEnumRoot + path, u"Driver"));
      }
  auto taken = [&](const std::u16string& driverKey) {
    return std::find(others.begin(), others.end(), driverKey) != others.end();
  };
  const std::u16string earlier = StringValue(kEnumRoot + instancePath, u"Driver");
  if (!earlier.empty() && !taken(earlier)) return earlier;
  if (!taken(wanted)) return wanted;
  const std::u16string classKey = wanted.substr(0, wanted.find(u'\\') + 1);
  for (unsigned n = 0; n < 10000; ++n) {
    char text[8];
    std::snprintf(text, sizeof text, "%04u", n);
    const std::u16string candidate = classKey + std::u16string(text, text + 4);
    if (!taken(candidate) && (candidate == earlier || !platform::registry::KeyExists(kClassRoot + candidate)))
      return candidate;
  }
  return wanted;
}

void WriteDeviceKeys(const DeviceRecord& record) {
  const PhysicalDeviceConfig& c = record.config;
  std::u16string instanceKey = InstanceKey(record);
  auto multi = MultiSz(c.hardwareIds);
  platform::registry::SetValue(instanceKey, u"HardwareID", REG_MULTI_SZ, multi.data(), multi.size());
  if (!c.compatibleIds.empty()) {
    auto compatible = MultiSz(c.compatibleIds);
    platform::registry::SetValue(instanceKey, u"CompatibleIDs", REG_MULTI_SZ, compatible.data(), compatible.size());
  }
  if (!c.deviceDescription.empty()) platform::registry::SetStringValue(instanceKey, u"DeviceDesc", c.deviceDescription);
  if (!c.manufacturer.empty()) platform::registry::SetStringValue(instanceKey, u"Mfg", c.manufacturer);
  if (!c.friendlyName.empty()) platform::registry::SetStringValue(instanceKey, u"FriendlyName", c.friendlyName);
  if (!c.classGuid.empty()) platform::registry::SetStringValue(instanceKey, u"ClassGUID", c.classGuid);
  if (!c.className.empty()) platform::registry::SetStringValue(instanceKey, u"Class", c.className);
  platform::registry::CreateKey(instanceKey + u"\\Device Parameters");
  if (!c.driverKey.empty()) {
    platform::registry::SetStringValue(instanceKey, u"Driver", c.driverKey);
    platform::registry::CreateKey(kClassRoot + c.driverKey);
  }
}

void CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
}

PVOID AllocateIdString(const std::vector<UCHAR>& bytes) {
  void* p = ExAllocatePoolWithTag(PagedPool, bytes.size(), kIdTag);
  if (p) std::memcpy(p, bytes.data(), bytes.size());
  return p;
}

std::vector<UCHAR> StringBytes(const std::u16string& s) {
  std::u16string z = s + u'\0';
  const auto* b = reinterpret_cast<const UCHAR*>(z.data());
  return std::vector<UCHAR>(b, b + z.size() * sizeof(WCHAR));
}

}  // namespace

// ---- Driver objects ------------------------------------------------------------
namespace platform::io {

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
  size_t size = AlignUp(sizeof(DRIVER_OBJECT), 16) + sizeof(DRIVER_EXTENSION);
  auto* driver = static_cast<PDRIVER_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, kDriverTag));
  if (!driver) return nullptr;
  std::memset(driver, 0, size);
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension =
      reinterpret_cast<PDRIVER_EXTENSION>(reinterpret_cast<PUCHAR>(driver) + AlignUp(sizeof(DRIVER_OBJECT), 16));
  driver->DriverExtension->DriverObject = driver;
  if (!NT_SUCCESS(AllocateString(name, &driver->DriverName, kDriverTag))) {
    ExFreePool(driver);
    return nullptr;
  }
  std::u16string_view service(name);
  if (size_t slash = service.rfind(u'\\'); slash != std::u16string_view::npos) service.remove_prefix(slash + 1);
  driver->DriverExtension->ServiceKeyName.Buffer =
      driver->DriverName.Buffer + (driver->DriverName.Length / sizeof(WCHAR) - service.size());
  driver->DriverExtension->ServiceKeyName.Length = static_cast<USHORT>(service.size() * sizeof(WCHAR));
  driver->DriverExtension->ServiceKeyName.MaximumLength = driver->DriverExtension->ServiceKeyName.Length;
  for (auto& fn : driver->MajorFunction) fn = InvalidDeviceRequest;
  platform::ob::Register(driver, *IoDriverObjectType, FreeDriverMemory);
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driverObject) {
  if (!driverObject) return;
  KERNEL_RULE(driverObject->DeviceObject == nullptr, "a driver object deleted while it still has devices");
  ObDereferenceObject(driverObject);
}

}  // namespace platform::io

// ---- Device objects and stacks ------------------------------------------------
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
  PAGED_CODE();
  if (!driverObject || !deviceObject) return STATUS_INVALID_PARAMETER;
  *deviceObject = nullptr;
  std::u16string name = FromUnicode(deviceName);
  size_t headerSize = AlignUp(sizeof(DEVICE_OBJECT), 16);
  size_t extensionSize = AlignUp(deviceExtensionSize, 16);
  size_t total = headerSize + extensionSize + sizeof(DEVOBJ_EXTENSION);
  auto* device = static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, total, kDeviceTag));
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(device, 0, total);
  auto* record = new DeviceRecord;
  record->name = name;
  {
    std::lock_guard guard(IoLock());
    if (!name.empty()) {
      // Device names are unique in the object namespace.
      for (PDEVICE_OBJECT d = driverObject->DeviceObject; d; d = d->NextDevice) {
        if (RecordOf(d)->name == name) {
          delete record;
          ExFreePool(device);
          return STATUS_OBJECT_NAME_COLLISION;
        }
      }
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + deviceExtensionSize);
    device->DriverObject = driverObject;
    device->DeviceExtension = deviceExtensionSize ? reinterpret_cast<PUCHAR>(device) + headerSize : nullptr;
    device->DeviceType = deviceType;
    device->Characteristics = deviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->DeviceObjectExtension =
        reinterpret_cast<DEVOBJ_EXTENSION*>(reinterpret_cast<PUCHAR>(device) + headerSize + extensionSize);
    device->DeviceObjectExtension->DeviceObject = device;
    device->DeviceObjectExtension->Record = record;
    // Simulated PDOs are tracked by their records, not by the bus driver's
    // device list, which is process-wide.
    if (driverObject != BusDriver()) {
      device->NextDevice = driverObject->DeviceObject;
      driverObject->DeviceObject = device;
    }
  }
  platform::ob::Register(device, *IoDeviceObjectType, FreeDeviceMemory);
  *deviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
  if (!deviceObject) return;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(deviceObject);
    // A broken rule leaves the device alone (when a test records rules
    // instead of stopping).
    const char* broken = nullptr;
    if (record->deleted)
      broken = "IoDeleteDevice of a device that is already deleted";
    else if (deviceObject->DeviceObjectExtension->AttachedTo)
      broken = "IoDeleteDevice of a device still attached to a lower device (IoDetachDevice first)";
    else if (deviceObject->AttachedDevice)
      broken = "IoDeleteDevice of a device that another device is still attached to";
    if (broken) {
      KERNEL_RULE(false, broken);
      return;
    }
    record->deleted = true;
    PDEVICE_OBJECT* link = &deviceObject->DriverObject->DeviceObject;
    while (*link && *link != deviceObject) link = &(*link)->NextDevice;
    if (*link) *link = deviceObject->NextDevice;
    deviceObject->NextDevice = nullptr;
  }
  ObDereferenceObject(deviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  while (deviceObject && deviceObject->AttachedDevice) deviceObject = deviceObject->AttachedDevice;
  return deviceObject;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  PDEVICE_OBJECT top;
  {
    std::lock_guard guard(IoLock());
    top = IoGetAttachedDevice(target);
    if (!top || RecordOf(top)->deleted) return nullptr;
    KERNEL_RULE(source->DeviceObjectExtension->AttachedTo == nullptr, "a device attached twice");
    top->AttachedDevice = source;
    source->DeviceObjectExtension->AttachedTo = top;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = std::max(source->AlignmentRequirement, top->AlignmentRequirement);
  }
  // The lower device stays referenced until IoDetachDevice.
  ObReferenceObject(top);
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice) {
  {
    std::lock_guard guard(IoLock());
    PDEVICE_OBJECT attached = targetDevice->AttachedDevice;
    KERNEL_RULE(attached != nullptr, "IoDetachDevice of a device nothing is attached to");
    if (!attached) return;
    targetDevice->AttachedDevice = nullptr;
    attached->DeviceObjectExtension->AttachedTo = nullptr;
  }
  ObDereferenceObject(targetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject) {
  std::lock_guard guard(IoLock());
  PDEVICE_OBJECT top = IoGetAttachedDevice(deviceObject);
  if (top) ObReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT deviceObject) {
  std::lock_guard guard(IoLock());
  PDEVICE_OBJECT base = deviceObject;
  while (base && base->DeviceObjectExtension->AttachedTo) base = base->DeviceObjectExtension->AttachedTo;
  if (base) ObReferenceObject(base);
  return base;
}

// ---- IRPs -----------------------------------------------------------------------------
ULONG IoSizeOfIrp(CCHAR stackSize) {
  return static_cast<ULONG>(sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
}

void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  std::memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  KERNEL_RULE(stackSize > 0, "IoAllocateIrp with no stack locations");
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoAllocateIrp above DISPATCH_LEVEL");
  ULONG size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
  if (!irp) return nullptr;
  IoInitializeIrp(irp, static_cast<USHORT>(size), stackSize);
  irp->StandInKind = kIrpAllocated;
  g_outstandingIrps++;
  return irp;
}

void IoFreeIrp(PIRP irp) {
  if (!irp) return;
  KERNEL_RULE(irp->Type == IO_TYPE_IRP, "IoFreeIrp of something that is not an IRP");
  KERNEL_RULE(irp->StandInState == kIrpIdle, "IoFreeIrp of an IRP that a driver still holds");
  KERNEL_RULE(irp->CancelRoutine == nullptr, "IoFreeIrp of an IRP with a cancel routine set");
  irp->Type = 0;
  ExFreePool(irp);
  g_outstandingIrps--;
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  KERNEL_RULE(irp->StandInState == kIrpIdle, "IoReuseIrp of an IRP that a driver still holds");
  KERNEL_RULE(irp->CancelRoutine == nullptr, "IoReuseIrp of an IRP with a cancel routine set");
  UCHAR kind = irp->StandInKind;
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
  irp->StandInKind = kind;
  irp->IoStatus.Status = status;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  KERNEL_RULE(irp && irp->Type == IO_TYPE_IRP, "IoCallDriver with something that is not an IRP");
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoCallDriver above DISPATCH_LEVEL");
  irp->CurrentLocation--;
  KERNEL_RULE(irp->CurrentLocation > 0, "NO_MORE_IRP_STACK_LOCATIONS: IoCallDriver");
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KERNEL_RULE(stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION, "IoCallDriver with an unknown major function");
  stack->DeviceObject = deviceObject;
  irp->StandInState = kIrpInDriver;
  return deviceObject->DriverObject->MajorFunction[stack->MajorFunction](deviceObject, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  KERNEL_RULE(irp && irp->Type == IO_TYPE_IRP, "IoCompleteRequest with something that is not an IRP");
  KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoCompleteRequest above DISPATCH_LEVEL");
  KERNEL_RULE(irp->CurrentLocation <= irp->StackCount + 1, "MULTIPLE_IRP_COMPLETE_REQUESTS");
  KERNEL_RULE(irp->IoStatus.Status != STATUS_PENDING, "IoCompleteRequest with STATUS_PENDING");
  KERNEL_RULE(irp->CancelRoutine == nullptr, "CANCEL_STATE_IN_COMPLETED_IRP: completed with a cancel routine set");
  irp->StandInState = kIrpCompleting;

  // Each stack location, from the completing driver's up to the top: the
  // routine its caller set runs when its flags match the outcome.
  for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp); irp->CurrentLocation <= irp->StackCount; ++stack) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool success = NT_SUCCESS(irp->IoStatus.Status);
    bool invoke = routine && ((success && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                              (!success && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    UCHAR major = stack->MajorFunction;
    std::memset(stack, 0, sizeof(*stack));
    stack->MajorFunction = major;
    if (invoke) {
      PDEVICE_OBJECT device =
          irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      // Until the routine answers, the IRP is its driver's again: it may
      // free it, reuse it or send it on.
      irp->StandInState = kIrpIdle;
      NTSTATUS status = routine(device, irp, context);
      if (status == STATUS_MORE_PROCESSING_REQUIRED) return;
      irp->StandInState = kIrpCompleting;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  irp->StandInState = kIrpIdle;

  switch (irp->StandInKind) {
    case kIrpBuilt:
      FinishBuffers(irp);
      if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
      if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
      IoFreeIrp(irp);
      return;
    case kIrpRequest: {
      auto* context = static_cast<RequestContext*>(irp->StandInContext);
      FinishBuffers(irp);
      context->iosb = irp->IoStatus;
      context->pendingReturned = irp->PendingReturned;
      {
        std::lock_guard guard(RequestLock());
        auto& list = PendingRequests();
        list.erase(std::remove(list.begin(), list.end(), irp), list.end());
      }
      IoFreeIrp(irp);
      KeSetEvent(&context->done, IO_NO_INCREMENT, FALSE);
      return;
    }
    default:
      KERNEL_RULE(false,
                  "an IRP from IoAllocateIrp completed back to the I/O manager: its owner's completion routine must "
                  "return STATUS_MORE_PROCESSING_REQUIRED and free or reuse it");
  }
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
  return __atomic_exchange_n(&irp->CancelRoutine, cancelRoutine, __ATOMIC_SEQ_CST);
}

void IoAcquireCancelSpinLock(PKIRQL irql) {
  KeAcquireSpinLock(&g_cancelLock, irql);
  t_holdsCancelLock = true;
}

void IoReleaseCancelSpinLock(KIRQL irql) {
  KERNEL_RULE(t_holdsCancelLock, "IoReleaseCancelSpinLock without holding the cancel spin lock");
  t_holdsCancelLock = false;
  KeReleaseSpinLock(&g_cancelLock, irql);
}

BOOLEAN IoCancelIrp(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  routine(device, irp);
  KERNEL_RULE(!t_holdsCancelLock, "a cancel routine returned without releasing the cancel spin lock");
  return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->StandInKind = kIrpBuilt;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  if (!PrepareControlBuffers(irp, next, ioControlCode, inputBuffer, inputBufferLength, outputBuffer,
                             outputBufferLength)) {
    irp->UserOutputBuffer = nullptr;
    FinishBuffers(irp);
    IoFreeIrp(irp);
    return nullptr;
  }
  return irp;
}

BOOLEAN IoIs32bitProcess(PIRP irp) { return irp && irp->From32bitProcess ? TRUE : FALSE; }

// ---- Requests from outside the driver ----------------------------------------------
namespace platform::io {

void SetIrpFrom32bitProcess(PIRP irp, bool from32bit) { irp->From32bitProcess = from32bit ? TRUE : FALSE; }

size_t OutstandingIrps() { return g_outstandingIrps.load(); }

NTSTATUS SendRequest(PDEVICE_OBJECT deviceObject, const Request& request, ULONG_PTR* information) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "platform::io::SendRequest above PASSIVE_LEVEL");
  if (information) *information = 0;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
  PIRP irp = request.irp;
  if (irp && irp->StackCount < top->StackSize) {
    IoFreeIrp(irp);
    irp = nullptr;
  }
  if (!irp) irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RequestContext context{};
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  irp->StandInKind = kIrpRequest;
  irp->StandInContext = &context;
  irp->RequestorMode = request.requestorMode;
  irp->From32bitProcess = request.from32bitProcess ? TRUE : FALSE;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = request.fileObject;
  // Plug-and-play requests start out unsupported, so that a request nobody
  // handles fails; the others start out successful.
  irp->IoStatus.Status = request.majorFunction == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = request.majorFunction;
  next->MinorFunction = request.minorFunction;
  next->FileObject = request.fileObject;
  if (request.majorFunction == IRP_MJ_DEVICE_CONTROL || request.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    if (!PrepareControlBuffers(irp, next, request.ioControlCode, const_cast<void*>(request.inputBuffer),
                               request.inputLength, request.outputBuffer, request.outputLength)) {
      irp->UserOutputBuffer = nullptr;
      FinishBuffers(irp);
      IoFreeIrp(irp);
      ObDereferenceObject(top);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (request.prepare) request.prepare(next);
  {
    std::lock_guard guard(RequestLock());
    PendingRequests().push_back(irp);
  }
  NTSTATUS status = IofCallDriver(top, irp);
  ObDereferenceObject(top);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    KERNEL_RULE(context.pendingReturned, "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
    status = context.iosb.Status;
  } else {
    KERNEL_RULE(KeReadStateEvent(&context.done) != 0,
                "a dispatch routine returned a final status without completing the IRP");
  }
  if (information) *information = context.iosb.Information;
  return status;
}

size_t CancelFileRequests(PFILE_OBJECT fileObject) {
  std::lock_guard guard(RequestLock());
  std::vector<PIRP> candidates;
  for (PIRP irp : PendingRequests())
    if (irp->Tail.Overlay.OriginalFileObject == fileObject) candidates.push_back(irp);
  size_t cancelled = 0;
  for (PIRP irp : candidates) {
    // One cancelled before may have completed a later one on this thread.
    auto& list = PendingRequests();
    if (std::find(list.begin(), list.end(), irp) == list.end()) continue;
    if (IoCancelIrp(irp)) ++cancelled;
  }
  return cancelled;
}

namespace {
void FreeFileObject(void* object) {
  auto* file = static_cast<PFILE_OBJECT>(object);
  if (file->FileName.Buffer) ExFreePool(file->FileName.Buffer);
  ExFreePool(file);
}
}  // namespace

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT deviceObject, const std::u16string& fileName) {
  auto* file = static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kFileTag));
  if (!file) return nullptr;
  std::memset(file, 0, sizeof(*file));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = deviceObject;
  if (!fileName.empty() && !NT_SUCCESS(AllocateString(fileName, &file->FileName, kFileTag))) {
    ExFreePool(file);
    return nullptr;
  }
  platform::ob::Register(file, *IoFileObjectType, FreeFileObject);
  return file;
}

void DeleteFileObject(PFILE_OBJECT fileObject) {
  if (fileObject) ObDereferenceObject(fileObject);
}

// ---- Physical devices ------------------------------------------------------------------

PDEVICE_OBJECT CreatePhysicalDevice(const PhysicalDeviceConfig& config) {
  KERNEL_RULE(!config.hardwareIds.empty() || !config.deviceId.empty(), "a physical device needs an ID");
  PhysicalDeviceConfig installed = config;
  if (installed.deviceId.empty()) installed.deviceId = config.hardwareIds.back();
  if (!installed.driverKey.empty())
    installed.driverKey = InstalledDriverKey(installed.deviceId + u"\\" + installed.instanceId, installed.driverKey);
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(BusDriver(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                                 FALSE, &pdo)))
    return nullptr;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(pdo);
    record->physical = true;
    record->config = installed;
    record->config.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    record->config.capabilities.Version = 1;
    record->pdoNumber = G().nextPdoNumber++;
  }
  pdo->StackSize = config.stackSize > 0 ? config.stackSize : 1;
  pdo->Flags = (pdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  WriteDeviceKeys(*RecordOf(pdo));
  return pdo;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo) {
  if (!pdo) return;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(pdo);
    KERNEL_RULE(record && record->physical, "DeletePhysicalDevice of a device that is not a simulated PDO");
    record->handlers.clear();
    // The plug-and-play manager drops the device's interfaces with it.
    auto& list = G().interfaces;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const InterfaceEntry& e) { return e.pdo == pdo; }),
               list.end());
  }
  IoDeleteDevice(pdo);
}

void SetDeviceExtensionRelease(PDEVICE_OBJECT deviceObject, std::function<void(PDEVICE_OBJECT)> release) {
  std::lock_guard guard(IoLock());
  if (DeviceRecord* record = RecordOf(deviceObject)) record->releaseExtension = std::move(release);
}

bool IsPhysicalDevice(PDEVICE_OBJECT deviceObject) {
  DeviceRecord* record = RecordOf(deviceObject);
  return record && record->physical;
}

void SetPhysicalDeviceDispatch(PDEVICE_OBJECT pdo, UCHAR majorFunction, DispatchHandler handler) {
  std::lock_guard guard(IoLock());
  DeviceRecord* record = RecordOf(pdo);
  KERNEL_RULE(record && record->physical, "SetPhysicalDeviceDispatch on a device that is not a simulated PDO");
  if (handler)
    record->handlers[majorFunction] = std::move(handler);
  else
    record->handlers.erase(majorFunction);
}

NTSTATUS DefaultPhysicalDeviceDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DeviceRecord* record = RecordOf(pdo);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
          CompleteWith(irp, STATUS_SUCCESS, 0);
          break;
        case IRP_MN_QUERY_CAPABILITIES: {
          PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
          if (!caps || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
            break;
          }
          USHORT size = caps->Size, version = caps->Version;
          *caps = record->config.capabilities;
          caps->Size = size;
          caps->Version = version;
          CompleteWith(irp, STATUS_SUCCESS, 0);
          break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
          if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations =
                static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
            if (!relations) {
              CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
              break;
            }
            relations->Count = 1;
            relations->Objects[0] = pdo;
            ObReferenceObject(pdo);
            CompleteWith(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
          }
          break;
        case IRP_MN_QUERY_ID: {
          std::vector<UCHAR> bytes;
          switch (stack->Parameters.QueryId.IdType) {
            case BusQueryDeviceID:
              bytes = StringBytes(record->config.deviceId);
              break;
            case BusQueryInstanceID:
              bytes = StringBytes(record->config.instanceId);
              break;
            case BusQueryHardwareIDs:
              bytes = MultiSz(record->config.hardwareIds);
              break;
            case BusQueryCompatibleIDs:
              bytes = MultiSz(record->config.compatibleIds);
              break;
            default:
              break;
          }
          if (!bytes.empty()) {
            PVOID id = AllocateIdString(bytes);
            CompleteWith(irp, id ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, reinterpret_cast<ULONG_PTR>(id));
          }
          break;
        }
        default:
          break;  // not this bus driver's business: the status stays as it came
      }
      break;
    case IRP_MJ_POWER:
      switch (stack->MinorFunction) {
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER:
          CompleteWith(irp, STATUS_SUCCESS, 0);
          break;
        case IRP_MN_WAIT_WAKE:
          CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
          break;
        default:
          break;
      }
      PoStartNextPowerIrp(irp);
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      break;
    default:
      CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- Device interfaces ------------------------------------------------------------------
std::vector<DeviceInterface> DeviceInterfaces(const GUID* interfaceClass) {
  std::lock_guard guard(IoLock());
  std::vector<DeviceInterface> out;
  for (const auto& e : G().interfaces)
    if (!interfaceClass || e.interfaceClass == *interfaceClass)
      out.push_back({e.pdo, e.interfaceClass, e.referenceString, e.link, e.enabled});
  return out;
}

void FailNextInterfaceRegistration(NTSTATUS status) {
  std::lock_guard guard(IoLock());
  G().failRegistration = status;
}

void FailNextInterfaceStateChange(NTSTATUS status) {
  std::lock_guard guard(IoLock());
  G().failStateChange = status;
}

}  // namespace platform::io

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName) {
  PAGED_CODE();
  if (!interfaceClassGuid || !symbolicLinkName) return STATUS_INVALID_PARAMETER;
  std::u16string link;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(physicalDeviceObject);
    if (!record || !record->physical || record->deleted) return STATUS_INVALID_DEVICE_REQUEST;
    if (NTSTATUS fail = std::exchange(G().failRegistration, STATUS_SUCCESS); fail != STATUS_SUCCESS) return fail;
    std::u16string reference = FromUnicode(referenceString);
    if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
    for (const auto& e : G().interfaces) {
      if (e.pdo == physicalDeviceObject && e.interfaceClass == *interfaceClassGuid &&
          platform::registry::tree::EqualNoCase(e.referenceString, reference)) {
        link = e.link;
        break;
      }
    }
    if (link.empty()) {
      // "\??\<instance path with # for \>#{class}\<reference>", as the
      // plug-and-play manager names interface links.
      std::u16string instance = InstancePath(*record);
      std::replace(instance.begin(), instance.end(), u'\\', u'#');
      link = u"\\??\\" + instance + u"#" + LowerGuid(*interfaceClassGuid);
      if (!reference.empty()) link += u"\\" + reference;
      G().interfaces.push_back({physicalDeviceObject, *interfaceClassGuid, reference, link, false});
    }
  }
  return AllocateString(link, symbolicLinkName, kLinkTag);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
  PAGED_CODE();
  std::lock_guard guard(IoLock());
  if (NTSTATUS fail = std::exchange(G().failStateChange, STATUS_SUCCESS); fail != STATUS_SUCCESS) return fail;
  std::u16string link = FromUnicode(symbolicLinkName);
  for (auto& e : G().interfaces) {
    if (!platform::registry::tree::EqualNoCase(e.link, link)) continue;
    if (enable && e.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!enable && !e.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    e.enabled = enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- Device properties and keys ---------------------------------------------------------
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength) {
  PAGED_CODE();
  if (!resultLength) return STATUS_INVALID_PARAMETER;
  *resultLength = 0;
  std::u16string instanceKey, deviceId;
  ULONG pdoNumber, address, uiNumber;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(deviceObject);
    if (!record || !record->physical || record->deleted) return STATUS_INVALID_DEVICE_REQUEST;
    instanceKey = InstanceKey(*record);
    deviceId = record->config.deviceId;
    pdoNumber = record->pdoNumber;
    address = record->config.capabilities.Address;
    uiNumber = record->config.capabilities.UINumber;
  }
  // Most properties live in the device's instance key, where the driver and
  // the installer may have changed them.
  const char16_t* valueName = nullptr;
  switch (deviceProperty) {
    case DevicePropertyDeviceDescription:
      valueName = u"DeviceDesc";
      break;
    case DevicePropertyHardwareID:
      valueName = u"HardwareID";
      break;
    case DevicePropertyCompatibleIDs:
      valueName = u"CompatibleIDs";
      break;
    case DevicePropertyClassName:
      valueName = u"Class";
      break;
    case DevicePropertyClassGuid:
      valueName = u"ClassGUID";
      break;
    case DevicePropertyDriverKeyName:
      valueName = u"Driver";
      break;
    case DevicePropertyManufacturer:
      valueName = u"Mfg";
      break;
    case DevicePropertyFriendlyName:
      valueName = u"FriendlyName";
      break;
    default:
      break;
  }
  std::vector<UCHAR> data;
  if (valueName) {
    if (!platform::registry::GetValue(instanceKey, valueName, nullptr, &data)) return STATUS_OBJECT_NAME_NOT_FOUND;
  } else if (deviceProperty == DevicePropertyEnumeratorName) {
    data = StringBytes(deviceId.substr(0, deviceId.find(u'\\')));
  } else if (deviceProperty == DevicePropertyPhysicalDeviceObjectName) {
    char name[32];
    std::snprintf(name, sizeof(name), "\\Device\\USBPDO-%u", pdoNumber);
    data = StringBytes(std::u16string(name, name + std::strlen(name)));
  } else if (deviceProperty == DevicePropertyAddress || deviceProperty == DevicePropertyUINumber) {
    ULONG v = deviceProperty == DevicePropertyAddress ? address : uiNumber;
    data.assign(reinterpret_cast<UCHAR*>(&v), reinterpret_cast<UCHAR*>(&v) + sizeof(v));
  } else {
    return STATUS_INVALID_PARAMETER_2;
  }
  *resultLength = static_cast<ULONG>(data.size());
  if (bufferLength < data.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!propertyBuffer) return STATUS_INVALID_PARAMETER;
  std::memcpy(propertyBuffer, data.data(), data.size());
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK,
                                 HANDLE* devInstRegKey) {
  PAGED_CODE();
  if (!devInstRegKey) return STATUS_INVALID_PARAMETER;
  *devInstRegKey = nullptr;
  bool device = devInstKeyType & PLUGPLAY_REGKEY_DEVICE;
  bool driver = devInstKeyType & PLUGPLAY_REGKEY_DRIVER;
  bool profile = devInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
  if (device == driver) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  {
    std::lock_guard guard(IoLock());
    DeviceRecord* record = RecordOf(deviceObject);
    if (!record || !record->physical || record->deleted) return STATUS_INVALID_DEVICE_REQUEST;
    if (device) {
      path = profile ? kProfileRoot + u"Enum\\" + InstancePath(*record) : InstanceKey(*record) + u"\\Device Parameters";
    } else {
      if (record->config.driverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
      path = (profile ? kProfileRoot + u"Control\\Class\\" : kClassRoot) + record->config.driverKey;
    }
  }
  return platform::registry::OpenPath(path, true, devInstRegKey);
}

// ---- MDLs and the simulated user address space ----------------------------------------
namespace platform::mm {

struct Mapping {
  ULONG64 userAddress;
  PUCHAR kernelAddress;
  size_t length;
  PMDL mdl;
};

struct UserProcess {
  bool is32bit;
  ULONG64 next;
  std::vector<Mapping> mappings;
};

namespace {
thread_local UserProcess* t_currentProcess = nullptr;
std::mutex& MmLock() {
  static std::mutex lock;
  return lock;
}
std::vector<UserProcess*>& Processes() {
  static auto* list = new std::vector<UserProcess*>;
  return *list;
}
constexpr ULONG64 kPage = 4096;
constexpr ULONG64 kUserBase32 = 0x10000000;
constexpr ULONG64 kUserLimit32 = 0xFFFF0000;
constexpr ULONG64 kUserBase64 = 0x00001F0000000000;
}  // namespace

namespace {
void FreeProcess(void* object) {
  auto* process = static_cast<UserProcess*>(object);
  {
    std::lock_guard guard(MmLock());
    auto& list = Processes();
    list.erase(std::remove(list.begin(), list.end(), process), list.end());
  }
  delete process;
}
}  // namespace

UserProcess* CreateUserProcess(bool is32bit) {
  auto* process = new UserProcess{is32bit, is32bit ? kUserBase32 : kUserBase64, {}};
  {
    std::lock_guard guard(MmLock());
    Processes().push_back(process);
  }
  platform::ob::Register(process, *PsProcessType, FreeProcess);
  return process;
}

void DeleteUserProcess(UserProcess* process) {
  if (!process) return;
  {
    std::lock_guard guard(MmLock());
    if (!process->mappings.empty()) {
      // The process stays (when a test records the rule) so that the
      // mappings can still be undone.
      KERNEL_RULE(false, "PROCESS_HAS_LOCKED_PAGES: a process ended with driver mappings left");
      return;
    }
  }
  if (t_currentProcess == process) t_currentProcess = nullptr;
  ObDereferenceObject(process);
}

size_t ProcessCount() {
  std::lock_guard guard(MmLock());
  return Processes().size();
}

void SetCurrentProcess(UserProcess* process) { t_currentProcess = process; }
UserProcess* CurrentProcess() { return t_currentProcess; }

void* UserToKernel(UserProcess* process, ULONG64 userAddress, size_t length) {
  std::lock_guard guard(MmLock());
  for (const auto& m : process->mappings)
    if (userAddress >= m.userAddress && userAddress + length <= m.userAddress + m.length && length <= m.length)
      return m.kernelAddress + (userAddress - m.userAddress);
  return nullptr;
}

size_t MappingCount(UserProcess* process) {
  std::lock_guard guard(MmLock());
  return process->mappings.size();
}

}  // namespace platform::mm

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (!mdl) return nullptr;
  std::memset(mdl, 0, sizeof(*mdl));
  auto va = reinterpret_cast<ULONG_PTR>(virtualAddress);
  mdl->Size = sizeof(MDL);
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR{0xFFF});
  mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
  mdl->ByteCount = length;
  if (irp) {
    if (!secondaryBuffer || !irp->MdlAddress) {
      irp->MdlAddress = mdl;
    } else {
      PMDL last = irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl) {
  if (!mdl) return;
  {
    std::lock_guard guard(platform::mm::MmLock());
    for (auto* process : platform::mm::Processes())
      for (const auto& m : process->mappings)
        KERNEL_RULE(m.mdl != mdl, "IoFreeMdl of an MDL still mapped into a user process");
  }
  ExFreePool(mdl);
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) {
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return mdl->MappedSystemVa;
}

PEPROCESS PsGetCurrentProcess() { return platform::mm::t_currentProcess; }

void KeStackAttachProcess(PEPROCESS process, PKAPC_STATE apcState) {
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "KeStackAttachProcess above APC_LEVEL");
  KERNEL_RULE(platform::ob::IsRegistered(process), "KeStackAttachProcess to a process object that is gone");
  apcState->SavedProcess = platform::mm::t_currentProcess;
  platform::mm::t_currentProcess = process;
}

void KeUnstackDetachProcess(PKAPC_STATE apcState) { platform::mm::t_currentProcess = apcState->SavedProcess; }

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE, PVOID, ULONG bugCheck,
                                   ULONG priority) {
  if (accessMode == KernelMode) return MmGetSystemAddressForMdlSafe(mdl, priority);
  KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "MmMapLockedPagesSpecifyCache(UserMode) above APC_LEVEL");
  platform::mm::UserProcess* process = platform::mm::t_currentProcess;
  KERNEL_RULE(process != nullptr, "MmMapLockedPagesSpecifyCache(UserMode) outside a user process");
  if (!process) return nullptr;
  if (mdl->ByteOffset != 0 || mdl->ByteCount % platform::mm::kPage != 0) {
    KERNEL_RULE(!bugCheck, "MmMapLockedPagesSpecifyCache(UserMode) of an MDL that is not whole pages");
    return nullptr;
  }
  std::lock_guard guard(platform::mm::MmLock());
  mdl->Process = process;
  ULONG64 span = AlignUp(static_cast<size_t>(mdl->ByteOffset) + mdl->ByteCount, platform::mm::kPage);
  ULONG64 base = process->next;
  if (process->is32bit && base + span > platform::mm::kUserLimit32) {
    KERNEL_RULE(!bugCheck, "MmMapLockedPagesSpecifyCache: the user address space is full");
    return nullptr;
  }
  // A guard page between mappings, so that an overrun never lands in the
  // next mapping.
  process->next = base + span + platform::mm::kPage;
  ULONG64 user = base + mdl->ByteOffset;
  process->mappings.push_back({user, static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl)), mdl->ByteCount, mdl});
  return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(user));
}

void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl) {
  if (baseAddress == mdl->MappedSystemVa && (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) return;
  platform::mm::UserProcess* process = platform::mm::t_currentProcess;
  KERNEL_RULE(process != nullptr, "MmUnmapLockedPages of a user mapping outside its process");
  if (!process) return;
  std::lock_guard guard(platform::mm::MmLock());
  auto user = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(baseAddress));
  auto& list = process->mappings;
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const platform::mm::Mapping& m) { return m.userAddress == user && m.mdl == mdl; });
  KERNEL_RULE(it != list.end(), "MmUnmapLockedPages of an address the MDL is not mapped at in this process");
  if (it != list.end()) list.erase(it);
}
