// What the Audio Class 2.0 render and capture pipes share: the clock entity
// sets the rate a format is opened at, and the AudioStreaming interface
// tells which of its alternate settings can stream at the rate selected.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG UAC2_STREAM_RING_TAG = MakeTag("US20");

// SetRate on the clock node `clockNodeId` of the model: the clock entity
// sends it to the device, and the node keeps it when the device took it.
NTSTATUS SetStreamClockRate(IAudioHal* model, ULONG clockNodeId, ULONG rate);

// CUR of the valid-alternate-settings control (bControlSize, then one bit
// per setting) of an AudioStreaming interface. Setting 0 is always valid; a
// failed request, or a bit the device did not send, is not.
// `model` gives the device object's USB services.
BOOLEAN IsUac2AlternateSettingValid(IAudioHal* model, UCHAR interfaceNumber, UCHAR alternateSetting);
