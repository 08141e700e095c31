// Run-time library: counted strings, memory helpers, the bounded "safe
// string" routines, and the C string routines on the kernel's 16-bit wide
// characters. All formatting follows the kernel's printf rules (format.h):
// in a wide format %s is a wide string and %S a narrow one.
#pragma once

#include <string>

#include "kernel/ntdef.h"

// ---- Memory ----------------------------------------------------------------------
inline void RtlZeroMemory(PVOID destination, SIZE_T length) { std::memset(destination, 0, length); }
inline void RtlFillMemory(PVOID destination, SIZE_T length, UCHAR fill) { std::memset(destination, fill, length); }
inline void RtlCopyMemory(PVOID destination, const void* source, SIZE_T length) {
  std::memcpy(destination, source, length);
}
inline void RtlMoveMemory(PVOID destination, const void* source, SIZE_T length) {
  std::memmove(destination, source, length);
}
inline bool RtlEqualMemory(const void* a, const void* b, SIZE_T length) { return std::memcmp(a, b, length) == 0; }
// Number of leading bytes that match.
SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length);

// ---- Counted strings ----------------------------------------------------------------
// A UNICODE_STRING over a string literal: RTL_CONSTANT_STRING(u"Settings").
#define RTL_CONSTANT_STRING(s)                                                                            \
  UNICODE_STRING {                                                                                        \
    static_cast<USHORT>(sizeof(s) - sizeof((s)[0])), static_cast<USHORT>(sizeof(s)), const_cast<PWSTR>(s) \
  }

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
// Frees a buffer that an Rtl routine allocated (paged pool, tag "Strg").
void RtlFreeUnicodeString(PUNICODE_STRING string);
void RtlFreeAnsiString(PANSI_STRING string);
// Copies as much as fits; terminates when there is room.
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the result does not fit.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
// Latin-1 conversions. With `allocate` the destination buffer comes from
// paged pool; without it a destination too small gives STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, const ANSI_STRING* source, BOOLEAN allocate);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
// Base 0 (= 10), 2, 8, 10 or 16; STATUS_BUFFER_OVERFLOW when it does not fit.
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in a buffer from paged pool; free
// it with RtlFreeUnicodeString.
NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING guidString);

// ---- Bounded ("safe") string routines --------------------------------------------------
// Sizes in characters (Cch) or bytes (Cb), terminator included. A result that
// does not fit is cut, terminated, and reported as STATUS_BUFFER_OVERFLOW; a
// zero or oversized buffer size is STATUS_INVALID_PARAMETER.
constexpr size_t NTSTRSAFE_MAX_CCH = 2147483647;
NTSTATUS RtlStringCchPrintfW(PWSTR destination, size_t cchDestination, PCWSTR format, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR destination, size_t cbDestination, PCWSTR format, ...);
NTSTATUS RtlStringCchPrintfA(PSTR destination, size_t cchDestination, PCSTR format, ...)
    __attribute__((format(printf, 3, 4)));
NTSTATUS RtlStringCchCopyW(PWSTR destination, size_t cchDestination, PCWSTR source);
NTSTATUS RtlStringCchCatW(PWSTR destination, size_t cchDestination, PCWSTR source);
// STATUS_INVALID_PARAMETER (length 0) when no terminator lies within `cchMax`.
NTSTATUS RtlStringCchLengthW(PCWSTR string, size_t cchMax, size_t* length);

// ---- C string routines on WCHAR ------------------------------------------------------------
// Unbounded, as in the kernel: the caller guarantees the room.
int swprintf(PWSTR buffer, PCWSTR format, ...);
// Bounded: when the result does not fit `count` characters, the first
// `count` are stored without a terminator and -1 is returned; when it fits
// exactly, no terminator either.
int _snwprintf(PWSTR buffer, size_t count, PCWSTR format, ...);
size_t wcslen(PCWSTR s);
PWSTR wcscpy(PWSTR destination, PCWSTR source);
PWSTR wcsncpy(PWSTR destination, PCWSTR source, size_t count);
PWSTR wcscat(PWSTR destination, PCWSTR source);
int wcscmp(PCWSTR a, PCWSTR b);
int wcsncmp(PCWSTR a, PCWSTR b, size_t count);
int _wcsicmp(PCWSTR a, PCWSTR b);
int _wcsnicmp(PCWSTR a, PCWSTR b, size_t count);
PWSTR _wcsupr(PWSTR s);
PWSTR wcschr(PWSTR s, WCHAR c);
PCWSTR wcschr(PCWSTR s, WCHAR c);
int _stricmp(PCSTR a, PCSTR b);
int _strnicmp(PCSTR a, PCSTR b, size_t count);

namespace platform {
constexpr ULONG kRtlStringTag = MakeTag("Strg");
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::string GuidToString(const GUID& guid);
std::u16string GuidToWide(const GUID& guid);
// The contents of a counted string.
std::u16string ToU16(PCUNICODE_STRING s);
}  // namespace platform
