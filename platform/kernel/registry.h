// The registry: an in-memory tree of keys and values reached through the Zw
// routines, with the kernel's size-query answers, the device keys of the
// plug-and-play manager, and persistence in the registry editor's text
// format so that a user can read and edit it between runs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/ntdef.h"
#include "kernel/object.h"

struct DEVICE_OBJECT;

// Value types.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
constexpr ULONG REG_LINK = 6;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_RESOURCE_LIST = 8;
constexpr ULONG REG_QWORD = 11;

// Key access rights. The stand-in records but does not enforce them.
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
constexpr ACCESS_MASK KEY_READ = 0x00020019;
constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
constexpr ACCESS_MASK KEY_EXECUTE = KEY_READ;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;

// Create options and dispositions.
constexpr ULONG REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr ULONG REG_OPTION_VOLATILE = 0x00000001;
constexpr ULONG REG_CREATED_NEW_KEY = 0x00000001;
constexpr ULONG REG_OPENED_EXISTING_KEY = 0x00000002;

enum KEY_INFORMATION_CLASS {
  KeyBasicInformation = 0,
  KeyNodeInformation = 1,
  KeyFullInformation = 2,
  KeyNameInformation = 3,
};

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

struct KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
using PKEY_BASIC_INFORMATION = KEY_BASIC_INFORMATION*;

struct KEY_NODE_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_NODE_INFORMATION = KEY_NODE_INFORMATION*;

struct KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;
  ULONG MaxValueDataLen;
  WCHAR Class[1];
};
using PKEY_FULL_INFORMATION = KEY_FULL_INFORMATION*;

struct KEY_NAME_INFORMATION {
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_NAME_INFORMATION = KEY_NAME_INFORMATION*;

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_VALUE_BASIC_INFORMATION = KEY_VALUE_BASIC_INFORMATION*;

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of the record
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_VALUE_FULL_INFORMATION = KEY_VALUE_FULL_INFORMATION*;

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

// Every routine runs at PASSIVE_LEVEL. Size rules of the query routines, as
// the kernel answers them: a buffer too small for the record's fixed part
// gets STATUS_BUFFER_TOO_SMALL and nothing written; one that holds the fixed
// part but not the rest gets STATUS_BUFFER_OVERFLOW with the fixed part and
// as much of the rest as fits; `resultLength` is always the full size.
NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS ZwCreateKey(HANDLE* keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition);
NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation, ULONG length,
                    PULONG resultLength);
NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                        ULONG length, PULONG resultLength);
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation, ULONG length,
                         PULONG resultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                             PVOID keyValueInformation, ULONG length, PULONG resultLength);
NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize);
NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName);
// Deletes the key (which must have no subkeys); open handles to it fail
// from then on with STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE keyHandle);
NTSTATUS ZwFlushKey(HANDLE keyHandle);

// Device keys of the plug-and-play manager.
constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;

// PLUGPLAY_REGKEY_DEVICE opens the instance's "Device Parameters" key below
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<device id>\<instance>",
// PLUGPLAY_REGKEY_DRIVER the driver's software key below "Control\Class";
// with PLUGPLAY_REGKEY_CURRENT_HWPROFILE the same keys of the current
// hardware profile (for the device key: the instance key itself, named
// after the instance). The key is created when absent.
NTSTATUS IoOpenDeviceRegistryKey(DEVICE_OBJECT* deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 HANDLE* devInstRegKey);

namespace platform::registry {

// An empty registry holding only the standard keys. Tests start from it.
void Reset();

// Direct access for tests, the host and the main job. Paths are absolute
// kernel paths ("\Registry\Machine\..."), matched without regard to case.
NTSTATUS CreateKey(std::u16string_view path);  // with every missing parent
bool KeyExists(std::u16string_view path);
NTSTATUS DeleteKeyTree(std::u16string_view path);
NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data, size_t size);
NTSTATUS SetStringValue(std::u16string_view path, std::u16string_view name, std::u16string_view value);
NTSTATUS SetDwordValue(std::u16string_view path, std::u16string_view name, ULONG value);
bool GetValue(std::u16string_view path, std::u16string_view name, ULONG* type, std::vector<UCHAR>* data);
std::vector<std::u16string> SubkeyNames(std::u16string_view path);

// Key handles open now (a test that ends with one open leaked it).
size_t OpenHandleCount();

// Persistence in the text format of the registry editor ("Windows Registry
// Editor Version 5.00", [key] lines, "name"="string", dword:, hex:, hex(N):),
// written as UTF-8; UTF-16 files with a byte-order mark are read as well.
// Saving writes `root` and everything below it. Loading merges the file
// into the registry (creating keys, setting values, honouring [-key] and
// "name"=- deletions) only when the whole text is well-formed; otherwise
// nothing changes and the status is STATUS_DATA_ERROR, with the line and
// reason in `error`.
std::string SaveToText(std::u16string_view root = u"\\Registry\\Machine");
NTSTATUS SaveToFile(const std::string& fileName, std::u16string_view root = u"\\Registry\\Machine");
// `progress` (when given) hears the share of the text done, 0 to 1, now and
// then: a large file takes a while.
NTSTATUS LoadFromText(std::string_view text, std::string* error = nullptr,
                      const std::function<void(double)>& progress = {});
NTSTATUS LoadFromFile(const std::string& fileName, std::string* error = nullptr);

// Several processes may keep one registry file. Each takes a Snapshot when
// it has loaded the file and, when it is done, merges only what it changed
// since into the file as it is then, so that another process's changes in
// between are kept.
namespace tree {
struct Key;
}
struct ChangeList;

class Snapshot {
 public:
  Snapshot();
  ~Snapshot();

 private:
  friend Snapshot TakeSnapshot(std::u16string_view root);
  friend class Changes;
  std::vector<std::u16string> m_Path;  // below \REGISTRY
  std::shared_ptr<const tree::Key> m_Copy;
};

// `root` and everything below it as it stands now.
Snapshot TakeSnapshot(std::u16string_view root = u"\\Registry\\Machine");

enum class ChangeKinds {
  All,  // keys and values created, changed and deleted
  // Only keys and values that did not exist at the snapshot, and none that
  // the file holds by the time of the merge: what a process that changes
  // nothing on purpose adds (a device met for the first time).
  Additions,
};

class Changes {
 public:
  // What changed below the snapshot's root since it was taken.
  Changes(const Snapshot& since, ChangeKinds kinds);
  ~Changes();
  bool Empty() const;
  // The registry file's text `onDisk` (empty: no file yet) with the changes
  // applied, everything else in it kept. *merged is empty when the changes
  // leave the text's registry as it was. A text that does not parse is
  // STATUS_DATA_ERROR with the line and reason in *error.
  NTSTATUS MergeInto(std::string_view onDisk, std::string* merged, std::string* error) const;

 private:
  std::shared_ptr<const ChangeList> m_List;
};

}  // namespace platform::registry
