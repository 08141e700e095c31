#include "kernel/rtl.h"

#include <cstdarg>
#include <cstdio>

#include "kernel/format.h"
#include "kernel/pool.h"

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // largest even length below the 16-bit limit

size_t Length16(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Stores `text` into a `cch`-character buffer, cut to fit and always
// terminated; true when it had to be cut.
template <typename Ch>
bool StoreTruncated(Ch* destination, size_t cch, const std::basic_string<Ch>& text) {
  size_t n = text.size() < cch ? text.size() : cch - 1;
  std::memcpy(destination, text.data(), n * sizeof(Ch));
  destination[n] = 0;
  return n < text.size();
}

bool BadCch(size_t cch) { return cch == 0 || cch > NTSTRSAFE_MAX_CCH; }

PWSTR AllocateWide(size_t bytes) {
  return static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, platform::kRtlStringTag));
}

int Fold(char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : static_cast<unsigned char>(c); }

}  // namespace

SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length) {
  auto* a = static_cast<const UCHAR*>(source1);
  auto* b = static_cast<const UCHAR*>(source2);
  SIZE_T i = 0;
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

// ---- Counted strings ----------------------------------------------------------------
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  if (!source) {
    *destination = UNICODE_STRING{0, 0, nullptr};
    return;
  }
  size_t bytes = Length16(source) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes) bytes = kMaxUnicodeBytes;
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  destination->Buffer = const_cast<PWSTR>(source);
}

void RtlInitAnsiString(PANSI_STRING destination, PCSTR source) {
  if (!source) {
    *destination = ANSI_STRING{0, 0, nullptr};
    return;
  }
  size_t bytes = std::strlen(source);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + 1);
  destination->Buffer = const_cast<PSTR>(source);
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  *string = UNICODE_STRING{0, 0, nullptr};
}

void RtlFreeAnsiString(PANSI_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  *string = ANSI_STRING{0, 0, nullptr};
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || !source->Buffer) {
    destination->Length = 0;
    return;
  }
  USHORT bytes = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
  bytes &= ~USHORT(1);
  std::memmove(destination->Buffer, source->Buffer, bytes);
  destination->Length = bytes;
  if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

static NTSTATUS AppendBytes(PUNICODE_STRING destination, PCWSTR source, size_t bytes) {
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (!source) return STATUS_SUCCESS;
  return AppendBytes(destination, source, Length16(source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || source->Length == 0) return STATUS_SUCCESS;
  return AppendBytes(destination, source->Buffer, source->Length);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<WCHAR>(c - 0x20);  // Latin-1 letters, not the division sign
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs capital/small on even/odd code points, except
    // the run 0x139-0x148 and 0x179-0x17E where capitals are odd.
    bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (oddCapitals ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<WCHAR>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);                // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<WCHAR>(c - 0x20);  // full-width Latin
  return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  size_t n1 = string1->Length / sizeof(WCHAR), n2 = string2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = string1->Buffer[i], b = string2->Buffer[i];
    if (caseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(string1->Length) - static_cast<LONG>(string2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  return string1->Length == string2->Length && RtlCompareUnicodeString(string1, string2, caseInSensitive) == 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, const ANSI_STRING* source, BOOLEAN allocate) {
  size_t bytes = size_t(source->Length) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes) return STATUS_INVALID_PARAMETER;
  if (allocate) {
    destination->Buffer = AllocateWide(bytes + sizeof(WCHAR));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > destination->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < source->Length; ++i) destination->Buffer[i] = static_cast<UCHAR>(source->Buffer[i]);
  destination->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[source->Length] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
  size_t chars = source->Length / sizeof(WCHAR);
  NTSTATUS status = STATUS_SUCCESS;
  if (allocate) {
    destination->Buffer = static_cast<PSTR>(ExAllocatePoolWithTag(PagedPool, chars + 1, platform::kRtlStringTag));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= destination->MaximumLength) {
    // The part that fits is converted, and the caller is told it was cut.
    if (destination->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    chars = destination->MaximumLength - 1;
    status = STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < chars; ++i) {
    WCHAR c = source->Buffer[i];
    destination->Buffer[i] = c > 0xFF ? '?' : static_cast<CHAR>(c);
  }
  destination->Buffer[chars] = 0;
  destination->Length = static_cast<USHORT>(chars);
  return status;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  size_t n = 0;
  do {
    ULONG d = value % base;
    digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
    value /= base;
  } while (value);
  if (n * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
  string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  if ((n + 1) * sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING guidString) {
  std::u16string text = platform::GuidToWide(guid);
  size_t bytes = text.size() * sizeof(WCHAR);
  guidString->Buffer = AllocateWide(bytes + sizeof(WCHAR));
  if (!guidString->Buffer) return STATUS_NO_MEMORY;
  std::memcpy(guidString->Buffer, text.c_str(), bytes + sizeof(WCHAR));
  guidString->Length = static_cast<USHORT>(bytes);
  guidString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// ---- Bounded string routines --------------------------------------------------------
static NTSTATUS VPrintfW(PWSTR destination, size_t cch, PCWSTR format, va_list args) {
  if (BadCch(cch)) return STATUS_INVALID_PARAMETER;
  return StoreTruncated(destination, cch, platform::FormatWide(format, args)) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchPrintfW(PWSTR destination, size_t cchDestination, PCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = VPrintfW(destination, cchDestination, format, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR destination, size_t cbDestination, PCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = VPrintfW(destination, cbDestination / sizeof(WCHAR), format, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchPrintfA(PSTR destination, size_t cchDestination, PCSTR format, ...) {
  if (BadCch(cchDestination)) return STATUS_INVALID_PARAMETER;
  va_list args;
  va_start(args, format);
  std::string text = platform::FormatNarrow(format, args);
  va_end(args);
  return StoreTruncated(destination, cchDestination, text) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCopyW(PWSTR destination, size_t cchDestination, PCWSTR source) {
  if (BadCch(cchDestination)) return STATUS_INVALID_PARAMETER;
  return StoreTruncated(destination, cchDestination, std::u16string(source)) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCatW(PWSTR destination, size_t cchDestination, PCWSTR source) {
  size_t used = 0;
  NTSTATUS status = RtlStringCchLengthW(destination, cchDestination, &used);
  if (!NT_SUCCESS(status)) return status;
  return StoreTruncated(destination + used, cchDestination - used, std::u16string(source)) ? STATUS_BUFFER_OVERFLOW
                                                                                           : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchLengthW(PCWSTR string, size_t cchMax, size_t* length) {
  if (!string || BadCch(cchMax)) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && string[n]) ++n;
  if (n == cchMax) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (length) *length = n;
  return STATUS_SUCCESS;
}

// ---- C string routines ----------------------------------------------------------------
int swprintf(PWSTR buffer, PCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string text = platform::FormatWide(format, args);
  va_end(args);
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return static_cast<int>(text.size());
}

int _snwprintf(PWSTR buffer, size_t count, PCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string text = platform::FormatWide(format, args);
  va_end(args);
  if (text.size() < count) {
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(text.size());
  }
  std::memcpy(buffer, text.data(), count * sizeof(WCHAR));
  return text.size() == count ? static_cast<int>(count) : -1;
}

size_t wcslen(PCWSTR s) { return Length16(s); }

PWSTR wcscpy(PWSTR destination, PCWSTR source) {
  std::memmove(destination, source, (Length16(source) + 1) * sizeof(WCHAR));
  return destination;
}

PWSTR wcsncpy(PWSTR destination, PCWSTR source, size_t count) {
  size_t i = 0;
  for (; i < count && source[i]; ++i) destination[i] = source[i];
  for (; i < count; ++i) destination[i] = 0;
  return destination;
}

PWSTR wcscat(PWSTR destination, PCWSTR source) {
  wcscpy(destination + Length16(destination), source);
  return destination;
}

int wcsncmp(PCWSTR a, PCWSTR b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) return 0;
  }
  return 0;
}

int wcscmp(PCWSTR a, PCWSTR b) { return wcsncmp(a, b, SIZE_MAX); }

int _wcsnicmp(PCWSTR a, PCWSTR b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    WCHAR x = RtlUpcaseUnicodeChar(a[i]), y = RtlUpcaseUnicodeChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

int _wcsicmp(PCWSTR a, PCWSTR b) { return _wcsnicmp(a, b, SIZE_MAX); }

PWSTR _wcsupr(PWSTR s) {
  for (PWSTR p = s; *p; ++p) *p = RtlUpcaseUnicodeChar(*p);
  return s;
}

PWSTR wcschr(PWSTR s, WCHAR c) { return const_cast<PWSTR>(wcschr(static_cast<PCWSTR>(s), c)); }

PCWSTR wcschr(PCWSTR s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}

int _strnicmp(PCSTR a, PCSTR b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

int _stricmp(PCSTR a, PCSTR b) { return _strnicmp(a, b, SIZE_MAX); }

namespace platform {

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::u16string GuidToWide(const GUID& guid) { return Widen(GuidToString(guid)); }

std::u16string ToU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace platform
