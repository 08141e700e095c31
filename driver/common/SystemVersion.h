// Which system the driver runs on, asked one way everywhere: the entry's
// refusal of systems that are too old and the hardware model's choices of
// graph shape must never disagree.
#pragma once

#include "kernel/nt.h"

// Whether the system is at least `ntddi` (XP: 0x05010000, Vista:
// 0x06000000): RtlIsNtDdiVersionAvailable when the system has it, else the
// major and minor version numbers as (major << 8 | minor) << 16.
bool IsSystemAtLeast(ULONG ntddi);
