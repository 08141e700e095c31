#include "driver/SettingsStore.h"

#include "driver/common/PoolBuffer.h"
#include "portcls/registrykey.h"

namespace {

constexpr ULONG kReadBufferTag = MakeTag("hlep");
// Room for the KEY_VALUE_PARTIAL_INFORMATION header and a little more: a
// value up to four bytes longer than the caller's buffer still reads, and
// is then refused by its length.
constexpr ULONG kReadBufferSlack = 16;
constexpr size_t kIndexedNameChars = 50;

// Releases a registry key object when its scope ends.
class CKeyReference {
 public:
  CKeyReference() = default;
  ~CKeyReference() {
    if (m_Key) m_Key->Release();
  }
  CKeyReference(const CKeyReference&) = delete;
  CKeyReference& operator=(const CKeyReference&) = delete;
  PREGISTRYKEY* operator&() { return &m_Key; }
  PREGISTRYKEY operator->() const { return m_Key; }
  PREGISTRYKEY Get() const { return m_Key; }

 private:
  PREGISTRYKEY m_Key = nullptr;
};

NTSTATUS OpenSubKey(PREGISTRYKEY parent, PCWSTR name, PREGISTRYKEY* key) {
  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName, name);
  // Opened for query and written through all the same: the handle is a
  // kernel handle, and the registry does not hold the driver to the mask.
  return parent->NewSubKey(key, nullptr, KEY_QUERY_VALUE, &keyName, 0, nullptr);
}

bool ValidName(PCWSTR name) {
  size_t chars = 0;
  // A value name longer than the registry allows could not be stored.
  return name && NT_SUCCESS(RtlStringCchLengthW(name, 16384, &chars));
}

}  // namespace

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT deviceObject, ULONG operation, PCWSTR subkeyName, PCWSTR valueName,
                             ULONG type, PVOID data, ULONG length) {
  PAGED_CODE();
  if (type != REG_SZ && type != REG_BINARY && type != REG_DWORD) return STATUS_UNSUCCESSFUL;
  if (!ValidName(valueName) || (subkeyName && !ValidName(subkeyName)) || (!data && length)) {
    return STATUS_INVALID_PARAMETER;
  }

  // Declared in this order so that they are released subkey first, then
  // "Settings", then the driver key.
  CKeyReference driverKey;
  CKeyReference settingsKey;
  CKeyReference subKey;
  NTSTATUS status = PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, deviceObject, nullptr,
                                     nullptr, 0, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = OpenSubKey(driverKey.Get(), u"Settings", &settingsKey);
  if (!NT_SUCCESS(status)) return status;
  PREGISTRYKEY target = settingsKey.Get();
  if (subkeyName) {
    status = OpenSubKey(settingsKey.Get(), subkeyName, &subKey);
    if (!NT_SUCCESS(status)) return status;
    target = subKey.Get();
  }

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  if (operation == SETTINGS_READ) {
    if (length > MAXULONG - kReadBufferSlack) return STATUS_INVALID_PARAMETER;
    ULONG queryLength = length + kReadBufferSlack;
    CPoolBuffer buffer(PagedPool, queryLength, kReadBufferTag);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG resultLength = 0;
    status = target->QueryValueKey(&name, KeyValuePartialInformation, buffer.Get(), queryLength, &resultLength);
    if (!NT_SUCCESS(status)) return status;
    auto* info = buffer.As<KEY_VALUE_PARTIAL_INFORMATION>();
    if (info->DataLength > length) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(data, info->Data, info->DataLength);
    return STATUS_SUCCESS;
  }
  if (operation == SETTINGS_WRITE) return target->SetValueKey(&name, type, data, length);
  return status;
}

NTSTATUS AccessSetting(PDEVICE_OBJECT deviceObject, ULONG operation, PVOID data, ULONG length, PCWSTR valueName) {
  PAGED_CODE();
  return AccessSettingsValue(deviceObject, operation, nullptr, valueName, REG_BINARY, data, length);
}

NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT deviceObject, ULONG operation, PVOID data, ULONG length, PCWSTR baseName,
                              ULONG index) {
  PAGED_CODE();
  if (!baseName) return STATUS_INVALID_PARAMETER;
  WCHAR name[kIndexedNameChars];
  // A name that does not fit is cut to the buffer (49 characters and the
  // terminator) and used as it is.
  RtlStringCchPrintfW(name, kIndexedNameChars, u"%s%d", baseName, static_cast<int>(index));
  return AccessSetting(deviceObject, operation, data, length, name);
}
