#include "driver/DeviceParameter.h"

#include "driver/common/PoolBuffer.h"

namespace {

constexpr ULONG kDeviceTag = MakeTag("USBd");
constexpr ULONG kQuerySlack = 16;

bool IsSizeAnswer(NTSTATUS status) { return status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW; }

// A size query's answer when it is not a size: its own failure, and a
// success (nothing to size) as a failure, so that no read reports success
// without having read anything.
NTSTATUS NotASize(NTSTATUS status) { return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status; }

NTSTATUS OpenPath(PCWSTR format, PCWSTR hardwareId, PCWSTR keyName, PCWSTR tail, HANDLE* key) {
  size_t chars = wcslen(format) + wcslen(hardwareId) + wcslen(keyName) + (tail ? wcslen(tail) : 0) + 1;
  if (chars * sizeof(WCHAR) > MAXUSHORT) return STATUS_NAME_TOO_LONG;
  CPoolBuffer path(PagedPool, chars * sizeof(WCHAR), kDeviceTag);
  if (!path) return STATUS_NO_MEMORY;
  NTSTATUS status = tail ? RtlStringCchPrintfW(path.As<WCHAR>(), chars, format, hardwareId, keyName, tail)
                         : RtlStringCchPrintfW(path.As<WCHAR>(), chars, format, hardwareId, keyName);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path.As<WCHAR>());
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

NTSTATUS ReadValue(HANDLE key, PCWSTR valueName, ULONG length, PVOID buffer) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG size = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &size);
  if (!IsSizeAnswer(status)) return NotASize(status);
  // Whatever wrote the value decides its length, not the buffer's: a value
  // longer than the caller's buffer is refused before one is made for it.
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  if (size > kHeader && size - kHeader > length) return STATUS_UNSUCCESSFUL;
  if (size > MAXULONG - kQuerySlack) return STATUS_NO_MEMORY;
  CPoolBuffer info(PagedPool, size + kQuerySlack, kDeviceTag);
  if (!info) return STATUS_NO_MEMORY;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info.Get(), size + kQuerySlack, &size);
  if (!NT_SUCCESS(status)) return status;
  auto* value = info.As<KEY_VALUE_PARTIAL_INFORMATION>();
  if (value->DataLength > length) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(buffer, value->Data, value->DataLength);
  return STATUS_SUCCESS;
}

}  // namespace

CDeviceInstanceKeys::~CDeviceInstanceKeys() {
  if (m_HardwareIds) ExFreePool(m_HardwareIds);
  if (m_KeyName) ExFreePool(m_KeyName);
}

NTSTATUS CDeviceInstanceKeys::Init(PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  ULONG size = 0;
  NTSTATUS status = IoGetDeviceProperty(physicalDeviceObject, DevicePropertyHardwareID, 0, nullptr, &size);
  if (!IsSizeAnswer(status)) return NotASize(status);
  // Two more terminators than the property brings, so that a list that
  // arrives without its own ends anyway.
  if (size > MAXULONG - 2 * sizeof(WCHAR)) return STATUS_NO_MEMORY;
  size_t chars = (size + 1) / sizeof(WCHAR) + 2;
  m_HardwareIds = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kDeviceTag));
  if (!m_HardwareIds) return STATUS_NO_MEMORY;
  RtlZeroMemory(m_HardwareIds, chars * sizeof(WCHAR));
  m_HardwareIdChars = chars;
  status = IoGetDeviceProperty(physicalDeviceObject, DevicePropertyHardwareID, size, m_HardwareIds, &size);
  if (!NT_SUCCESS(status)) return status;
  m_FirstIdChars = wcslen(m_HardwareIds);
  if (PWCHAR comma = wcschr(m_HardwareIds, u',')) *comma = 0;

  HANDLE key = nullptr;
  status = IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                   KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  status = ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &size);
  if (IsSizeAnswer(status)) {
    CPoolBuffer info(PagedPool, size, kDeviceTag);
    if (!info) {
      status = STATUS_NO_MEMORY;
    } else {
      status = ZwQueryKey(key, KeyBasicInformation, info.Get(), size, &size);
      auto* basic = info.As<KEY_BASIC_INFORMATION>();
      if (NT_SUCCESS(status) && basic->NameLength > size - offsetof(KEY_BASIC_INFORMATION, Name))
        status = STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) {
        size_t nameChars = basic->NameLength / sizeof(WCHAR);
        m_KeyName = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (nameChars + 1) * sizeof(WCHAR), kDeviceTag));
        if (!m_KeyName) {
          status = STATUS_NO_MEMORY;
        } else {
          RtlCopyMemory(m_KeyName, basic->Name, nameChars * sizeof(WCHAR));
          m_KeyName[nameChars] = 0;
        }
      }
    }
  } else {
    status = NotASize(status);
  }
  ZwClose(key);
  return status;
}

PCWSTR CDeviceInstanceKeys::NextHardwareId(PCWSTR previous) const {
  if (!m_HardwareIds) return nullptr;
  PCWSTR next;
  if (!previous)
    next = m_HardwareIds;
  else if (previous == m_HardwareIds)
    next = m_HardwareIds + m_FirstIdChars + 1;  // past the first ID's own end, not its comma
  else
    next = previous + wcslen(previous) + 1;
  PCWSTR end = m_HardwareIds + m_HardwareIdChars;
  if (next >= end || *next == 0) return nullptr;
  return next;
}

NTSTATUS CDeviceInstanceKeys::OpenInstanceKey(PCWSTR hardwareId, PCWSTR tail, HANDLE* key) const {
  PAGED_CODE();
  if (!m_KeyName || !hardwareId || !key) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = OpenPath(tail ? u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s\\%s"
                                  : u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s",
                             hardwareId, m_KeyName, tail, key);
  // Only a key that is not there sends the search to the old tree.
  if (NT_SUCCESS(status) || status == STATUS_NO_MEMORY) return status;
  return OpenPath(tail ? u"\\Registry\\Machine\\Enum\\%s\\%s\\%s" : u"\\Registry\\Machine\\Enum\\%s\\%s", hardwareId,
                  m_KeyName, tail, key);
}

NTSTATUS ReadDeviceInstanceParameter(PDEVICE_OBJECT physicalDeviceObject, ULONG parameterIndex, ULONG length,
                                     PVOID buffer) {
  PAGED_CODE();
  static const PCWSTR kNames[] = {u"DeviceSelectiveSuspended", u"SelectiveSuspendEnabled"};
  if (parameterIndex >= ARRAYSIZE(kNames)) return STATUS_INVALID_PARAMETER;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;

  CDeviceInstanceKeys keys;
  NTSTATUS status = keys.Init(physicalDeviceObject);
  if (!NT_SUCCESS(status)) return status;

  // No hardware ID at all finds nothing.
  status = STATUS_OBJECT_NAME_NOT_FOUND;
  for (PCWSTR id = keys.NextHardwareId(nullptr); id; id = keys.NextHardwareId(id)) {
    HANDLE key = nullptr;
    status = keys.OpenInstanceKey(id, u"Device Parameters", &key);
    if (!NT_SUCCESS(status)) continue;
    status = ReadValue(key, kNames[parameterIndex], length, buffer);
    ZwClose(key);
    // The first ID that holds the value decides; a later one that does not
    // must not turn the value found into a failure.
    if (NT_SUCCESS(status)) break;
  }
  return status;
}
