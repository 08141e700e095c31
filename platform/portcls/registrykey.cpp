#include "portcls/registrykey.h"

namespace {

constexpr ULONG kRegistryKeyTag = MakeTag("PcRk");

class CRegistryKey : public CUnknownBase, public IRegistryKey {
 public:
  explicit CRegistryKey(HANDLE key) : CUnknownBase(nullptr), m_Key(key) {}
  ~CRegistryKey() override {
    PAGED_CODE();
    if (m_Key) ZwClose(m_Key);
  }

  IMP_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IRegistryKey) || IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = static_cast<IRegistryKey*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }

  NTSTATUS STDMETHODCALLTYPE QueryKey(KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                                      PULONG resultLength) override {
    PAGED_CODE();
    return ZwQueryKey(m_Key, infoClass, info, length, resultLength);
  }
  NTSTATUS STDMETHODCALLTYPE EnumerateKey(ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                                          PULONG resultLength) override {
    PAGED_CODE();
    return ZwEnumerateKey(m_Key, index, infoClass, info, length, resultLength);
  }
  NTSTATUS STDMETHODCALLTYPE QueryValueKey(PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                                           ULONG length, PULONG resultLength) override {
    PAGED_CODE();
    return ZwQueryValueKey(m_Key, valueName, infoClass, info, length, resultLength);
  }
  NTSTATUS STDMETHODCALLTYPE EnumerateValueKey(ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                                               ULONG length, PULONG resultLength) override {
    PAGED_CODE();
    return ZwEnumerateValueKey(m_Key, index, infoClass, info, length, resultLength);
  }
  NTSTATUS STDMETHODCALLTYPE SetValueKey(PUNICODE_STRING valueName, ULONG type, PVOID data, ULONG dataSize) override {
    PAGED_CODE();
    return ZwSetValueKey(m_Key, valueName, 0, type, data, dataSize);
  }
  NTSTATUS STDMETHODCALLTYPE QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE, PVOID) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE NewSubKey(IRegistryKey** subKey, PUNKNOWN outerUnknown, ACCESS_MASK desiredAccess,
                                       PUNICODE_STRING subKeyName, ULONG createOptions, PULONG disposition) override;
  NTSTATUS STDMETHODCALLTYPE DeleteKey() override {
    PAGED_CODE();
    return ZwDeleteKey(m_Key);
  }

 private:
  HANDLE m_Key;
};

// Wraps an open key handle; the object owns the handle from here on, also
// when it cannot be created.
NTSTATUS WrapKey(HANDLE key, PREGISTRYKEY* out) {
  auto* object = new (PagedPool, kRegistryKeyTag) CRegistryKey(key);
  if (!object) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  object->NonDelegatingAddRef();
  NTSTATUS status = object->NonDelegatingQueryInterface(IID_IRegistryKey, reinterpret_cast<PVOID*>(out));
  object->NonDelegatingRelease();
  return status;
}

NTSTATUS CRegistryKey::NewSubKey(IRegistryKey** subKey, PUNKNOWN outerUnknown, ACCESS_MASK desiredAccess,
                                 PUNICODE_STRING subKeyName, ULONG createOptions, PULONG disposition) {
  PAGED_CODE();
  if (!subKey) return STATUS_INVALID_PARAMETER;
  *subKey = nullptr;
  if (outerUnknown || !subKeyName) return STATUS_INVALID_PARAMETER;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, subKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_Key, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwCreateKey(&key, desiredAccess, &attributes, 0, nullptr, createOptions, disposition);
  if (!NT_SUCCESS(status)) return status;
  return WrapKey(key, subKey);
}

}  // namespace

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                          ACCESS_MASK desiredAccess, PVOID deviceObject, PVOID, POBJECT_ATTRIBUTES objectAttributes,
                          ULONG createOptions, PULONG disposition) {
  PAGED_CODE();
  if (!outRegistryKey) return STATUS_INVALID_PARAMETER;
  *outRegistryKey = nullptr;
  if (outerUnknown) return STATUS_INVALID_PARAMETER;
  HANDLE key = nullptr;
  NTSTATUS status;
  switch (registryKeyType) {
    case GeneralRegistryKey:
      if (!objectAttributes) return STATUS_INVALID_PARAMETER;
      status = ZwCreateKey(&key, desiredAccess, objectAttributes, 0, nullptr, createOptions, disposition);
      break;
    case DeviceRegistryKey:
    case DriverRegistryKey:
    case HwProfileRegistryKey: {
      if (!deviceObject) return STATUS_INVALID_PARAMETER;
      static constexpr ULONG kKeyType[] = {0, PLUGPLAY_REGKEY_DEVICE, PLUGPLAY_REGKEY_DRIVER,
                                           PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE};
      PDEVICE_OBJECT pdo = IoGetDeviceAttachmentBaseRef(static_cast<PDEVICE_OBJECT>(deviceObject));
      status = IoOpenDeviceRegistryKey(pdo, kKeyType[registryKeyType], desiredAccess, &key);
      ObDereferenceObject(pdo);
      if (NT_SUCCESS(status) && disposition) *disposition = REG_OPENED_EXISTING_KEY;
      break;
    }
    case DeviceInterfaceRegistryKey:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (!NT_SUCCESS(status)) return status;
  return WrapKey(key, outRegistryKey);
}
