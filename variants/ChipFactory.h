// The chip-identifying choice of hardware model, which the base device
// object makes with: the model is chosen by the AudioControl interface's
// protocol and, for Audio Class 1.0, by the marker at the start of the
// chip's vendor string.
#pragma once

#include "driver/hal/CAudioHal.h"

// `control` is the device's first AudioControl interface; `device` answers
// the string read. *factory gets the chosen model's factory; a protocol no
// model takes is STATUS_UNSUCCESSFUL.
NTSTATUS ChooseChipModel(IUsbDevice* device, PUSB_INTERFACE_DESCRIPTOR control, AudioHalFactory* factory);
