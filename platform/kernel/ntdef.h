// Basic kernel types and status codes of the kernel stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

using UCHAR = uint8_t;
using USHORT = uint16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using CHAR = char;
using SHORT = int16_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using LONG64 = int64_t;
using ULONG64 = uint64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using BOOLEAN = uint8_t;
using BOOL = int;
using WCHAR = char16_t;
using CCHAR = char;
using KPRIORITY = LONG;
using NTSTATUS = int32_t;
using VOID = void;
using PVOID = void*;
using PCVOID = const void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using PUCHAR = UCHAR*;
using PUSHORT = USHORT*;
using PULONG = ULONG*;
using PLONG = LONG*;
using PCHAR = CHAR*;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using PBOOLEAN = BOOLEAN*;
using PSIZE_T = SIZE_T*;
using ACCESS_MASK = ULONG;

constexpr ULONG MAXULONG = 0xFFFFFFFFu;
constexpr USHORT MAXUSHORT = 0xFFFF;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define STDMETHODCALLTYPE
#define UNREFERENCED_PARAMETER(p) ((void)(p))

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
static_assert(sizeof(LARGE_INTEGER) == 8);

union ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
};

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

// ---- NTSTATUS ------------------------------------------------------------
#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)
#define NTSTATUS_CONST(v) static_cast<NTSTATUS>(static_cast<uint32_t>(v))

constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_0 = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_1 = 0x00000001;
constexpr NTSTATUS STATUS_ALERTED = 0x00000101;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_REPARSE = 0x00000104;
constexpr NTSTATUS STATUS_MORE_ENTRIES = 0x00000105;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = NTSTATUS_CONST(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = NTSTATUS_CONST(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = NTSTATUS_CONST(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NTSTATUS_CONST(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = NTSTATUS_CONST(0xC0000003);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = NTSTATUS_CONST(0xC0000004);
constexpr NTSTATUS STATUS_ACCESS_VIOLATION = NTSTATUS_CONST(0xC0000005);
constexpr NTSTATUS STATUS_INVALID_HANDLE = NTSTATUS_CONST(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NTSTATUS_CONST(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = NTSTATUS_CONST(0xC000000E);
constexpr NTSTATUS STATUS_NO_SUCH_FILE = NTSTATUS_CONST(0xC000000F);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = NTSTATUS_CONST(0xC0000010);
constexpr NTSTATUS STATUS_END_OF_FILE = NTSTATUS_CONST(0xC0000011);
constexpr NTSTATUS STATUS_NO_MEMORY = NTSTATUS_CONST(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = NTSTATUS_CONST(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NTSTATUS_CONST(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = NTSTATUS_CONST(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = NTSTATUS_CONST(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = NTSTATUS_CONST(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = NTSTATUS_CONST(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = NTSTATUS_CONST(0xC000003A);
constexpr NTSTATUS STATUS_MUTANT_NOT_OWNED = NTSTATUS_CONST(0xC0000046);
constexpr NTSTATUS STATUS_DELETE_PENDING = NTSTATUS_CONST(0xC0000056);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NTSTATUS_CONST(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = NTSTATUS_CONST(0xC00000A3);
constexpr NTSTATUS STATUS_IO_TIMEOUT = NTSTATUS_CONST(0xC00000B5);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = NTSTATUS_CONST(0xC00000BB);
constexpr NTSTATUS STATUS_INTERNAL_ERROR = NTSTATUS_CONST(0xC00000E5);
constexpr NTSTATUS STATUS_CANCELLED = NTSTATUS_CONST(0xC0000120);
constexpr NTSTATUS STATUS_DEVICE_DOES_NOT_EXIST = NTSTATUS_CONST(0xC00000C0);
constexpr NTSTATUS STATUS_NOT_FOUND = NTSTATUS_CONST(0xC0000225);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = NTSTATUS_CONST(0xC000009D);
constexpr NTSTATUS STATUS_DEVICE_BUSY = NTSTATUS_CONST(0x80000011);
constexpr NTSTATUS STATUS_DEVICE_POWER_FAILURE = NTSTATUS_CONST(0xC000028E);
constexpr NTSTATUS STATUS_POWER_STATE_INVALID = NTSTATUS_CONST(0xC00002D3);
constexpr NTSTATUS STATUS_NO_MATCH = NTSTATUS_CONST(0xC0000272);
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = NTSTATUS_CONST(0xC0000206);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = NTSTATUS_CONST(0xC0000016);
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = NTSTATUS_CONST(0xC000009C);
constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = NTSTATUS_CONST(0xC0000182);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = NTSTATUS_CONST(0xC0000184);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = NTSTATUS_CONST(0xC0000185);
constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = 0x40000000;
constexpr NTSTATUS STATUS_DATA_ERROR = NTSTATUS_CONST(0xC000003E);
constexpr NTSTATUS STATUS_NAME_TOO_LONG = NTSTATUS_CONST(0xC0000106);
constexpr NTSTATUS STATUS_CANNOT_DELETE = NTSTATUS_CONST(0xC0000121);
constexpr NTSTATUS STATUS_KEY_DELETED = NTSTATUS_CONST(0xC000017C);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_2 = NTSTATUS_CONST(0xC00000F0);
constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = NTSTATUS_CONST(0xC000003B);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = NTSTATUS_CONST(0xC00000BA);

// ---- Strings -------------------------------------------------------------
struct UNICODE_STRING {
  USHORT Length;         // bytes, without terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PSTR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// ---- GUID ----------------------------------------------------------------
struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const GUID&;
using REFCLSID = const GUID&;
using LPGUID = GUID*;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualGUIDAligned(const GUID& a, const GUID& b) { return a == b; }

#define DEFINE_GUID_VALUE(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  GUID { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }

// Four-character pool tags are written 'abcd' in the source and stored
// little-endian, so the debugger shows them in reading order.
constexpr ULONG MakeTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(s[0])) | (static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24);
}
constexpr ULONG MakeTag(const char (&s)[4]) {
  return static_cast<ULONG>(static_cast<UCHAR>(s[0])) | (static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16);
}

#define FIELD_OFFSET(type, field) (static_cast<LONG>(offsetof(type, field)))
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PUCHAR>(address) - offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)
#define C_ASSERT(e) static_assert(e, #e)
