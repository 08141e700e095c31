// A small miniport pair that stands in for the driver's own topology and
// wave-cyclic miniports until they exist: a topology filter with a volume
// and a mute node between a stream pin and a headphone pin, and a render
// wave filter whose stream plays its cyclic buffer into memory on a 10 ms
// timer. Both answer ISubdeviceInfo with the names the driver's miniports
// will use, so that everything above them (the framework, the host, the
// main job) works the same before and after.
#pragma once

#include <string>
#include <vector>

#include "portcls/portcls.h"

namespace sim::standin {

// The private naming interface of the miniports {1C704CEB-6111-4878-A9AF-0575E1C79F76}.
inline constexpr GUID IID_ISubdeviceInfo =
    DEFINE_GUID_VALUE(0x1C704CEB, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76);
struct ISubdeviceInfo : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) = 0;
};

// The stand-in topology's node numbers and level range (1/65536 dB).
constexpr ULONG kVolumeNode = 0;
constexpr ULONG kMuteNode = 1;
constexpr ULONG kStreamPin = 0;
constexpr ULONG kHeadphonePin = 1;
constexpr ULONG kChannels = 2;
constexpr LONG kVolumeMinimum = -96 * 65536;
constexpr LONG kVolumeMaximum = 0;
constexpr ULONG kVolumeStep = 65536 / 2;

// Factories with the shape a stream engine uses (out IUnknown, class id,
// outer IUnknown, pool type). The wave factory takes the engine's name.
NTSTATUS CreateStandinTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType);
NTSTATUS CreateStandinWave(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType,
                           const std::u16string& engineName);

// Device-side change of the topology's volume: the value changes and the
// miniport raises KSEVENT_CONTROL_CHANGE for the volume node, as a status
// interrupt would make the driver do.
NTSTATUS StandinDeviceVolumeChange(PUNKNOWN topologyMiniport, ULONG channel, LONG level);

// What the stand-in wave stream has "played" so far (bytes taken from the
// cyclic buffer at its play position), and, for capture, fed.
std::vector<UCHAR> StandinRenderedBytes(PUNKNOWN waveMiniport);

}  // namespace sim::standin
