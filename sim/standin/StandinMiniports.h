// A small miniport pair beside the driver's own, for the host's demo of the
// framework and for tests of the framework without the driver's model: a
// topology filter with a volume and a mute node between a stream pin and a
// headphone pin, and a render wave filter whose stream plays its cyclic
// buffer into memory on a 10 ms timer. Both answer ISubdeviceInfo with the
// names the driver's miniports use, so that everything above them (the
// framework, the host) sees the same filters.
#pragma once

#include <string>
#include <vector>

#include "driver/common/PrivateInterfaces.h"
#include "portcls/portcls.h"

namespace sim::standin {

// The stand-in topology's node numbers and level range (1/65536 dB).
constexpr ULONG kVolumeNode = 0;
constexpr ULONG kMuteNode = 1;
constexpr ULONG kStreamPin = 0;
constexpr ULONG kHeadphonePin = 1;
constexpr ULONG kChannels = 2;
constexpr LONG kVolumeMinimum = -96 * 65536;
constexpr LONG kVolumeMaximum = 0;
constexpr ULONG kVolumeStep = 65536 / 2;

// The miniport factories the driver's start hands out (PFNCREATEMINIPORT
// and PFNCREATEWAVEMINIPORT). The wave miniport belongs to the stream engine
// of that index in the hardware model: its Init finds the engine through
// the adapter's IAudioHal and takes the name "<engine name>Wave". Either
// way the wave filter connects to the stand-in topology's stream pin.
NTSTATUS CreateStandinTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType);
// The id of the streaming terminal among an engine's attached nodes: the
// topology pin a wave filter connects to.
bool StreamTerminalNodeId(IStreamEngine* engine, ULONG* nodeId);

NTSTATUS CreateStandinWave(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType,
                           ULONG engineIndex);
// For an adapter without a hardware model: the engine's name is given.
// The same wave miniport beside the driver's own topology filter: it connects
// to its engine's streaming terminal node.
NTSTATUS CreateStandinWaveBesideDriverTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer,
                                                POOL_TYPE poolType, ULONG engineIndex);

NTSTATUS CreateNamedStandinWave(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType,
                                const std::u16string& engineName);

// Device-side change of the topology's volume: the value changes and the
// miniport raises KSEVENT_CONTROL_CHANGE for the volume node, as a status
// interrupt would make the driver do.
NTSTATUS StandinDeviceVolumeChange(PUNKNOWN topologyMiniport, ULONG channel, LONG level);

// What the stand-in wave stream has "played" so far (bytes taken from the
// cyclic buffer at its play position), and, for capture, fed.
std::vector<UCHAR> StandinRenderedBytes(PUNKNOWN waveMiniport);

}  // namespace sim::standin
