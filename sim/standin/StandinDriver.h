// A minimal adapter driver over the stand-in miniport pair: DriverEntry,
// AddDevice and StartDevice as a port-class audio driver has them, so that
// the framework and the host can be exercised through real plug-and-play
// and kernel-streaming requests before the driver's own entry exists.
#pragma once

#include "portcls/portcls.h"

namespace sim::standin {

// The name of the one wave filter's engine: its subdevice is "HeadSetOut00Wave".
inline constexpr char16_t kEngineName[] = u"HeadSetOut00";

NTSTATUS StandinDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// The miniports of a started stand-in adapter (no reference added), for
// tests and the host's device-side controls.
PUNKNOWN StandinTopologyMiniport(PDEVICE_OBJECT adapterDevice);
PUNKNOWN StandinWaveMiniport(PDEVICE_OBJECT adapterDevice);

}  // namespace sim::standin
