// The vendor string by which a chip names itself: string descriptor 0x50,
// or 0x32 when 0x50 cannot be read, in US English, read into a short
// buffer. The chip-identifying factory and the generic model's probe both
// compare its leading code units with the chips' markers.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG UAC1_PROBE_TAG = MakeTag("pmet");
// The string is read into a buffer of this size.
constexpr ULONG UAC1_PROBE_STRING_BYTES = 104;
constexpr UCHAR UAC1_PROBE_STRING_PRIMARY = 0x50;
constexpr UCHAR UAC1_PROBE_STRING_FALLBACK = 0x32;
constexpr USHORT UAC1_PROBE_LANGUAGE = 0x0409;

// Reads the chip string into `buffer` (UAC1_PROBE_STRING_BYTES, zeroed
// first) with `urb`: 0x50, else 0x32. Returns the status of the last read;
// on success *received holds the bytes the device sent, at most the
// buffer's size.
NTSTATUS ReadChipString(IUsbDevice* usb, PURB urb, PUCHAR buffer, PULONG received);

// Whether the string descriptor in `descriptor` begins with the `units`
// UTF-16 code units of `marker`. Only bytes both the descriptor's bLength
// and the transfer (`received`) cover count: a shorter string never
// matches, a longer one may.
bool ChipStringBegins(const UCHAR* descriptor, ULONG received, const WCHAR* marker, ULONG units);
// The same for an ASCII marker.
bool ChipStringBegins(const UCHAR* descriptor, ULONG received, const char* marker);
