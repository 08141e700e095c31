// The fault catalogue of descriptors: configurations with the defects real
// devices ship, each built on a small render-only device so that exactly one
// thing is wrong. Driver tests load them into a SimDevice; the USBD parsing
// helpers and the sim's own reader must survive all of them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/device/DescriptorSet.h"

namespace sim::malformed {

// A well-formed render-only device: AudioControl interface 0 (IT 1 USB
// streaming -> FU 2 mute/volume -> OT 3 speaker) and streaming interface 1
// (alt 1: stereo 16-bit 48 kHz, isochronous OUT 0x01).
DescriptorSet RenderDevice();

// bLength 0 in the middle of the AudioControl descriptors.
DescriptorSet ZeroLengthDescriptor();
// The last descriptor runs past wTotalLength (and past the buffer).
DescriptorSet DescriptorPastTotalLength();
// wTotalLength ends in the middle of a descriptor; the device holds (and
// sends, when asked for more) the bytes after it.
DescriptorSet TotalLengthTooShort();
// A feature unit with bControlSize 0.
DescriptorSet ZeroControlSize();
// A feature unit whose bControlSize makes its bitmaps run past bLength.
DescriptorSet ControlSizePastLength();
// Two feature units that name each other as source.
DescriptorSet UnitLoop();
// A feature unit that names itself as its source.
DescriptorSet UnitNamingItself();
// Two-input mixer units in `layers` layers, each mixing both units of the
// layer before; the output terminal takes the last layer's first unit.
// Without memory of what was walked, a walk takes 2^layers steps.
DescriptorSet LayeredMixerGraph(int layers = 60);
// The output terminal names a source id that no unit has.
DescriptorSet DanglingSourceId();
// A selector unit whose bNrInPins counts far past its bLength.
DescriptorSet InputPinsPastLength();
// The streaming endpoint reports wMaxPacketSize 0.
DescriptorSet ZeroMaxPacketSize();
// The streaming endpoint's packets are smaller than a millisecond of the
// format.
DescriptorSet MaxPacketSizeBelowOneFrame();
// The streaming endpoint is a bulk endpoint.
DescriptorSet BulkStreamingEndpoint();
// The streaming interface's alternate setting 1 has no isochronous endpoint.
DescriptorSet StreamingWithoutIsoEndpoint();
// A FORMAT_TYPE that announces more discrete rates than its bLength holds.
DescriptorSet RatesPastLength();

struct Case {
  std::string name;
  std::function<DescriptorSet()> build;
};
// Every case above (the mixer graph at its full 60 layers).
const std::vector<Case>& Catalogue();

// The configuration length a device with the wTotalLength-changes-between-
// reads fault should report on re-reads: the true length plus `extra`.
uint16_t GrownTotalLength(const DescriptorSet& set, uint16_t extra = 256);

}  // namespace sim::malformed
