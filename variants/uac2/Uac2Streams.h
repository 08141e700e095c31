// What the Audio Class 2.0 render and capture pipes share: the clock entity
// sets the rate a format is opened at, and the AudioStreaming interface
// tells which of its alternate settings can stream at the rate selected.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG UAC2_STREAM_RING_TAG = MakeTag("US20");

// The most bytes an isochronous endpoint moves in a second: three 1024-byte
// transactions a microframe at high speed, one 1023-byte packet a frame at
// full speed.
constexpr ULONG UAC2_HIGH_SPEED_BYTES_PER_SECOND = 8000u * 3 * 1024;
constexpr ULONG UAC2_FULL_SPEED_BYTES_PER_SECOND = 1000u * 1023;
// A clock rate above this carries no format at all, not even one-byte
// frames at high speed; 0 carries nothing either.
constexpr ULONG UAC2_MAX_CLOCK_RATE = UAC2_HIGH_SPEED_BYTES_PER_SECOND;
constexpr bool IsUac2ClockRate(ULONG rate) { return rate != 0 && rate <= UAC2_MAX_CLOCK_RATE; }
// Whether frames of `blockAlign` bytes at `rate` fit what the bus moves in
// a second: every size the pipes derive from the format stays small then.
constexpr bool Uac2BusCarries(ULONG rate, ULONG blockAlign, bool highSpeed) {
  return IsUac2ClockRate(rate) && ULONGLONG(rate) * blockAlign <=
                                      (highSpeed ? UAC2_HIGH_SPEED_BYTES_PER_SECOND : UAC2_FULL_SPEED_BYTES_PER_SECOND);
}

// SetRate on the clock node `clockNodeId` of the model: the clock entity
// sends it to the device, and the node keeps it when the device took it.
NTSTATUS SetStreamClockRate(IAudioHal* model, ULONG clockNodeId, ULONG rate);

// CUR of the valid-alternate-settings control (bControlSize, then one bit
// per setting) of an AudioStreaming interface. Setting 0 is always valid; a
// failed request, or a bit the device did not send, is not.
// `model` gives the device object's USB services.
BOOLEAN IsUac2AlternateSettingValid(IAudioHal* model, UCHAR interfaceNumber, UCHAR alternateSetting);
