// The import of the vendor presets at every start of the device object: when
// the preset file is newer than what was imported before, the device's
// sections go into the Settings store and the file's version is remembered
// in "IniVersion".
#pragma once

#include "kernel/nt.h"

// Runs the whole import for the adapter's device object. Nothing in it fails
// the start but the reader's own allocation (STATUS_INSUFFICIENT_RESOURCES):
// a missing file, section or device line only means there is nothing to
// import, and a device missing from the map leaves "IniVersion" alone so
// that the next start tries again.
NTSTATUS ImportIniPresets(PDEVICE_OBJECT deviceObject);
