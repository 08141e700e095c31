// Minimal miniports for tests of subdevice registration: a topology miniport
// and a wave-cyclic miniport that describe small filters and answer
// ISubdeviceInfo, nothing more (no properties, no streams). They hold no
// reference on their port, so a port that is released without being
// registered takes its miniport with it.
//
// - Topology ("GlobalTopo"): `topologyPins` pins. GetConnectionId turns a
//   terminal node id into pin (id % topologyPins), unless
//   `topologyPinOverride` names the pin to answer.
// - Wave ("<engine name>Wave"): two pins, the bridge pin being 1. At Init it
//   asks the adapter's IAudioHal for its engine (by the index its factory
//   got) and takes the engine's name and the id of its Stream terminal (the
//   last attached node of type == direction with category Stream). Init
//   answers `waveInitStatus`.
//
// The factories have the shapes the driver's own miniports will have.
// Settings live in MiniportControl(); ResetMiniportControl() restores them.
#pragma once

#include "driver/common/PrivateInterfaces.h"

namespace testsupport {

constexpr ULONG TEST_MINIPORT_TAG = MakeTag("TMin");

struct TestMiniportControl {
  ULONG topologyPins = 4;
  LONG topologyPinOverride = -1;
  NTSTATUS waveInitStatus = STATUS_SUCCESS;
  ULONG waveMiniportsCreated = 0;
};
TestMiniportControl& MiniportControl();
void ResetMiniportControl();

NTSTATUS CreateTestTopologyMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType);
NTSTATUS CreateTestWaveMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                ULONG engineIndex);

}  // namespace testsupport
