#include "kernel/registry.h"

#include <algorithm>
#include <atomic>

#include "kernel/bugcheck.h"
#include "kernel/irql.h"
#include "kernel/object.h"
#include "kernel/pool.h"
#include "kernel/registry_tree.h"
#include "kernel/sync.h"

namespace tree = platform::registry::tree;

namespace {

constexpr ULONG kKeyObjectTag = MakeTag("CmKy");

// The object behind a key handle. It lives in paged pool, as the kernel's key
// bodies do, so a handle that is never closed shows up in the pool leak check.
struct KeyObject {
  tree::KeyPtr key;
};

std::atomic<size_t> g_openKeys{0};

void DeleteKeyObject(void* object) {
  auto* body = static_cast<KeyObject*>(object);
  body->~KeyObject();
  ExFreePool(body);
  g_openKeys--;
}

NTSTATUS NewHandle(const tree::KeyPtr& key, HANDLE* handle) {
  void* memory = ExAllocatePoolWithTag(PagedPool, sizeof(KeyObject), kKeyObjectTag);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  auto* body = new (memory) KeyObject{key};
  g_openKeys++;
  platform::ob::Register(body, *CmKeyObjectType, DeleteKeyObject);
  *handle = platform::ob::CreateHandle(body, true);
  ObDereferenceObject(body);  // the handle keeps it
  return STATUS_SUCCESS;
}

// A referenced key body for the duration of one call.
class KeyRef {
 public:
  explicit KeyRef(HANDLE handle) {
    PVOID object = nullptr;
    m_Status = ObReferenceObjectByHandle(handle, 0, *CmKeyObjectType, KernelMode, &object, nullptr);
    if (NT_SUCCESS(m_Status)) {
      m_Body = static_cast<KeyObject*>(object);
      if (m_Body->key->deleted) m_Status = STATUS_KEY_DELETED;
    }
  }
  ~KeyRef() {
    if (m_Body) ObDereferenceObject(m_Body);
  }
  KeyRef(const KeyRef&) = delete;
  KeyRef& operator=(const KeyRef&) = delete;

  NTSTATUS Status() const { return m_Status; }
  tree::Key& Key() const { return *m_Body->key; }
  const tree::KeyPtr& Ptr() const { return m_Body->key; }

 private:
  KeyObject* m_Body = nullptr;
  NTSTATUS m_Status;
};

void RequirePassive(const char* routine) { KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, routine); }

bool ValidString(PCUNICODE_STRING s) {
  return s && s->Length % 2 == 0 && s->Length <= s->MaximumLength && (s->Buffer || s->Length == 0);
}

std::u16string_view View(PCUNICODE_STRING s) {
  return std::u16string_view(s->Buffer ? s->Buffer : u"", s->Length / sizeof(WCHAR));
}

// Resolves an object-attributes name: absolute ("\Registry\...") without a
// root handle, relative below a root key handle otherwise.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, tree::KeyPtr* start, std::vector<std::u16string>* parts) {
  if (!attributes || !ValidString(attributes->ObjectName)) return STATUS_INVALID_PARAMETER;
  std::u16string_view name = View(attributes->ObjectName);
  if (attributes->RootDirectory) {
    if (!name.empty() && name.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    KeyRef root(attributes->RootDirectory);
    if (!NT_SUCCESS(root.Status())) return root.Status();
    *start = root.Ptr();
  } else {
    if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *start = tree::Root();
  }
  if (!tree::SplitPath(name, parts)) return STATUS_OBJECT_NAME_INVALID;
  if (!attributes->RootDirectory) {
    if (parts->empty() || !tree::EqualNoCase((*parts)[0], u"REGISTRY")) return STATUS_OBJECT_NAME_NOT_FOUND;
    parts->erase(parts->begin());
  }
  return STATUS_SUCCESS;
}

// The value-name checks of every value routine.
NTSTATUS CheckValueName(PCUNICODE_STRING valueName) {
  if (!ValidString(valueName)) return STATUS_INVALID_PARAMETER;
  std::u16string_view name = View(valueName);
  if (name.size() > tree::kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  for (WCHAR c : name)
    if (c < 0x20) return STATUS_INVALID_PARAMETER;  // not representable in the saved text
  return STATUS_SUCCESS;
}

// Lays out a variable-length record with the kernel's size rules: a buffer
// shorter than `fixedSize` gets nothing; otherwise the fixed part and as
// much of the tail as fits.
NTSTATUS CopyRecord(const std::vector<UCHAR>& record, size_t fixedSize, PVOID buffer, ULONG length,
                    PULONG resultLength) {
  if (!resultLength) return STATUS_INVALID_PARAMETER;
  *resultLength = static_cast<ULONG>(record.size());
  if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
  if (!buffer) return STATUS_INVALID_PARAMETER;
  size_t n = std::min<size_t>(length, record.size());
  std::memcpy(buffer, record.data(), n);
  return n < record.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename T>
void Put(std::vector<UCHAR>& record, size_t offset, T value) {
  std::memcpy(record.data() + offset, &value, sizeof(T));
}

void PutChars(std::vector<UCHAR>& record, size_t offset, std::u16string_view s) {
  std::memcpy(record.data() + offset, s.data(), s.size() * sizeof(WCHAR));
}

NTSTATUS KeyRecord(const tree::Key& key, KEY_INFORMATION_CLASS infoClass, std::vector<UCHAR>* record,
                   size_t* fixedSize) {
  auto nameBytes = static_cast<ULONG>(key.name.size() * sizeof(WCHAR));
  switch (infoClass) {
    case KeyBasicInformation: {
      *fixedSize = offsetof(KEY_BASIC_INFORMATION, Name);
      record->assign(*fixedSize + nameBytes, 0);
      Put<LONGLONG>(*record, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), key.lastWriteTime);
      Put<ULONG>(*record, offsetof(KEY_BASIC_INFORMATION, TitleIndex), key.titleIndex);
      Put<ULONG>(*record, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
      PutChars(*record, *fixedSize, key.name);
      return STATUS_SUCCESS;
    }
    case KeyNodeInformation: {
      *fixedSize = offsetof(KEY_NODE_INFORMATION, Name);
      record->assign(*fixedSize + nameBytes, 0);
      Put<LONGLONG>(*record, offsetof(KEY_NODE_INFORMATION, LastWriteTime), key.lastWriteTime);
      Put<ULONG>(*record, offsetof(KEY_NODE_INFORMATION, TitleIndex), key.titleIndex);
      Put<ULONG>(*record, offsetof(KEY_NODE_INFORMATION, ClassOffset), 0xFFFFFFFFu);  // no class
      Put<ULONG>(*record, offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
      PutChars(*record, *fixedSize, key.name);
      return STATUS_SUCCESS;
    }
    case KeyFullInformation: {
      *fixedSize = offsetof(KEY_FULL_INFORMATION, Class);
      record->assign(*fixedSize, 0);
      ULONG maxName = 0, maxValueName = 0, maxData = 0;
      for (const auto& k : key.subkeys) maxName = std::max<ULONG>(maxName, static_cast<ULONG>(k->name.size() * 2));
      for (const auto& v : key.values) {
        maxValueName = std::max<ULONG>(maxValueName, static_cast<ULONG>(v.name.size() * 2));
        maxData = std::max<ULONG>(maxData, static_cast<ULONG>(v.data.size()));
      }
      Put<LONGLONG>(*record, offsetof(KEY_FULL_INFORMATION, LastWriteTime), key.lastWriteTime);
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, TitleIndex), key.titleIndex);
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, ClassOffset), 0xFFFFFFFFu);
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.subkeys.size()));
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
      Put<ULONG>(*record, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxData);
      return STATUS_SUCCESS;
    }
    case KeyNameInformation: {
      std::u16string path = tree::FullPath(key);
      auto pathBytes = static_cast<ULONG>(path.size() * sizeof(WCHAR));
      *fixedSize = offsetof(KEY_NAME_INFORMATION, Name);
      record->assign(*fixedSize + pathBytes, 0);
      Put<ULONG>(*record, offsetof(KEY_NAME_INFORMATION, NameLength), pathBytes);
      PutChars(*record, *fixedSize, path);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS ValueRecord(const tree::Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<UCHAR>* record,
                     size_t* fixedSize) {
  auto nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  auto dataBytes = static_cast<ULONG>(value.data.size());
  switch (infoClass) {
    case KeyValueBasicInformation:
      *fixedSize = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      record->assign(*fixedSize + nameBytes, 0);
      Put<ULONG>(*record, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
      Put<ULONG>(*record, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
      PutChars(*record, *fixedSize, value.name);
      return STATUS_SUCCESS;
    case KeyValueFullInformation: {
      *fixedSize = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      // The data follows the name at the next pointer-aligned offset.
      ULONG dataOffset = static_cast<ULONG>((*fixedSize + nameBytes + 7) & ~size_t{7});
      record->assign(dataOffset + dataBytes, 0);
      Put<ULONG>(*record, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
      Put<ULONG>(*record, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
      Put<ULONG>(*record, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
      Put<ULONG>(*record, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
      PutChars(*record, *fixedSize, value.name);
      if (dataBytes) std::memcpy(record->data() + dataOffset, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
      *fixedSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      record->assign(*fixedSize + dataBytes, 0);
      Put<ULONG>(*record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
      Put<ULONG>(*record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
      if (dataBytes) std::memcpy(record->data() + *fixedSize, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

// A key's or a value's record, laid out into the caller's buffer.
NTSTATUS AnswerKey(const tree::Key& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                   PULONG resultLength) {
  std::vector<UCHAR> record;
  size_t fixed = 0;
  NTSTATUS status = KeyRecord(key, infoClass, &record, &fixed);
  return NT_SUCCESS(status) ? CopyRecord(record, fixed, buffer, length, resultLength) : status;
}

NTSTATUS AnswerValue(const tree::Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                     PULONG resultLength) {
  std::vector<UCHAR> record;
  size_t fixed = 0;
  NTSTATUS status = ValueRecord(value, infoClass, &record, &fixed);
  return NT_SUCCESS(status) ? CopyRecord(record, fixed, buffer, length, resultLength) : status;
}

NTSTATUS OpenOrCreate(HANDLE* keyHandle, POBJECT_ATTRIBUTES attributes, bool create, PULONG disposition) {
  if (!keyHandle) return STATUS_INVALID_PARAMETER;
  *keyHandle = nullptr;
  std::lock_guard guard(tree::Lock());
  tree::KeyPtr start;
  std::vector<std::u16string> parts;
  NTSTATUS status = ResolveName(attributes, &start, &parts);
  if (!NT_SUCCESS(status)) return status;
  tree::KeyPtr key = start;
  bool created = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    tree::KeyPtr next = tree::FindChild(*key, parts[i]);
    if (!next && create && i + 1 == parts.size()) {
      // Only the last component is created, as the kernel does.
      next = tree::CreateChild(key, parts[i], &created);
      if (!next) return STATUS_INVALID_PARAMETER;
    }
    if (!next) return STATUS_OBJECT_NAME_NOT_FOUND;
    key = next;
  }
  if (key->deleted) return STATUS_KEY_DELETED;
  status = NewHandle(key, keyHandle);
  if (NT_SUCCESS(status) && disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return status;
}

tree::KeyPtr FindPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!tree::SplitPath(path, &parts) || parts.empty() || !tree::EqualNoCase(parts[0], u"REGISTRY")) return nullptr;
  parts.erase(parts.begin());
  return tree::Walk(tree::Root(), parts);
}

}  // namespace

NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes) {
  RequirePassive("ZwOpenKey above PASSIVE_LEVEL");
  return OpenOrCreate(keyHandle, objectAttributes, false, nullptr);
}

NTSTATUS ZwCreateKey(HANDLE* keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes, ULONG, PUNICODE_STRING, ULONG,
                     PULONG disposition) {
  RequirePassive("ZwCreateKey above PASSIVE_LEVEL");
  return OpenOrCreate(keyHandle, objectAttributes, true, disposition);
}

NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation, ULONG length,
                    PULONG resultLength) {
  RequirePassive("ZwQueryKey above PASSIVE_LEVEL");
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  return AnswerKey(key.Key(), keyInformationClass, keyInformation, length, resultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                        ULONG length, PULONG resultLength) {
  RequirePassive("ZwEnumerateKey above PASSIVE_LEVEL");
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  if (index >= key.Key().subkeys.size()) return STATUS_NO_MORE_ENTRIES;
  return AnswerKey(*key.Key().subkeys[index], keyInformationClass, keyInformation, length, resultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation, ULONG length,
                         PULONG resultLength) {
  RequirePassive("ZwQueryValueKey above PASSIVE_LEVEL");
  NTSTATUS status = CheckValueName(valueName);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  const tree::Value* value = tree::FindValue(key.Key(), View(valueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  return AnswerValue(*value, keyValueInformationClass, keyValueInformation, length, resultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                             PVOID keyValueInformation, ULONG length, PULONG resultLength) {
  RequirePassive("ZwEnumerateValueKey above PASSIVE_LEVEL");
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  if (index >= key.Key().values.size()) return STATUS_NO_MORE_ENTRIES;
  return AnswerValue(key.Key().values[index], keyValueInformationClass, keyValueInformation, length, resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize) {
  RequirePassive("ZwSetValueKey above PASSIVE_LEVEL");
  NTSTATUS status = CheckValueName(valueName);
  if (!NT_SUCCESS(status)) return status;
  if (!data && dataSize) return STATUS_INVALID_PARAMETER;
  if (dataSize > tree::kMaxValueBytes) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  tree::SetValue(key.Key(), View(valueName), type, data, dataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName) {
  RequirePassive("ZwDeleteValueKey above PASSIVE_LEVEL");
  if (!ValidString(valueName)) return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  return tree::DeleteValue(key.Key(), View(valueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE keyHandle) {
  RequirePassive("ZwDeleteKey above PASSIVE_LEVEL");
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  if (!key.Key().subkeys.empty() || !key.Key().parent) return STATUS_CANNOT_DELETE;
  tree::DeleteTree(key.Ptr());
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE keyHandle) {
  RequirePassive("ZwFlushKey above PASSIVE_LEVEL");
  std::lock_guard guard(tree::Lock());
  KeyRef key(keyHandle);
  return key.Status();
}

namespace platform::registry {

NTSTATUS OpenPath(std::u16string_view path, bool create, HANDLE* handle) {
  std::lock_guard guard(tree::Lock());
  std::vector<std::u16string> parts;
  if (!tree::SplitPath(path, &parts)) return STATUS_OBJECT_NAME_INVALID;
  if (parts.empty() || !tree::EqualNoCase(parts[0], u"REGISTRY")) return STATUS_OBJECT_NAME_NOT_FOUND;
  parts.erase(parts.begin());
  tree::KeyPtr key = create ? tree::WalkCreate(tree::Root(), parts) : tree::Walk(tree::Root(), parts);
  if (!key) return create ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_NAME_NOT_FOUND;
  return NewHandle(key, handle);
}

void Reset() { tree::Reset(); }

NTSTATUS CreateKey(std::u16string_view path) {
  std::lock_guard guard(tree::Lock());
  std::vector<std::u16string> parts;
  if (!tree::SplitPath(path, &parts) || parts.empty() || !tree::EqualNoCase(parts[0], u"REGISTRY"))
    return STATUS_OBJECT_NAME_INVALID;
  parts.erase(parts.begin());
  return tree::WalkCreate(tree::Root(), parts) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

bool KeyExists(std::u16string_view path) {
  std::lock_guard guard(tree::Lock());
  return FindPath(path) != nullptr;
}

NTSTATUS DeleteKeyTree(std::u16string_view path) {
  std::lock_guard guard(tree::Lock());
  tree::KeyPtr key = FindPath(path);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!key->parent) return STATUS_CANNOT_DELETE;
  tree::DeleteTree(key);
  return STATUS_SUCCESS;
}

NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data, size_t size) {
  if (size > tree::kMaxValueBytes || name.size() > tree::kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CreateKey(path);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(tree::Lock());
  tree::SetValue(*FindPath(path), name, type, data, size);
  return STATUS_SUCCESS;
}

NTSTATUS SetStringValue(std::u16string_view path, std::u16string_view name, std::u16string_view value) {
  std::u16string data(value);
  return SetValue(path, name, REG_SZ, data.c_str(), (data.size() + 1) * sizeof(WCHAR));
}

NTSTATUS SetDwordValue(std::u16string_view path, std::u16string_view name, ULONG value) {
  return SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

bool GetValue(std::u16string_view path, std::u16string_view name, ULONG* type, std::vector<UCHAR>* data) {
  std::lock_guard guard(tree::Lock());
  tree::KeyPtr key = FindPath(path);
  const tree::Value* value = key ? tree::FindValue(*key, name) : nullptr;
  if (!value) return false;
  if (type) *type = value->type;
  if (data) *data = value->data;
  return true;
}

std::vector<std::u16string> SubkeyNames(std::u16string_view path) {
  std::lock_guard guard(tree::Lock());
  std::vector<std::u16string> names;
  if (tree::KeyPtr key = FindPath(path))
    for (const auto& child : key->subkeys) names.push_back(child->name);
  return names;
}

size_t OpenHandleCount() { return g_openKeys.load(); }

}  // namespace platform::registry
